#pragma once
// The one owner of a strong PyObject* reference in the binding layer.

#include <Python.h>

#include <atomic>
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

/// Publishes `made` (a new reference, or nullptr after a failure) in a once-cell that keeps it
/// for the rest of the process, and returns what the cell holds, borrowed. Safe against
/// concurrent first use without a lock: a thread that loses the race drops its own object, and
/// every caller gets the one that was published.
inline PyObject* publish_once(std::atomic<PyObject*>& cell, PyObject* made) noexcept {
  if (made == nullptr) return nullptr;
  PyObject* expected = nullptr;
  if (!cell.compare_exchange_strong(expected, made, std::memory_order_acq_rel)) {
    Py_DECREF(made);
    return expected;
  }
  return made;
}

}  // namespace quillet::py
