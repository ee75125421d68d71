#!/usr/bin/env bash
# The machine tool answers a user's mistake with one "qor-machine: ..." line
# and status 2, never a traceback; create refuses an existing machine unless
# asked to replace it, and then replaces it whole; format and put lay files
# onto a drive and refuse, with nothing written, what they cannot do.
set -uo pipefail
TOOL=$1
BUILD=$2
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
failures=0

expect_refusal() {
  local out status
  out=$("${@}" 2>&1)
  status=$?
  if [ "$status" -ne 2 ] || [ "$(printf '%s\n' "$out" | wc -l)" -ne 1 ] || [[ "$out" != qor-machine:* ]]; then
    echo "FAIL: $* -> status $status, output:"
    printf '%s\n' "$out"
    failures=$((failures + 1))
  fi
}

"$TOOL" create "$WORK/m" --drives 1 --size 16M >/dev/null || { echo "FAIL: create"; exit 1; }
touch "$WORK/m/media/kept"
expect_refusal "$TOOL"
expect_refusal "$TOOL" frobnicate
expect_refusal "$TOOL" create "$WORK/m"
expect_refusal "$TOOL" create "$WORK/new" --size 1000
expect_refusal "$TOOL" create "$WORK/new" --size lots
expect_refusal "$TOOL" create "$WORK/new" --media "$WORK/no-media"
expect_refusal "$TOOL" run "$WORK/m" --drive 0
expect_refusal "$TOOL" run "$WORK/m" --drive 0 -- "$WORK/no-such-program"
expect_refusal "$TOOL" run "$WORK/m" --drive 7 -- true
expect_refusal "$TOOL" run "$WORK/nowhere" -- true
expect_refusal "$TOOL" ls "$WORK/m" 0
expect_refusal "$TOOL" ls "$WORK/m" zero
expect_refusal "$TOOL" cat "$WORK/m" 3 /x
expect_refusal "$TOOL" export "$WORK/m" 0 "$WORK/out.img"
expect_refusal "$TOOL" boot "$WORK/no.img"
expect_refusal "$TOOL" write "$WORK/m" 0 "$WORK/stick" --yes

# Options in any order the help shows.
"$TOOL" run --drive 0 "$WORK/m" -- true || { echo "FAIL: run with --drive first"; failures=$((failures + 1)); }
"$TOOL" run "$WORK/m" --drive 0 -- true || { echo "FAIL: run with --drive after DIR"; failures=$((failures + 1)); }

# --replace replaces the machine whole.
"$TOOL" create "$WORK/m" --drives 2 --size 16M --replace >/dev/null || { echo "FAIL: --replace"; failures=$((failures + 1)); }
[ ! -e "$WORK/m/media/kept" ] && [ -e "$WORK/m/drives/1/disk.img" ] || { echo "FAIL: not replaced whole"; failures=$((failures + 1)); }

# format and put. A drive's tree as "kind size path" lines, and its check.
drive_tree() {
  local dir=$1 slot=$2 path=$3 line kind size name
  "$TOOL" ls "$dir" "$slot" "$path" | while read -r kind size name; do
    if [ "$kind" = d ]; then name=$size; size=-; fi
    [ "$name" = lost+found ] && continue
    echo "$kind $size ${path%/}/$name"
    if [ "$kind" = d ]; then drive_tree "$dir" "$slot" "${path%/}/$name"; fi
  done
}
expect_clean() {
  "$TOOL" check "$WORK/m" 0 >/dev/null 2>&1 || { echo "FAIL: drive not clean after: $1"; failures=$((failures + 1)); }
}
expect_tree() {
  local got
  got=$(drive_tree "$WORK/m" 0 / | sort)
  if [ "$got" != "$(printf '%s\n' "$@" | sort)" ]; then
    echo "FAIL: drive tree is:"; printf '%s\n' "$got"; failures=$((failures + 1))
  fi
}
F="--build $BUILD"
mkdir -p "$WORK/src/sub"
printf 'hello\n' > "$WORK/src/a.txt"
printf 'deep\n' > "$WORK/src/sub/b.txt"
ln -s a.txt "$WORK/src/link"
mkfifo "$WORK/fifo"
mkdir -p "$WORK/odd" && mkfifo "$WORK/odd/pipe"
touch "$WORK/$(printf 'n%.0s' $(seq 56))"
truncate -s 20M "$WORK/big"
"$TOOL" create "$WORK/m" --drives 2 --size 16M --replace >/dev/null
truncate -s 8M "$WORK/m/drives/1/disk.img"

