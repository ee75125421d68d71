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
FLOOR="$BUILD_DIR/bench/floor/method_floor"
SOURCE_TREE=${SOURCE_TREE:-/usr/include}
BENCH_TMPFS=${BENCH_TMPFS:-/dev/shm}
[ -x "$EXTRACT" ] || { echo "bench/extract: no extract program at $EXTRACT" >&2; exit 1; }
[ -x "$FLOOR" ] || { echo "bench/extract: no floor program at $FLOOR" >&2; exit 1; }

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

# Each round takes ours, tar's and the method's floor in turn (bench/floor):
# for .tar the calls the extractor's rules require made straight to Linux,
# for .tar.gz our decoder alone over the same bytes, no file written.
floor_of() {
  rm -rf "$work/out" && mkdir "$work/out"
  if [ "$1" = tar.gz ]; then "$FLOOR" inflate "$work/tree.tar.gz"; else "$FLOOR" tar "$work/tree.tar" "$work/out"; fi
}
for kind in tar.gz tar; do
  flags=-xf
  [ "$kind" = tar.gz ] && flags=-xzf
  : >"$work/ours.$kind" && : >"$work/theirs.$kind" && : >"$work/floor.$kind"
  for _ in $(seq "$RUNS"); do
    bench_wall ours "$work/tree.$kind" >>"$work/ours.$kind"
    bench_wall theirs "$flags" "$work/tree.$kind" >>"$work/theirs.$kind"
    floor_of "$kind" >>"$work/floor.$kind"
  done
done
for kind in tar.gz tar; do
  flags=-xf
  [ "$kind" = tar.gz ] && flags=-xzf
  goal=-
  [ "$kind" = tar.gz ] && goal=2.0
  ours_s=$(bench_median <"$work/ours.$kind")
  bench_compare_time "extract .$kind ($SOURCE_TREE)" "$ours_s" "tar $flags" \
    "$(bench_median <"$work/theirs.$kind")" "$goal"
  if [ "$kind" = tar.gz ]; then
    what="bitwise CRC + bit-at-a-time tree walk, no file calls"
  else
    what="1024-byte reads and writes, prefix tests, mkdirs, straight to Linux"
  fi
  bench_compare_floor "extract .$kind, from its floor" "$ours_s" "$what" "$(bench_median <"$work/floor.$kind")" 1.3
done
# A .tar.gz extraction does both floors' work, one after the other.
both=$(awk -v a="$(bench_median <"$work/floor.tar.gz")" -v b="$(bench_median <"$work/floor.tar")" 'BEGIN { printf "%.4f\n", a + b }')
bench_compare_floor "extract .tar.gz, from both floors" "$(bench_median <"$work/ours.tar.gz")" \
  "decoding floor + .tar floor" "$both" -

if command -v strace >/dev/null; then
  # "calls" column of strace -c for the named system calls (all: every one), summed.
  count() { awk -v names="$2" 'BEGIN { n = split(names, want, ","); for (i = 1; i <= n; i++) w[want[i]] = 1 }
    ($NF in w) || (names == "all" && $4 ~ /^[0-9]+$/ && $NF != "total") { c += $4 } END { print c + 0 }' "$1"; }
  for kind in tar.gz tar; do
    flags=-xf
    [ "$kind" = tar.gz ] && flags=-xzf
    rm -rf "$work/out" && mkdir "$work/out"
    : >"$work/program.calls"
    strace -f -c -o "$work/calls.ours" env -u QOR_MACHINE QOR_CALL_COUNTS="$work/program.calls" \
      "$EXTRACT" "$work/tree.$kind" "$work/out" >/dev/null
    rm -rf "$work/out" && mkdir "$work/out"
    strace -f -c -o "$work/calls.theirs" tar "$flags" "$work/tree.$kind" -C "$work/out"
    printf 'system calls, .%s: %-10s read %6d  write %6d  open %6d  close %6d  mkdir %5d  fcntl %6d  fstat %6d\n' \
      "$kind" extract \
      "$(count "$work/calls.ours" read)" "$(count "$work/calls.ours" write)" \
      "$(count "$work/calls.ours" openat,openat2,open)" "$(count "$work/calls.ours" close)" \
      "$(count "$work/calls.ours" mkdir,mkdirat)" "$(count "$work/calls.ours" fcntl)" \
      "$(count "$work/calls.ours" newfstatat,fstat)"
    printf 'system calls, .%s: %-10s read %6d  write %6d  open %6d  close %6d  mkdir %5d  fcntl %6d  fstat %6d\n' \
      "$kind" "tar $flags" \
      "$(count "$work/calls.theirs" read)" "$(count "$work/calls.theirs" write)" \
      "$(count "$work/calls.theirs" openat,openat2,open)" "$(count "$work/calls.theirs" close)" \
      "$(count "$work/calls.theirs" mkdir,mkdirat)" "$(count "$work/calls.theirs" fcntl)" \
      "$(count "$work/calls.theirs" newfstatat,fstat)"
    # The program's own calls (the hosted machine's counters: "index number:count ...").
    program=$(awk '{ for (i = 2; i <= NF; i++) { split($i, f, ":"); c += f[2] } } END { print c + 0 }' "$work/program.calls")
    host=$(count "$work/calls.ours" all)
    line=$(awk -v h="$host" -v p="$program" -v k="$kind" 'BEGIN {
      r = h / p; g = 1.2
      printf "host calls per program call, .%-6s %d host / %d program = %.3f  goal <= %.2f: %s\n", k, h, p, r, g, (r <= g ? "met" : "MISSED") }')
    echo "$line"
    if [ "$kind" = tar ] && [ -n "${BENCH_SUMMARY:-}" ]; then echo "$line" >>"$BENCH_SUMMARY"; fi
  done
fi
