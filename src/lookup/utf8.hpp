#pragma once
// Strict UTF-8 checking for texts read from the archive.

#include <cstddef>
#include <cstdint>

#include "archive/bytes.hpp"

namespace quillet::lookup {

using archive::ByteView;

/// True when every byte is below 0x80.
[[nodiscard]] inline bool is_ascii(ByteView s) noexcept {
  const std::uint8_t* p = s.data();
  std::uint8_t acc = 0;
  for (std::size_t i = 0; i < s.size(); ++i) acc |= p[i];
  return acc < 0x80;
}

/// True for well-formed UTF-8: shortest forms only, no surrogates, nothing above U+10FFFF.
[[nodiscard]] inline bool is_valid_utf8(ByteView s) noexcept {
  const std::uint8_t* p = s.data();
  const std::size_t n = s.size();
  std::size_t i = 0;
  while (i < n) {
    const std::uint8_t b = p[i];
    if (b < 0x80) {
      ++i;
      continue;
    }
    std::size_t len = 0;
    std::uint8_t lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (b >= 0xC2 && b <= 0xDF) {
      len = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
      len = 3;
      if (b == 0xE0)
        lo = 0xA0;  // no overlong 3-byte forms
      else if (b == 0xED)
        hi = 0x9F;  // no surrogates
    } else if (b >= 0xF0 && b <= 0xF4) {
      len = 4;
      if (b == 0xF0)
        lo = 0x90;  // no overlong 4-byte forms
      else if (b == 0xF4)
        hi = 0x8F;  // nothing above U+10FFFF
    } else {
      return false;
    }
    if (n - i < len) return false;
    if (p[i + 1] < lo || p[i + 1] > hi) return false;
    for (std::size_t k = 2; k < len; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) return false;
    }
    i += len;
  }
  return true;
}

}  // namespace quillet::lookup