# Refusals before the drive is prepared, and of format itself.
expect_refusal "$TOOL" put "$WORK/m" 0 "$WORK/src" /src $F
expect_refusal "$TOOL" format "$WORK/m" 7 $F
expect_refusal "$TOOL" format "$WORK/m" 1 $F
expect_refusal "$TOOL" format "$WORK/m" 0 --build "$WORK/no-build"
"$TOOL" format "$WORK/m" 0 $F >/dev/null || { echo "FAIL: format"; failures=$((failures + 1)); }
expect_clean format
expect_tree

# What put lays down: a tree with its link, a file under a new name, a file
# into an existing directory, a file over an existing one.
"$TOOL" put "$WORK/m" 0 "$WORK/src" / $F >/dev/null || { echo "FAIL: put a tree"; failures=$((failures + 1)); }
"$TOOL" put "$WORK/m" 0 "$WORK/src/a.txt" /renamed $F >/dev/null || { echo "FAIL: put as"; failures=$((failures + 1)); }
"$TOOL" put "$WORK/m" 0 "$WORK/src/sub/b.txt" /src $F >/dev/null || { echo "FAIL: put into"; failures=$((failures + 1)); }
printf 'new\n' > "$WORK/new"
"$TOOL" put "$WORK/m" 0 "$WORK/new" /renamed $F >/dev/null || { echo "FAIL: put over"; failures=$((failures + 1)); }
expect_clean put
expect_tree "d - /src" "- 6 /src/a.txt" "l 5 /src/link" "d - /src/sub" "- 5 /src/sub/b.txt" "- 5 /src/b.txt" \
  "- 4 /renamed"
[ "$("$TOOL" cat "$WORK/m" 0 /renamed)" = new ] || { echo "FAIL: put over kept the old file"; failures=$((failures + 1)); }

# Refusals on a prepared drive leave it as it was.
expect_refusal "$TOOL" put "$WORK/m" 0 "$WORK/src/a.txt" /no/where $F
expect_refusal "$TOOL" put "$WORK/m" 0 "$WORK/src/a.txt" relative $F
expect_refusal "$TOOL" put "$WORK/m" 0 "$WORK/src/a.txt" /src/../x $F
expect_refusal "$TOOL" put "$WORK/m" 0 "$WORK/missing" /x $F
expect_refusal "$TOOL" put "$WORK/m" 0 "$WORK/fifo" /x $F
expect_refusal "$TOOL" put "$WORK/m" 0 "$WORK/odd" /odd $F
expect_refusal "$TOOL" put "$WORK/m" 0 "$WORK/$(printf 'n%.0s' $(seq 56))" / $F
expect_refusal "$TOOL" put "$WORK/m" 0 "$WORK/big" /big $F
expect_refusal "$TOOL" put "$WORK/m" 0 "$WORK/src" /renamed $F
expect_refusal "$TOOL" put "$WORK/m" 0 "$WORK/new" /src/sub/b.txt/x $F
expect_clean refusals
expect_tree "d - /src" "- 6 /src/a.txt" "l 5 /src/link" "d - /src/sub" "- 5 /src/sub/b.txt" "- 5 /src/b.txt" \
  "- 4 /renamed"

[ "$failures" -eq 0 ] && echo "qor-machine: every refusal is one line and status 2"
exit "$failures"
