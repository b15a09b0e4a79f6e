#pragma once
// The Python `Dict` class: an opaque handle owning one mapped dictionary file.

#include <Python.h>

namespace quillet::py {

/// The Dict class, created on first use and kept for the rest of the process. Every caller,
/// from any thread, gets the same class object. Returns a borrowed reference, or nullptr with
/// the RuntimeError of a failed creation set.
PyObject* dict_type() noexcept;

/// The module function `open(path)`.
PyObject* open_function(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept;

}  // namespace quillet::py
