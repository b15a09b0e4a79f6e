#pragma once
// SipHash-1-3: the keyed hash that places keywords in a companion's hash table. Keyed, so that
// whoever writes the keywords cannot make them collide without knowing the key; the variant with
// one compression and three finalization rounds is the one CPython and Rust use for their own
// tables, where the same defence is the point and speed matters as much.

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quillet::companion {

namespace detail {

constexpr std::uint64_t rotl(std::uint64_t x, int b) noexcept { return (x << b) | (x >> (64 - b)); }

struct SipState {
  std::uint64_t v0, v1, v2, v3;

  constexpr void round() noexcept {
    v0 += v1;
    v1 = rotl(v1, 13);
    v1 ^= v0;
    v0 = rotl(v0, 32);
    v2 += v3;
    v3 = rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = rotl(v1, 17);
    v1 ^= v2;
    v2 = rotl(v2, 32);
  }
  constexpr void absorb(std::uint64_t m) noexcept {
    v3 ^= m;
    round();
    v0 ^= m;
  }
};

}  // namespace detail

/// SipHash-1-3 of `data` under the key (k0, k1), words read little-endian as the reference does.
[[nodiscard]] constexpr std::uint64_t siphash13(std::uint64_t k0, std::uint64_t k1, std::string_view data) noexcept {
  detail::SipState s{k0 ^ 0x736f6d6570736575ULL, k1 ^ 0x646f72616e646f6dULL, k0 ^ 0x6c7967656e657261ULL,
                     k1 ^ 0x7465646279746573ULL};
  const std::size_t n = data.size();
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t m = 0;
    for (std::size_t j = 0; j < 8; ++j) m |= std::uint64_t{static_cast<std::uint8_t>(data[i + j])} << (8 * j);
    s.absorb(m);
  }
  std::uint64_t last = std::uint64_t{n & 0xFF} << 56;
  for (std::size_t j = 0; i + j < n; ++j) last |= std::uint64_t{static_cast<std::uint8_t>(data[i + j])} << (8 * j);
  s.absorb(last);
  s.v2 ^= 0xFF;
  s.round();
  s.round();
  s.round();
  return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

}  // namespace quillet::companion
