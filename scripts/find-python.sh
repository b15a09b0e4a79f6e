#!/usr/bin/env bash
# Prints the path of a CPython 3.13 interpreter (with the interpreter lock; the free-threaded
# build has scripts of its own): $PYTHON if set, else the newest 3.13 that pyenv has, else the
# system's python3.13. quillet needs 3.13, which need not be the python3 on PATH.
set -euo pipefail
ok() { "$1" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' 2>/dev/null; }
if [ -n "${PYTHON:-}" ]; then
  ok "$PYTHON" || { echo "PYTHON=$PYTHON is not a CPython 3.13" >&2; exit 1; }
  command -v "$PYTHON"; exit 0
fi
candidates=()
if command -v pyenv >/dev/null 2>&1; then
  root=$(pyenv root)
  for p in $(ls -d "$root"/versions/3.13.*/bin/python3.13 2>/dev/null | sort -V -r); do candidates+=("$p"); done
fi
candidates+=(/usr/bin/python3.13 /usr/local/bin/python3.13)
for p in "${candidates[@]}"; do
  # A free-threaded build is tested separately; the main suite wants the default build.
  if [ -x "$p" ] && ok "$p" && "$p" -c 'import sys; sys.exit(not sys._is_gil_enabled())'; then
    echo "$p"; exit 0
  fi
done
echo "no CPython 3.13 found; set PYTHON=/path/to/python3.13" >&2
exit 1
