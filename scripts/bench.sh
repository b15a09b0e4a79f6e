#!/usr/bin/env bash
# The benchmark command: quillet against pydicom 3 on the same CPython 3.13, one run, one table.
# Uses the development environment .venv (scripts/_env.sh; pydicom comes with its dev extra) with
# the package built from this tree, builds the extension with symbols for callgrind and the floor
# helper into build/bench-rwdi, then runs benchmarks/run.py. Extra arguments go to run.py (--quick
# for a short run, --out FILE to keep the report, --no-callgrind to skip the instruction counts),
# then benchmarks/datadict.py (quillet.datadict beside pydicom.datadict, function by function),
# benchmarks/annotate.py, benchmarks/flooding.py and benchmarks/uids.py (the registered UIDs'
# first use and queries beside pydicom's).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/_env.sh
dev_env
env_install "$dev_python"
vpy=$dev_python

# The same sources with symbols, imported only by the callgrind runs (function names for the
# split). RelWithDebInfo, but at the optimisation level of the release build, so that the counts
# are those of the code users get.
ext=build/bench-rwdi
cmake -S . -B "$ext" -DQUILLET_BUILD_EXTENSION=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O3 -g -DNDEBUG" -DPython_EXECUTABLE="$vpy" >/dev/null
cmake --build "$ext" --target _quillet --parallel 2 >/dev/null
suffix=$("$vpy" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
include=$("$vpy" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
"${CC:-cc}" -O3 -g -Wall -Wextra -shared -fPIC -I"$include" benchmarks/floor/_bench_floor.c \
  -o "$ext/_bench_floor$suffix"

"$vpy" benchmarks/run.py --ext-dir "$ext" "$@"
# Beside the table: pydicom's datadict functions, whole data sets named, keywords made to
# collide, and the registered UIDs.
echo
"$vpy" benchmarks/datadict.py
echo
"$vpy" benchmarks/annotate.py
echo
"$vpy" benchmarks/flooding.py
echo
"$vpy" benchmarks/uids.py
