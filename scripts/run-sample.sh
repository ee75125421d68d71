#!/usr/bin/env bash
# The main job on the sample media: builds the programs, makes the sample
# installation media and a machine with one empty 64 MiB drive, makes the
# drive bootable, exports it as a disk image and boots it in QEMU, showing
# what the kernel printed.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

GEN=()
if command -v ninja >/dev/null; then GEN=(-G Ninja); fi
cmake -S . -B build "${GEN[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j 2

SAMPLE=build/sample
rm -rf "$SAMPLE"
python3 tools/make-sample-media build "$SAMPLE/media"
python3 tools/qor-machine create "$SAMPLE/machine" --media "$SAMPLE/media" --drives 1 --size 64M

echo "== writing the boot loader and kernel onto drive 0"
python3 tools/qor-machine run "$SAMPLE/machine" -- build/tools/hand_install 0 \
  RAM:/installer/grub/boot.img RAM:/installer/grub/core.img RAM:/boot/kernel.bin

echo "== exporting drive 0 and booting it"
python3 tools/qor-machine export "$SAMPLE/machine" 0 "$SAMPLE/disk.img"
python3 tools/qor-machine boot "$SAMPLE/disk.img" --timeout 60 --expect "QOR-OS test kernel booted"
