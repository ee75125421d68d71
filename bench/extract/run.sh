#!/usr/bin/env bash
# Extraction speed: the same tar.gz of real files (about 50 MB from
# /usr/include and /usr/share/doc, archived now) extracted by our `extract`
# and by `tar -xzf`, RUNS times each. Prints for each the median wall time
# (and median user and system time: file creation costs both the same, the
# user time is mostly decompression), the throughput in uncompressed MB/s,
# and the ratio of the two.
#
# Environment: BUILD_DIR (a Release build, default build-bench), RUNS
# (default 5), TARGET_MB (default 50).
set -euo pipefail
cd "$(dirname "$0")/../.."
BUILD_DIR=${BUILD_DIR:-$PWD/build-bench}
EXTRACT="$BUILD_DIR/extract/extract"
RUNS=${RUNS:-5}
TARGET_MB=${TARGET_MB:-50}
[ -x "$EXTRACT" ] || { echo "bench/extract: no extract program at $EXTRACT" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/qor-bench-extract-XXXXXX")
trap 'rm -rf "$work"' EXIT

# Regular files of each tree in a fixed order, half of TARGET_MB from each.
for tree in /usr/include /usr/share/doc; do
  find "$tree" -type f -printf '%s\t%p\n' 2>/dev/null | LC_ALL=C sort -t"$(printf '\t')" -k2 |
    awk -F'\t' -v limit=$((TARGET_MB * 500 * 1000)) 'total < limit { total += $1; print substr($2, 2) }'
done >"$work/files"
tar -czf "$work/bench.tar.gz" -C / --no-recursion -T "$work/files"
raw_bytes=$(gzip -dc "$work/bench.tar.gz" | wc -c)
gz_bytes=$(stat -c %s "$work/bench.tar.gz")
echo "archive: $(wc -l <"$work/files") files, $raw_bytes bytes of tar, $gz_bytes bytes gzip-compressed"

# Median wall, user and system seconds of RUNS runs of "$@" extracting into
# a fresh directory: "wall user sys".
median_time() {
  local log="$work/times"
  : >"$log"
  local TIMEFORMAT='%R %U %S'
  for _ in $(seq "$RUNS"); do
    rm -rf "$work/out" && mkdir "$work/out"
    { time "$@" >/dev/null; } 2>>"$log"
  done
  local col
  for col in 1 2 3; do
    cut -d' ' -f"$col" "$log" | sort -g | awk '{ t[NR] = $1 } END { printf "%s ", (NR % 2) ? t[(NR + 1) / 2] : (t[NR / 2] + t[NR / 2 + 1]) / 2 }'
  done
}

ours=$(median_time env -u QOR_MACHINE "$EXTRACT" "$work/bench.tar.gz" "$work/out")
# The last run's tree must be GNU tar's.
mkdir -p "$work/theirs" && tar -xzf "$work/bench.tar.gz" -C "$work/theirs"
diff -r "$work/out" "$work/theirs" >/dev/null || { echo "bench/extract: trees differ" >&2; exit 1; }
theirs=$(median_time tar -xzf "$work/bench.tar.gz" -C "$work/out")

read -r ours ours_user ours_sys <<<"$ours"
read -r theirs theirs_user theirs_sys <<<"$theirs"
awk -v ours="$ours" -v theirs="$theirs" -v bytes="$raw_bytes" -v runs="$RUNS" \
    -v ou="$ours_user" -v os="$ours_sys" -v tu="$theirs_user" -v ts="$theirs_sys" 'BEGIN {
  printf "extract:  median %.3f s (user %.3f, sys %.3f) over %d runs, %.1f MB/s\n", ours, ou, os, runs, bytes / ours / 1e6;
  printf "tar -xzf: median %.3f s (user %.3f, sys %.3f) over %d runs, %.1f MB/s\n", theirs, tu, ts, runs, bytes / theirs / 1e6;
  printf "ratio: extract takes %.2f times as long as tar -xzf (user time: %.2f times)\n", ours / theirs, ou / tu }'
