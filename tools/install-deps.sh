#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, and only those that are missing,
# so that running it again on a ready machine costs one dpkg query.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config libtsan2 clang-format
  python3 python3-dev python3-numpy python3-pytest python3-opencv python3-websockets pybind11-dev
  libopencv-dev libgtest-dev libgmock-dev libbenchmark-dev
  libturbojpeg0-dev
  ffmpeg ssocr libavformat-dev libavcodec-dev libswscale-dev libavutil-dev libsrt-gnutls-dev srt-tools
  libgtk-3-dev xdg-utils xvfb trayer x11-apps xdotool
  g++-mingw-w64-x86-64-posix wine wine64 dpkg-dev nasm
  chromium chromium-driver python3-selenium
)

# The Windows build compiles wancapture's libraries from Debian's own source packages, so the main
# archive's source entries are needed beside its binary ones: they are derived from those.
sources_missing() {
  ! apt-get indextargets --format '$(CREATED_BY)' 2>/dev/null | grep -qx 'Sources'
}
source_entries() {
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources
  elif [ -f /etc/apt/sources.list ]; then
    sed -n 's/^deb \(.*debian.*\)$/deb-src \1/p' /etc/apt/sources.list
  fi
}

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed$'; then
    missing+=("$p")
  fi
done

need_sources=0
sources_missing && need_sources=1
if [ ${#missing[@]} -eq 0 ] && [ $need_sources -eq 0 ]; then
  exit 0
fi

[ ${#missing[@]} -eq 0 ] || echo "installing: ${missing[*]}"
if [ "$(id -u)" -eq 0 ]; then
  sudo=()
elif command -v sudo >/dev/null 2>&1; then
  sudo=(sudo)
else
  echo "missing packages (${missing[*]}) and neither root nor sudo is available" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
if [ $need_sources -eq 1 ]; then
  entries=$(source_entries)
  if [ -n "$entries" ]; then
    target=/etc/apt/sources.list.d/tessaryn-deb-src.list
    [ -f /etc/apt/sources.list.d/debian.sources ] && target=/etc/apt/sources.list.d/tessaryn-deb-src.sources
    echo "adding the distribution's source entries: $target"
    printf '%s\n' "$entries" | "${sudo[@]}" tee "$target" >/dev/null
  fi
fi
"${sudo[@]}" apt-get update -qq
[ ${#missing[@]} -eq 0 ] || "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
