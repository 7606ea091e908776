#!/usr/bin/env bash
# Times whole runs of tilegraft against the floor of the same work done by standard tools, and
# counts instructions per tile merge with callgrind.
#
# Usage: bench/whole_process.sh [TILEGRAFT_BINARY] [RUNS]
#   TILEGRAFT_BINARY defaults to build/tilegraft beside this folder, RUNS (medians) to 7.
#   The files go to $TMPDIR (default /tmp); TMPDIR=/dev/shm keeps the disk out of the figures.
# Needs python3, dd, /usr/bin/time (apt-get install time) and, for the instruction counts,
# valgrind (skipped when missing). Writes about 1 GiB of bitmaps to a temporary folder.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
tool=$(realpath "${1:-$here/../build/tilegraft}")
runs=${2:-7}
[[ -x $tool ]] || { echo "no tilegraft binary at $tool" >&2; exit 2; }
[[ -x /usr/bin/time ]] || { echo "needs /usr/bin/time: apt-get install time" >&2; exit 2; }

work=$(mktemp -d "${TMPDIR:-/tmp}/tilegraft_bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

# Runs a command, appends its wall time in microseconds to $1.times and its peak resident memory
# in KiB to $1.rss. Outputs of earlier runs are removed and flushed first, outside the timed
# part, so every run writes a new file, save never asks to overwrite, and no run is slowed by the
# write-back of the one before.
measure() {
  local name=$1
  shift
  rm -f out.bmp
  sync
  local start end
  start=$(date +%s%N)
  /usr/bin/time -f %M -o rss.tmp "$@" > /dev/null
  end=$(date +%s%N)
  echo $(((end - start) / 1000)) >> "$name.times"
  tail -n 1 rss.tmp >> "$name.rss"
}

median() {
  sort -n "$1" | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'
}

mib() {
  awk -v b="$1" 'BEGIN { printf "%.1f", b / 1048576 }'
}

# The floor: one read of each whole file into a buffer of its size and one write of the base's
# size, as the tool does, with nothing done in between.
floor() {
  dd if="$2" of=/dev/null bs="$3" count=1 iflag=fullblock status=none
  dd if="$1" of=out.bmp bs="$3" count=1 iflag=fullblock status=none
}
export -f floor

echo "tilegraft: $tool"
echo "runs per figure: $runs (medians)"
echo "machine: $(lscpu | sed -n 's/^Model name: *//p'), $(nproc) cores," \
  "$(free -g | awk '/^Mem:/ { print $2 }') GiB"
echo

printf '%-22s %10s %10s %7s %10s %14s\n' "whole-image run" "tool ms" "floor ms" "ratio" \
  "peak MiB" "over files MiB"
for case in "4096 24" "8192 24" "4096 8" "8192 8"; do
  read -r side bits <<< "$case"
  python3 "$here/make_bitmap.py" "$side" "$side" "$bits" 1 base.bmp
  python3 "$here/make_bitmap.py" "$side" "$side" "$bits" 2 patch.bmp
  size=$(stat -c %s base.bmp)
  for op in "=" "^"; do
    printf 'load base base.bmp\nload patch patch.bmp\nmerge pixels %s 0 0 0 0 %s %s\nsave out.bmp\n' \
      "$op" "$side" "$side" > "merge$op.tgs"
  done
  rm -f ./*.times ./*.rss
  # Interleaved, so that noise from other work on the machine falls on all three alike.
  for ((run = 0; run < runs; run++)); do
    measure floor bash -c 'floor "$@"' floor base.bmp patch.bmp "$size"
    measure copy "$tool" "merge=.tgs"
    measure xor "$tool" "merge^.tgs"
  done
  floorUs=$(median floor.times)
  for op in copy xor; do
    toolUs=$(median $op.times)
    rssKib=$(median $op.rss)
    printf '%-22s %10.1f %10.1f %7.2f %10.1f %14.1f\n' "${side}x${side} ${bits}-bit $op" \
      "$(awk -v t="$toolUs" 'BEGIN { print t / 1000 }')" \
      "$(awk -v t="$floorUs" 'BEGIN { print t / 1000 }')" \
      "$(awk -v a="$toolUs" -v b="$floorUs" 'BEGIN { print a / b }')" \
      "$(mib $((rssKib * 1024)))" "$(mib $((rssKib * 1024 - 2 * size)))"
  done
done
rm -f base.bmp patch.bmp out.bmp

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
rm -f ./*.times ./*.rss
for ((run = 0; run < runs; run++)); do
  measure one "$tool" one_line.tgs
  measure lines "$tool" lines.tgs
  measure run "$tool" run.tgs
done
oneUs=$(median one.times)
echo
printf '%-40s %12s %10s\n' "100,000 bordered 4x4 tiles" "ns per tile" "peak MiB"
for case in "lines:one merge line per tile" "run:one merge line of 400x250 tiles"; do
  name=${case%%:*}
  printf '%-40s %12.1f %10.1f\n' "${case#*:}" \
    "$(awk -v t="$(median $name.times)" -v o="$oneUs" 'BEGIN { print (t - o) * 1000 / 99999 }')" \
    "$(mib $(($(median $name.rss) * 1024)))"
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
