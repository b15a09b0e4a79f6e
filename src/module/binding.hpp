#pragma once
// One argument binder for every Python-facing function: positional-or-keyword parameters,
// vectorcall arguments, and the interpreter's own TypeError texts.

#include <Python.h>

namespace quillet::py {

/// A function's parameters: all positional-or-keyword, the first `required` of them required.
struct Signature {
  const char* display;       ///< as it appears in messages, e.g. "Dict.lookup()"
  const char* const* names;  ///< parameter names, in order
  Py_ssize_t total;
  Py_ssize_t required;
};

/// Binds vectorcall arguments to `sig`'s parameters. On success `out[i]` holds the borrowed value
/// of parameter i, or nullptr when an optional one was not given, and true is returned.
/// On failure a TypeError is set and false returned; nothing has been converted yet.
///
/// When several faults apply, the first reported is: too many positional arguments; then each
/// keyword in the order given (no such parameter, or already given by position); then the
/// missing required parameters.
[[nodiscard]] bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                        PyObject** out) noexcept;

/// A vectorcall function as the PyCFunction a method table stores (METH_FASTCALL | METH_KEYWORDS).
template <auto F>
PyCFunction fastcall() noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

}  // namespace quillet::py
