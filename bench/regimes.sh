#!/usr/bin/env bash
# Times tilegraft in the regimes a user meets, each as a ratio to its floor measured in the same
# run, and says which way each run held its files (mapped under a lease, or copied):
#   warm 8k     an 8192x8192 24-bit base, a 4096x4096 patch, a 4000x3980 block XORed, saved;
#               runs back to back, against cat of the patch plus dd of the base (the floor)
#   after idle  the same, each run (tool and floor alike) after IDLE seconds of sleep
#   small files LOOP runs of a 256x256 8-bit sheet with 20 merges, saved (also with --no-sync), against LOOP cp
#   2 GiB       the largest bitmap that loads, 100 small blocks XORed, saved, against dd
#   shared      on XFS and on Btrfs, each a 3 GiB image loop-mounted here (root only), an
#               18000x18000 24-bit base (972 MB), a 64x64 patch XORed at 10x10 places, saved
#               under a new name, against dd of the base and cp --reflink=always of it; the
#               output checked against what the same binary saves in /dev/shm, and again after
#               the base is rewritten in place; and the same save without the tool, its
#               floor (bench/shared_save_floor.cpp); and the tool followed by sync against
#               cp --reflink=always followed by sync, both on the disk when they end, and
#               the floor followed by sync: the least any save of those blocks costs there
#   png         PNG tile sets against Pillow (bench/png_vs_pillow.sh): an 8192x8192 RGB PNG with
#               a 4096x4096 block pasted from another and saved, and a 256x256 palette sheet
#               with 20 merges, each as a time ratio and a size ratio to Pillow's
#   durable     the 8k scenario on ext4 (the files' folder where it is ext4, else a loop-mounted
#               ext4 image, root only) and on tmpfs (/dev/shm), warm and after IDLE seconds,
#               against cat of the patch plus dd conv=fsync of the base: floors whose output is
#               on the disk when they end, as a durable save's is
# plus minor page faults, peak resident memory (the file pages it maps included) and the most
# memory of its own seen (anonymous pages, sampled), and a check of every output against numpy
# or against the copied path. At the end, the ratios that durable saves are held to, one per line,
# with the machine's load before and after.
#
# Usage: bench/regimes.sh [TILEGRAFT_BINARY] [RUNS] [IDLE_SECONDS] [LOOP]
#   defaults: build/tilegraft beside this folder, 7 runs (medians), 10 seconds, 300 runs.
#   Files go to $TMPDIR (default /tmp). Needs python3 and strace (for the path taken); numpy
#   (python3-numpy) for the independent check of the 8k output; mkfs.xfs (xfsprogs) and
#   mkfs.btrfs (btrfs-progs) for the shared regime; Pillow (python3-pil) for png.
#   REGIMES="warm idle small big shared durable" (the default; png, which draws its 8k sheets
#   for minutes, only when named) picks which run.
#
# The idle pause: on virtual machines whose host takes back memory that the guest leaves free,
# the first touch of fresh memory after a pause costs a fault in the host as well. Pauses of 1,
# 3, 6 and 10 seconds were tried before each run; from 3 seconds on the old copy-everything
# design ran 2.5 to 3 times slower than warm, and 10 seconds is past the knee on both kinds of
# machine measured.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
tool=$(realpath "${1:-$here/../build/tilegraft}")
runs=${2:-7}
idle=${3:-10}
loop=${4:-300}
[[ -x $tool ]] || { echo "no tilegraft binary at $tool" >&2; exit 2; }
measure="python3 $here/measure_run.py"

regimes=" ${REGIMES:-warm idle small big shared durable} "
wanted() { [[ $regimes == *" $1 "* ]]; }

work=$(mktemp -d "${TMPDIR:-/tmp}/tilegraft_regimes.XXXXXX")
mounted=()
cleanUp() {
  cd /
  for disk in "${mounted[@]}"; do
    [[ -z $disk ]] || umount "$disk" || umount -l "$disk" || true
  done
  rm -rf "$work"
}
trap cleanUp EXIT
cd "$work"

