#pragma once
// Bounds-checked, alignment-free little-endian reads over untrusted bytes.
//
// File bytes are never cast to structs: every field is assembled from single bytes, so neither the
// host's byte order nor the address's alignment matters, and every read proves its own bounds.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>
#include <type_traits>

namespace quillet::archive {

namespace detail {
/// Assembles a little-endian unsigned integer from the bytes at p, whatever the host's order
/// and whatever the address's alignment.
template <class T>
[[nodiscard]] constexpr T load_le(const std::uint8_t* p) noexcept {
  static_assert(std::is_unsigned_v<T>);
  if (!std::is_constant_evaluated() && std::endian::native == std::endian::little) {
    // One unaligned load: GCC does not merge the byte loop below into one.
    T value;
    std::memcpy(&value, p, sizeof value);
    return value;
  }
  T value = 0;
  for (std::size_t i = 0; i < sizeof(T); ++i) {
    value = static_cast<T>(value | static_cast<T>(static_cast<T>(p[i]) << (8 * i)));
  }
  return value;
}
}  // namespace detail

/// The same bytes seen as characters, and back: text APIs take char, file bytes are unsigned.
/// Both are byte types, so viewing one as the other reads nothing through a wrong type.
[[nodiscard]] inline std::string_view as_chars(const std::uint8_t* p, std::size_t n) noexcept {
  // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast): char and uint8_t alias any byte
  return {reinterpret_cast<const char*>(p), n};
}
[[nodiscard]] inline const std::uint8_t* as_bytes(std::string_view s) noexcept {
  // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast): char and uint8_t alias any byte
  return reinterpret_cast<const std::uint8_t*>(s.data());
}

/// A read-only window onto bytes someone else owns (in practice: a file mapping).
class ByteView {
 public:
  constexpr ByteView() noexcept = default;
  constexpr ByteView(const std::uint8_t* data, std::size_t size) noexcept : data_(data), size_(size) {}

  [[nodiscard]] constexpr const std::uint8_t* data() const noexcept { return data_; }
  [[nodiscard]] constexpr std::size_t size() const noexcept { return size_; }
  [[nodiscard]] constexpr bool empty() const noexcept { return size_ == 0; }

  /// True when [off, off + len) lies inside the view; written so that it cannot overflow.
  [[nodiscard]] constexpr bool contains(std::uint64_t off, std::uint64_t len) const noexcept {
    return len <= size_ && off <= size_ - len;
  }

  /// The sub-view [off, off + len), or nothing when it does not fit.
  [[nodiscard]] constexpr std::optional<ByteView> slice(std::uint64_t off, std::uint64_t len) const noexcept {
    if (!contains(off, len)) return std::nullopt;
    return ByteView(data_ + off, static_cast<std::size_t>(len));
  }

  /// The bytes [off, off + len) as text, or nothing when they do not fit.
  [[nodiscard]] std::optional<std::string_view> text(std::uint64_t off, std::uint64_t len) const noexcept {
    if (!contains(off, len)) return std::nullopt;
    return as_chars(data_ + off, static_cast<std::size_t>(len));
  }
  /// The whole view as text.
  [[nodiscard]] std::string_view chars() const noexcept { return as_chars(data_, size_); }

  /// The little-endian unsigned integer of type T at off, or nothing when it does not fit.
  template <class T>
  [[nodiscard]] constexpr std::optional<T> le(std::uint64_t off) const noexcept {
    if (!contains(off, sizeof(T))) return std::nullopt;
    return detail::load_le<T>(data_ + off);
  }

  [[nodiscard]] constexpr std::optional<std::uint8_t> u8(std::uint64_t off) const noexcept {
    return le<std::uint8_t>(off);
  }
  [[nodiscard]] constexpr std::optional<std::uint16_t> u16(std::uint64_t off) const noexcept {
    return le<std::uint16_t>(off);
  }
  [[nodiscard]] constexpr std::optional<std::uint32_t> u32(std::uint64_t off) const noexcept {
    return le<std::uint32_t>(off);
  }
  [[nodiscard]] constexpr std::optional<std::int32_t> i32(std::uint64_t off) const noexcept {
    const auto raw = u32(off);
    if (!raw) return std::nullopt;
    return static_cast<std::int32_t>(*raw);  // two's complement, defined since C++20
  }

