#pragma once
// Errors as values: the core returns Result<T, E>; only the Python layer turns E into an exception.

#include <type_traits>
#include <utility>
#include <variant>

namespace quillet {

/// Wraps an error so that Result<T, E> can be built from it even when T and E are alike.
template <class E>
struct Err {
  E error;
};
template <class E>
Err(E) -> Err<E>;

template <class T, class E>
class [[nodiscard]] Result {
 public:
  Result(T value) noexcept(std::is_nothrow_move_constructible_v<T>)  // NOLINT: implicit on purpose
      : v_(std::in_place_index<0>, std::move(value)) {}
  template <class G>
  Result(Err<G> e) noexcept(std::is_nothrow_constructible_v<E, G&&>)  // NOLINT: implicit on purpose
      : v_(std::in_place_index<1>, std::move(e.error)) {}

  [[nodiscard]] bool ok() const noexcept { return v_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }

  [[nodiscard]] T& value() & noexcept { return *std::get_if<0>(&v_); }
  [[nodiscard]] const T& value() const& noexcept { return *std::get_if<0>(&v_); }
  [[nodiscard]] T&& value() && noexcept { return std::move(*std::get_if<0>(&v_)); }
  [[nodiscard]] E& error() & noexcept { return *std::get_if<1>(&v_); }
  [[nodiscard]] const E& error() const& noexcept { return *std::get_if<1>(&v_); }
  [[nodiscard]] E&& error() && noexcept { return std::move(*std::get_if<1>(&v_)); }

 private:
  std::variant<T, E> v_;
};

}  // namespace quillet