echo "tilegraft: $tool"
echo "machine: $(lscpu | sed -n 's/^Model name: *//p'), $(nproc) cores," \
  "$(free -g | awk '/^Mem:/ { print $2 }') GiB, kernel $(uname -r)," \
  "virtualisation: $(systemd-detect-virt 2> /dev/null || echo unknown)"
echo "files in: $work ($(stat -f -c %T "$work")); runs $runs, idle ${idle} s, loop $loop"
echo "load before: $(uptime | sed 's/.*load average: //')"
echo

# The figures durable saves are held to, gathered for the summary at the end.
figures=()
figure() { figures+=("$(printf '%-50s %5s' "$1" "$2")"); }

# Appends "wall_us faults peak_kib" of one run of the command to the file named first.
timed() {
  local into=$1
  shift
  rm -f out.bmp
  $measure "$@" | cut -d ' ' -f 1-3 >> "$into"
}

median() { # column of a file
  cut -d ' ' -f "$2" "$1" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
ms() { awk -v t="$1" 'BEGIN { printf "%.1f", t / 1000 }'; }
mib() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }

# How the tool held its files in a run of the script: "mapped" per lease granted, else "copied".
path() {
  if ! command -v strace > /dev/null; then
    echo "unknown (no strace)"
    return
  fi
  rm -f out.bmp
  local leases
  leases=$(strace -f -e trace=fcntl "$tool" "$@" 2>&1 >/dev/null | grep -cE 'F_SETLEASE, F_RDLCK\) += 0' || true)
  echo "$leases of the loads mapped, the others copied"
}

# The most anonymous memory seen in a run, in KiB.
ownMemory() {
  rm -f out.bmp
  $measure --anon "$@" | cut -d ' ' -f 4
}

floor() {
  cat "$2" > /dev/null
  dd if="$1" of=out.bmp bs=1M status=none
}
export -f floor

report() { # name, floor file, tool file, script...
  local name=$1 floorFile=$2 toolFile=$3
  shift 3
  printf '%-12s tool %8s ms, floor %8s ms, ratio %5s; faults %6s, peak %7s MiB, own %7s MiB; %s\n' \
    "$name" "$(ms "$(median "$toolFile" 1)")" "$(ms "$(median "$floorFile" 1)")" \
    "$(ratio "$(median "$toolFile" 1)" "$(median "$floorFile" 1)")" "$(median "$toolFile" 2)" \
    "$(mib "$(median "$toolFile" 3)")" "$(mib "$(ownMemory "$tool" "$@")")" "$(path "$@")"
}

eightK() {
  python3 "$here/make_bitmap.py" 8192 8192 24 1 base.bmp
  python3 "$here/make_bitmap.py" 4096 4096 24 2 patch.bmp
  printf 'load base base.bmp\nload patch patch.bmp\nmerge pixels ^ 0 0 0 0 4000 3980\nsave out.bmp\n' \
    > xor8k.tgs
  rm -f out.bmp
  "$tool" xor8k.tgs > /dev/null
  mv out.bmp mapped.bmp
  # A descriptor open to write on the base keeps any lease off it: the copied path.
  "$tool" xor8k.tgs > /dev/null 3>> base.bmp
  cmp -s out.bmp mapped.bmp || { echo "the mapped and the copied path wrote different bytes" >&2; exit 1; }
  numpyPython=
  for candidate in "$(python3 -c 'import sys; print(sys.executable)')" /usr/bin/python3; do
    if [[ -x $candidate ]] && "$candidate" -c 'import numpy' 2> /dev/null; then
      numpyPython=$candidate
      break
    fi
  done
  if [[ -n $numpyPython ]]; then
    "$numpyPython" "$here/xor_block_numpy.py" base.bmp patch.bmp 4000 3980 numpy.bmp
    cmp -s numpy.bmp mapped.bmp || { echo "numpy and tilegraft wrote different bytes" >&2; exit 1; }
    echo "8k output: the same bytes on both paths and from numpy"
  else
    echo "8k output: the same bytes on both paths (no numpy for the independent check)"
  fi
  rm -f mapped.bmp numpy.bmp

  if wanted warm; then
    # Warm: one uncounted round, then interleaved so that noise falls on both alike.
    for ((run = -1; run < runs; run++)); do
      ((run == 0)) && rm -f warm.*
      timed warm.floor bash -c 'floor "$@"' floor base.bmp patch.bmp
      timed warm.tool "$tool" xor8k.tgs
    done
    report "warm 8k" warm.floor warm.tool xor8k.tgs
  fi

  if wanted idle; then
    for ((run = 0; run < runs; run++)); do
      sleep "$idle"
      timed idle.floor bash -c 'floor "$@"' floor base.bmp patch.bmp
      sleep "$idle"
      timed idle.tool "$tool" xor8k.tgs
    done
    report "after idle" idle.floor idle.tool xor8k.tgs
  fi
  rm -f base.bmp patch.bmp out.bmp
}