 private:
  const std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
};

/// An unsigned little-endian field of a fixed-size structure: its byte offset and its width.
struct Field {
  std::size_t offset;
  std::size_t width;
};

namespace detail {
template <std::size_t Width>
struct UintOf;
template <>
struct UintOf<1> {
  using type = std::uint8_t;
};
template <>
struct UintOf<2> {
  using type = std::uint16_t;
};
template <>
struct UintOf<4> {
  using type = std::uint32_t;
};
}  // namespace detail

/// Fixed-size little-endian reads from a view already proven to hold at least N bytes.
///
/// Readers slice a whole structure once (one bounds check) and then take its fields through this,
/// so the field offsets are checked against N at compile time instead of at every read.
template <std::size_t N>
class FixedView {
 public:
  static constexpr std::optional<FixedView> at(ByteView view, std::uint64_t off) noexcept {
    const auto s = view.slice(off, N);
    if (!s) return std::nullopt;
    return FixedView(s->data());
  }
  /// The last N bytes of the view, or nothing when it is shorter.
  static constexpr std::optional<FixedView> last(ByteView view) noexcept {
    if (view.size() < N) return std::nullopt;
    return FixedView(view.data() + (view.size() - N));
  }

  /// The field F, as the unsigned type of its width.
  template <Field F>
  [[nodiscard]] constexpr auto read() const noexcept {
    static_assert(F.offset + F.width <= N, "field outside the structure");
    return detail::load_le<typename detail::UintOf<F.width>::type>(p_ + F.offset);
  }

  template <std::size_t Off, class T>
  [[nodiscard]] constexpr T get() const noexcept {
    static_assert(Off + sizeof(T) <= N, "field outside the structure");
    return detail::load_le<T>(p_ + Off);
  }
  template <std::size_t Off>
  [[nodiscard]] constexpr std::uint8_t u8() const noexcept {
    return get<Off, std::uint8_t>();
  }
  template <std::size_t Off>
  [[nodiscard]] constexpr std::uint16_t u16() const noexcept {
    return get<Off, std::uint16_t>();
  }
  template <std::size_t Off>
  [[nodiscard]] constexpr std::uint32_t u32() const noexcept {
    return get<Off, std::uint32_t>();
  }
  template <std::size_t Off>
  [[nodiscard]] constexpr std::int32_t i32() const noexcept {
    return static_cast<std::int32_t>(get<Off, std::uint32_t>());
  }

  [[nodiscard]] constexpr const std::uint8_t* data() const noexcept { return p_; }

 private:
  template <std::size_t>
  friend class FixedArray;
  constexpr explicit FixedView(const std::uint8_t* p) noexcept : p_(p) {}
  const std::uint8_t* p_;
};

/// A dense array of `count` items of N bytes each, proven to lie inside a view when it is made,
/// so that each item access is one comparison against the count instead of a range check.
template <std::size_t N>
class FixedArray {
 public:
  static constexpr std::optional<FixedArray> at(ByteView view, std::uint64_t off, std::uint32_t count) noexcept {
    const auto s = view.slice(off, std::uint64_t{count} * N);  // cannot overflow: count < 2^32
    if (!s) return std::nullopt;
    return FixedArray(s->data(), count);
  }
  /// The whole items that fit in the view, from its start; bytes left over at its end belong to none.
  static constexpr FixedArray over(ByteView view) noexcept {
    const std::uint64_t n = view.size() / N;
    return FixedArray(view.data(), n > UINT32_MAX ? UINT32_MAX : static_cast<std::uint32_t>(n));
  }

  [[nodiscard]] constexpr std::uint32_t size() const noexcept { return count_; }

  /// Item i, or nothing when i is not below the count.
  [[nodiscard]] constexpr std::optional<FixedView<N>> operator[](std::uint64_t i) const noexcept {
    if (i >= count_) return std::nullopt;
    return FixedView<N>(p_ + i * N);
  }

  /// Walks the items in order; the array's proof covers each of them, so none needs a check.
  class Iterator {
   public:
    constexpr FixedView<N> operator*() const noexcept { return FixedView<N>(p_); }
    constexpr Iterator& operator++() noexcept {
      p_ += N;
      return *this;
    }
    constexpr bool operator==(const Iterator&) const noexcept = default;

   private:
    friend class FixedArray;
    constexpr explicit Iterator(const std::uint8_t* p) noexcept : p_(p) {}
    const std::uint8_t* p_;
  };
  [[nodiscard]] constexpr Iterator begin() const noexcept { return Iterator(p_); }
  [[nodiscard]] constexpr Iterator end() const noexcept { return Iterator(p_ + std::size_t{count_} * N); }

 private:
  constexpr FixedArray(const std::uint8_t* p, std::uint32_t count) noexcept : p_(p), count_(count) {}
  const std::uint8_t* p_;
  std::uint32_t count_;
};

}  // namespace quillet::archive
