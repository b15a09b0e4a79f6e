#include "module/errors.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstring>

#include "module/pyref.hpp"

// Each extension that links this file has a class of its own, named after that extension.
#ifndef QUILLET_INTERNAL_ERROR_NAME
#define QUILLET_INTERNAL_ERROR_NAME "quillet._quillet.InternalError"
#endif

namespace quillet::py {
namespace {
std::atomic<PyObject*> g_internal_error{nullptr};

/// The report goes to the process's standard error itself, not to whatever sys.stderr is bound
/// to now: a program that captures or silences sys.stderr must not swallow evidence of a
/// corrupt file. One write of the whole line, so that reports of several threads do not mix;
/// it needs no Python object, so it is made even when the interpreter is out of memory.
void report_on_stderr(std::string_view text) noexcept {
  static constexpr std::string_view kHead = "quillet: internal error: ";
  std::array<char, 512> line{};
  const std::size_t body = std::min(text.size(), line.size() - kHead.size() - 1);
  std::memcpy(line.data(), kHead.data(), kHead.size());
  std::memcpy(line.data() + kHead.size(), text.data(), body);
  line[kHead.size() + body] = '\n';
  std::fwrite(line.data(), 1, kHead.size() + body + 1, stderr);  // stderr is unbuffered
  std::fflush(stderr);
}
}  // namespace

PyObject* internal_error_type() noexcept {
  if (PyObject* t = g_internal_error.load(std::memory_order_acquire)) return t;
  return publish_once(g_internal_error,
                      PyErr_NewExceptionWithDoc(QUILLET_INTERNAL_ERROR_NAME,
                                                "A fault that only a corrupt dictionary file, or an interpreter "
                                                "out of resources, can cause.",
                                                PyExc_BaseException, nullptr));
}

std::nullptr_t raise_internal(std::string_view text) noexcept {
  report_on_stderr(text);
  Ref msg(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (!msg) return nullptr;
  PyObject* type = internal_error_type();
  if (type == nullptr) return nullptr;
  PyErr_SetObject(type, msg.get());
  return nullptr;
}

std::nullptr_t raise_creation_failure() noexcept {
  if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
    PyErr_Clear();
    return raise_internal("the interpreter could not create an object: out of memory");
  }
  return nullptr;
}

void add_processing_note(const char* name) noexcept {
  PyObject* exc = PyErr_GetRaisedException();
  if (exc == nullptr) return;
  Ref note(PyUnicode_FromFormat("while processing '%s'", name));
  if (note) {
    Ref r(PyObject_CallMethod(exc, "add_note", "O", note.get()));
  }
  PyErr_Clear();  // a failed note must not replace the exception it was meant for
  PyErr_SetRaisedException(exc);
}

std::nullptr_t raise_not_instance(PyObject* obj, const char* expected) noexcept {
  Ref name(PyType_GetQualName(Py_TYPE(obj)));
  if (!name) return nullptr;
  PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", name.get(), expected);
  return nullptr;
}

}  // namespace quillet::py
