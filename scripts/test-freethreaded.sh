#!/usr/bin/env bash
# Build (or reuse) a free-threaded CPython 3.13, install quillet with its test
# extras into a venv of that interpreter (made by scripts/_env.sh like the
# development environment), check that the extension really runs without the
# interpreter lock, and run the test suite there.
#
# Usage: scripts/test-freethreaded.sh [--tsan] [pytest arguments...]
#   --tsan   use the ThreadSanitizer build of the interpreter
#
# Environment:
#   QUILLET_CACHE     cache root, passed on to build-freethreaded-python.sh
#   QUILLET_FT_VENV   venv folder (default: build/venv-ft[-tsan] in the repo)
#
# Exits non-zero if the build, the install, any check or any test fails.

set -euo pipefail

log() { printf '[test-freethreaded] %s\n' "$*" >&2; }
die() { log "error: $*"; exit 1; }

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(cd "$here/.." && pwd)"

build_args=()
suffix=""
if [[ ${1:-} == --tsan ]]; then
    build_args+=(--tsan)
    suffix="-tsan"
    shift
fi

py="$("$here/build-freethreaded-python.sh" "${build_args[@]}" | tail -n 1)"
[[ -x $py ]] || die "build script did not print an interpreter path (got: '$py')"
log "interpreter: $py"

# PYTHON_GIL=1 in the caller's environment would turn the lock back on and
# make every check below meaningless; PYTHON_GIL=0 (or -X gil=0) would force
# it off and hide an extension that fails to declare it can run without it.
unset PYTHON_GIL

pip_extra=()
if [[ -n $suffix ]]; then
    # The interpreter's own known races are suppressed; any other report makes
    # the process exit with 66, so a race in the extension fails the run.
    supp="$(dirname "$(dirname "$py")")/tsan-suppressions.txt"
    [[ -f $supp ]] || die "no sanitizer suppression list at $supp"
    # handle_segv/handle_sigbus=0: tests that expect a process to die of a
    # signal (a file shrunk under its mapping) must see that signal, not the
    # sanitizer's own report and exit code.
    export TSAN_OPTIONS="suppressions=$supp halt_on_error=0 second_deadlock_stack=1 handle_segv=0 handle_sigbus=0${TSAN_OPTIONS:+ $TSAN_OPTIONS}"
    # Instrument the extension too: without it the sanitizer sees only the
    # interpreter's memory accesses, not the extension's. A build folder of
    # its own keeps CMake's cached flags apart from the plain build's.
    export CFLAGS="${CFLAGS:+$CFLAGS }-fsanitize=thread -g"
    export CXXFLAGS="${CXXFLAGS:+$CXXFLAGS }-fsanitize=thread -g"
    export LDFLAGS="${LDFLAGS:+$LDFLAGS }-fsanitize=thread"
    pip_extra+=(--config-settings=build-dir="build/{wheel_tag}$suffix")
fi

venv="${QUILLET_FT_VENV:-$root/build/venv-ft$suffix}"
vpy="$venv/bin/python"
# A venv made from another interpreter (e.g. before a rebuild) is remade.
if [[ -e $venv ]] && ! grep -qxF "home = $(dirname "$py")" "$venv/pyvenv.cfg" 2>/dev/null; then
    log "removing $venv, made from another interpreter"
    rm -rf "$venv"
fi
. "$here/_env.sh"
venv_for "$venv" "$py" || die "could not make the venv $venv"

# --prefer-binary: a free-threaded interpreter cannot use abi3 wheels, so for
# a dependency whose newest release ships only those (recent hypothesis, with
# its Rust core) pip would build the sdist, which needs the Rust toolchain; an
# older release with a pure-Python wheel does fine.
log "installing the test dependencies and the package"
env_deps "$vpy" test --prefer-binary || die "pip install of the test dependencies failed"
env_install "$vpy" "${pip_extra[@]}" || die "pip install of the project failed"

# Checked from outside the source tree (-P, temporary cwd) so that the
# installed extension is what gets imported.
log "checking the installed extension"
(cd "$(mktemp -d)" && "$vpy" -P - <<'EOF') || die "free-threading checks failed"
import os, sys, sysconfig, warnings

fail = []
if sysconfig.get_config_var("Py_GIL_DISABLED") != 1:
    fail.append("interpreter is not a free-threaded build")
if sys._is_gil_enabled():
    fail.append("GIL is enabled before importing quillet")

# Importing an extension that does not declare Py_MOD_GIL_NOT_USED turns the
# lock on and warns; make the warning an error so it names the module.
with warnings.catch_warnings():
    warnings.simplefilter("error", RuntimeWarning)
    try:
        import quillet
        from quillet import _quillet
    except Exception as exc:
        fail.append(f"import failed: {type(exc).__name__}: {exc}")
        _quillet = None

if sys._is_gil_enabled():
    fail.append("importing quillet enabled the GIL")

if _quillet is not None:
    path = _quillet.__file__ or ""
    base = os.path.basename(path)
    # e.g. _quillet.cpython-313t-x86_64-linux-gnu.so -> "313t"
    parts = base.split(".")
    tag = parts[1] if len(parts) >= 3 else ""
    fields = tag.split("-")
    if fields[0] != "cpython" or len(fields) < 2:
        fail.append(f"extension file name has no CPython ABI tag: {base}")
    elif not fields[1].endswith("t"):
        fail.append(f"extension ABI tag is not free-threaded: {tag} ({base})")
    if not base.endswith(sysconfig.get_config_var("EXT_SUFFIX")):
        fail.append(f"extension suffix {base} != {sysconfig.get_config_var('EXT_SUFFIX')}")
    if not path.startswith(sys.prefix):
        fail.append(f"extension imported from outside the venv: {path}")
    print(f"extension: {base}; GIL enabled: {sys._is_gil_enabled()}", file=sys.stderr)

for f in fail:
    print("FAIL:", f, file=sys.stderr)
sys.exit(1 if fail else 0)
EOF

# pytest runs in-process so the lock can be checked after the whole session:
# a test (or a plugin) that imports a lock-needing extension would otherwise
# quietly run the rest of the suite with the lock on.
log "running pytest"
cd "$root"
set +e
"$vpy" - "$@" <<'EOF'
import sys
import pytest

args = sys.argv[1:] or ["tests"]
rc = pytest.main(args)
if sys._is_gil_enabled():
    print("FAIL: the GIL was enabled during the test session", file=sys.stderr)
    rc = rc or 1
sys.exit(int(rc))
EOF
rc=$?
set -e
((rc == 0)) || log "pytest failed (exit $rc)"
exit $rc
