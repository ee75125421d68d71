#!/usr/bin/env bash
# Builds everything and runs every test: the main build's tests, the unit
# tests again under AddressSanitizer and UndefinedBehaviorSanitizer, and the
# fuzz targets replaying their corpora.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

JOBS=${JOBS:-2}
GEN=()
if command -v ninja >/dev/null; then GEN=(-G Ninja); fi

echo "== main build and tests"
cmake -S . -B build "${GEN[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$JOBS"
ctest --test-dir build --output-on-failure -j "$JOBS"

echo "== unit tests under ASan and UBSan"
cmake -S . -B build-asan "${GEN[@]}" -DCMAKE_BUILD_TYPE=Debug -DQOR_SANITIZE=ON -DQOR_BUILD_TOOLS=OFF >/dev/null
cmake --build build-asan -j "$JOBS"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j "$JOBS" -L unit

echo "== fuzz targets replaying their corpora"
cmake -S . -B build-fuzz "${GEN[@]}" -DCMAKE_BUILD_TYPE=Debug -DQOR_FUZZ=ON \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build build-fuzz -j "$JOBS"
ctest --test-dir build-fuzz --output-on-failure -j "$JOBS" --no-tests=ignore
