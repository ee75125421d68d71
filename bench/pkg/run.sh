#!/usr/bin/env bash
# SHA-256 throughput on a 256 MiB buffer beside sha256sum and openssl, and
# the time to parse a 128-package index near 512 KiB. Needs BUILD_DIR: a
# Release build of the project.
set -euo pipefail
: "${BUILD_DIR:?set BUILD_DIR to a Release build directory}"
BENCH="$BUILD_DIR/bench/pkg/pkg_bench"
[ -x "$BENCH" ] || { echo "bench/pkg: $BENCH is not built" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
data="$work/random-256MiB"
head -c $((256 * 1024 * 1024)) /dev/urandom > "$data"
cat "$data" > /dev/null  # into the page cache, so the peers read from memory too

# Prints "<label>: <seconds> s = <MiB/s> MiB/s  <digest>" for a peer command.
peer() {
    local label=$1; shift
    local start end digest
    start=$(date +%s.%N)
    digest=$("$@" | grep -oE '[0-9a-f]{64}')
    end=$(date +%s.%N)
    awk -v l="$label" -v s="$start" -v e="$end" -v d="$digest" \
        'BEGIN { t = e - s; printf "%s: 256 MiB in %.3f s = %.1f MiB/s  %s\n", l, t, 256 / t, d }'
}

echo "-- SHA-256, 256 MiB of random bytes"
"$BENCH" sha256 "$data"
peer "sha256sum" sha256sum "$data"
peer "openssl dgst -sha256" openssl dgst -sha256 "$data"

echo "-- index parsing"
"$BENCH" index
