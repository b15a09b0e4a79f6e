#!/usr/bin/env bash
# Build a free-threaded ("--disable-gil") CPython 3.13 for testing quillet
# without the interpreter lock, and print the interpreter's path as the last
# line of stdout; all progress goes to stderr, so callers can write
#     PY=$(scripts/build-freethreaded-python.sh)
#
# Usage: scripts/build-freethreaded-python.sh [--tsan]
#   --tsan   also configure --with-thread-sanitizer (separate install folder)
#
# Environment:
#   QUILLET_CACHE   cache root (default: $HOME/.cache/quillet); the interpreter
#                   goes to $QUILLET_CACHE/cpython-3.13-freethreaded[-tsan]
#   QUILLET_FT_REBUILD=1   rebuild even if a working interpreter is present
#   QUILLET_FT_REFETCH=1   fetch the source again instead of reusing the
#                          tarball kept in $QUILLET_CACHE/downloads
#
# Debian packages no free-threaded interpreter (trixie's python3.13 has only
# the build with the lock), so it is built from source: Debian's python3.13
# source package from trixie, which works on any Debian release, older ones
# without a 3.13 included, fetched and verified by
# scripts/fetch-cpython-source.sh, which says how.
#
# Only the upstream tarball (.orig) is built; Debian's patches are not applied,
# because they adapt the interpreter to Debian's layout and its build is far
# heavier (PGO, LTO, several flavours) than a test interpreter needs. The
# build is cut to what testing quillet needs (see "build" below), which takes
# about a third of the CPU time of a default build. A run that finds a working
# interpreter already installed returns at once.

set -euo pipefail

# stdout is reserved for the final path; everything else goes to stderr.
exec 3>&1 1>&2

log() { printf '[build-freethreaded-python] %s\n' "$*" >&2; }
die() { log "error: $*"; exit 1; }

tsan=0
for arg in "$@"; do
    case "$arg" in
        --tsan) tsan=1 ;;
        -h|--help) sed -n '2,15p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) die "unknown argument: $arg" ;;
    esac
done

cache="${QUILLET_CACHE:-$HOME/.cache/quillet}"
name="cpython-3.13-freethreaded"
[[ $tsan == 1 ]] && name="$name-tsan"
prefix="$cache/$name"
py="$prefix/bin/python3.13t"
stamp="$prefix/.quillet-build-complete"

# The interpreter "works" when it runs, really has the lock disabled, and has
# what pip and a venv need (ssl for https, zlib for wheels, ensurepip) and the
# tests need (the CJK codecs; an interpreter cached without them is rebuilt).
# CPython itself has known, reviewed races under the sanitizer; its own list of
# them is kept beside the interpreter so every run of it can use the list.
suppressions="$prefix/tsan-suppressions.txt"
interpreter_works() {
    [[ -x $py && -f $stamp ]] || return 1
    if [[ $tsan == 1 ]]; then
        [[ -f $suppressions ]] || return 1
        export TSAN_OPTIONS="suppressions=$suppressions${TSAN_OPTIONS:+ $TSAN_OPTIONS}"
    fi
    env -u PYTHON_GIL "$py" -c '
import sys, sysconfig
import ssl, zlib, ctypes, ensurepip, venv
import codecs; codecs.lookup("shift_jis"); codecs.lookup("gb18030")
assert sysconfig.get_config_var("Py_GIL_DISABLED") == 1, "not a free-threaded build"
assert sys.abiflags.endswith("t"), sys.abiflags
assert not sys._is_gil_enabled(), "GIL is enabled"
' >&2
}

mkdir -p "$cache"
# Two callers at once (e.g. two test runs) must not build into the same folder.
exec 9>"$cache/.$name.lock"
if ! flock -n 9; then
    log "another build holds $cache/.$name.lock; waiting for it"
    flock 9
fi

if [[ ${QUILLET_FT_REBUILD:-0} != 1 ]] && interpreter_works; then
    log "reusing $py"
    printf '%s\n' "$py" >&3
    exit 0
fi

[[ $(id -u) == 0 ]] || die "needs root: it installs build dependencies"
command -v apt-get >/dev/null || die "apt-get not found (this script expects a Debian system)"

# --- build dependencies -------------------------------------------------------
# Kept to what the stdlib modules used by pip, venv and the tests need:
# ssl (https for pip), zlib (wheels), ctypes (libffi), lzma/bz2 (sdists).
. "$(dirname "$0")/_debian.sh"
debian_install build-freethreaded-python build-essential pkg-config xz-utils libssl-dev zlib1g-dev \
    libffi-dev liblzma-dev libbz2-dev || die "cannot install the build dependencies"

