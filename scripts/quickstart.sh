#!/usr/bin/env bash
# Sets up quillet on a fresh machine and answers one real question from the bundled dictionary.
set -euo pipefail
cd "$(dirname "$0")/.."
py=$(scripts/find-python.sh)
venv=${QUILLET_VENV:-.venv}
[ -x "$venv/bin/python" ] || "$py" -m venv "$venv"
"$venv/bin/python" -m pip install --quiet --upgrade pip
"$venv/bin/python" -m pip install --quiet .
exec "$venv/bin/quillet" lookup 0010,0010
