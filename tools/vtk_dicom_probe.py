"""vtk-dicom's private dictionary entries, asked for through its Python binding.

    /usr/bin/python3 tools/vtk_dicom_probe.py < PAIRS.json > ENTRIES.json

Run by ``tools/dictionary_sources.py`` under the interpreter that Debian's python3-vtk-dicom is
built for, which need not be the one running the regeneration; the two talk JSON.  The input is
a list of ``[creator, group]``; the output holds vtk-dicom's version, where its module was
loaded from, and every entry found as ``[creator, group, offset, name, vr, vm, retired]``.

The binding has no way to list its entries, only to look one up, so each pair is asked about all
256 offsets of a block.  vtk-dicom keys a private entry by its offset in the block (the element's
low byte) under the creator spelled exactly, and answers an even group from its public
dictionary whatever the creator, so only odd groups are asked.
"""

import json
import sys

import vtkdicom  # type: ignore[import-not-found]  # Debian's interpreter has it, not this one


def main() -> int:
    pairs = json.load(sys.stdin)
    find = vtkdicom.vtkDICOMDictionary.FindDictEntry
    entries = []
    for creator, group in pairs:
        if group % 2 == 0:
            continue
        for offset in range(256):
            entry = find(vtkdicom.vtkDICOMTag(group, offset), creator)
            # An answer for another tag would be a fallback, not this creator's entry.
            tag = entry.GetTag()
            if entry.IsValid() and (tag.GetGroup(), tag.GetElement()) == (group, offset):
                entries.append(
                    [
                        creator,
                        group,
                        offset,
                        entry.GetName(),
                        str(entry.GetVR()),
                        str(entry.GetVM()),
                        bool(entry.IsRetired()),
                    ]
                )
    json.dump({"version": vtkdicom.__version__, "module": vtkdicom.__file__, "entries": entries}, sys.stdout)
    return 0


if __name__ == "__main__":
    sys.exit(main())
