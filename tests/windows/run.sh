#!/usr/bin/env bash
# Cross-builds the Windows programs into BUILD (default build-win) and runs them under wine in a
# private, headless prefix inside it. Skips, saying why, when mingw-w64 or wine is missing or wine
# cannot start; a failing build or test fails.
#
#   tests/windows/run.sh [BUILD]      JOBS (default 2) bounds the parallel compilations
set -euo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(realpath -m "${1:-$root/build-win}")
jobs=${JOBS:-2}
python=/usr/bin/python3

skip() {
  echo "SKIPPED: the Windows build and its wine tests: $*"
  exit 0
}

command -v x86_64-w64-mingw32-g++-posix >/dev/null || skip "no mingw-w64 compiler (g++-mingw-w64-x86-64-posix)"
wine=""
for candidate in /usr/lib/wine/wine64 "$(command -v wine64 || true)"; do
  if [ -n "$candidate" ] && [ -x "$candidate" ]; then
    wine=$candidate
    break
  fi
done
[ -n "$wine" ] || skip "no 64-bit wine (wine64)"
wineserver=$(dirname "$wine")/wineserver
[ -x "$wineserver" ] || wineserver=$(command -v wineserver || true)
[ -n "$wineserver" ] || skip "no wineserver"

# wancapture's libraries for Windows: built once per machine (several minutes) and kept outside the
# clone; the last line names their prefix. A failure here fails the run: it is not a missing tool.
deps=$(JOBS=$jobs bash "$root/tools/build-windows-deps.sh" | tail -n 1)
[ -f "$deps/.complete" ] || { echo "the Windows libraries were not built" >&2; exit 1; }

if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DTESSARYN_WINDOWS_DEPS="$deps"
elif ! grep -qxF "TESSARYN_WINDOWS_DEPS:PATH=$deps" "$build/CMakeCache.txt"; then
  cmake "$build" -DTESSARYN_WINDOWS_DEPS="$deps"
fi
cmake --build "$build" -j "$jobs"

export WINEPREFIX="$build/wineprefix"
export WINEDEBUG=-all
# No display: the null graphics driver below carries the hidden window, and nothing may pop up.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
unset DISPLAY WAYLAND_DISPLAY

# The first start of a prefix is slow, so a ready prefix is kept between runs.
if [ ! -f "$WINEPREFIX/.tessaryn-ready" ]; then
  rm -rf "$WINEPREFIX"
  echo "preparing the wine prefix $WINEPREFIX"
  timeout 600 "$wine" wineboot --init >/dev/null 2>&1 || true
  timeout 120 "$wineserver" -w || true
  [ -f "$WINEPREFIX/system.reg" ] || skip "wine cannot start (wineboot made no prefix)"
  timeout 120 "$wine" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1 ||
    skip "wine cannot start (reg failed)"
  timeout 120 "$wineserver" -w || true
  touch "$WINEPREFIX/.tessaryn-ready"
fi

# One server for the whole run, ended whatever happens.
"$wineserver" -p 2>/dev/null || true  # a server already running for the prefix is used as it is
trap '"$wineserver" -k >/dev/null 2>&1 || true' EXIT
tool="Z:${build//\//\\}\\tests_windows\\tessaryn_test_tool.exe"
# The shell's "open" of an http address runs the browser stand-in, which notes the address.
timeout 120 "$wine" reg add 'HKCR\http\shell\open\command' /ve /d "\"$tool\" open \"%1\"" /f >/dev/null 2>&1 ||
  skip "wine cannot start (reg failed)"
# A first window look-up alone brings up the prefix's desktop; a program that starts while another
# one is bringing it up can hang.
status=0
timeout 120 "$wine" "$build/tests_windows/tessaryn_test_tool.exe" post 0 >/dev/null 2>&1 || status=$?
# 3: no tray window found, which is what a program that ran says here.
[ "$status" -eq 3 ] || [ "$status" -eq 0 ] || skip "wine cannot start a program (exit code $status)"

export TESSARYN_WINE="$wine" TESSARYN_WIN_BUILD="$build" PYTHONDONTWRITEBYTECODE=1
start=$(date +%s)
"$python" -m pytest -q -p no:cacheprovider "$root/tests/windows"
echo "wine tests took $(( $(date +%s) - start )) s"
