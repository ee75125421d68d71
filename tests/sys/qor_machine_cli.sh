#!/usr/bin/env bash
# The machine tool answers a user's mistake with one "qor-machine: ..." line
# and status 2, never a traceback; create refuses an existing machine unless
# asked to replace it, and then replaces it whole.
set -uo pipefail
TOOL=$1
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

[ "$failures" -eq 0 ] && echo "qor-machine: every refusal is one line and status 2"
exit "$failures"
