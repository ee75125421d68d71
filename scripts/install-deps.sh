#!/usr/bin/env bash
# Installs the Debian packages this project builds, runs and tests with,
# only those that are missing. Never prompts: CI has no standard input.
set -euo pipefail

PACKAGES=(
  cmake ninja-build g++ clang libclang-rt-14-dev pkg-config
  libgtest-dev libmbedtls-dev libsdl2-dev libpng-dev zlib1g-dev
  grub-pc-bin grub-common qemu-system-x86 e2fsprogs
  console-setup-linux
  tar gzip python3 nginx openssl curl hyperfine
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
updated=no
apt_update_once() {
  [ "$updated" = yes ] || $SUDO apt-get update -qq
  updated=yes
}

if [ ${#missing[@]} -gt 0 ]; then
  echo "install-deps: installing ${missing[*]}"
  apt_update_once
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The i386 build: Debian's i386 libraries beside the 64-bit ones (multiarch),
# and QEMU's user-mode emulator registered with the kernel for i386
# executables, since this kernel runs no 32-bit ones and the installer
# starts extract. The window server is left out there, so no SDL.
# libext2fs-dev cannot stand beside its 64-bit self, so only the i386 library
# comes in; its headers are the 64-bit package's (they are the same for both)
# and cmake/i386-pkgconfig/ext2fs.pc points the i386 build at the library.
I386_PACKAGES=(
  g++-multilib qemu-user
  libmbedtls-dev:i386 libpng-dev:i386 zlib1g-dev:i386 libgtest-dev:i386
  libext2fs2:i386 comerr-dev:i386 libext2fs-dev
)
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  echo "install-deps: adding the i386 architecture"
  $SUDO dpkg --add-architecture i386
  updated=no
fi
missing=()
for p in "${I386_PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "install-deps: installing ${missing[*]}"
  apt_update_once
  # --no-remove: an :i386 package must never take a 64-bit one away.
  $SUDO apt-get install -y -qq --no-install-recommends --no-remove "${missing[@]}"
fi

BINFMT=/proc/sys/fs/binfmt_misc
if [ ! -e "$BINFMT/register" ]; then
  $SUDO mount -t binfmt_misc binfmt_misc "$BINFMT"
fi
if [ ! -e "$BINFMT/qemu-i386" ]; then
  # Debian ships no i386 entry on 64-bit x86 (its kernels usually run i386
  # natively), and a restarted kernel forgets entries: registered here. The
  # mask matches 32-bit little-endian ELF executables and shared objects of
  # machine 3 (i386); F opens the emulator now, so it works in any mount
  # namespace.
  printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386:F' \
    | $SUDO tee "$BINFMT/register" >/dev/null
fi
