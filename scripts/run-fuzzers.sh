#!/usr/bin/env bash
# Builds the libFuzzer targets and runs each one for a bounded time on a
# scratch copy of its seed corpus; fails when a target fails (a crash, a
# sanitizer report, a broken property).
#
#   scripts/run-fuzzers.sh [seconds] [build folder]
#
# seconds defaults to 20 per target, the build folder to build-fuzz in the
# repository. A longer run, for example an hour per target:
#   scripts/run-fuzzers.sh 3600
# A finding is written to <build folder>/fuzz-findings/<target>-crash-...;
# replay it with <build folder>/fuzz/<target> <that file>.
set -euo pipefail

seconds=${1:-20}
root=$(cd "$(dirname "$0")/.." && pwd)
build=${2:-$root/build-fuzz}
case $seconds in
  ''|*[!0-9]*) echo "run-fuzzers.sh: seconds must be a whole number, not '$seconds'" >&2; exit 2 ;;
esac

cc=${FUZZ_CC:-clang-14}
cxx=${FUZZ_CXX:-clang++-14}
if [ ! -f "$build/CMakeCache.txt" ]; then
  CC=$cc CXX=$cxx cmake -G Ninja -S "$root" -B "$build" \
    -DKELVO_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi
cmake --build "$build" -j 2

findings=$build/fuzz-findings
mkdir -p "$findings"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

failed=()
for seeds in "$root"/fuzz/corpus/*/; do
  target=$(basename "$seeds")
  exe=$build/fuzz/$target
  if [ ! -x "$exe" ]; then
    echo "run-fuzzers.sh: $target was not built" >&2
    failed+=("$target")
    continue
  fi
  mkdir -p "$scratch/$target"
  cp "$seeds"/* "$scratch/$target/"
  echo "== $target: ${seconds}s"
  if ! "$exe" -max_total_time="$seconds" -print_final_stats=1 \
      -artifact_prefix="$findings/$target-" "$scratch/$target" \
      >"$scratch/$target.log" 2>&1; then
    tail -n 60 "$scratch/$target.log" >&2
    failed+=("$target")
  else
    grep -E '^(#[0-9]+.*DONE|stat::number_of_executed_units)' "$scratch/$target.log" || true
  fi
done

if [ ${#failed[@]} -ne 0 ]; then
  echo "run-fuzzers.sh: failed: ${failed[*]}" >&2
  exit 1
fi
echo "run-fuzzers.sh: every target ran ${seconds}s clean"