# --- source ------------------------------------------------------------------
logs="$cache/logs/$name"
work=""
cleanup() {
    local rc=$?
    [[ -n $work && -d $work ]] && rm -rf "$work"
    ((rc == 0)) || log "failed (exit $rc); build logs, if any, are in $logs"
    return $rc
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

mkdir -p "$logs"
work="$(mktemp -d "$cache/.work-$name.XXXXXX")"

# A tarball fetched (and verified) by an earlier run is reused, e.g. for the
# sanitizer build; QUILLET_FT_REFETCH=1 fetches again, picking up a newer one.
orig=("$(QUILLET_REFETCH_SOURCE="${QUILLET_FT_REFETCH:-0}" "$(dirname "$0")/fetch-cpython-source.sh" | tail -n 1)")
[[ -f ${orig[0]} ]] || die "fetch-cpython-source.sh printed no tarball path"
log "source: $(basename "${orig[0]}")"

# --- build -------------------------------------------------------------------
src="$work/src"
mkdir -p "$src"
tar -xf "${orig[0]}" -C "$src" --strip-components=1
[[ -x $src/configure ]] || die "no configure script in $(basename "${orig[0]}")"

# The interpreter only has to run pip, venv and quillet's tests, so the build
# leaves out what costs time and serves none of them: CPython's own test
# modules and test suite; pip in the interpreter's own prefix (every venv gets
# its pip from ensurepip, which stays); extension modules for terminals, GUIs
# and databases, and the C accelerator of decimal (the pure Python decimal
# stands in). The CJK codecs stay: pydicom decodes the test files' Japanese and
# Chinese texts with them. The C code is compiled at -O1: it halves the
# compile against the default -O3, and the test suite runs no slower on it.
# The sanitizer build keeps its debug information for readable reports.
configure_args=(--prefix="$prefix" --disable-gil --disable-test-modules --with-ensurepip=no)
for module in _curses _curses_panel readline _tkinter _dbm _gdbm _sqlite3 _decimal; do
    configure_args+=("py_cv_module_$module=n/a")
done
if [[ $tsan == 1 ]]; then
    configure_args+=(--with-thread-sanitizer "OPT=-DNDEBUG -g -O1 -Wall")
else
    configure_args+=("OPT=-DNDEBUG -O1 -Wall")
fi

if [[ $tsan == 1 ]]; then
    # The build runs the new interpreter (freezing modules, checking the
    # extension modules), and a sanitizer report would fail it with exit code 66.
    export TSAN_OPTIONS="suppressions=$src/Tools/tsan/suppressions_free_threading.txt${TSAN_OPTIONS:+ $TSAN_OPTIONS}"
fi

jobs="$(nproc)"
started=$(date +%s)
log "configure ${configure_args[*]}"
(
    cd "$src"
    ./configure "${configure_args[@]}" >"$logs/configure.log" 2>&1 \
        || { tail -n 40 "$logs/configure.log" >&2; exit 1; }
    log "make -j$jobs (output in $logs/make.log)"
    make -j"$jobs" >"$logs/make.log" 2>&1 \
        || { tail -n 60 "$logs/make.log" >&2; exit 1; }
    # Modules that failed to build are listed here; ssl/zlib missing is fatal
    # below via interpreter_works.
    grep -A20 -E 'Following modules (built successfully but were removed|failed to build)|The necessary bits to build these optional modules were not found' "$logs/make.log" >&2 || true
    rm -rf "$prefix"
    log "make install -> $prefix"
    # make install would byte-compile the whole standard library three times,
    # once per optimisation level, with the new interpreter (with the sanitizer,
    # most of that build's time). The tests import a small part of it, which
    # the interpreter compiles on first import into its writable prefix.
    # With ensurepip off, nothing else in make install runs the build
    # interpreter but a check of the extension modules that make has just
    # done, so an empty command in its place skips exactly the byte-compiling.
    make install PYTHON_FOR_BUILD=: >"$logs/install.log" 2>&1 \
        || { tail -n 40 "$logs/install.log" >&2; exit 1; }
)
elapsed=$(($(date +%s) - started))
log "built and installed in ${elapsed}s ($((elapsed / 60))m$((elapsed % 60))s) with $jobs jobs"

if [[ $tsan == 1 ]]; then
    cp "$src/Tools/tsan/suppressions_free_threading.txt" "$suppressions"
fi
touch "$stamp"
interpreter_works || die "the installed interpreter at $py does not work (see above)"
printf '%s\n' "$py" >&3
