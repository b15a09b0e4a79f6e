#pragma once
// UTF-16 to UTF-8, for the texts Windows hands out in wide characters (its error messages).
// Written here rather than asked of the system so that the result never depends on the
// process's code page.

#include <cstdint>
#include <string>
#include <string_view>

namespace quillet::dictfile {

/// The UTF-8 form of UTF-16 code units (char16_t, or wchar_t where that is 16 bits). A
/// surrogate without its partner becomes U+FFFD; nothing is dropped.
template <class Unit>
[[nodiscard]] std::string utf8_from_utf16(std::basic_string_view<Unit> text) {
  static_assert(sizeof(Unit) == 2, "UTF-16 code units");
  std::string out;
  out.reserve(text.size());
  const auto put = [&out](unsigned bits) { out.push_back(static_cast<char>(bits)); };
  for (std::size_t i = 0; i < text.size(); ++i) {
    std::uint32_t c = static_cast<std::uint16_t>(text[i]);
    if (c >= 0xD800 && c <= 0xDFFF) {
      const std::uint32_t next = i + 1 < text.size() ? static_cast<std::uint16_t>(text[i + 1]) : 0;
      if (c <= 0xDBFF && next >= 0xDC00 && next <= 0xDFFF) {
        c = 0x10000 + ((c - 0xD800) << 10) + (next - 0xDC00);
        ++i;
      } else {
        c = 0xFFFD;
      }
    }
    if (c < 0x80) {
      put(c);
    } else if (c < 0x800) {
      put(0xC0 | (c >> 6));
      put(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      put(0xE0 | (c >> 12));
      put(0x80 | ((c >> 6) & 0x3F));
      put(0x80 | (c & 0x3F));
    } else {
      put(0xF0 | (c >> 18));
      put(0x80 | ((c >> 12) & 0x3F));
      put(0x80 | ((c >> 6) & 0x3F));
      put(0x80 | (c & 0x3F));
    }
  }
  return out;
}

}  // namespace quillet::dictfile
