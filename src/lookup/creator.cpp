#include "lookup/creator.hpp"

#include <array>
#include <cstddef>
#include <cstdint>

#include "lookup/case_tables.inc"
#include "lookup/utf8.hpp"

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

/// Upper case of an ASCII byte: only a-z change.
constexpr unsigned ascii_upper(unsigned byte) noexcept { return byte >= 'a' && byte <= 'z' ? byte - 0x20u : byte; }

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

/// What folding carries from one unit of input to the next.
struct fold_state {
  bool any_word = false;     // something was written, so a later word needs a separator
  bool pending_gap = false;  // white space seen since the last written character
};

/// Folds the one unit of text at pos (an ASCII byte, a scalar value, or a stray byte of an
/// ill-formed sequence), feeding what it yields to sink; returns the position after it.
///
/// The one folding step behind normalize_creator, hash_creator and creators_fold_equal. The
/// comparison's shortcuts for ASCII restate its ASCII branch; the tests hold them to
/// normalize_creator.
template <class Sink>
std::size_t fold_unit(std::string_view text, std::size_t pos, fold_state& st, Sink& sink) {
  const auto before_char = [&] {
    if (st.pending_gap && st.any_word) put_byte(sink, 0x20);
    st.pending_gap = false;
    st.any_word = true;
  };
  const auto byte = static_cast<unsigned char>(text[pos]);
  if (byte < 0x80) {
    // ASCII: White_Space here is TAB..CR and SPACE, and only a-z change case.
    if (unicode::is_white_space(byte)) {
      st.pending_gap = true;
    } else {
      before_char();
      put_byte(sink, ascii_upper(byte));
    }
    return pos + 1;
  }
  const unit u = decode(text, pos);
  if (!u.valid) {
    before_char();
    put_byte(sink, static_cast<unsigned>(u.code_point));
  } else if (unicode::is_white_space(u.code_point)) {
    st.pending_gap = true;
  } else {
    before_char();
    put_upper(sink, u.code_point);
  }
  return pos + u.length;
}

/// Feeds the bytes of the normalised text to sink, in order.
template <class Sink>
void fold_creator(std::string_view text, Sink& sink) {
  fold_state st;
  std::size_t pos = 0;
  while (pos < text.size()) pos = fold_unit(text, pos, st, sink);
}

/// The folded bytes of a text one at a time, made unit by unit as they are asked for, so that
/// two texts can be compared in their folded forms without building either.
class fold_cursor {
 public:
  explicit fold_cursor(std::string_view text) noexcept : text_(text) {}

  /// The next folded byte, or -1 after the last one.
  int next() noexcept {
    if (at_ < out_.size) return out_.bytes[at_++];
    while (pos_ < text_.size()) {  // white space yields nothing, so a unit may leave it empty
      // The common unit, an ASCII character right after another, yields its upper case alone:
      // fold_unit's ASCII branch without the buffer.
      const auto byte = static_cast<unsigned char>(text_[pos_]);
      if (byte < 0x80 && !state_.pending_gap && !unicode::is_white_space(byte)) {
        ++pos_;
        state_.any_word = true;
        return static_cast<int>(ascii_upper(byte));
      }
      out_.size = 0;
      pos_ = fold_unit(text_, pos_, state_, out_);
      if (out_.size != 0) {
        at_ = 1;
        return out_.bytes[0];
      }
    }
    return -1;
  }

 private:
  /// What one unit yields: a separator, then a stray byte or the upper case of one code point.
  struct unit_sink {
    std::array<unsigned char, 16> bytes{};
    std::size_t size = 0;
    void operator()(unsigned char b) noexcept { bytes[size++] = b; }
  };
  static_assert(1 + 4 * unicode::upper_max_len <= std::tuple_size_v<decltype(unit_sink::bytes)>);

  std::string_view text_;
  std::size_t pos_ = 0;
  fold_state state_;
  unit_sink out_;
  std::size_t at_ = 0;
};

/// The ASCII white space (TAB to CR, and SPACE) as a mask over the bytes below 64, taken from
/// the general predicate so that the two agree; one test where a byte may be any value.
constexpr std::uint64_t kAsciiSpace = [] {
  std::uint64_t mask = 0;
  for (unsigned c = 0; c < 64; ++c) {
    if (unicode::is_white_space(c)) mask |= std::uint64_t{1} << c;
  }
  return mask;
}();
static_assert([] {
  for (unsigned c = 64; c < 0x80; ++c) {
    if (unicode::is_white_space(c)) return false;
  }
  return true;
}());

bool is_ascii(std::string_view text) noexcept {
  return lookup::is_ascii(ByteView(archive::as_bytes(text), text.size()));
}

/// Whether two texts of ASCII bytes only fold alike: for them folding keeps the words, as runs
/// of white space delimit them, and upper-cases a-z, so their words must match one by one. The
/// same rule as the ASCII branch of fold_unit, without the bytes in between.
bool ascii_fold_equal(std::string_view a, std::string_view b) noexcept {
  const auto space = [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 64 && ((kAsciiSpace >> byte) & 1u) != 0;
  };
  const auto upper = [](char c) { return ascii_upper(static_cast<unsigned char>(c)); };
  std::size_t i = 0;
  std::size_t j = 0;
  for (;;) {
    while (i < a.size() && space(a[i])) ++i;
    while (j < b.size() && space(b[j])) ++j;
    if (i == a.size() || j == b.size()) return i == a.size() && j == b.size();
    // A word of a against b; a blank of b never equals a letter of a, so a shorter word of b
    // shows at once, and a longer one right after.
    for (; i < a.size() && !space(a[i]); ++i, ++j) {
      if (j == b.size() || upper(a[i]) != upper(b[j])) return false;
    }
    if (j < b.size() && !space(b[j])) return false;
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

bool creators_fold_equal(std::string_view a, std::string_view b) noexcept {
  if (a == b) return true;  // the same bytes fold alike
  if (is_ascii(a) && is_ascii(b)) return ascii_fold_equal(a, b);
  fold_cursor x(a);
  fold_cursor y(b);
  for (;;) {
    const int c = x.next();
    if (c != y.next()) return false;
    if (c < 0) return true;
  }
}

}  // namespace quillet::lookup
