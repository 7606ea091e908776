#!/usr/bin/env bash
# Runs each fuzz target for the given number of seconds (default 60), all at once, each on a fresh
# copy of its seed corpus. Builds the targets with clang into build-fuzz first.
# Prints the executions, the coverage and the findings of each; fails when there is a finding.
#
#   fuzz/run.sh [SECONDS]
#
# FUZZ_WORK_DIR chooses where corpora, logs and findings go (default build-fuzz/fuzz-runs);
# FUZZ_ARGS adds libFuzzer flags, e.g. "-fork=1 -ignore_crashes=1" to go on past a finding.
set -euo pipefail

seconds=${1:-60}
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-fuzz"
work=${FUZZ_WORK_DIR:-$build/fuzz-runs}

if [ ! -f "$build/CMakeCache.txt" ]; then
  CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTILEGRAFT_FUZZ=ON -DTILEGRAFT_BUILD_TESTS=OFF -DTILEGRAFT_WERROR=ON
fi
cmake --build "$build" -j2 --target fuzz_bitmap fuzz_script fuzz_merge fuzz_png

# The targets' scratch files go to one directory of this run, in memory where possible; fork
# mode and crashes end fuzzers without their own clean-up.
scratch=$(mktemp -d /dev/shm/tilegraft-fuzz-run.XXXXXX 2>/dev/null || mktemp -d)
trap 'rm -rf "$scratch"' EXIT
export TMPDIR="$scratch"

run_target() {
  local target=$1 corpus=$2
  shift 2
  local dir="$work/$target"
  rm -rf "$dir"
  mkdir -p "$dir/corpus" "$dir/findings"
  cp "$root/fuzz/corpus/$corpus"/* "$dir/corpus/"
  # A merge or script that runs for seconds is itself a finding: every line must end in time
  # proportional to the bitmap.
  (cd "$dir" && "$build/fuzz/$target" -max_total_time="$seconds" -timeout=10 \
    -print_final_stats=1 -artifact_prefix="$dir/findings/" "$@" ${FUZZ_ARGS:-} "$dir/corpus" \
    >"$dir/log" 2>&1) || true
}

# Bitmaps of up to 4 KB hold an 8-bit colour table and a few hundred pixels; a merge line is read
# from its first 32 bytes.
run_target fuzz_bitmap bitmap -max_len=4096 &
run_target fuzz_script script -max_len=4096 -dict="$root/fuzz/script.dict" &
run_target fuzz_merge merge -max_len=64 &
# PNG files of a few hundred pixels, every colour type and depth the tool reads.
run_target fuzz_png png -max_len=4096 &
wait

status=0
for target in fuzz_bitmap fuzz_script fuzz_merge fuzz_png; do
  dir="$work/$target"
  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$dir/log" | tail -n 1)
  # A target that fails on a seed stops before its first coverage line.
  coverage=$(grep -o 'cov: [0-9]* ft: [0-9]* corp: [0-9]*/[0-9a-zA-Z]*' "$dir/log" | tail -n 1 ||
    true)
  findings=$(find "$dir/findings" -type f | wc -l)
  echo "$target: ${executions:-0} executions in ${seconds} s, ${coverage:-no coverage line}," \
    "$findings finding(s)"
  if [ "$findings" -ne 0 ] || [ -z "$executions" ]; then
    status=1
    find "$dir/findings" -type f -printf '  %p\n'
    echo "  log: $dir/log"
  fi
done
exit "$status"
