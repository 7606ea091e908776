#!/usr/bin/env bash
# Times whole runs of the tile-set work on the 8k scenario's bitmaps (an 8192x8192 24-bit base and
# a 4096x4096 patch, a third of whose pixels hold its key colour), each loaded, changed and saved,
# against the copy of the same number of bytes in the same kind of run:
#   extrude: every 32x32 tile of the base, 2-pixel borders, extruded by 2 (227x227 tiles);
#            against `=` of a 4096x3422 block, as many bytes as the extrusion writes;
#   keyed:   `~` of a 4096x4096 block; against `=` of the same block.
# Runs are interleaved, each binary's four scripts one after the other, round after round, so
# that other work on the machine falls on all alike; prints medians and the two ratios with their
# targets, and the machine's load before and after.
#
# Usage: bench/tile_set_8k.sh RUNS TILEGRAFT_BINARY [OTHER_BINARY ...]
#   Files go to $TMPDIR (default /tmp); TMPDIR=/dev/shm keeps the disk out of the figures.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
runs=$1
shift
tools=()
for tool in "$@"; do tools+=("$(realpath "$tool")"); done
work=$(mktemp -d "${TMPDIR:-/tmp}/tilegraft_tiles8k.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
python3 "$here/make_bitmap.py" 8192 8192 24 1 base.bmp
python3 "$here/make_bitmap.py" 4096 4096 24 2 patch.bmp 255,0,255
load='load base base.bmp\nload patch patch.bmp\n'
# 227 x 227 tiles of 36 x 36 - 32 x 32 pixels written: 14,013,056 pixels, 3422 rows of 4096.
printf "$load"'tilesize 32\ntilespecs base 0 0 2 2 2 2\nextrude base 2\nsave out.bmp\n' \
  > extrude.tgs
printf "$load"'merge pixels = 0 0 0 0 4096 3422\nsave out.bmp\n' > copy_extruded.tgs
printf "$load"'key patch 255 0 255\nmerge pixels ~ 2048 2048 0 0 4096 4096\nsave out.bmp\n' \
  > keyed.tgs
printf "$load"'merge pixels = 2048 2048 0 0 4096 4096\nsave out.bmp\n' > copy_keyed.tgs
scripts=(extrude copy_extruded keyed copy_keyed)

echo "files in: $work ($(stat -f -c %T "$work")); load before: $(uptime)"
# Round -1 warms up and is not counted.
for ((run = -1; run < runs; ++run)); do
  for i in "${!tools[@]}"; do
    for script in "${scripts[@]}"; do
      # The output of the run before is removed and written back first, outside the timed part,
      # so that no run pays for the write-back of another.
      rm -f out.bmp
      sync
      start=$(date +%s%N)
      "${tools[$i]}" "$script.tgs" > /dev/null
      if ((run >= 0)); then
        echo $((($(date +%s%N) - start) / 1000)) >> "$i.$script.times"
      fi
    done
  done
done
median() {
  sort -n "$1" | awk '{ v[NR] = $1 } END { printf "%.1f", v[int((NR + 1) / 2)] / 1000 }'
}
for i in "${!tools[@]}"; do
  declare -A ms=()
  for script in "${scripts[@]}"; do ms[$script]=$(median "$i.$script.times"); done
  echo "${tools[$i]} (medians of $runs, ms):"
  printf '  extrude %s, copy of the same bytes %s: %s (target at most 1.50)\n' \
    "${ms[extrude]}" "${ms[copy_extruded]}" \
    "$(awk -v a="${ms[extrude]}" -v b="${ms[copy_extruded]}" 'BEGIN { printf "%.2f", a / b }')"
  printf '  keyed copy %s, copy of the same block %s: %s (target at most 1.50)\n' \
    "${ms[keyed]}" "${ms[copy_keyed]}" \
    "$(awk -v a="${ms[keyed]}" -v b="${ms[copy_keyed]}" 'BEGIN { printf "%.2f", a / b }')"
done
echo "load after: $(uptime)"
