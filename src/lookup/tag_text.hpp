#pragma once
// Reading a tag written as text: "GGGG,EEEE", "(GGGG,EEEE)", "GGGGEEEE" (DICOM JSON's keys), and
// inside a private block "GGGG,xxEE".

#include <cstdint>
#include <optional>
#include <string_view>

namespace quillet::lookup {

struct TagText {
  std::uint16_t group;
  std::uint16_t element;  ///< the low byte alone in the block form
  bool block_form;        ///< written "GGGG,xxEE": an offset inside a private block
};

/// The tag that `text` writes: four hexadecimal digits of group and of element (either case),
/// with a comma between them or not, in parentheses or not (both or neither), blanks allowed
/// around each part; the element may instead be "xx" and two digits. Nothing for any other text.
[[nodiscard]] constexpr std::optional<TagText> parse_tag_text(std::string_view text) noexcept {
  std::size_t i = 0;
  const auto blanks = [&] {
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  };
  const auto hex = [&](std::size_t digits) -> std::optional<std::uint16_t> {
    if (text.size() - i < digits) return std::nullopt;
    std::uint16_t v = 0;
    for (std::size_t k = 0; k < digits; ++k, ++i) {
      const char c = text[i];
      int d = -1;
      if (c >= '0' && c <= '9') d = c - '0';
      if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
      if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
      if (d < 0) return std::nullopt;
      v = static_cast<std::uint16_t>((v << 4) | d);
    }
    return v;
  };
  blanks();
  const bool open = i < text.size() && text[i] == '(';
  if (open) ++i;
  blanks();
  const auto group = hex(4);
  if (!group) return std::nullopt;
  blanks();
  if (i < text.size() && text[i] == ',') ++i;
  blanks();
  const bool block =
      text.size() - i >= 2 && (text[i] == 'x' || text[i] == 'X') && (text[i + 1] == 'x' || text[i + 1] == 'X');
  if (block) i += 2;
  const auto element = hex(block ? 2 : 4);
  if (!element) return std::nullopt;
  blanks();
  if (open) {
    if (i == text.size() || text[i] != ')') return std::nullopt;
    ++i;
    blanks();
  }
  if (i != text.size()) return std::nullopt;
  return TagText{*group, *element, block};
}

}  // namespace quillet::lookup
