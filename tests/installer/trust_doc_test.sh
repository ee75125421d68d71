#!/usr/bin/env bash
# Runs the shell blocks of docs/trust.md in order, as a newcomer pastes them,
# in a home of its own, with nginx on a loopback address of the test's own.
# Then checks what they made: a verified signature, the serial, and the
# archive the index names served at its relative path.
# usage: trust_doc_test.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
SOURCE=$1
BUILD=$(cd "$2" && pwd)
TMP=$(mktemp -d)
chmod 755 "$TMP"  # nginx started by root serves as an unprivileged user
export HOME=$TMP/home WORK=$TMP/work ADDR=127.0.69.1:8069 BUILD
unset XDG_CONFIG_HOME
mkdir -p "$HOME"
stop() {
  if [ -f "$WORK/nginx.pid" ]; then kill "$(cat "$WORK/nginx.pid")" 2>/dev/null || true; fi
  rm -rf "$TMP"
}
trap stop EXIT

awk '/^```sh$/ {on=1; next} /^```$/ {on=0} on' "$SOURCE/docs/trust.md" > "$TMP/commands.sh"
test -s "$TMP/commands.sh"
cd "$SOURCE"
bash -euo pipefail "$TMP/commands.sh" > "$TMP/out.txt" 2>&1 || { cat "$TMP/out.txt"; echo "FAIL: the commands of docs/trust.md"; exit 1; }
cat "$TMP/out.txt"
grep -qx "Verified OK" "$TMP/out.txt" || { echo "FAIL: no 'Verified OK'"; exit 1; }
grep -q '"serial": [0-9]' "$WORK/index.json" || { echo "FAIL: no serial in the index"; exit 1; }
want=$(python3 -c 'import json,sys; print([p["sha256"] for p in json.load(open(sys.argv[1]))["packages"] if p["name"]=="hello"][0])' "$WORK/index.json")
grep -q "^$want " "$TMP/out.txt" || { echo "FAIL: the archive served is not the one the index names"; exit 1; }
grep -q '"url": "pool/hello.tar.gz"' "$WORK/index.json" || { echo "FAIL: hello's url is not relative"; exit 1; }
test -f "$WORK/media/installer/trusted-keys.pem" -a -f "$WORK/media/installer/index.json.sig" -a -f "$WORK/media/installer/repositories"
for _ in $(seq 50); do [ -e "$WORK/nginx.pid" ] || break; sleep 0.1; done
if [ -e "$WORK/nginx.pid" ]; then echo "FAIL: nginx still running after the stop command"; exit 1; fi
echo "trust doc: commands ran, signature verified"
