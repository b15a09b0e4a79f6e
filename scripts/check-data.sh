#!/usr/bin/env bash
# Check that data/dictionary.tsv and data/uids.tsv are exactly what tools/regen_dictionary.py
# makes from its pinned sources; exits 1 if regenerating would change them, 2 if the sources
# cannot be read.
#
#   scripts/check-data.sh              # the check, as CI runs it
#   scripts/check-data.sh --write      # regenerate the file instead, printing the whole report
#
# Installs what the regeneration reads, by itself: dcmtk's dictionaries and its list of UIDs
# (Debian's dcmtk and libdcmtk-dev) and vtk-dicom's Python binding (Debian's python3-vtk-dicom,
# built for Debian's /usr/bin/python3) through scripts/_debian.sh, and pydicom and GDCM's binding
# (python-gdcm) at the versions of tools/regen-requirements.txt into an environment of its own,
# .venv-data (or $QUILLET_DATA_VENV), made like the development one by scripts/_env.sh. The data
# does not depend on the package being built: the regeneration loads the writer from the tree.
set -euo pipefail
cd "$(dirname "$0")/.."

. scripts/_debian.sh
debian_install check-data.sh dcmtk libdcmtk-dev python3-vtk-dicom
. scripts/_env.sh
venv=${QUILLET_DATA_VENV:-.venv-data}
venv_for "$venv"
py="$(cd "$venv" && pwd)/bin/python"
"$py" -m pip install --quiet -r tools/regen-requirements.txt

if [ "${1:-}" = "--write" ]; then
  exec "$py" tools/regen_dictionary.py
fi
"$py" tools/regen_dictionary.py --check --quiet
