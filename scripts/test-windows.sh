#!/usr/bin/env bash
# The Windows build, tested on Linux:
#   1. cross-builds the core, its C++ unit tests and the loader tests for 64-bit Windows with
#      MinGW-w64, and runs them under Wine (ctest, with Wine as the emulator);
#   2. compiles the extension's sources against CPython 3.13's own Windows headers (Include/
#      and PC/pyconfig.h from its source), with and without the interpreter lock, so that a
#      construct Windows does not have fails here. Nothing is linked: there is no Windows
#      interpreter here to link against or to run the Python suite with.
# Installs Debian's g++-mingw-w64-x86-64-posix and wine64 when they are missing (needs root
# then). Exits non-zero on any build failure or failed test.
#
# Usage: scripts/test-windows.sh
#
# Environment:
#   QUILLET_CACHE   cache root (default: $HOME/.cache/quillet): the Wine prefix
#                   ($QUILLET_CACHE/wine-prefix) and CPython's source tarball
#   PYTHON          the CPython 3.13 that compiles the test dictionary (see find-python.sh)
set -euo pipefail
cd "$(dirname "$0")/.."

log() { printf '[test-windows] %s\n' "$*" >&2; }
die() { log "error: $*"; exit 1; }

cache="${QUILLET_CACHE:-$HOME/.cache/quillet}"
build=build/windows
mkdir -p "$cache" "$build"

# --- tools -------------------------------------------------------------------------------
. scripts/_debian.sh
debian_install test-windows g++-mingw-w64-x86-64-posix wine64 || exit 1

# Debian's wine64 package puts its loader outside PATH.
wine=$(command -v wine64 || true)
[[ -n $wine ]] || { [[ -x /usr/lib/wine/wine64 ]] && wine=/usr/lib/wine/wine64; }
[[ -n $wine ]] || die "no wine64 found"
wineserver=$(command -v wineserver || true)
[[ -n $wineserver ]] || wineserver="$(dirname "$wine")/wineserver"

# A prefix of our own, made once; no window, no Mono or Gecko installer, and none of Wine's
# diagnostics in the test output.
export WINEPREFIX="$cache/wine-prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
# Leave no Wine server behind: it ends once its last program has, after a short grace time.
trap '"$wineserver" -w 2>/dev/null || true' EXIT
if [[ ! -f $WINEPREFIX/system.reg ]]; then
  log "creating the Wine prefix $WINEPREFIX"
  "$wine" wineboot --init >"$build/wineboot.log" 2>&1 || { cat "$build/wineboot.log" >&2; die "wineboot failed"; }
fi

# --- CPython's Windows headers -----------------------------------------------------------
tarball=$(scripts/fetch-cpython-source.sh | tail -n 1)
[[ -f $tarball ]] || die "fetch-cpython-source.sh printed no tarball path"
headers="$build/python-headers/$(basename "$tarball" | sed 's/\.orig\.tar\..*//')"
if [[ ! -f $headers/config/pyconfig.h ]]; then
  log "extracting Include/ and PC/pyconfig.h.in from $(basename "$tarball")"
  rm -rf "$headers"
  mkdir -p "$headers/config"
  tar -xf "$tarball" -C "$headers" --strip-components=1 --wildcards '*/Include' '*/PC/pyconfig.h.in'
  # The Windows installer's pyconfig.h is this template as it stands; the free-threaded one
  # defines Py_GIL_DISABLED, which the build passes on the command line instead.
  cp "$headers/PC/pyconfig.h.in" "$headers/config/pyconfig.h"
fi
headers=$(cd "$headers" && pwd)

# --- build and run -----------------------------------------------------------------------
py=$(scripts/find-python.sh)
log "cross-building with MinGW-w64 (output in $build/build.log)"
cmake -S . -B "$build" --toolchain cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=Debug \
  -DQUILLET_BUILD_TESTS=ON -DQUILLET_WERROR=ON -DPython_EXECUTABLE="$py" -DCMAKE_CROSSCOMPILING_EMULATOR="$wine" \
  -DQUILLET_CHECK_PYTHON_HEADERS="$headers/Include;$headers/config" >"$build/configure.log" 2>&1 \
  || { cat "$build/configure.log" >&2; die "cmake configure failed"; }
cmake --build "$build" --parallel 2 >"$build/build.log" 2>&1 \
  || { grep -E -B2 -A6 'error|warning' "$build/build.log" | head -n 80 >&2; die "the Windows build failed"; }
log "the extension's sources compiled against CPython $(basename "$headers" | sed 's/^python3.13_//')'s Windows headers, with and without the interpreter lock"

log "running the C++ tests under $("$wine" --version)"
ctest --test-dir "$build" --output-on-failure
