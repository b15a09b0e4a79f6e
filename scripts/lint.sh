#!/usr/bin/env bash
# Formatting and lint, as CI runs them; exits non-zero when any tool finds something.
#
#   scripts/lint.sh
#
# - clang-format (--dry-run -Werror, the repository's .clang-format) over the C++ and C sources,
#   the two generated tables aside;
# - clang-tidy over the core (src/common, archive, dictfile, lookup, companion), with the checks
#   of .clang-tidy and the compile commands of a plain CMake configure in build/lint;
# - ruff check and ruff format --check, and mypy --strict (settings in pyproject.toml);
# - tools/check_layout.py: the Python and C++ layouts agree.
#
# clang-format and clang-tidy come from Debian (apt-get, as root) when they are missing; ruff and
# mypy from the dev extra of the development environment (.venv, scripts/_env.sh).
# Every tool runs even after an earlier one failed, so one run shows all findings.
set -uo pipefail
cd "$(dirname "$0")/.."

# --- tools ---------------------------------------------------------------------------------------
. scripts/_debian.sh
if ! command -v clang-format >/dev/null || ! command -v clang-tidy >/dev/null; then
  debian_install lint.sh clang-format clang-tidy || exit 1
fi
. scripts/_env.sh
dev_env || exit 1

failed=()
run() {
  local name=$1
  shift
  echo "--- $name"
  "$@" || failed+=("$name")
}

# --- C++ -----------------------------------------------------------------------------------------
mapfile -t sources < <(git ls-files '*.cpp' '*.hpp' '*.h' '*.c' '*.inc' |
  grep -v -x -e src/lookup/case_tables.inc -e tests/cpp/creator_vectors.inc)
run "clang-format ($(clang-format --version | grep -o 'version [0-9.]*'))" \
  clang-format --dry-run -Werror "${sources[@]}"

cmake -S . -B build/lint -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
# Only what this platform compiles: the other system's platform file has no compile command here.
mapfile -t core < <(git ls-files 'src/common/*.cpp' 'src/archive/*.cpp' 'src/dictfile/*.cpp' 'src/lookup/*.cpp' 'src/companion/*.cpp' |
  while read -r f; do grep -qF "/$f\"" build/lint/compile_commands.json && echo "$f"; done)
run "clang-tidy ($(clang-tidy --version | grep -o 'version [0-9.]*'))" \
  clang-tidy -p build/lint --quiet "${core[@]}" 2> >(grep -v " warnings generated\.$" >&2)

# --- Python --------------------------------------------------------------------------------------
run "ruff check" "$dev_python" -m ruff check .
run "ruff format" "$dev_python" -m ruff format --check .
run "mypy" "$dev_python" -m mypy
run "layout check" "$dev_python" tools/check_layout.py

if [ ${#failed[@]} -gt 0 ]; then
  echo "lint.sh: FAILED: ${failed[*]}" >&2
  exit 1
fi
echo "lint.sh: clean"