smallFiles() {
  # Small files: whole loops, three of each, interleaved; the medians of the loops compared.
  python3 "$here/make_bitmap.py" 256 256 8 1 sheet.bmp
  {
    printf 'load base sheet.bmp\nload patch sheet.bmp\n'
    awk 'BEGIN { for (i = 0; i < 20; i++) print "merge pixels ^ " i * 12 " " i * 12 " 0 0 16 16" }'
    printf 'save out.bmp\n'
  } > small.tgs
  for ((round = 0; round < 3; round++)); do
    timed small.floor bash -c 'for ((i = 0; i < $0; i++)); do rm -f out.bmp; cp sheet.bmp out.bmp; done' "$loop"
    timed small.tool bash -c 'for ((i = 0; i < $0; i++)); do rm -f out.bmp; "$1" "$2"; done' "$loop" "$tool" small.tgs
    timed small.bulk bash -c 'for ((i = 0; i < $0; i++)); do rm -f out.bmp; "$1" --no-sync "$2"; done' "$loop" "$tool" small.tgs
  done
  report "small files" small.floor small.tool small.tgs
  figure "small files, loop of $loop against cp" \
    "$(ratio "$(median small.tool 1)" "$(median small.floor 1)")"
  figure "small files, --no-sync, loop of $loop against cp" \
    "$(ratio "$(median small.bulk 1)" "$(median small.floor 1)")"
  echo "             (times are of whole loops of $loop; faults and peak of the loop's shell)"
  rm -f sheet.bmp out.bmp
}

