#include "module/binding.hpp"

#include <string>

#include "module/pyref.hpp"

namespace quillet::py {
namespace {

bool too_many(const Signature& sig, Py_ssize_t n) noexcept {
  const char* verb = n == 1 ? "was" : "were";
  if (sig.required != sig.total) {
    PyErr_Format(PyExc_TypeError, "%s takes from %zd to %zd positional arguments but %zd %s given", sig.display,
                 sig.required, sig.total, n, verb);
  } else {
    // Deliberately "arguments" even for a count of one, as the interpreter's own text has it.
    PyErr_Format(PyExc_TypeError, "%s takes %zd positional arguments but %zd %s given", sig.display, sig.total, n,
                 verb);
  }
  return false;
}

bool missing(const Signature& sig, PyObject* const* out) noexcept {
  std::string names;
  Py_ssize_t count = 0;
  for (Py_ssize_t i = 0; i < sig.required; ++i) count += out[i] == nullptr;
  Py_ssize_t seen = 0;
  for (Py_ssize_t i = 0; i < sig.required; ++i) {
    if (out[i] != nullptr) continue;
    ++seen;
    if (seen > 1) names += count == 2 ? " and " : (seen == count ? ", and " : ", ");
    names += '\'';
    names += sig.names[i];
    names += '\'';
  }
  PyErr_Format(PyExc_TypeError, "%s missing %zd required positional %s: %s", sig.display, count,
               count == 1 ? "argument" : "arguments", names.c_str());
  return false;
}

Py_ssize_t parameter_of(const Signature& sig, PyObject* keyword) noexcept {
  for (Py_ssize_t i = 0; i < sig.total; ++i) {
    if (PyUnicode_CompareWithASCIIString(keyword, sig.names[i]) == 0) return i;
  }
  return -1;
}

}  // namespace

bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames, PyObject** out) noexcept {
  const Py_ssize_t npos = PyVectorcall_NARGS(static_cast<std::size_t>(nargsf));
  if (npos > sig.total) return too_many(sig, npos);
  for (Py_ssize_t i = 0; i < sig.total; ++i) out[i] = i < npos ? args[i] : nullptr;

  const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
    const Py_ssize_t i = parameter_of(sig, keyword);
    if (i < 0) {
      PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", sig.display, keyword);
      return false;
    }
    if (out[i] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", sig.display, sig.names[i]);
      return false;
    }
    out[i] = args[npos + k];
  }
  for (Py_ssize_t i = 0; i < sig.required; ++i) {
    if (out[i] == nullptr) return missing(sig, out);
  }
  return true;
}

}  // namespace quillet::py
