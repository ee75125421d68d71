#!/usr/bin/env bash
# The main job on the sample media: builds the programs, makes the sample
# installation media and a machine with one empty 64 MiB drive, runs the
# installer in it (headless, keys from a script: welcome, drive, options,
# confirm), checks the drive's file system and boots the drive's image as it
# stands in QEMU, showing what the kernel printed. The installer's screens are left as
# PNG files in build/sample/machine/screens/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j 2

SAMPLE=build/sample
MACHINE=$SAMPLE/machine
rm -rf "$SAMPLE"
python3 tools/qor-media media/sample "$SAMPLE/media" --build build
python3 tools/qor-machine create "$MACHINE" --replace --media "$SAMPLE/media" --drives 1 --size 64M

# Enter on the welcome screen, Enter on drive 0, I to keep the default
# options, Enter to format and install, then Q on the final screen.
printf 'enter\nenter\ni\nenter\nq\n' > "$MACHINE/keys"
# Keep progress screens too (screens/NNN-present.png), a few a second.
touch "$MACHINE/record-progress"

echo "== installing onto drive 0 (headless; screens in $MACHINE/screens)"
python3 tools/qor-machine run "$MACHINE" -- build/installer/installer | tee "$SAMPLE/installer.log"
ls "$MACHINE/screens"
if grep -q '^\[installer\] failure' "$SAMPLE/installer.log"; then
  echo "== the installation failed: $(grep -m1 '^\[installer\] failure' "$SAMPLE/installer.log"); see the last screen in $MACHINE/screens"
  exit 1
fi

echo "== drive 0's file system"
python3 tools/qor-machine check "$MACHINE" 0
echo "== drive 0's package records (install -c)"
python3 tools/qor-machine run --drive 0 "$MACHINE" -- build/pkg/install -c
echo "== booting drive 0's image ($MACHINE/drives/0/disk.img)"
if python3 tools/qor-machine boot "$MACHINE" 0 --timeout 60 --expect "QOR-OS test kernel booted"; then
  echo "== done: installed the sample media onto drive 0 and booted it; screens in $MACHINE/screens, image $MACHINE/drives/0/disk.img"
else
  echo "== the installed drive did not boot to the kernel's line; screens in $MACHINE/screens, image $MACHINE/drives/0/disk.img"
  exit 1
fi
