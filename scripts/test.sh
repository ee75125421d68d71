#!/usr/bin/env bash
# Builds everything and runs every test: the main build's tests, the unit
# tests again under AddressSanitizer and UndefinedBehaviorSanitizer, the fuzz
# targets replaying their corpora, and the whole 32-bit x86 build's tests.
# Both the main and the i386 build run the seam check (tests seam_check*).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh --tests

JOBS=${JOBS:-2}
LOGS=$(mktemp -d)
trap 'rm -rf "$LOGS"' EXIT

# Runs ctest, keeping its output for the summary at the end.
run_ctest() {
  local name=$1
  shift
  ctest "$@" 2>&1 | tee "$LOGS/$name.log"
  return "${PIPESTATUS[0]}"
}

echo "== main build and tests"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$JOBS"
run_ctest main --test-dir build --output-on-failure -j "$JOBS"

echo "== unit tests under ASan and UBSan"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQOR_SANITIZE=ON -DQOR_BUILD_TOOLS=OFF >/dev/null
cmake --build build-asan -j "$JOBS"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_ctest asan --test-dir build-asan --output-on-failure -j "$JOBS" -L unit

echo "== fuzz targets replaying their corpora"
cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQOR_FUZZ=ON \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build build-fuzz -j "$JOBS"
run_ctest fuzz --test-dir build-fuzz --output-on-failure -j "$JOBS" --no-tests=ignore

echo "== i386 build and tests, under QEMU's user-mode emulator"
# Every test of the build runs; none is left out there.
cmake -S . -B build-i386 -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE=cmake/i386.cmake >/dev/null
cmake --build build-i386 -j "$JOBS"
run_ctest i386 --test-dir build-i386 --output-on-failure -j "$JOBS"

# One closing line over all the runs.
total=0
failed=0
for log in "$LOGS"/*.log; do
  line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" || true)
  [ -n "$line" ] || continue
  f=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$line")
  t=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\2/' <<<"$line")
  total=$((total + t))
  failed=$((failed + f))
done
echo "all: $((total - failed)) passed, $failed failed"
