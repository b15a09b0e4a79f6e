#pragma once
// The one owner of a strong PyObject* reference in the binding layer.

#include <Python.h>

#include <utility>

namespace quillet::py {

class Ref {
 public:
  Ref() noexcept = default;
  /// Takes over a new reference (nullptr allowed: an empty Ref).
  explicit Ref(PyObject* owned) noexcept : p_(owned) {}
  /// Makes a new strong reference to a borrowed object.
  static Ref borrow(PyObject* borrowed) noexcept { return Ref(Py_XNewRef(borrowed)); }

  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref& operator=(Ref&& o) noexcept {
    Ref old(std::exchange(p_, std::exchange(o.p_, nullptr)));
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(p_); }

  [[nodiscard]] PyObject* get() const noexcept { return p_; }
  /// Hands the reference to the caller.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

}  // namespace quillet::py
