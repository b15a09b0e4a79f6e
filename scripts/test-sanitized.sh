#!/usr/bin/env bash
# The whole test suite against a build with AddressSanitizer and UndefinedBehaviorSanitizer:
# the C++ unit tests, then pytest with the extension built with -DQUILLET_SANITIZE=ON in its own
# virtual environment (.venv-asan, made like the development environment by scripts/_env.sh)
# and build folder, so that it never mixes with the normal build. Extra arguments go to pytest.
# Passes only if no test fails and no sanitizer reports anything, in the test process or in any
# process it starts.
#
# The interpreter itself is not instrumented, so the ASan runtime is preloaded to come first;
# PYTHONMALLOC=malloc sends Python's allocations through it, so that a write past a Python
# object the extension made is caught too. Leak detection is off because the interpreter does
# not free everything at exit; the leak tests of the suite check quillet's own resources.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/_env.sh
py=$(scripts/find-python.sh)
venv=${QUILLET_ASAN_VENV:-.venv-asan}
reports=build/sanitizer-reports

# --- C++ unit tests of the core -------------------------------------------------------------------
cmake -S . -B build/cpp-tests-asan -DQUILLET_BUILD_TESTS=ON -DQUILLET_SANITIZE=ON -DQUILLET_WERROR=ON \
  -DCMAKE_BUILD_TYPE=Debug -DPython_EXECUTABLE="$py" >/dev/null
cmake --build build/cpp-tests-asan --parallel 2 >/dev/null

# --- the extension ----------------------------------------------------------------------------
# An environment of its own: a venv holds one build of the package, and this one is instrumented.
venv_for "$venv"
env_deps "$venv/bin/python" test
env_install "$venv/bin/python" --config-settings=cmake.define.QUILLET_SANITIZE=ON \
  --config-settings=cmake.build-type=RelWithDebInfo --config-settings=build-dir="build/asan-{wheel_tag}"

asan_runtime=$(gcc -print-file-name=libasan.so)
[ -f "$asan_runtime" ] || { echo "test-sanitized.sh: no ASan runtime at $asan_runtime" >&2; exit 1; }

rm -rf "$reports"
mkdir -p "$reports"
# Reports go to files as well as making the process fail, so that one from a subprocess whose
# exit status a test does not look at is still seen. SIGBUS is left to its default action: a
# file shrunk under its mapping raises it by design (the suite tests exactly that), and ASan's
# handler would turn that expected death into a report and exit status 1.
export ASAN_OPTIONS="detect_leaks=0:detect_stack_use_after_return=1:strict_init_order=1:handle_sigbus=0"
ASAN_OPTIONS+=":log_path=$PWD/$reports/asan"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$PWD/$reports/ubsan"

status=0
ctest --test-dir build/cpp-tests-asan --output-on-failure || status=1
# The package lives under src/, so the tests import the sanitized build installed in the venv.
LD_PRELOAD="$asan_runtime" PYTHONMALLOC=malloc "$venv/bin/python" -m pytest "$@" || status=1

if compgen -G "$reports/*" >/dev/null; then
  echo "test-sanitized.sh: sanitizer reports:" >&2
  for f in "$reports"/*; do
    echo "---- $f" >&2
    head -n 60 "$f" >&2
  done
  status=1
fi
exit "$status"
