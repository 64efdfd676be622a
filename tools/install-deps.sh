#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, and only those that are missing,
# so that running it again on a ready machine costs one dpkg query.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  python3 python3-dev python3-numpy python3-pytest python3-opencv pybind11-dev
  libopencv-dev libgtest-dev libgmock-dev libbenchmark-dev
  libturbojpeg0-dev
  ffmpeg ssocr libavformat-dev libavcodec-dev libswscale-dev libavutil-dev libsrt-gnutls-dev srt-tools
  libgtk-3-dev xdg-utils xvfb trayer x11-apps xdotool
  g++-mingw-w64-x86-64-posix wine wine64
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed$'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "installing: ${missing[*]}"
if [ "$(id -u)" -eq 0 ]; then
  sudo=()
elif command -v sudo >/dev/null 2>&1; then
  sudo=(sudo)
else
  echo "missing packages (${missing[*]}) and neither root nor sudo is available" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
