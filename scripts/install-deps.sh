#!/usr/bin/env bash
# Installs the Debian 12 packages Quillmark builds, runs and tests with.
# Idempotent: when every package is present it does nothing.
set -euo pipefail

packages=(
  cmake g++ ninja-build pkg-config ccache mold
  libboost-dev libcli11-dev nlohmann-json3-dev locales
  libgtest-dev libgmock-dev libbenchmark-dev
  libopencv-dev
  qtbase5-dev
  libaravis-dev libusb-1.0-0-dev aravis-tools
  xvfb xauth
  xdotool imagemagick python3-xlib openbox
  netcat-openbsd
  poppler-utils
  liblo-dev liblo-tools libmosquitto-dev mosquitto mosquitto-clients
  python3-websocket
)
# The side-by-side benchmarks compare against these (and the negative one reads
# python3-skimage's sample photographs); the product never links them.
if [ "${QUILLMARK_PEERS:-0}" = 1 ]; then
  packages+=(libopencv-contrib-dev libapriltag-dev python3-skimage)
fi
# The negative benchmark's other photographs: wallpapers that Debian ships
# (nature, city, abstract, drawn), read where they are installed.
if [ "${QUILLMARK_PHOTOS:-0}" = 1 ]; then
  packages+=(python3-skimage mate-backgrounds ukui-wallpapers lomiri-wallpapers plasma-workspace-wallpapers)
fi
# The operator page's test in a real browser; the product never needs one.
if [ "${QUILLMARK_BROWSER:-0}" = 1 ]; then
  packages+=(chromium)
fi
# Sanitizer and fuzzing builds.
if [ "${QUILLMARK_FUZZ:-0}" = 1 ]; then
  packages+=(clang libclang-rt-14-dev)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing packages: ${missing[*]}; run as root" >&2
  exit 1
fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
