#!/usr/bin/env bash
# The whole installation of a media of about 100 MB (ten packages of about 5 MB
# and a base.pkg carrying them all) onto a 512 MiB drive, beside a shell
# baseline that makes the same files with cp and tar -x in a host folder and
# lays that folder into an image of the same size with mke2fs -d, and the
# floor: that baseline with the method's chunk sizes for the copies. Median
# of RUNS runs each, taken in turn.
set -euo pipefail
BUILD_DIR=${BUILD_DIR:?the build folder}
HERE=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../common.sh
. "$HERE/../common.sh"
ROOT=$(cd "$HERE/../.." && pwd)
FLOOR="$BUILD_DIR/bench/floor/method_floor"
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

# The baseline's tree, its files copied by "$@" SOURCE TARGET (cp, or the
# method's copies in chunks of a given size), its packages unpacked by tar;
# then laid into an image of the drive's size by mke2fs -d. Prints seconds.
lay_tree() {
  local t0 t1 tree=$WORK/tree img=$WORK/base.img copy_media copy_package
  if [ "$1" = cp ]; then copy_media=(cp) copy_package=(cp)
  else copy_media=("$FLOOR" copy "$1") copy_package=("$FLOOR" copy "$2"); fi
  rm -rf "$tree" "$img"
  truncate -s 512M "$img"
  t0=$(bench_now)
  mkdir -p "$tree"/{binaries,boot,cache/pkg,etc}
  for f in install extract installer; do "${copy_media[@]}" "$MEDIA/binaries/$f" "$tree/binaries/$f" >/dev/null; done
  "${copy_media[@]}" "$MEDIA/boot/kernel.bin" "$tree/boot/kernel.bin" >/dev/null
  for f in index.json base.pkg base.manifest; do "${copy_media[@]}" "$MEDIA/installer/$f" "$tree/cache/$f" >/dev/null; done
  "${copy_media[@]}" "$MEDIA/etc/resolv.conf" "$tree/etc/resolv.conf" >/dev/null
  if [ "$1" = cp ]; then
    cp -r "$MEDIA/config" "$MEDIA/.view" "$MEDIA/icons" "$MEDIA/icons16" "$tree/"
  else
    (cd "$MEDIA" && find config .view icons icons16 -type d) | while read -r d; do mkdir -p "$tree/$d"; done
    (cd "$MEDIA" && find config .view icons icons16 -type f) | while read -r f; do
      "${copy_media[@]}" "$MEDIA/$f" "$tree/$f" >/dev/null
    done
  fi
  while read -r name dir; do
    mkdir -p "$tree$dir"
    "${copy_package[@]}" "$MEDIA/installer/pkg/$name.pkg" "$tree/cache/pkg/$name.pkg" >/dev/null
    tar -xzf "$tree/cache/pkg/$name.pkg" -C "$tree$dir"
  done < "$WORK/plan"
  mke2fs -q -F -t ext2 -b 4096 -m 0 -E offset=4194304 -d "$tree" "$img" $(( (512 * 1024 - 4096) ))k
  t1=$(bench_now)
  awk "BEGIN {print $t1 - $t0}"
}

python3 - "$MEDIA" > "$WORK/plan" <<'PY'
import json, sys
index = json.load(open(sys.argv[1] + "/installer/index.json"))
for p in index["packages"]:
    print(p["name"], p["install_dir"])
PY

# Ours, cp's and the floor's in turn each round: the floor copies the media
# in the media copy's 256-byte chunks and the packages in the package
# core's 1024-byte chunks.
: > "$WORK/ours" && : > "$WORK/base" && : > "$WORK/floor"
for i in $(seq "$RUNS"); do
  ours >> "$WORK/ours"
  lay_tree cp >> "$WORK/base"
  lay_tree 256 1024 >> "$WORK/floor"
done
ours_s=$(bench_median < "$WORK/ours")
bench_compare_time "whole installation (~100 MB media)" "$ours_s" "cp+tar+mke2fs -d" "$(bench_median < "$WORK/base")" 1.5
bench_compare_floor "whole installation, from its floor" "$ours_s" \
  "the same copies in 256/1024-byte chunks, tar, mke2fs -d" "$(bench_median < "$WORK/floor")" -
