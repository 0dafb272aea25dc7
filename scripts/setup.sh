#!/usr/bin/env bash
# Installs the Debian packages the project needs, when any is missing, and
# the npm package the studio's browser test drives chromium with.
# Idempotent: with everything present it only checks and exits.
#   scripts/setup.sh          what building, viewing and testing need
#   scripts/setup.sh --bench  also OpenCV, which the benchmarks compare against
#   scripts/setup.sh --web    only what scripts/web.sh needs (a site's build machine)
set -euo pipefail

packages=(
  g++ cmake make pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libpng-dev libdeflate-dev libsdl2-dev libcli11-dev libx11-dev
  xvfb xfonts-base xdotool x11-apps x11-utils imagemagick
  g++-mingw-w64-x86-64 wine wine64
  clang libclang-rt-14-dev
  libmpfr-dev
  g++-aarch64-linux-gnu qemu-user emscripten
  libcpp-httplib-dev nlohmann-json3-dev zlib1g-dev chromium
)
# Node.js and npm for the browser test, from Debian only where none is installed.
command -v node >/dev/null || packages+=(nodejs)
command -v npm >/dev/null || packages+=(npm)
if [[ "${1:-}" == "--bench" ]]; then
  packages+=(libopencv-dev python3)
fi
if [[ "${1:-}" == "--web" ]]; then
  packages=(cmake make emscripten)
  command -v node >/dev/null || packages+=(nodejs)
fi

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done

if [[ ${#missing[@]} -gt 0 ]]; then
  echo "setup: installing ${missing[*]}" >&2
  sudo=()
  if [[ $(id -u) -ne 0 ]]; then
    command -v sudo >/dev/null || { echo "setup: run as root or install sudo to install: ${missing[*]}" >&2; exit 1; }
    sudo=(sudo)
  fi
  export DEBIAN_FRONTEND=noninteractive
  "${sudo[@]}" apt-get update -qq
  "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

[[ "${1:-}" == "--web" ]] && exit 0

# playwright-core at the version the lock file names; it drives Debian's
# chromium and downloads no browser of its own.
browser_tests="$(cd "$(dirname "$0")/../tests/browser" && pwd)"
wanted=$(node -p "require('$browser_tests/package-lock.json').packages['node_modules/playwright-core'].version")
have=$(node -p "require('$browser_tests/node_modules/playwright-core/package.json').version" 2>/dev/null || true)
if [[ "$wanted" != "$have" ]]; then
  echo "setup: installing playwright-core $wanted for the browser test" >&2
  (cd "$browser_tests" && PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --no-audit --no-fund --loglevel=error >/dev/null)
fi
