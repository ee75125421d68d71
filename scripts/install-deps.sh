#!/usr/bin/env bash
# Installs the Debian packages this project builds and runs with, only those
# that are missing. Never prompts: CI has no standard input.
#
#   bash scripts/install-deps.sh           what the build and the main job need
#   bash scripts/install-deps.sh --tests   that, and what only the tests and
#                                          benchmarks use (scripts/test.sh,
#                                          scripts/bench.sh)
#
# apt's own output goes to build/install-deps.log; the terminal gets one
# line per step. nginx is only ever run by the tests themselves, so it is
# never left enabled or running as a service.
set -euo pipefail
cd "$(dirname "$0")/.."

PACKAGES=(
  cmake ninja-build g++ binutils pkg-config
  libgtest-dev libmbedtls-dev libsdl2-dev libpng-dev zlib1g-dev libext2fs-dev
  grub-pc-bin grub-common qemu-system-x86 e2fsprogs
  console-setup-linux
  tar gzip python3
  openssl  # the media builder signs every index it writes
)
# The fuzz build (clang), the network peers of the tests and benchmarks
# (nginx with an openssl certificate, curl), the benchmark timer and the
# call counter and profiler the benchmarks report with (strace, perf), and
# the X server and tools the desktop window tests drive the window server with.
TEST_PACKAGES=(
  clang libclang-rt-14-dev nginx curl hyperfine strace linux-perf
  xvfb xdotool x11-apps x11-utils
)

# The i386 build of the tests: Debian's i386 libraries beside the 64-bit
# ones (multiarch), and QEMU's user-mode emulator registered with the kernel
# for i386 executables, since this kernel runs no 32-bit ones and the
# installer starts extract. The window server is left out there, so no SDL.
# libext2fs-dev cannot stand beside its 64-bit self, so only the i386 library
# comes in; its headers are the 64-bit package's (they are the same for both)
# and cmake/i386-pkgconfig/ext2fs.pc points the i386 build at the library.
I386_PACKAGES=(
  g++-multilib qemu-user
  libmbedtls-dev:i386 libpng-dev:i386 zlib1g-dev:i386 libgtest-dev:i386
  libext2fs2:i386 comerr-dev:i386
)

tests=0
case "${1:-}" in
  "") ;;
  --tests) PACKAGES+=("${TEST_PACKAGES[@]}"); tests=1 ;;
  *) echo "install-deps: unknown argument '$1' (usage: install-deps.sh [--tests])" >&2; exit 2 ;;
esac

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive

missing_of() {
  local p
  for p in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then echo "$p"; fi
  done
}

# The emulator's entry for i386 executables. Debian ships none on 64-bit x86
# (its kernels usually run i386 natively), and a restarted kernel forgets
# entries: registered here. The mask matches 32-bit little-endian ELF
# executables and shared objects of machine 3 (i386); F opens the emulator
# now, so it works in any mount namespace.
register_i386_emulator() {
  local binfmt=/proc/sys/fs/binfmt_misc
  if [ ! -e "$binfmt/register" ]; then $SUDO mount -t binfmt_misc binfmt_misc "$binfmt"; fi
  if [ ! -e "$binfmt/qemu-i386" ]; then
    printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386:F' \
      | $SUDO tee "$binfmt/register" >/dev/null
  fi
}

mapfile -t missing < <(missing_of "${PACKAGES[@]}")
add_i386=0
i386_missing=()
if [ "$tests" = 1 ]; then
  if ! dpkg --print-foreign-architectures | grep -qx i386; then add_i386=1; fi
  mapfile -t i386_missing < <(missing_of "${I386_PACKAGES[@]}")
fi

if [ ${#missing[@]} -eq 0 ] && [ ${#i386_missing[@]} -eq 0 ] && [ "$add_i386" = 0 ]; then
  if [ "$tests" = 1 ]; then register_i386_emulator; fi
  echo "install-deps: all packages present"
  exit 0
fi

mkdir -p build
LOG=build/install-deps.log
: > "$LOG"
# Runs one step with its output in the log: "install-deps: <what>" on the
# terminal, and on failure the log's name and its last lines.
step() {
  local what=$1
  shift
  echo "install-deps: $what"
  echo "== $what" >> "$LOG"
  if ! "$@" >> "$LOG" 2>&1; then
    echo "install-deps: failed: $what (see $LOG):" >&2
    tail -n 5 "$LOG" >&2
    exit 1
  fi
}

# Keeps services from starting while packages install (apt asks
# policy-rc.d; 101 means "do not start"), unless the system already has a
# policy of its own.
POLICY=/usr/sbin/policy-rc.d
own_policy=0
if [ ! -e "$POLICY" ]; then
  printf '#!/bin/sh\nexit 101\n' | $SUDO tee "$POLICY" > /dev/null
  $SUDO chmod 755 "$POLICY"
  own_policy=1
fi
remove_policy() { if [ "$own_policy" = 1 ]; then $SUDO rm -f "$POLICY"; fi; }
trap remove_policy EXIT

if [ "$add_i386" = 1 ]; then step "adding the i386 architecture" $SUDO dpkg --add-architecture i386; fi
step "updating the package lists" $SUDO apt-get update -q
if [ ${#missing[@]} -gt 0 ]; then
  step "installing ${missing[*]}" $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
if [ ${#i386_missing[@]} -gt 0 ]; then
  # --no-remove: an :i386 package must never take a 64-bit one away.
  step "installing ${i386_missing[*]}" $SUDO apt-get install -y -q --no-install-recommends --no-remove "${i386_missing[@]}"
fi
if [ "$tests" = 1 ]; then step "registering the i386 emulator" register_i386_emulator; fi

disable_nginx() {
  if [ -d /run/systemd/system ]; then
    $SUDO systemctl disable --now nginx
  else
    if command -v systemctl > /dev/null; then $SUDO systemctl disable nginx; fi
    if command -v update-rc.d > /dev/null; then $SUDO update-rc.d nginx disable; fi
    if command -v service > /dev/null; then $SUDO service nginx stop || true; fi
  fi
}
for p in "${missing[@]}"; do
  if [ "$p" = nginx ]; then step "stopping and disabling the nginx service (the tests start their own)" disable_nginx; fi
done
echo "install-deps: done (details in $LOG)"
