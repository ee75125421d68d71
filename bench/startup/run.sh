#!/usr/bin/env bash
# Start-up time: `extract` with no arguments (its usage text, then exit)
# against `tar --version`. The installer starts `extract` once per package,
# so what a program loads at start counts; no display library is among it.
#
# Environment: BUILD_DIR (a Release build, default build-bench), RUNS
# (default 200).
set -euo pipefail
cd "$(dirname "$0")/../.."
BUILD_DIR=${BUILD_DIR:-$PWD/build-bench}
EXTRACT="$BUILD_DIR/extract/extract"
RUNS=${RUNS:-200}
[ -x "$EXTRACT" ] || { echo "bench/startup: no extract program at $EXTRACT" >&2; exit 1; }
echo "extract needs: $(readelf -d "$EXTRACT" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')"
unset QOR_MACHINE
hyperfine -N -i --warmup 20 --runs "$RUNS" "$EXTRACT" "tar --version"
