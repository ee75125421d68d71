#!/usr/bin/env bash
# Runs every benchmark (bench/<area>/run.sh) against a release build.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh --tests
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-bench -j 2
for run in bench/*/run.sh; do
  [ -e "$run" ] || continue
  echo "== $run"
  BUILD_DIR="$PWD/build-bench" bash "$run"
done
