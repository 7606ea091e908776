#!/usr/bin/env bash
# Times whole runs of tilegraft against the floor of the same work done by standard tools (and,
# for one scenario, a numpy script), counts their minor page faults, and counts instructions per
# tile merge with callgrind.
#
# Usage: bench/whole_process.sh [TILEGRAFT_BINARY] [RUNS]
#   TILEGRAFT_BINARY defaults to build/tilegraft beside this folder, RUNS (medians) to 7.
#   The files go to $TMPDIR (default /tmp); TMPDIR=/dev/shm keeps the disk out of the figures.
# Needs python3, dd, /usr/bin/time (apt-get install time), for the numpy script python3-numpy,
# and for the instruction counts valgrind (each skipped when missing). Writes about 1 GiB of
# bitmaps to a temporary folder, and for the largest case 4.1 GiB more (skipped, with a message,
# when the folder or the memory is too small for it).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
tool=$(realpath "${1:-$here/../build/tilegraft}")
runs=${2:-7}
[[ -x $tool ]] || { echo "no tilegraft binary at $tool" >&2; exit 2; }
[[ -x /usr/bin/time ]] || { echo "needs /usr/bin/time: apt-get install time" >&2; exit 2; }

work=$(mktemp -d "${TMPDIR:-/tmp}/tilegraft_bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

# Runs a command, appends its wall time in microseconds to $1.times, its peak resident memory in
# KiB to $1.rss and its minor page faults to $1.faults (children included). Outputs of earlier
# runs are removed and flushed first, outside the timed part, so every run writes a new file,
# save never asks to overwrite, and no run is slowed by the write-back of the one before.
measure() {
  local name=$1
  shift
  rm -f out.bmp
  sync
  local start end
  start=$(date +%s%N)
  /usr/bin/time -f '%M %R' -o stats.tmp "$@" > /dev/null
  end=$(date +%s%N)
  echo $(((end - start) / 1000)) >> "$name.times"
  local rss faults
  read -r rss faults < <(tail -n 1 stats.tmp)
  echo "$rss" >> "$name.rss"
  echo "$faults" >> "$name.faults"
}

median() {
  sort -n "$1" | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'
}

mib() {
  awk -v b="$1" 'BEGIN { printf "%.1f", b / 1048576 }'
}

ms() {
  awk -v t="$(median "$1.times")" 'BEGIN { printf "%.1f", t / 1000 }'
}

ratio() {
  awk -v a="$(median "$1.times")" -v b="$(median "$2.times")" 'BEGIN { printf "%.2f", a / b }'
}

# A row of a scenario's table: name, label, and the size in bytes of the files it holds in
# memory (none: "-" for the memory over them).
row() {
  local rssKib over=-
  rssKib=$(median "$1.rss")
  if [[ -n ${3:-} ]]; then
    over=$(mib $((rssKib * 1024 - $3)))
  fi
  printf '%-46s %9s %9s %9s %11s\n' "$2" "$(ms "$1")" "$(median "$1.faults")" \
    "$(mib $((rssKib * 1024)))" "$over"
}

header() {
  printf '%-46s %9s %9s %9s %11s\n' "$1" "wall ms" "faults" "peak MiB" "over files"
}

# Runs the command after it with transparent huge pages refused to it (PR_SET_THP_DISABLE), as
# on a system that offers none: "$python" -c "$withoutHugePages" COMMAND...
withoutHugePages='import ctypes, os, sys
if ctypes.CDLL(None, use_errno=True).prctl(41, 1, 0, 0, 0) != 0:
    sys.exit("prctl(PR_SET_THP_DISABLE) failed")
os.execv(sys.argv[1], sys.argv[1:])'

# The interpreter itself, not a launcher that chooses one (such as a pyenv shim), so that the
# runs time Python and not the choice; and one that has numpy, if any.
python=$(python3 -c 'import sys; print(sys.executable)')
numpyPython=
for candidate in "$python" /usr/bin/python3; do
  if [[ -x $candidate ]] && "$candidate" -c 'import numpy' 2> /dev/null; then
    numpyPython=$candidate
    break
  fi
done

# The floor: the reads of both files and the write of the base, streamed through a 1 MiB buffer
# by cat and dd. (A buffer the size of each file, as the tool holds, would add the cost of
# making that memory resident; on a machine where each page fault is dear, that cost hid the
# tool's own.)
floor() {
  cat "$2"
  dd if="$1" of=out.bmp bs=1M status=none
}
export -f floor

echo "tilegraft: $tool"
echo "runs per figure: $runs (medians)"
echo "machine: $(lscpu | sed -n 's/^Model name: *//p'), $(nproc) cores," \
  "$(free -g | awk '/^Mem:/ { print $2 }') GiB, kernel $(uname -r)"
echo "transparent huge pages: $(cat /sys/kernel/mm/transparent_hugepage/enabled 2> /dev/null \
  || echo none)"
echo "files in: $work ($(stat -f -c %T "$work"))"
echo "load average at start: $(cut -d ' ' -f 1-3 /proc/loadavg)"
echo

printf '%-22s %10s %10s %7s %10s %14s %8s\n' "whole-image run" "tool ms" "floor ms" "ratio" \
  "peak MiB" "over files MiB" "faults"
for case in "4096 24" "8192 24" "4096 8" "8192 8"; do
  read -r side bits <<< "$case"
  python3 "$here/make_bitmap.py" "$side" "$side" "$bits" 1 base.bmp
  python3 "$here/make_bitmap.py" "$side" "$side" "$bits" 2 patch.bmp
  size=$(stat -c %s base.bmp)
  for op in "=" "^"; do
    printf 'load base base.bmp\nload patch patch.bmp\nmerge pixels %s 0 0 0 0 %s %s\nsave out.bmp\n' \
      "$op" "$side" "$side" > "merge$op.tgs"
  done
  # Interleaved, so that noise from other work on the machine falls on all three alike. Round -1
  # warms up and is not counted: on a virtual machine the first use of fresh memory can cost
  # many times what its reuse does.
  for ((run = -1; run < runs; run++)); do
    if ((run == 0)); then
      rm -f ./*.times ./*.rss ./*.faults
    fi
    measure floor bash -c 'floor "$@"' floor base.bmp patch.bmp
    measure copy "$tool" "merge=.tgs"
    measure xor "$tool" "merge^.tgs"
  done
  floorUs=$(median floor.times)
  for op in copy xor; do
    toolUs=$(median $op.times)
    rssKib=$(median $op.rss)
    printf '%-22s %10.1f %10.1f %7.2f %10.1f %14.1f %8s\n' "${side}x${side} ${bits}-bit $op" \
      "$(awk -v t="$toolUs" 'BEGIN { print t / 1000 }')" \
      "$(awk -v t="$floorUs" 'BEGIN { print t / 1000 }')" \
      "$(awk -v a="$toolUs" -v b="$floorUs" 'BEGIN { print a / b }')" \
      "$(mib $((rssKib * 1024)))" "$(mib $((rssKib * 1024 - 2 * size)))" "$(median $op.faults)"
  done
done
printf '%-22s %10s %10s %7s %10s %14s %8s\n' "(floor)" "" "" "" "" "" "$(median floor.faults)"
rm -f base.bmp patch.bmp out.bmp

# The scenario of a new user: an 8192x8192 24-bit base and a 4096x4096 patch, a 4000x3980
# block XORed and saved; against cat and dd doing its reads and its write, and a numpy script
# doing the same work.
echo
echo "8k scenario: 8192x8192 24-bit base, 4096x4096 24-bit patch, a 4000x3980 block XORed, saved"
python3 "$here/make_bitmap.py" 8192 8192 24 1 base.bmp
python3 "$here/make_bitmap.py" 4096 4096 24 2 patch.bmp
filesBytes=$(($(stat -c %s base.bmp) + $(stat -c %s patch.bmp)))
printf 'load base base.bmp\nload patch patch.bmp\nmerge pixels ^ 0 0 0 0 4000 3980\nsave out.bmp\n' \
  > xor8k.tgs
if [[ -n $numpyPython ]]; then
  # Both must write the same bytes, or the comparison means nothing.
  "$numpyPython" "$here/xor_block_numpy.py" base.bmp patch.bmp 4000 3980 numpy.bmp
  rm -f out.bmp
  "$tool" xor8k.tgs > /dev/null
  cmp -s out.bmp numpy.bmp || { echo "numpy and tilegraft wrote different bytes" >&2; exit 1; }
  rm -f numpy.bmp
else
  echo "no python3 with numpy (apt-get install python3-numpy): no numpy figures"
fi
# Interleaved, with a round -1 that is not counted, as above.
for ((run = -1; run < runs; run++)); do
  if ((run == 0)); then
    rm -f ./*.times ./*.rss ./*.faults
  fi
  measure floor8k bash -c 'floor "$@"' floor base.bmp patch.bmp
  if [[ -n $numpyPython ]]; then
    measure numpy8k "$numpyPython" "$here/xor_block_numpy.py" base.bmp patch.bmp 4000 3980 out.bmp
  fi
  measure tool8k "$tool" xor8k.tgs
  measure small8k "$python" -c "$withoutHugePages" "$tool" xor8k.tgs
  measure wrapper8k "$python" -c "$withoutHugePages" /bin/true
done
header "run (medians of $runs, interleaved)"
row floor8k "cat patch; dd if=base of=out bs=1M (the floor)"
if [[ -n $numpyPython ]]; then
  row numpy8k "numpy: read whole, block XORed, written whole" "$filesBytes"
fi
row tool8k "tilegraft" "$filesBytes"
row small8k "tilegraft, huge pages refused (*)" "$filesBytes"
row wrapper8k "(*) the python3 that refuses them, alone"
echo "tilegraft / floor: $(ratio tool8k floor8k) (target at most 1.50)"
if [[ -n $numpyPython ]]; then
  echo "tilegraft / numpy: $(ratio tool8k numpy8k) (target at most 0.50)"
fi
echo "tilegraft minor faults: $(median tool8k.faults) (target at most 4,000)"
echo "tilegraft peak over both files: $(mib $(($(median tool8k.rss) * 1024 - filesBytes))) MiB" \
  "(target at most 8)"
rm -f base.bmp patch.bmp out.bmp

# The largest bitmap that loads, just under 2 GiB: loaded, a 64x64 block merged 100 times, saved,
# against dd copying it. It needs the base and the output in the folder, and the tool's image
# (plus the files, when the folder is in memory) in free memory.
echo
echo "largest case: 26752x26755 24-bit base (2,147,249,334 bytes), 256x256 patch, a 64x64 block" \
  "XORed at 100 places, saved"
bigBytes=2147249334
freeDisk=$(($(df -k --output=avail "$work" | tail -n 1) * 1024))
freeMemory=$(($(awk '/^MemAvailable:/ { print $2 }' /proc/meminfo) * 1024))
needDisk=$((2 * bigBytes + (64 << 20)))
needMemory=$((bigBytes + (512 << 20)))
if [[ $(stat -f -c %T "$work") == tmpfs ]]; then
  needMemory=$((needMemory + needDisk))
fi
if ((freeDisk < needDisk)); then
  echo "skipped: needs $(mib $needDisk) MiB free in $work, has $(mib $freeDisk) MiB"
elif ((freeMemory < needMemory)); then
  echo "skipped: needs $(mib $needMemory) MiB of available memory, has $(mib $freeMemory) MiB"
else
  python3 "$here/make_bitmap.py" 26752 26755 24 3 big.bmp
  python3 "$here/make_bitmap.py" 256 256 24 4 patch.bmp
  filesBytes=$(($(stat -c %s big.bmp) + $(stat -c %s patch.bmp)))
  {
    printf 'load base big.bmp\nload patch patch.bmp\n'
    awk 'BEGIN { for (i = 0; i < 100; i++) print "merge pixels ^ " (i % 10) * 2600 " " \
      int(i / 10) * 2600 " 0 0 64 64" }'
    printf 'save out.bmp\n'
  } > big.tgs
  for ((run = -1; run < runs; run++)); do
    if ((run == 0)); then
      rm -f ./*.times ./*.rss ./*.faults
    fi
    measure floorBig dd if=big.bmp of=out.bmp bs=1M status=none
    measure toolBig "$tool" big.tgs
  done
  header "run (medians of $runs, interleaved)"
  row floorBig "dd if=base of=out bs=1M (the floor)"
  row toolBig "tilegraft" "$filesBytes"
  echo "tilegraft / floor: $(ratio toolBig floorBig) (target at most 2.00)"
  echo "tilegraft peak over both file images:" \
    "$(mib $(($(median toolBig.rss) * 1024 - filesBytes))) MiB (target at most 8)"
  rm -f big.bmp patch.bmp out.bmp
fi

# 100,000 tiles of 4x4 8-bit pixels, each followed by a one-pixel border, so no two tiles touch
# and each is a block of its own: 400 across, 250 down.
python3 "$here/make_bitmap.py" 2000 1250 8 1 base.bmp
python3 "$here/make_bitmap.py" 2000 1250 8 2 patch.bmp
layout='load base base.bmp\nload patch patch.bmp\ntilesize 4\ntilespecs base 0 0 0 0 1 1\ntilespecs patch 0 0 0 0 1 1\n'
printf "$layout"'merge tiles ^ 0 0\n' > one_line.tgs
{
  printf "$layout"
  awk 'BEGIN { for (r = 0; r < 250; r++) for (c = 0; c < 400; c++) print "merge tiles ^ " c " " r }'
} > lines.tgs
printf "$layout"'merge tiles ^ 0 0 0 0 400 250\n' > run.tgs
rm -f ./*.times ./*.rss ./*.faults
for ((run = 0; run < runs; run++)); do
  measure one "$tool" one_line.tgs
  measure lines "$tool" lines.tgs
  measure run "$tool" run.tgs
done
oneUs=$(median one.times)
echo
printf '%-40s %12s %10s %8s\n' "100,000 bordered 4x4 tiles" "ns per tile" "peak MiB" "faults"
for case in "lines:one merge line per tile" "run:one merge line of 400x250 tiles"; do
  name=${case%%:*}
  printf '%-40s %12.1f %10.1f %8s\n' "${case#*:}" \
    "$(awk -v t="$(median $name.times)" -v o="$oneUs" 'BEGIN { print (t - o) * 1000 / 99999 }')" \
    "$(mib $(($(median $name.rss) * 1024)))" "$(median $name.faults)"
done

if command -v valgrind > /dev/null; then
  instructions() {
    valgrind --tool=callgrind --callgrind-out-file=callgrind.out "$tool" "$1" > /dev/null 2>&1
    sed -n 's/^summary: *//p' callgrind.out
  }
  oneIr=$(instructions one_line.tgs)
  echo
  printf '%-40s %12s\n' "callgrind, fixed cost of 1 tile taken off" "Ir per tile"
  for case in "lines.tgs:one merge line per tile" "run.tgs:one merge line of 400x250 tiles"; do
    ir=$(instructions "${case%%:*}")
    printf '%-40s %12.1f\n' "${case#*:}" \
      "$(awk -v a="$ir" -v o="$oneIr" 'BEGIN { print (a - o) / 99999 }')"
  done
else
  echo "valgrind not found: no instruction counts"
fi
echo
echo "load average at end: $(cut -d ' ' -f 1-3 /proc/loadavg)"
