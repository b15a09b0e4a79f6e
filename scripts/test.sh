#!/usr/bin/env bash
# The one command that sets everything up on a fresh machine and runs every test:
# a virtual environment with CPython 3.13, the package built with warnings as errors, the test
# dependencies, the C++ unit tests, then the Python suite. Extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
py=$(scripts/find-python.sh)
venv=${QUILLET_VENV:-.venv}
if [ ! -x "$venv/bin/python" ]; then
  "$py" -m venv "$venv"
fi
"$venv/bin/python" -m pip install --quiet --upgrade pip
QUILLET_WERROR=ON "$venv/bin/python" -m pip install --quiet ".[test]"

# C++ unit tests of the core library (no Python involved).
cmake -S . -B build/cpp-tests -DQUILLET_BUILD_TESTS=ON -DQUILLET_WERROR=ON -DCMAKE_BUILD_TYPE=Debug \
  -DPython_EXECUTABLE="$(cd "$venv" && pwd)/bin/python" >/dev/null
cmake --build build/cpp-tests --parallel 2 >/dev/null
ctest --test-dir build/cpp-tests --output-on-failure

# The package lives under src/, so the tests always import the installed build.
exec "$venv/bin/python" -m pytest "$@"
