#!/usr/bin/env bash
# Cross-builds, for x86_64-w64-mingw32, the libraries wancapture.exe links (FFmpeg cut down to what
# it calls, libsrt, and mbedtls for the encrypted streams) as static libraries, from Debian's own
# source packages of the versions the Linux build uses, and prints the install prefix on its last
# line of output.
#
#   tools/build-windows-deps.sh [--print-key]
#
# The result is kept outside the clone, under ${TESSARYN_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/tessaryn},
# in a directory named after the source versions and a digest of the build options, so a second run
# only looks it up. A build runs in a scratch directory that is renamed into place at the end, under
# a lock: an interrupted build leaves nothing that a later run would take for a finished one.
# JOBS (default 2) bounds the parallel compilations.
set -euo pipefail

jobs=${JOBS:-2}
cache_root=${TESSARYN_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/tessaryn}/windows-deps
host=x86_64-w64-mingw32
cc=$host-gcc-posix
cxx=$host-g++-posix

# The version of a source package the Linux build uses: the one the installed development package
# was built from, or for a library the Linux build does not link (mbedtls), the archive's candidate.
installed_source_version() {
  dpkg-query -W -f='${source:Version}' "$1" 2>/dev/null
}
candidate_source_version() {
  apt-cache showsrc "$1" 2>/dev/null | sed -n 's/^Version: //p' | sort -V | tail -n 1
}

ffmpeg_version=$(installed_source_version libavcodec-dev)
srt_version=$(installed_source_version libsrt-gnutls-dev)
mbedtls_version=$(candidate_source_version mbedtls)
for pair in "ffmpeg:$ffmpeg_version" "srt:$srt_version" "mbedtls:$mbedtls_version"; do
  if [ -z "${pair#*:}" ]; then
    echo "cannot tell which ${pair%%:*} source version to build (is the deb-src entry missing?)" >&2
    exit 1
  fi
done

# Only what wancapture calls: the SRT protocol, the MPEG-TS demuxer, the H.264 parser and decoder,
# the scaler. Nothing is picked up from the build machine by itself.
ffmpeg_options=(
  --disable-everything --disable-autodetect --disable-programs --disable-doc --disable-debug
  --disable-avdevice --disable-avfilter --disable-swresample --disable-postproc
  --enable-static --disable-shared --enable-pic --enable-w32threads --enable-network
  --enable-libsrt --enable-protocol=libsrt --enable-demuxer=mpegts
  --enable-parser=h264 --enable-decoder=h264 --enable-swscale
)
srt_options=(
  -DENABLE_SHARED=OFF -DENABLE_STATIC=ON -DENABLE_APPS=OFF -DENABLE_TESTING=OFF
  -DENABLE_UNITTESTS=OFF -DENABLE_ENCRYPTION=ON -DUSE_ENCLIB=mbedtls -DENABLE_STDCXX_SYNC=ON
  -DENABLE_CXX_DEPS=ON
)
mbedtls_options=(
  -DENABLE_PROGRAMS=OFF -DENABLE_TESTING=OFF -DUSE_SHARED_MBEDTLS_LIBRARY=OFF
  -DUSE_STATIC_MBEDTLS_LIBRARY=ON -DMBEDTLS_FATAL_WARNINGS=OFF
)
compiler=$("$cxx" -dumpfullversion 2>/dev/null || echo none)
options_digest=$(printf '%s\n' "$compiler" "${ffmpeg_options[@]}" "${srt_options[@]}" "${mbedtls_options[@]}" \
  | sha256sum | cut -c1-12)
key="ffmpeg-${ffmpeg_version#*:}_srt-${srt_version}_mbedtls-${mbedtls_version}_${options_digest}"
prefix=$cache_root/$key

if [ "${1:-}" = "--print-key" ]; then
  echo "$key"
  exit 0
fi
if [ -f "$prefix/.complete" ]; then
  echo "$prefix"
  exit 0
fi

mkdir -p "$cache_root/sources"
exec 9>"$cache_root/.lock"
flock 9
if [ -f "$prefix/.complete" ]; then  # another run finished it while this one waited
  echo "$prefix"
  exit 0
fi

for tool in "$cc" "$cxx" cmake ninja make nasm dpkg-source apt-get; do
  command -v "$tool" >/dev/null || { echo "the Windows libraries need $tool" >&2; exit 1; }
done

