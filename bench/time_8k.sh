#!/usr/bin/env bash
# Times the 8k scenario alone (an 8192x8192 24-bit base, a 4096x4096 patch, a 4000x3980 block
# XORed, saved), alternating runs of the given binaries, and prints each one's median, minimum and
# maximum wall time: a quick before-and-after check of a change, beside whole_process.sh.
#
# Usage: bench/time_8k.sh RUNS TILEGRAFT_BINARY [OTHER_BINARY ...]
#   Files go to $TMPDIR (default /tmp); TMPDIR=/dev/shm keeps the disk out of the figures.
#   The word floor in place of a binary times cat of the patch plus dd of the base instead.
#   IDLE=SECONDS sleeps that long before every run: the first run after a pause.
#   FSYNC=1 makes every output durable within the timed run: dd conv=fsync for the floor, and
#   each binary followed by sync of its output (a no-op's cost where the binary synced itself).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
runs=$1
shift
tools=()
for tool in "$@"; do
  if [[ $tool == floor ]]; then tools+=(floor); else tools+=("$(realpath "$tool")"); fi
done
work=$(mktemp -d "${TMPDIR:-/tmp}/tilegraft_8k.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
python3 "$here/make_bitmap.py" 8192 8192 24 1 base.bmp
python3 "$here/make_bitmap.py" 4096 4096 24 2 patch.bmp
printf 'load base base.bmp\nload patch patch.bmp\nmerge pixels ^ 0 0 0 0 4000 3980\nsave out.bmp\n' \
  > xor8k.tgs
for ((run = 0; run < runs; ++run)); do
  for i in "${!tools[@]}"; do
    rm -f out.bmp
    sleep "${IDLE:-0}"
    start=$(date +%s%N)
    if [[ ${tools[$i]} == floor ]]; then
      cat patch.bmp > /dev/null
      dd if=base.bmp of=out.bmp bs=1M status=none ${FSYNC:+conv=fsync}
    else
      "${tools[$i]}" xor8k.tgs > /dev/null
      [[ -z ${FSYNC:-} ]] || sync out.bmp
    fi
    echo $((($(date +%s%N) - start) / 1000)) >> "times.$i"
  done
done
for i in "${!tools[@]}"; do
  sort -n "times.$i" | awk -v tool="${tools[$i]}" \
    '{t[NR] = $1} END {printf "%s: median %.1f ms, min %.1f, max %.1f (%d runs)\n", tool,
      t[int((NR + 1) / 2)] / 1000, t[1] / 1000, t[NR] / 1000, NR}'
done
