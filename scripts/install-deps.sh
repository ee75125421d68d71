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
  cmake ninja-build g++ pkg-config
  libgtest-dev libmbedtls-dev libsdl2-dev libpng-dev zlib1g-dev libext2fs-dev
  grub-pc-bin grub-common qemu-system-x86 e2fsprogs
  console-setup-linux
  tar gzip python3
)
# The fuzz build (clang), the network peers of the tests and benchmarks
# (nginx with an openssl certificate, curl), and the benchmark timer.
TEST_PACKAGES=(
  clang libclang-rt-14-dev nginx openssl curl hyperfine
)

case "${1:-}" in
  "") ;;
  --tests) PACKAGES+=("${TEST_PACKAGES[@]}") ;;
  *) echo "install-deps: unknown argument '$1' (usage: install-deps.sh [--tests])" >&2; exit 2 ;;
esac

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all ${#PACKAGES[@]} packages present"
  exit 0
fi

mkdir -p build
LOG=build/install-deps.log
: > "$LOG"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive

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

step "updating the package lists" $SUDO apt-get update -q
step "installing ${missing[*]}" $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"

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
