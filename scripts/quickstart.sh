#!/usr/bin/env bash
# Sets up quillet the way a user does and answers one real question from the bundled dictionary:
# a virtual environment .venv with CPython 3.13, a plain `pip install .` (an isolated build that
# needs nothing beyond what the package declares), and the `quillet` command.
#
# .venv is also the development environment (scripts/_env.sh), which only adds to it, so whoever
# goes on to develop keeps one environment. CI runs this first, on a fresh clone, so that nothing
# the development scripts install can hide a dependency the package fails to declare.
set -euo pipefail
cd "$(dirname "$0")/.."
py=$(scripts/find-python.sh)
venv=${QUILLET_VENV:-.venv}
[ -x "$venv/bin/python" ] || "$py" -m venv "$venv"
"$venv/bin/python" -m pip install --quiet --upgrade pip
"$venv/bin/python" -m pip install --quiet .
exec "$venv/bin/quillet" lookup 0010,0010
