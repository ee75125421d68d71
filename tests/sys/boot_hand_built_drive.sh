#!/usr/bin/env bash
# A drive made bootable without the wizard (partitioned through the drive
# services, then the boot loader's writers: grub.cfg and the kernel in the
# partition, sector 0, the core image from sector 1, the kernel from sector
# 1024) boots in QEMU as it stands to the test kernel's line, and its file
# system is clean.
set -euo pipefail
TOOL=$1 HAND_INSTALL=$2 KERNEL=$3
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

"$TOOL" create "$WORK/machine" --drives 1 --size 64M >/dev/null
mkdir -p "$WORK/machine/media/installer/grub" "$WORK/machine/media/boot"
cp /usr/lib/grub/i386-pc/boot.img "$WORK/machine/media/installer/grub/"
"$TOOL" grub-core "$WORK/machine/media/installer/grub/core.img"
cp "$KERNEL" "$WORK/machine/media/boot/kernel.bin"
"$TOOL" run "$WORK/machine" -- "$HAND_INSTALL" 0
"$TOOL" check "$WORK/machine" 0
"$TOOL" boot "$WORK/machine" 0 --timeout 60 --expect "QOR-OS test kernel booted"
