#!/usr/bin/env bash
# Runs the same cases with the Linux build and, under Wine, with the Windows build, each in a
# folder of its own, and fails unless both give the same exit status, the same standard output
# and error, byte for byte, and the same files (no temporary file left on either).
#
# Usage: tests/wine_compare.sh LINUX_TOOL WINDOWS_TOOL SAMPLES_TOOL
#   SAMPLES_TOOL writes the example bitmaps (the Linux tilegraft_samples). Needs wine64.
set -uo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
linux=$(realpath "$1")
windows=$(realpath "$2")
samples=$(realpath "$3")
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
export WINEDEBUG=-all

work=$(mktemp -d "${TMPDIR:-/tmp}/tilegraft-wine.XXXXXX")
trap 'chmod -R u+w "$work"; rm -rf "$work"' EXIT
mkdir "$work/template"
"$samples" "$work/template" > /dev/null
cp "$here"/examples/*.tgs "$work/template"
# The first run of Wine makes its prefix; it is not part of any case.
"$wine" "$windows" --version > /dev/null 2>&1

failures=0
cases=0

# run_case NAME SETUP INPUT ARGUMENTS...: SETUP is shell text run in the case's folder first.
run_case() {
  local name=$1 setup=$2 input=$3
  shift 3
  cases=$((cases + 1))
  for side in linux windows; do
    local dir="$work/$side/$name"
    mkdir -p "$dir"
    cp -r "$work/template/." "$dir"
    (cd "$dir" && eval "$setup")
    local tool=("$linux")
    [[ $side == windows ]] && tool=("$wine" "$windows")
    for attempt in 1 2; do
      (cd "$dir" && printf '%b' "$input" | "${tool[@]}" "$@" > ../"$name".out 2> ../"$name".err
       echo $? > ../"$name".status)
      # Under load Wine now and then starts no process at all: not a word came out. Once more.
      [[ $side == linux || -s $work/$side/$name.out || -s $work/$side/$name.err ]] && break
    done
  done
  if ! diff -r "$work/linux/$name" "$work/windows/$name" > "$work/diff.txt" ||
     ! cmp -s "$work/linux/$name.out" "$work/windows/$name.out" ||
     ! cmp -s "$work/linux/$name.err" "$work/windows/$name.err" ||
     ! cmp -s "$work/linux/$name.status" "$work/windows/$name.status"; then
    failures=$((failures + 1))
    echo "DIFFERS: $name ($*)"
    cat "$work/diff.txt"
    for stream in status out err; do
      diff <(cat "$work/linux/$name.$stream") <(cat "$work/windows/$name.$stream") |
        sed "s/^/  $stream: /"
    done
  fi
}

for script in "$here"/examples/*.tgs; do
  base=$(basename "$script" .tgs)
  run_case "$base" "" "" "$base.tgs"
  run_case "$base-check" "" "" --check "$base.tgs"
done
run_case plan "" "" --check --plan plan.bmp demo.tgs
make_script='printf "load base sheet.bmp\nload patch stamps.bmp\n<p = 4294967301 0 0 0 3 3\nsave n.bmp\n" > n.tgs'
run_case number-beyond-32-bits "$make_script" "" n.tgs
run_case sparse-4-gib "cp sheet.bmp big.bmp && truncate -s 4294968296 big.bmp &&
  printf 'load base big.bmp\n' > big.tgs" "" big.tgs
run_case utf8-names "cp sheet.bmp タイル.bmp && printf 'load base タイル.bmp\nsave タイル-2.bmp\n' > タイル.tgs" \
  "" タイル.tgs
run_case crlf-script "printf 'load base sheet.bmp\r\nload patch stamps.bmp\r\n<p ^ 1 1 0 0 9 9\r\nsave c.bmp\r\n' > c.tgs" \
  "" c.tgs
run_case answers "cp sheet.bmp a.bmp && cp sheet.bmp b.bmp &&
  printf 'load base stamps.bmp\nsave a.bmp\nsave b.bmp\n' > ab.tgs" "y\nn\n" ab.tgs
run_case yes "cp sheet.bmp a.bmp && printf 'load base stamps.bmp\nsave a.bmp\n' > a.tgs" "n\n" --yes a.tgs
run_case script-from-input "" "load base sheet.bmp\nsave s.bmp\n" -
run_case folder-as-target "mkdir folder && printf 'load base sheet.bmp\nsave folder\n' > f.tgs" "" -y f.tgs
run_case missing-folder "printf 'load base sheet.bmp\nsave no/such.bmp\n' > m.tgs" "" m.tgs
run_case folder-as-script "mkdir folder" "" folder
run_case missing-script "" "" missing.tgs
run_case errors "printf 'load base sheet.bmp\nload patch stamps.bmp\n<t = 99 0\n' > e.tgs" "" e.tgs
run_case errors-check "printf 'load base sheet.bmp\nload patch stamps.bmp\n<t = 99 0\n' > e.tgs" "" --check e.tgs
# PNG: the same library and zlib on both, so the same bytes: written from BMP, merged as PNG,
# back to BMP, drawn in a plan, explained when damaged. The merges start from the Linux PNGs.
to_png='printf "load base sheet.bmp\nsave sheet.png\nload base stamps.bmp\nsave stamps.png\n" > p.tgs'
pngs="$to_png"' && "$linux" -y p.tgs > /dev/null &&
  printf "load base sheet.png\nload patch stamps.png\n<p ^ 1 1 0 0 9 9\nsave o.png\nsave o.bmp\n" > q.tgs'
run_case png-from-bmp "$to_png" "" -y p.tgs
run_case png-merge "$pngs" "" -y q.tgs
run_case png-plan "$pngs" "" --check --plan plan.bmp q.tgs
run_case png-damaged "printf '\x89PNG\r\n\x1a\n\0\0\0\rIHDR' > d.png && printf 'load base d.png\n' > d.tgs" \
  "" --check d.tgs
run_case unknown-option "" "" --chek demo.tgs
run_case wrong-command-line "" "" a.tgs b.tgs
# A read-only file is refused on both (root on Linux passes over the bits, so only Windows runs
# it here, against the message Linux gives its users).
cases=$((cases + 1))
dir="$work/windows/read-only"
mkdir -p "$dir" && cp -r "$work/template/." "$dir"
(cd "$dir" && cp sheet.bmp ro.bmp && chmod a-w ro.bmp &&
 printf 'load base stamps.bmp\nsave ro.bmp\n' > ro.tgs &&
 "$wine" "$windows" -y ro.tgs > ../ro.out 2> ../ro.err; echo $? > ../ro.status)
if [[ $(cat "$work/windows/ro.status") != 1 ]] ||
   ! grep -q '^\*\*\*\* Base bitmap: Error creating file.$' "$work/windows/ro.err" ||
   ! cmp -s "$dir/ro.bmp" "$dir/sheet.bmp" || ls -A "$dir" | grep -q tilegraft-; then
  failures=$((failures + 1))
  echo "DIFFERS: read-only target on Windows"
  cat "$work/windows/ro.err"
fi

echo "$cases cases, $failures differ"
[[ $failures -eq 0 ]]
