#!/usr/bin/env bash
# The fault sweep of the whole installation (docs/fault-sweep.md): builds
# what it needs, then runs the sample media's installation once without
# faults and once per fault (every process, call, use and outcome), and
# prints the summary table. Exit status 1 when any run ended badly.
#
# usage: scripts/sweep.sh [--jobs J] [--max-uses N] [--keep DIR] [--timeout SECONDS]
#   (defaults: 2 jobs, every use of every call)
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j 2 --target fault_sweep installer extract install_program >/dev/null
jobs=()
[[ " $* " == *" --jobs "* ]] || jobs=(--jobs 2)
exec build/tests/sweep/fault_sweep "${jobs[@]}" "$@"