twoGiB() {
  bigBytes=2147249334
  freeDisk=$(($(df -k --output=avail "$work" | tail -n 1) * 1024))
  needDisk=$((2 * bigBytes + (64 << 20)))
  if ((freeDisk < needDisk)); then
    echo "2 GiB: skipped, needs $(mib $((needDisk / 1024))) MiB free in $work"
    return
  fi
  python3 "$here/make_bitmap.py" 26752 26755 24 3 big.bmp
  python3 "$here/make_bitmap.py" 256 256 24 4 patch.bmp
  {
    printf 'load base big.bmp\nload patch patch.bmp\n'
    awk 'BEGIN { for (i = 0; i < 100; i++) print "merge pixels ^ " (i % 10) * 2600 " " \
      int(i / 10) * 2600 " 0 0 64 64" }'
    printf 'save out.bmp\n'
  } > big.tgs
  "$tool" big.tgs > /dev/null
  mv out.bmp mapped.bmp
  "$tool" big.tgs > /dev/null 3>> big.bmp
  cmp -s out.bmp mapped.bmp || { echo "2 GiB: the two paths wrote different bytes" >&2; exit 1; }
  rm -f mapped.bmp
  for ((run = -1; run < runs; run++)); do
    ((run == 0)) && rm -f big.floor big.tool
    timed big.floor dd if=big.bmp of=out.bmp bs=1M status=none
    timed big.tool "$tool" big.tgs
  done
  report "2 GiB" big.floor big.tool big.tgs
}
# Shared blocks, per file system: the base copied in, one uncounted round, then dd, cp and the
# tool interleaved. The reference output is the same binary's in /dev/shm (no shared blocks).
sharedBlocks() {
  if ((EUID != 0)); then
    echo "shared:      skipped, needs root for loop mounts"
    return
  fi
  local reference
  reference=$(mktemp -d /dev/shm/tilegraft_shared.XXXXXX)
  python3 "$here/make_bitmap.py" 18000 18000 24 5 "$reference/base.bmp"
  python3 "$here/make_bitmap.py" 64 64 24 6 "$reference/patch.bmp"
  {
    printf 'load base base.bmp\nload patch patch.bmp\n'
    awk 'BEGIN { for (i = 0; i < 100; i++) print "merge pixels ^ " (i % 10) * 1790 " " \
      int(i / 10) * 1790 " 0 0 64 64" }'
    printf 'save out.bmp\n'
  } > "$reference/shared.tgs"
  (cd "$reference" && "$tool" shared.tgs > /dev/null)
  # The same save without the tool (bench/shared_save_floor.cpp), where a compiler is at hand.
  local floorProgram=$work/shared_save_floor
  c++ -O2 -o "$floorProgram" "$here/shared_save_floor.cpp" 2> /dev/null || floorProgram=
  for system in xfs btrfs; do
    if ! command -v "mkfs.$system" > /dev/null; then
      echo "shared $system: skipped, needs mkfs.$system"
      continue
    fi
    local disk=$work/$system
    mkdir -p "$disk"
    truncate -s 3G "$work/$system.img"
    if ! mkfs."$system" -q "$work/$system.img" > /dev/null 2>&1 ||
      ! mount -o loop "$work/$system.img" "$disk"; then
      echo "shared $system: skipped, a loop device cannot be mounted here"
      rm -f "$work/$system.img"
      continue
    fi
    mounted+=("$disk")
    cp "$reference/base.bmp" "$reference/patch.bmp" "$reference/shared.tgs" "$disk/"
    cd "$disk"
    sync
    for ((run = -1; run < runs; run++)); do
      ((run == 0)) && rm -f "$work"/shared.*
      # Each starts with nothing left to write back, so none pays for the one before.
      sync
      timed "$work/shared.dd" dd if=base.bmp of=out.bmp bs=1M status=none
      sync
      timed "$work/shared.cp" cp --reflink=always base.bmp out.bmp
      if [[ -n $floorProgram ]]; then
        for way in private buffer; do
          rm -f out.bmp
          sync
          "$floorProgram" "$way" | cut -d ' ' -f 1 >> "$work/shared.$way"
        done
      fi
      sync
      timed "$work/shared.tool" "$tool" shared.tgs
      # Both on the disk when they end: sync -f writes back this file system alone.
      sync
      timed "$work/shared.cpsync" bash -c 'cp --reflink=always base.bmp out.bmp && sync -f .'
      sync
      timed "$work/shared.toolsync" bash -c '"$0" shared.tgs > /dev/null && sync -f .' "$tool"
      if [[ -n $floorProgram ]]; then
        rm -f out.bmp
        sync
        timed "$work/shared.floorsync" bash -c '"$0" private > /dev/null && sync -f .' \
          "$floorProgram"
      fi
    done
    # What each wrote to the disk, from the loop device's count of sectors written: the same
    # however busy the machine is.
    local device written=()
    device=/sys/block/$(basename "$(findmnt -n -o SOURCE --target "$disk")")/stat
    for command in '"$1" shared.tgs' 'cp --reflink=always base.bmp out.bmp' '"$2" private'; do
      rm -f out.bmp
      sync
      local before
      before=$(awk '{ print $7 }' "$device")
      if [[ $command != *'$2'* || -n $floorProgram ]]; then
        bash -c "$command > /dev/null && sync -f ." _ "$tool" "$floorProgram"
      fi
      written+=("$(( ($(awk '{ print $7 }' "$device") - before) * 512 / 1000000 ))")
    done
    local ddTime cpTime toolTime
    ddTime=$(median "$work/shared.dd" 1)
    cpTime=$(median "$work/shared.cp" 1)
    toolTime=$(median "$work/shared.tool" 1)
    printf '%-12s tool %8s ms, dd %8s ms, ratio %6s; cp --reflink %6s ms, ratio %5s; %s\n' \
      "shared $system" "$(ms "$toolTime")" "$(ms "$ddTime")" "$(ratio "$toolTime" "$ddTime")" \
      "$(ms "$cpTime")" "$(ratio "$toolTime" "$cpTime")" "$(path shared.tgs)"
    local cpSync toolSync
    cpSync=$(median "$work/shared.cpsync" 1)
    toolSync=$(median "$work/shared.toolsync" 1)
    printf '%-12s tool + sync %6s ms, cp --reflink + sync %6s ms, ratio %5s\n' "  on disk:" \
      "$(ms "$toolSync")" "$(ms "$cpSync")" "$(ratio "$toolSync" "$cpSync")"
    printf '%-12s written to the disk: tool + sync %s MB, cp --reflink + sync %s MB, no tool + sync %s MB\n' \
      "" "${written[0]}" "${written[1]}" "${written[2]}"
    figure "$system 972 MB, +sync against cp --reflink+sync" "$(ratio "$toolSync" "$cpSync")"
    if [[ -n $floorProgram ]]; then
      local private buffer
      private=$(median "$work/shared.private" 1)
      buffer=$(median "$work/shared.buffer" 1)
      printf '%-12s pages made private %s ms, ratio %s; read into one buffer %s ms, ratio %s\n' \
        "  no tool:" "$private" "$(ratio "$private" "$(ms "$ddTime")")" "$buffer" \
        "$(ratio "$buffer" "$(ms "$ddTime")")"
      # What no save of these blocks can beat: their pages written and on the disk.
      local floorSync
      floorSync=$(median "$work/shared.floorsync" 1)
      printf '%-12s no tool + sync %6s ms, ratio %5s to cp --reflink + sync; the tool + sync %5s x it\n' \
        "" "$(ms "$floorSync")" "$(ratio "$floorSync" "$cpSync")" "$(ratio "$toolSync" "$floorSync")"
    fi
    cmp -s out.bmp "$reference/out.bmp" ||
      { echo "shared $system: not the bytes saved in /dev/shm" >&2; exit 1; }
    # Every byte of the base rewritten in place; the output read back from the disk.
    dd if=/dev/zero of=base.bmp bs=1M count="$(stat -c %s base.bmp)" iflag=count_bytes \
      conv=notrunc status=none
    sync
    dd if=out.bmp iflag=nocache count=0 status=none
    cmp -s out.bmp "$reference/out.bmp" ||
      { echo "shared $system: the output changed with the base" >&2; exit 1; }
    echo "             output: the bytes saved in /dev/shm, and still after the base was rewritten"
    cd "$work"
    umount "$disk"
    mounted=("${mounted[@]/$disk/}")
    rm -f "$work/$system.img"
  done
  rm -rf "$reference"
}

