#include "lookup/creator.hpp"

#include <array>
#include <cstddef>
#include <cstdint>

#include "lookup/case_tables.inc"

namespace quillet::lookup {
namespace {

// The generated tables index each other with plain bytes; prove at compile time that every
// stored index lands inside the table it addresses, so lookups need no runtime checks.
consteval bool tables_consistent() {
  using namespace unicode;
  if (upper_stage1.size() << upper_shift != upper_limit) return false;
  for (const std::uint8_t block : upper_stage1) {
    if ((block + std::size_t{1}) * upper_block > upper_values.size()) return false;
  }
  for (const std::uint8_t value : upper_values) {
    if (value >= upper_deltas.size() + upper_multi.size()) return false;
  }
  for (const auto& seq : upper_multi) {
    if (seq[0] == 0) return false;
  }
  return true;
}
static_assert(tables_consistent(), "case_tables.inc is malformed; regenerate it");

/// One decoded unit of input: a scalar value, or a stray byte of an ill-formed sequence.
struct unit {
  char32_t code_point;
  std::size_t length;  // bytes consumed
  bool valid;
};

/// Decodes the well-formed UTF-8 sequence at text[pos] (Unicode table 3-7: no overlongs, no
/// surrogates, nothing above U+10FFFF). Anything else yields the single byte at pos, invalid.
unit decode(std::string_view text, std::size_t pos) noexcept {
  const auto at = [&](std::size_t i) -> unsigned {
    return pos + i < text.size() ? static_cast<unsigned char>(text[pos + i]) : 0u;
  };
  const unsigned lead = at(0);
  const unit stray{static_cast<char32_t>(lead), 1, false};
  const auto is_cont = [](unsigned b, unsigned lo = 0x80, unsigned hi = 0xBF) { return b >= lo && b <= hi; };
  const auto low6 = [&](std::size_t i) { return at(i) & 0x3Fu; };
  const auto scalar = [](unsigned v, std::size_t length) { return unit{static_cast<char32_t>(v), length, true}; };
  if (lead >= 0xC2 && lead <= 0xDF) {
    if (!is_cont(at(1))) return stray;
    return scalar((lead & 0x1Fu) << 6 | low6(1), 2);
  }
  if (lead >= 0xE0 && lead <= 0xEF) {
    const unsigned lo = lead == 0xE0 ? 0xA0 : 0x80;  // shortest form only
    const unsigned hi = lead == 0xED ? 0x9F : 0xBF;  // no surrogates
    if (!is_cont(at(1), lo, hi) || !is_cont(at(2))) return stray;
    return scalar((lead & 0x0Fu) << 12 | low6(1) << 6 | low6(2), 3);
  }
  if (lead >= 0xF0 && lead <= 0xF4) {
    const unsigned lo = lead == 0xF0 ? 0x90 : 0x80;  // shortest form only
    const unsigned hi = lead == 0xF4 ? 0x8F : 0xBF;  // nothing above U+10FFFF
    if (!is_cont(at(1), lo, hi) || !is_cont(at(2)) || !is_cont(at(3))) return stray;
    return scalar((lead & 0x07u) << 18 | low6(1) << 12 | low6(2) << 6 | low6(3), 4);
  }
  return stray;
}

template <class Sink>
void put_byte(Sink& sink, unsigned byte) {
  sink(static_cast<unsigned char>(byte));
}

template <class Sink>
void put_utf8(Sink& sink, char32_t c) {
  const auto v = static_cast<std::uint32_t>(c);
  if (v < 0x80) {
    put_byte(sink, v);
  } else if (v < 0x800) {
    put_byte(sink, 0xC0u | (v >> 6));
    put_byte(sink, 0x80u | (v & 0x3Fu));
  } else if (v < 0x10000) {
    put_byte(sink, 0xE0u | (v >> 12));
    put_byte(sink, 0x80u | ((v >> 6) & 0x3Fu));
    put_byte(sink, 0x80u | (v & 0x3Fu));
  } else {
    put_byte(sink, 0xF0u | (v >> 18));
    put_byte(sink, 0x80u | ((v >> 12) & 0x3Fu));
    put_byte(sink, 0x80u | ((v >> 6) & 0x3Fu));
    put_byte(sink, 0x80u | (v & 0x3Fu));
  }
}

/// Writes the full default upper case of c (one to three code points) as UTF-8.
template <class Sink>
void put_upper(Sink& sink, char32_t c) {
  using namespace unicode;
  if (c >= upper_limit) {
    put_utf8(sink, c);
    return;
  }
  const std::size_t block = upper_stage1[c >> upper_shift];
  const std::size_t value = upper_values[block * upper_block + (c & (upper_block - 1))];
  if (value < upper_deltas.size()) {
    put_utf8(sink, static_cast<char32_t>(static_cast<std::int32_t>(c) + upper_deltas[value]));
    return;
  }
  for (const char32_t u : upper_multi[value - upper_deltas.size()]) {
    if (u != 0) put_utf8(sink, u);
  }
}

/// The one folding routine behind both normalize_creator and hash_creator: feeds the bytes of
/// the normalised text to sink, in order.
template <class Sink>
void fold_creator(std::string_view text, Sink& sink) {
  bool any_word = false;     // something was written, so a later word needs a separator
  bool pending_gap = false;  // white space seen since the last written character
  const auto before_char = [&] {
    if (pending_gap && any_word) put_byte(sink, 0x20);
    pending_gap = false;
    any_word = true;
  };
  std::size_t pos = 0;
  while (pos < text.size()) {
    const auto byte = static_cast<unsigned char>(text[pos]);
    if (byte < 0x80) {
      // ASCII: White_Space here is TAB..CR and SPACE, and only a-z change case.
      if (unicode::is_white_space(byte)) {
        pending_gap = true;
      } else {
        before_char();
        put_byte(sink, byte >= 'a' && byte <= 'z' ? byte - 0x20u : byte);
      }
      ++pos;
      continue;
    }
    const unit u = decode(text, pos);
    pos += u.length;
    if (!u.valid) {
      before_char();
      put_byte(sink, static_cast<unsigned>(u.code_point));
    } else if (unicode::is_white_space(u.code_point)) {
      pending_gap = true;
    } else {
      before_char();
      put_upper(sink, u.code_point);
    }
  }
}

struct string_sink {
  std::string& out;
  void operator()(unsigned char b) { out.push_back(static_cast<char>(b)); }
};

struct fnv_sink {
  std::uint32_t hash = fnv1a32_offset;
  void operator()(unsigned char b) noexcept { hash = (hash ^ b) * fnv1a32_prime; }
};

}  // namespace

std::string normalize_creator(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  string_sink sink{out};
  fold_creator(utf8, sink);
  return out;
}

std::uint32_t hash_creator(std::string_view utf8) noexcept {
  fnv_sink sink;
  fold_creator(utf8, sink);
  return sink.hash;
}

std::uint32_t hash_creator(std::optional<std::string_view> creator) noexcept {
  return creator ? hash_creator(*creator) : 0u;
}

}  // namespace quillet::lookup
