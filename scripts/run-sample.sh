#!/usr/bin/env bash
# The main job on the sample media: builds the programs, makes the sample
# installation media and a machine with one empty 64 MiB drive, runs the
# installer in it (headless, keys from a script: welcome, drive, options,
# confirm), checks the drive's file system and boots the drive's image as it
# stands in QEMU, showing what the kernel printed. The installer's screens are
# left as PNG files in build/sample/machine/screens/.
#
# One line per stage with its time; each stage's own output goes to a log in
# build/run-sample/, named with its last lines when the stage fails.
set -euo pipefail
cd "$(dirname "$0")/.."

SAMPLE=build/sample
MACHINE=$SAMPLE/machine
LOGS=build/run-sample
mkdir -p "$LOGS"
rm -f "$LOGS"/*.log

# Runs one stage with its output in LOGS/NAME.log and prints
# "run-sample: WHAT ... ok (T s)", or on failure the log's name and its
# last lines, and ends the script.
stage() {
  local name=$1 what=$2
  shift 2
  local log=$LOGS/$name.log start=$EPOCHREALTIME
  if ! "$@" > "$log" 2>&1; then
    echo "run-sample: $what failed after $(seconds_since "$start") s (log: $log); its last lines:"
    tail -n 15 "$log" | sed 's/^/  | /'
    exit 1
  fi
  echo "run-sample: $what ... ok ($(seconds_since "$start") s)"
}

# Seconds since START (an $EPOCHREALTIME value), one decimal.
seconds_since() {
  local now=$EPOCHREALTIME
  awk -v a="$1" -v b="$now" 'BEGIN { printf "%.1f", b - a }'
}

configure_and_build() {
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
  cmake --build build -j 2
}

make_media_and_machine() {
  rm -rf "$SAMPLE"
  python3 tools/qor-media media/sample "$SAMPLE/media" --build build
  python3 tools/qor-machine create "$MACHINE" --replace --media "$SAMPLE/media" --drives 1 --size 64M
  # Enter on the welcome screen, Enter on drive 0, I to keep the default
  # options, Enter to format and install, then Q on the final screen.
  printf 'enter\nenter\ni\nenter\nq\n' > "$MACHINE/keys"
  # Keep progress screens too (screens/NNN-present.png), a few a second.
  touch "$MACHINE/record-progress"
}

# The installer ends with status 0 after a failed installation too: its
# failure line is what tells.
install_onto_drive_0() {
  python3 tools/qor-machine run "$MACHINE" -- build/installer/installer
  ! grep -q '^\[installer\] failure' "$LOGS/install.log"
}

check_package_records() {
  python3 tools/qor-machine run --drive 0 "$MACHINE" -- build/pkg/install -c
}

boot_drive_0() {
  python3 tools/qor-machine boot "$MACHINE" 0 --timeout 60 --expect "QOR-OS test kernel booted"
}

stage deps "dependencies" bash scripts/install-deps.sh
stage build "build (build/)" configure_and_build
stage media "sample media and machine ($SAMPLE)" make_media_and_machine
stage install "install onto drive 0, headless" install_onto_drive_0
stage check "drive 0's file system check" python3 tools/qor-machine check "$MACHINE" 0
stage records "drive 0's package records (install -c)" check_package_records
stage boot "boot of drive 0's image in QEMU" boot_drive_0

# A dependency two selected packages share is installed with each of them.
installed=$({ grep -o '^install: installed [^ ]*' "$LOGS/install.log" || true; } | sort -u | wc -l)
kernel_line=$(sed -n 's/^| //p' "$LOGS/boot.log" | head -n 1)
echo "run-sample: $installed packages installed; the kernel printed: $kernel_line"
echo "run-sample: done: the sample media installed onto drive 0 and booted; screens in $MACHINE/screens/, image $MACHINE/drives/0/disk.img"