floorSynced() {
  cat "$2" > /dev/null
  dd if="$1" of=out.bmp bs=1M conv=fsync status=none
}
export -f floorSynced

# The 8k scenario in one folder against floors that end with the base's copy on the disk: warm,
# interleaved after one uncounted round, then each run after IDLE seconds. Every run starts
# with nothing of this file system left to write back, so none pays for the one before.
syncedEightK() { # name, folder
  local name=$1 folder=$2
  cp "$work/durable/base.bmp" "$work/durable/patch.bmp" "$work/durable/xor8k.tgs" "$folder/"
  (
    cd "$folder"
    rm -f "$work"/synced.*
    for ((run = -1; run < runs; run++)); do
      ((run == 0)) && rm -f "$work"/synced.*
      rm -f out.bmp && sync -f .
      timed "$work/synced.warmfloor" bash -c 'floorSynced "$@"' floor base.bmp patch.bmp
      rm -f out.bmp && sync -f .
      timed "$work/synced.warmtool" "$tool" xor8k.tgs
    done
    for ((run = 0; run < runs; run++)); do
      rm -f out.bmp && sync -f .
      sleep "$idle"
      timed "$work/synced.idlefloor" bash -c 'floorSynced "$@"' floor base.bmp patch.bmp
      rm -f out.bmp && sync -f .
      sleep "$idle"
      timed "$work/synced.idletool" "$tool" xor8k.tgs
    done
    cmp -s out.bmp "$work/durable/out.bmp" || { echo "$name: not the bytes saved before" >&2; exit 1; }
    rm -f base.bmp patch.bmp xor8k.tgs out.bmp
  )
  local kind warmTool warmFloor idleTool idleFloor
  kind=$(stat -f -c %T "$folder")
  warmTool=$(median "$work/synced.warmtool" 1)
  warmFloor=$(median "$work/synced.warmfloor" 1)
  idleTool=$(median "$work/synced.idletool" 1)
  idleFloor=$(median "$work/synced.idlefloor" 1)
  printf '%-12s warm: tool %8s ms, cat + dd conv=fsync %8s ms, ratio %5s (%s)\n' "$name" \
    "$(ms "$warmTool")" "$(ms "$warmFloor")" "$(ratio "$warmTool" "$warmFloor")" "$kind"
  printf '%-12s after %s s: tool %8s ms, cat + dd conv=fsync %8s ms, ratio %5s\n' "" "$idle" \
    "$(ms "$idleTool")" "$(ms "$idleFloor")" "$(ratio "$idleTool" "$idleFloor")"
  figure "$name 8k warm, against cat+dd conv=fsync" "$(ratio "$warmTool" "$warmFloor")"
  figure "$name 8k after ${idle} s, against cat+dd conv=fsync" "$(ratio "$idleTool" "$idleFloor")"
}

