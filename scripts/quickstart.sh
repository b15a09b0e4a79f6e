#!/usr/bin/env bash
# Sets up quillet the way a user does and answers one real question from the bundled dictionary:
# a virtual environment .venv with CPython 3.13, a plain `pip install .` (an isolated build that
# needs nothing beyond what the package declares), and the `quillet` command.
#
# .venv is also the development environment (scripts/_env.sh), which only adds to it, so whoever
# goes on to develop keeps one environment. CI runs this first, on a fresh clone, so that nothing
# the development scripts install can hide a dependency the package fails to declare.
#
# Each step says what it does on standard error, and how long it took; the answer alone goes to
# standard output.
set -euo pipefail
cd "$(dirname "$0")/.."
started=$SECONDS
say() { printf 'quickstart: %s\n' "$*" >&2; }
took() { say "  done in $((SECONDS - $1)) s"; }

py=$(scripts/find-python.sh)
venv=${QUILLET_VENV:-.venv}
if [ ! -x "$venv/bin/python" ]; then
  say "1/3 making the virtual environment $venv with $("$py" -c 'import sys; print(sys.version.split()[0])') (a few seconds)"
  t=$SECONDS
  "$py" -m venv "$venv"
  took $t
else
  say "1/3 the virtual environment $venv is there already"
fi
say "2/3 bringing pip up to date (a few seconds)"
t=$SECONDS
"$venv/bin/python" -m pip install --quiet --upgrade pip
took $t
say "3/3 building and installing quillet: compiling the extension and the bundled dictionary (about a minute on 2 cores)"
t=$SECONDS
"$venv/bin/python" -m pip install --quiet .
took $t
say "ready in $((SECONDS - started)) s; asking it for (0010,0010):"
exec "$venv/bin/quillet" lookup 0010,0010
