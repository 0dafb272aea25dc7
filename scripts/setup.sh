#!/usr/bin/env bash
# Installs the Debian packages the project needs, when any is missing.
# Idempotent: with everything present it only checks and exits.
#   scripts/setup.sh          what building, viewing and testing need
#   scripts/setup.sh --bench  also OpenCV, which the benchmarks compare against
set -euo pipefail

packages=(
  g++ cmake make pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libpng-dev libsdl2-dev libcli11-dev libx11-dev
  xvfb xfonts-base xdotool x11-apps x11-utils imagemagick
  g++-mingw-w64-x86-64 wine wine64
  clang libclang-rt-14-dev
  libmpfr-dev
  g++-aarch64-linux-gnu qemu-user emscripten
)
if [[ "${1:-}" == "--bench" ]]; then
  packages+=(libopencv-dev python3)
fi

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "setup: installing ${missing[*]}" >&2
sudo=()
if [[ $(id -u) -ne 0 ]]; then
  command -v sudo >/dev/null || { echo "setup: run as root or install sudo to install: ${missing[*]}" >&2; exit 1; }
  sudo=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
