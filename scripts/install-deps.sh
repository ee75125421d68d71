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
  xvfb xdotool x11-apps x11-utils
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
