#!/usr/bin/env bash
# Extraction speed: /usr/include archived now as .tar.gz and as .tar, in a
# tmpfs, extracted into the same tmpfs by our `extract` and by GNU tar
# (`tar -xzf`, `tar -xf`), RUNS rounds taking the two in turn, medians of the
# wall times. The extracted trees are compared once (symbolic links, which
# `extract` skips, left out). The call counts of one run each (strace -c)
# follow when strace is there.
#
# Environment: BUILD_DIR (a Release build), RUNS (default 5), SOURCE_TREE
# (default /usr/include), BENCH_TMPFS (default /dev/shm).
set -euo pipefail
cd "$(dirname "$0")/../.."
: "${BUILD_DIR:?set BUILD_DIR to a Release build directory}"
source bench/common.sh
EXTRACT="$BUILD_DIR/extract/extract"
SOURCE_TREE=${SOURCE_TREE:-/usr/include}
BENCH_TMPFS=${BENCH_TMPFS:-/dev/shm}
[ -x "$EXTRACT" ] || { echo "bench/extract: no extract program at $EXTRACT" >&2; exit 1; }

work=$(mktemp -d "$BENCH_TMPFS/qor-bench-extract-XXXXXX")
trap 'rm -rf "$work"' EXIT

member=${SOURCE_TREE#/}
tar -cf "$work/tree.tar" -C / "$member"
gzip -6 -c "$work/tree.tar" >"$work/tree.tar.gz"
files=$(tar -tvf "$work/tree.tar" | grep -c '^-')
echo "archive: $SOURCE_TREE, $files files, $(stat -c %s "$work/tree.tar") bytes of tar," \
  "$(stat -c %s "$work/tree.tar.gz") bytes gzip-compressed, in $BENCH_TMPFS"

# Runs one extraction into a fresh directory: `extract ARCHIVE` or `tar FLAGS ARCHIVE`.
ours() { rm -rf "$work/out" && mkdir "$work/out" && env -u QOR_MACHINE "$EXTRACT" "$1" "$work/out"; }
theirs() { rm -rf "$work/out" && mkdir "$work/out" && tar "$1" "$2" -C "$work/out"; }

# The trees must agree: ours, then tar's with its symbolic links taken out.
ours "$work/tree.tar.gz" >/dev/null
mv "$work/out" "$work/ours-tree"
theirs -xzf "$work/tree.tar.gz"
find "$work/out" -type l -delete
diff -r "$work/ours-tree" "$work/out" >/dev/null || { echo "bench/extract: trees differ" >&2; exit 1; }
rm -rf "$work/ours-tree"

for kind in tar.gz tar; do
  flags=-xf
  [ "$kind" = tar.gz ] && flags=-xzf
  : >"$work/ours.$kind" && : >"$work/theirs.$kind"
  for _ in $(seq "$RUNS"); do
    bench_wall ours "$work/tree.$kind" >>"$work/ours.$kind"
    bench_wall theirs "$flags" "$work/tree.$kind" >>"$work/theirs.$kind"
  done
  goal=-
  [ "$kind" = tar.gz ] && goal=2.0
  bench_compare_time "extract .$kind ($SOURCE_TREE)" "$(bench_median <"$work/ours.$kind")" "tar $flags" \
    "$(bench_median <"$work/theirs.$kind")" "$goal"
done

if command -v strace >/dev/null; then
  for kind in tar.gz tar; do
    flags=-xf
    [ "$kind" = tar.gz ] && flags=-xzf
    rm -rf "$work/out" && mkdir "$work/out"
    strace -f -c -o "$work/calls.ours" env -u QOR_MACHINE "$EXTRACT" "$work/tree.$kind" "$work/out" >/dev/null
    rm -rf "$work/out" && mkdir "$work/out"
    strace -f -c -o "$work/calls.theirs" tar "$flags" "$work/tree.$kind" -C "$work/out"
    # "calls" column of strace -c for the named system calls, summed.
    count() { awk -v names="$2" 'BEGIN { n = split(names, want, ","); for (i = 1; i <= n; i++) w[want[i]] = 1 }
      ($NF in w) { c += $4 } END { print c + 0 }' "$1"; }
    printf 'system calls, .%s: %-10s read %6d  write %6d  open %6d  close %6d  mkdir %5d\n' "$kind" extract \
      "$(count "$work/calls.ours" read)" "$(count "$work/calls.ours" write)" \
      "$(count "$work/calls.ours" openat,openat2,open)" "$(count "$work/calls.ours" close)" \
      "$(count "$work/calls.ours" mkdir,mkdirat)"
    printf 'system calls, .%s: %-10s read %6d  write %6d  open %6d  close %6d  mkdir %5d\n' "$kind" "tar $flags" \
      "$(count "$work/calls.theirs" read)" "$(count "$work/calls.theirs" write)" \
      "$(count "$work/calls.theirs" openat,openat2,open)" "$(count "$work/calls.theirs" close)" \
      "$(count "$work/calls.theirs" mkdir,mkdirat)"
  done
fi