# Fetches a source package into the shared sources directory (kept, so a change of options does
# not download again) and unpacks it, Debian's patches applied, into DIR. When the archive no longer
# serves that exact revision, the closest one of the same upstream version it does serve is taken,
# and said.
fetch() {
  local package=$1 version=$2 dir=$3 upstream=${2#*:} candidates candidate
  upstream=${upstream%-*}
  got=""
  candidates=$( (printf '%s\n' "$version"; apt-cache showsrc "$package" | sed -n 's/^Version: //p' \
    | grep -F -- "$upstream-" | sort -rV) | awk '!seen[$0]++')
  for candidate in $candidates; do
    if [ -f "$cache_root/sources/${package}_${candidate#*:}.dsc" ] ||
      (cd "$cache_root/sources" && apt-get source -qq --download-only "$package=$candidate" >>"$work/fetch.log" 2>&1)
    then
      got=$candidate
      break
    fi
  done
  if [ -z "$got" ]; then
    cat "$work/fetch.log" >&2
    echo "no source of $package $version can be fetched" >&2
    return 1
  fi
  [ "$got" = "$version" ] || echo "note: the archive no longer serves $package $version; building $got" >&2
  dpkg-source --no-check -x "$cache_root/sources/${package}_${got#*:}.dsc" "$dir" >/dev/null
  echo "$package $got" >>"$work/built-from"
}

# Scratch folders of builds that were killed outright; none is in use while the lock is held.
rm -rf "$cache_root"/.build.*
work=$(mktemp -d "$cache_root/.build.XXXXXX")
trap 'rm -rf "$work"' EXIT
stage=$work/prefix
mkdir -p "$stage"
started=$(date +%s)

fetch mbedtls "$mbedtls_version" "$work/mbedtls"
mbedtls_built=$got
fetch srt "$srt_version" "$work/srt"
srt_built=$got
fetch ffmpeg "$ffmpeg_version" "$work/ffmpeg"
ffmpeg_built=$got

toolchain=$work/toolchain.cmake
cat >"$toolchain" <<EOF
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER $cc)
set(CMAKE_CXX_COMPILER $cxx)
set(CMAKE_RC_COMPILER $host-windres)
set(CMAKE_FIND_ROOT_PATH /usr/$host $stage)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
EOF

echo "building mbedtls $mbedtls_built for $host" >&2
cmake -S "$work/mbedtls" -B "$work/mbedtls-build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$stage" "${mbedtls_options[@]}" >/dev/null
cmake --build "$work/mbedtls-build" -j "$jobs" >/dev/null
cmake --install "$work/mbedtls-build" >/dev/null

echo "building srt $srt_built for $host" >&2
cmake -S "$work/srt" -B "$work/srt-build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$stage" -DCMAKE_INSTALL_LIBDIR=lib \
  -DSSL_INCLUDE_DIRS="$stage/include" -DSSL_LIBRARY_DIRS="$stage/lib" \
  -DSSL_LIBRARIES="mbedtls;mbedx509;mbedcrypto" "${srt_options[@]}" >/dev/null
cmake --build "$work/srt-build" -j "$jobs" >/dev/null
cmake --install "$work/srt-build" >/dev/null

echo "building ffmpeg $ffmpeg_built for $host" >&2
mkdir -p "$work/ffmpeg-build"
(
  cd "$work/ffmpeg-build"
  PKG_CONFIG_LIBDIR="$stage/lib/pkgconfig" PKG_CONFIG_PATH="" \
    "$work/ffmpeg/configure" --prefix="$stage" --target-os=mingw32 --arch=x86_64 \
    --cross-prefix=$host- --cc="$cc" --cxx="$cxx" --pkg-config=pkg-config --pkg-config-flags=--static \
    "${ffmpeg_options[@]}" >"$work/ffmpeg-configure.log" 2>&1 ||
    { tail -n 30 ffbuild/config.log >&2; exit 1; }
  make -j "$jobs" >/dev/null
  make install >/dev/null
)

# The pkg-config files name the scratch directory; the cache directory is where they are read.
find "$stage/lib/pkgconfig" -name '*.pc' -exec sed -i "s|$stage|$prefix|g" {} +
{
  echo "host $host, compiler $compiler, options digest $options_digest"
  cat "$work/built-from"
  echo "built in $(( $(date +%s) - started )) s"
} >"$stage/BUILD-INFO"
touch "$stage/.complete"
rm -rf "$prefix"
mv "$stage" "$prefix"
echo "windows libraries ready: $(tr '\n' ';' <"$prefix/BUILD-INFO")" >&2
echo "$prefix"
