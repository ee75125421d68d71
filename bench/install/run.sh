#!/usr/bin/env bash
# The whole installation of a media of about 100 MB (ten packages of about 5 MB
# and a base.pkg carrying them all) onto a 512 MiB drive, beside a shell
# baseline that makes the same files with cp and tar -x in a host folder and
# lays that folder into an image of the same size with mke2fs -d. Median of
# RUNS runs each, side by side.
set -euo pipefail
BUILD_DIR=${BUILD_DIR:?the build folder}
HERE=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../common.sh
. "$HERE/../common.sh"
ROOT=$(cd "$HERE/../.." && pwd)
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

MEDIA=$WORK/media
python3 "$ROOT/tools/qor-media" "$ROOT/media/sample" "$MEDIA" --build "$BUILD_DIR" >/dev/null
python3 "$HERE/make_media.py" "$MEDIA" 10 6
echo "media: $(du -sm "$MEDIA" | cut -f1) MB"


ours() {
  rm -rf "$WORK/m"
  python3 "$ROOT/tools/qor-machine" create "$WORK/m" --media "$MEDIA" --drives 1 --size 512M >/dev/null
  printf 'enter\nenter\ni\nenter\nq\n' > "$WORK/m/keys"
  local t0 t1
  t0=$(bench_now)
  QOR_MACHINE="$WORK/m" "$BUILD_DIR/installer/installer" > "$WORK/installer.log"
  t1=$(bench_now)
  if grep -q '\[installer\] error' "$WORK/installer.log"; then cat "$WORK/installer.log" >&2; exit 1; fi
  awk "BEGIN {print $t1 - $t0}"
}

baseline() {
  local t0 t1 tree=$WORK/tree img=$WORK/base.img
  rm -rf "$tree" "$img"
  truncate -s 512M "$img"
  t0=$(bench_now)
  mkdir -p "$tree"/{binaries,boot,cache/pkg,etc}
  for f in install extract installer; do cp "$MEDIA/binaries/$f" "$tree/binaries/"; done
  cp "$MEDIA/boot/kernel.bin" "$tree/boot/"
  cp "$MEDIA/installer/index.json" "$MEDIA/installer/base.pkg" "$MEDIA/installer/base.manifest" "$tree/cache/"
  cp "$MEDIA/etc/resolv.conf" "$tree/etc/"
  cp -r "$MEDIA/config" "$MEDIA/.view" "$MEDIA/icons" "$MEDIA/icons16" "$tree/"
  python3 - "$MEDIA" > "$WORK/plan" <<'PY'
import json, sys
index = json.load(open(sys.argv[1] + "/installer/index.json"))
for p in index["packages"]:
    print(p["name"], p["install_dir"])
PY
  while read -r name dir; do
    mkdir -p "$tree$dir"
    cp "$MEDIA/installer/pkg/$name.pkg" "$tree/cache/pkg/"
    tar -xzf "$tree/cache/pkg/$name.pkg" -C "$tree$dir"
  done < "$WORK/plan"
  mke2fs -q -F -t ext2 -b 4096 -m 0 -E offset=4194304 -d "$tree" "$img" $(( (512 * 1024 - 4096) ))k
  t1=$(bench_now)
  awk "BEGIN {print $t1 - $t0}"
}

for i in $(seq "$RUNS"); do ours; done > "$WORK/ours"
for i in $(seq "$RUNS"); do baseline; done > "$WORK/base"
bench_compare_time "whole installation (~100 MB media)" "$(bench_median < "$WORK/ours")" \
  "cp+tar+mke2fs -d" "$(bench_median < "$WORK/base")" 1.5
