#pragma once
// The UID file's Python face, `quillet._companion.Uids`, made by `open_uids(path, shown)`: the
// package's `quillet._uids` builds `Dictionary.uid` and its kin on it.

#include <Python.h>

namespace quillet::py {

/// The class `Uids`, made on first use (borrowed; nullptr with an error set on failure).
PyObject* uids_type() noexcept;

/// open_uids(path, path_shown): the UID file at `path`, opened and checked.
PyObject* open_uids(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept;

}  // namespace quillet::py
