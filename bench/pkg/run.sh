#!/usr/bin/env bash
# SHA-256 of 256 MiB (in the page cache) as whole processes: pkg_bench with
# the SHA instructions (when the processor has them) and with the portable
# code, beside sha256sum and openssl, RUNS rounds with the four run in turn
# and the median of each; then the hashing alone in memory and the time to
# parse a 128-package index near 512 KiB. Needs BUILD_DIR: a Release build.
set -euo pipefail
cd "$(dirname "$0")/../.."
: "${BUILD_DIR:?set BUILD_DIR to a Release build directory}"
source bench/common.sh
BENCH="$BUILD_DIR/bench/pkg/pkg_bench"
[ -x "$BENCH" ] || { echo "bench/pkg: $BENCH is not built" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
data="$work/random-256MiB"
bytes=$((256 * 1024 * 1024))
head -c "$bytes" /dev/urandom >"$data"
cat "$data" >/dev/null  # into the page cache, so every command reads from memory

digest() { "$@" | grep -oE '[0-9a-f]{64}' | head -1; }
expected=$(digest sha256sum "$data")
for engine in "" portable; do
  got=$(digest "$BENCH" sha256-file "$data" $engine)
  [ "$got" = "$expected" ] || { echo "bench/pkg: pkg_bench ${engine:-default} digest $got, sha256sum $expected" >&2; exit 1; }
done

: >"$work/ours" && : >"$work/portable" && : >"$work/sha256sum" && : >"$work/openssl"
for _ in $(seq "$RUNS"); do
  bench_wall "$BENCH" sha256-file "$data" >>"$work/ours"
  bench_wall "$BENCH" sha256-file "$data" portable >>"$work/portable"
  bench_wall sha256sum "$data" >>"$work/sha256sum"
  bench_wall openssl dgst -sha256 "$data" >>"$work/openssl"
done
rate() { bench_rate "$bytes" "$(bench_median <"$work/$1")"; }

echo "-- SHA-256, 256 MiB of random bytes, whole processes"
bench_compare_rate "SHA-256 (default engine)" "$(rate ours)" "openssl dgst -sha256" "$(rate openssl)" 1.0
bench_compare_rate "SHA-256 (default engine)" "$(rate ours)" "sha256sum" "$(rate sha256sum)" -
bench_compare_rate "SHA-256 (portable code)" "$(rate portable)" "sha256sum" "$(rate sha256sum)" -
echo "-- the hashing alone, in memory"
"$BENCH" sha256 "$data"
echo "-- index parsing"
"$BENCH" index
