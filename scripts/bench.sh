#!/usr/bin/env bash
# Runs every benchmark (bench/<area>/run.sh) against a release build, each
# figure printed beside its peer's from the same invocation, and ends with
# all the comparisons together. RUNS sets the runs per figure (default 5);
# BUILD_DIR an existing Release build to use instead of build-bench.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh --tests
BUILD_DIR=${BUILD_DIR:-$PWD/build-bench}
cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$BUILD_DIR" -j 2
BENCH_SUMMARY=$(mktemp)
trap 'rm -f "$BENCH_SUMMARY"' EXIT
export BENCH_SUMMARY BUILD_DIR
for run in bench/*/run.sh; do
  [ -e "$run" ] || continue
  echo "== $run"
  bash "$run"
done
echo "== summary"
cat "$BENCH_SUMMARY"
