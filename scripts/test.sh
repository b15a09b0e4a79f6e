#!/usr/bin/env bash
# The one command that sets everything up on a fresh machine and runs every test: the development
# environment .venv (scripts/_env.sh) with the package built from this tree with warnings as
# errors, the C++ unit tests and source checks (ctest), then the Python suite. Extra arguments go
# to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/_env.sh
dev_env
env_install "$dev_python"

# C++ unit tests of the core library (no Python involved), and the checks of the sources.
cmake -S . -B build/cpp-tests -DQUILLET_BUILD_TESTS=ON -DQUILLET_WERROR=ON -DCMAKE_BUILD_TYPE=Debug \
  -DPython_EXECUTABLE="$dev_python" >/dev/null
cmake --build build/cpp-tests --parallel 2 >/dev/null
ctest --test-dir build/cpp-tests --output-on-failure

# The package lives under src/, so the tests always import the installed build.
exec "$dev_python" -m pytest "$@"
