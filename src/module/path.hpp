#pragma once
// A path str as the system's file name: the one conversion both extensions use.

#include <Python.h>

#include <cstddef>
#include <memory>

#include "dictfile/platform.hpp"
#include "module/pyref.hpp"

namespace quillet::py {

/// The file name of a str, owned for as long as the call needs it.
///
/// On Windows names are UTF-16: the str's code units go to the system unchanged, lone
/// surrogates included, with no round trip through UTF-8. Elsewhere names are bytes, encoded as
/// the interpreter does for os functions. A NUL inside stays in the name, for the loader to
/// refuse before the system is asked.
class NativePath {
 public:
  /// The name of `str`, or an empty NativePath with the Python error of the conversion set (on
  /// Windows only memory can run out; elsewhere a str may not be encodable).
  static NativePath of(PyObject* str) noexcept {
    NativePath p;
#ifdef _WIN32
    Py_ssize_t n = 0;
    p.wide_.reset(PyUnicode_AsWideCharString(str, &n));  // with the size, so a NUL is kept
    p.size_ = p.wide_ ? static_cast<std::size_t>(n) : 0;
#else
    p.bytes_ = Ref(PyUnicode_EncodeFSDefault(str));
    p.size_ = p.bytes_ ? static_cast<std::size_t>(PyBytes_GET_SIZE(p.bytes_.get())) : 0;
#endif
    return p;
  }

  explicit operator bool() const noexcept {
#ifdef _WIN32
    return wide_ != nullptr;
#else
    return static_cast<bool>(bytes_);
#endif
  }

  [[nodiscard]] dictfile::platform::PathView view() const noexcept {
#ifdef _WIN32
    return {wide_.get(), size_};
#else
    return {PyBytes_AS_STRING(bytes_.get()), size_};
#endif
  }

 private:
  NativePath() noexcept = default;
#ifdef _WIN32
  struct Free {
    void operator()(wchar_t* p) const noexcept { PyMem_Free(p); }
  };
  std::unique_ptr<wchar_t, Free> wide_;
#else
  Ref bytes_;
#endif
  std::size_t size_ = 0;
};

}  // namespace quillet::py