# The 8k scenario where a save must reach a disk (ext4) and where a sync costs nothing (tmpfs).
durableEightK() {
  mkdir -p "$work/durable"
  (
    cd "$work/durable"
    python3 "$here/make_bitmap.py" 8192 8192 24 1 base.bmp
    python3 "$here/make_bitmap.py" 4096 4096 24 2 patch.bmp
    printf 'load base base.bmp\nload patch patch.bmp\nmerge pixels ^ 0 0 0 0 4000 3980\nsave out.bmp\n' \
      > xor8k.tgs
    "$tool" xor8k.tgs > /dev/null
  )
  local ext4Folder=
  if [[ $(stat -f -c %T "$work") == ext2/ext3 ]]; then
    ext4Folder=$work/ext4
    mkdir -p "$ext4Folder"
  elif ((EUID == 0)) && command -v mkfs.ext4 > /dev/null; then
    ext4Folder=$work/ext4
    mkdir -p "$ext4Folder"
    truncate -s 2G "$work/ext4.img"
    if mkfs.ext4 -q "$work/ext4.img" > /dev/null 2>&1 && mount -o loop "$work/ext4.img" "$ext4Folder"; then
      mounted+=("$ext4Folder")
    else
      ext4Folder=
    fi
  fi
  if [[ -n $ext4Folder ]]; then
    syncedEightK "ext4" "$ext4Folder"
  else
    echo "ext4:        skipped, $work is not ext4 and no ext4 image can be mounted (root only)"
  fi
  local shm
  shm=$(mktemp -d /dev/shm/tilegraft_durable.XXXXXX)
  syncedEightK "tmpfs" "$shm"
  rm -rf "$shm" "$work/durable"
}

if wanted warm || wanted idle; then eightK; fi
if wanted small; then smallFiles; fi
if wanted big; then twoGiB; fi
if wanted shared; then sharedBlocks; fi
if wanted durable; then durableEightK; fi
if wanted png; then
  # PNG tile sets against Pillow: bench/png_vs_pillow.sh, its lines and its ratios.
  while IFS= read -r line; do
    echo "$line"
    if [[ $line =~ ^(8k|small)\ .*time\ ratio\ ([0-9.]+).*size\ ratio\ ([0-9.]+) ]]; then
      figure "png ${BASH_REMATCH[1]}, time against Pillow's" "${BASH_REMATCH[2]}"
      figure "png ${BASH_REMATCH[1]}, size against Pillow's" "${BASH_REMATCH[3]}"
    fi
  done < <("$here/png_vs_pillow.sh" "$tool" all)
fi

if ((${#figures[@]} > 0)); then
  echo
  echo "Ratios held to targets (tool / floor, medians of $runs runs; loops of 3):"
  printf '  %s\n' "${figures[@]}"
fi
echo "load after: $(uptime | sed 's/.*load average: //')"
