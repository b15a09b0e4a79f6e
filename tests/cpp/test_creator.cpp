#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "check.hpp"
#include "creator_vectors.inc"
#include "lookup/creator.hpp"

using namespace std::string_view_literals;

namespace {

struct fold_case {
  std::string_view input;
  std::string_view folded;
};

// Independent of the code under test, so the FNV-1a constants and byte order are checked too.
std::uint32_t fnv1a32(std::string_view bytes) {
  std::uint32_t h = 0x811C9DC5u;
  for (const char c : bytes) h = (h ^ static_cast<unsigned char>(c)) * 0x01000193u;
  return h;
}

std::string utf8(char32_t c) {
  const auto v = static_cast<std::uint32_t>(c);
  std::string s;
  const auto put = [&](std::uint32_t b) { s.push_back(static_cast<char>(b)); };
  if (v < 0x80) {
    put(v);
  } else if (v < 0x800) {
    put(0xC0 | (v >> 6));
    put(0x80 | (v & 0x3F));
  } else if (v < 0x10000) {
    put(0xE0 | (v >> 12));
    put(0x80 | ((v >> 6) & 0x3F));
    put(0x80 | (v & 0x3F));
  } else {
    put(0xF0 | (v >> 18));
    put(0x80 | ((v >> 12) & 0x3F));
    put(0x80 | ((v >> 6) & 0x3F));
    put(0x80 | (v & 0x3F));
  }
  return s;
}

/// "a" + c + "b": c between two letters, so white space shows as a separator, not trimmed.
std::string between_letters(char32_t c) {
  std::string s = "a";
  s += utf8(c);
  s += 'b';
  return s;
}

bool is_surrogate(char32_t c) { return c >= 0xD800 && c <= 0xDFFF; }

// The White_Space set written out by hand, as an oracle for the generated test.
constexpr std::array<std::array<char32_t, 2>, 10> white_space_ranges{{
    {{0x0009, 0x000D}},
    {{0x0020, 0x0020}},
    {{0x0085, 0x0085}},
    {{0x00A0, 0x00A0}},
    {{0x1680, 0x1680}},
    {{0x2000, 0x200A}},
    {{0x2028, 0x2029}},
    {{0x202F, 0x202F}},
    {{0x205F, 0x205F}},
    {{0x3000, 0x3000}},
}};

bool expect_white_space(char32_t c) {
  for (const auto& r : white_space_ranges) {
    if (c >= r[0] && c <= r[1]) return true;
  }
  return false;
}

}  // namespace

TEST_CASE("fold: white space runs, trimming and upper case") {
  static constexpr std::array<fold_case, 20> cases{{
      {"acme  corp"sv, "ACME CORP"sv},
      {"  ACME CORP "sv, "ACME CORP"sv},
      {"Acme\tCorp"sv, "ACME CORP"sv},
      {"acme\u00a0corp"sv, "ACME CORP"sv},
      {"\u3000acme\r\n\v\fcorp\u2029"sv, "ACME CORP"sv},
      {"ACME\u200bCORP"sv, "ACME\u200bCORP"sv},
      {"a\x1c"
       "b\x1d"
       "c\x1e"
       "d\x1f"
       "e"sv,
       "A\x1c"
       "B\x1d"
       "C\x1e"
       "D\x1f"
       "E"sv},
      {"\u180e\ufeff"sv, "\u180e\ufeff"sv},
      {"stra\u00dfe"sv, "STRASSE"sv},
      {"\ufb03"sv, "FFI"sv},
      {"\u00df\u00df \u00df"sv, "SSSS SS"sv},
      {"\u0131\u017f"sv, "IS"sv},
      {"\u0390"sv, "\u0399\u0308\u0301"sv},
      {"\u1fb7"sv, "\u0391\u0342\u0399"sv},
      {"\u01c6\u01c5"sv, "\u01c4\u01c4"sv},
      {"\U00010428\U0001e943"sv, "\U00010400\U0001e921"sv},
      {"\U0001e944\U0001f600"sv, "\U0001e944\U0001f600"sv},
      {"x"sv, "X"sv},
      {""sv, ""sv},
      {" \t "sv, ""sv},
  }};
  for (const auto& c : cases) {
    CHECK_EQ(quillet::lookup::normalize_creator(c.input), c.folded, c.input);
    CHECK_EQ(quillet::lookup::hash_creator(c.input), fnv1a32(c.folded), c.input);
  }
}

TEST_CASE("hash: constants, absent creator, empty creator") {
  // Published FNV-1a 32 vectors pin the oracle itself.
  CHECK_EQ(fnv1a32(""sv), 0x811C9DC5u);
  CHECK_EQ(fnv1a32("a"sv), 0xE40C292Cu);
  CHECK_EQ(fnv1a32("foobar"sv), 0xBF9CF968u);

  CHECK_EQ(quillet::lookup::hash_creator(std::optional<std::string_view>{}), 0u);
  CHECK_EQ(quillet::lookup::hash_creator(std::nullopt), 0u);
  CHECK_EQ(quillet::lookup::hash_creator(std::optional<std::string_view>{""sv}), 0x811C9DC5u);
  CHECK_EQ(quillet::lookup::hash_creator(std::optional<std::string_view>{" \t "sv}), 0x811C9DC5u);
  CHECK_EQ(quillet::lookup::hash_creator(""sv), quillet::lookup::fnv1a32_offset);
  CHECK_EQ(quillet::lookup::hash_creator(std::optional<std::string_view>{"acme  corp"sv}),
           quillet::lookup::hash_creator("ACME CORP"sv));
  CHECK_EQ(quillet::lookup::hash_creator("ACME CORP"sv), 0xAE8A0E35u);
}

TEST_CASE("fold: exactly the White_Space code points separate words") {
  std::size_t splitting = 0;
  for (char32_t c = 0; c <= 0x10FFFF; ++c) {
    if (is_surrogate(c)) continue;
    const std::string folded = quillet::lookup::normalize_creator(between_letters(c));
    const bool splits = folded == "A B";
    if (splits) ++splitting;
    if (splits != expect_white_space(c)) {
      CHECK_EQ(folded, expect_white_space(c) ? "A B"sv : "not A B"sv, static_cast<std::uint32_t>(c));
    }
    if (expect_white_space(c)) {
      // Doubled, or at both edges, it leaves nothing behind.
      CHECK_EQ(quillet::lookup::normalize_creator(utf8(c) + utf8(c)), ""sv, static_cast<std::uint32_t>(c));
      CHECK_EQ(quillet::lookup::normalize_creator(utf8(c) + "x " + utf8(c)), "X"sv, static_cast<std::uint32_t>(c));
    }
  }
  CHECK_EQ(splitting, std::size_t{25});
}

TEST_CASE("fold: ill-formed UTF-8 passes through byte by byte, never as space") {
  static constexpr std::array<fold_case, 16> cases{{
      {"\xff"sv, "\xff"sv},
      {"a\x80"
       "b"sv,
       "A\x80"
       "B"sv},
      {"\xc3"sv, "\xc3"sv},
      {"\xc3x"sv, "\xc3X"sv},
      {"ab\xe2\x80"sv, "AB\xe2\x80"sv},
      {"\xc0\xa0x"sv, "\xc0\xa0X"sv},                // overlong U+0020
      {"\xe0\x80\xa0"sv, "\xe0\x80\xa0"sv},          // overlong U+0020
      {"\xc1\x9f"sv, "\xc1\x9f"sv},                  // overlong U+005F
      {"\xed\xa0\x80"sv, "\xed\xa0\x80"sv},          // surrogate U+D800
      {"\xf4\x90\x80\x80"sv, "\xf4\x90\x80\x80"sv},  // above U+10FFFF
      {"\xf5\x80\x80\x80"sv, "\xf5\x80\x80\x80"sv},
      {"a\x85"
       "b"sv,
       "A\x85"
       "B"sv},  // Latin-1 NEL byte is not U+0085
      {"a\xa0"
       "b"sv,
       "A\xa0"
       "B"sv},
      {" \xff \xc3\x9f "sv, "\xff SS"sv},
      {"\xe2\x80\x80"sv, ""sv},  // well-formed U+2000 still folds away
      {"\xf0\x9f\x98"sv
       "\xc3\x9f"sv,
       "\xf0\x9f\x98SS"sv},
  }};
  for (const auto& c : cases) {
    CHECK_EQ(quillet::lookup::normalize_creator(c.input), c.folded, c.input);
    CHECK_EQ(quillet::lookup::hash_creator(c.input), fnv1a32(c.folded), c.input);
  }
}

TEST_CASE("fold: arbitrary bytes give consistent, well-shaped results") {
  std::uint64_t state = 0x9E3779B97F4A7C15u;
  const auto next = [&] {
    state = state * 6364136223846793005u + 1442695040888963407u;
    return static_cast<unsigned>(state >> 56);
  };
  // Bias towards bytes that start or continue sequences, and towards spaces.
  static constexpr std::array<unsigned char, 12> interesting{0x20, 0x09, 0x80, 0xBF, 0xC2, 0xC3,
                                                             0xDF, 0xE0, 0xE2, 0xED, 0xF0, 0xF4};
  for (int round = 0; round < 20000; ++round) {
    std::string input;
    const unsigned length = next() % 24;
    for (unsigned i = 0; i < length; ++i) {
      const unsigned r = next();
      input.push_back(static_cast<char>(r & 1 ? interesting[r % interesting.size()] : next()));
    }
    const std::string folded = quillet::lookup::normalize_creator(input);
    CHECK_EQ(quillet::lookup::hash_creator(std::string_view{input}), fnv1a32(folded), input);
    CHECK_EQ(quillet::lookup::normalize_creator(input), folded, input);
    const bool shaped =
        folded.empty() || (folded.front() != ' ' && folded.back() != ' ' && folded.find("  ") == std::string::npos);
    CHECK(shaped);
  }
}

TEST_CASE("python reference: curated creators") {
  for (const auto& v : quillet::vectors::creators) {
    CHECK_EQ(quillet::lookup::normalize_creator(v.input), v.folded, v.input);
    CHECK_EQ(quillet::lookup::hash_creator(v.input), v.hash, v.input);
  }
}

TEST_CASE("python reference: every code point, folded between two letters") {
  constexpr char32_t block = char32_t{1} << quillet::vectors::digest_shift;
  for (std::size_t b = 0; b < quillet::vectors::block_digests.size(); ++b) {
    std::uint32_t digest = quillet::lookup::fnv1a32_offset;
    const auto first = static_cast<char32_t>(b * block);
    for (char32_t c = first; c < first + block; ++c) {
      if (is_surrogate(c)) continue;
      const std::string input = between_letters(c);
      const std::uint32_t h = quillet::lookup::hash_creator(std::string_view{input});
      if (h != fnv1a32(quillet::lookup::normalize_creator(input))) {
        CHECK_EQ(h, fnv1a32(quillet::lookup::normalize_creator(input)), input);
      }
      for (unsigned shift = 0; shift < 32; shift += 8) {
        digest = (digest ^ ((h >> shift) & 0xFFu)) * quillet::lookup::fnv1a32_prime;
      }
    }
    // A mismatch names the first code point of the block that disagrees with Python.
    CHECK_EQ(digest, quillet::vectors::block_digests[b], static_cast<std::uint32_t>(first));
  }
}

TEST_CASE("compare: folded texts are equal exactly when their normalised forms are") {
  using quillet::lookup::creators_fold_equal;
  using quillet::lookup::normalize_creator;
  // Every pair of the curated creators, in both orders; several of them fold alike.
  std::size_t equal_pairs = 0;
  for (const auto& a : quillet::vectors::creators) {
    for (const auto& b : quillet::vectors::creators) {
      const bool expected = a.folded == b.folded;
      if (expected && a.input != b.input) ++equal_pairs;
      CHECK_EQ(creators_fold_equal(a.input, b.input), expected, std::string(a.input) + " | " + std::string(b.input));
    }
  }
  CHECK(equal_pairs > 0);

  // Random texts against variants of themselves (case, spacing, a byte changed, cut short):
  // the streams must agree to the end, and a difference anywhere, a missing tail included,
  // must show.
  std::uint64_t state = 0x2545F4914F6CDD1Du;
  const auto next = [&] {
    state = state * 6364136223846793005u + 1442695040888963407u;
    return static_cast<unsigned>(state >> 56);
  };
  // ASCII pieces first: every other round draws from them only, for the comparison's ASCII path.
  static constexpr std::array<std::string_view, 11> pieces{
      "a"sv, "Z"sv, " "sv, "\t"sv, "SS"sv, "\r\n"sv, "\u00a0"sv, "\u00df"sv, "\ufb03"sv, "\xc3"sv, "\xe2\x80"sv};
  constexpr std::size_t kAsciiPieces = 6;
  // What b gets in place of piece p of a: another spelling, more space, less space, a
  // difference, or p itself.
  const auto variant = [](std::string_view p, unsigned how) -> std::string {
    if (how == 0) return std::string(p == "a"sv ? "A"sv : p == "Z"sv ? "z"sv : p == "SS"sv ? "\u00df"sv : p);
    if (how == 1) return std::string(p) + ' ';
    if (how == 2) return p == " "sv || p == "\t"sv || p == "\r\n"sv ? "" : std::string(p);
    if (how == 3) return "x";
    return std::string(p);
  };
  std::size_t alike = 0;
  constexpr int kRounds = 20000;
  for (int round = 0; round < kRounds; ++round) {
    std::string a, b;
    const unsigned length = next() % 12;
    for (unsigned i = 0; i < length; ++i) {
      const std::string_view p = pieces[next() % (round % 2 ? kAsciiPieces : pieces.size())];
      a += p;
      const unsigned how = next() % 8;
      b += variant(p, how == 3 && round % 4 != 0 ? 0 : how);  // differences in a quarter of the rounds
    }
    if (round % 5 == 0 && !b.empty()) b.pop_back();  // cut short, maybe mid-sequence
    const bool expected = normalize_creator(a) == normalize_creator(b);
    alike += expected;
    CHECK_EQ(creators_fold_equal(a, b), expected, a + " | " + b);
    CHECK_EQ(creators_fold_equal(b, a), expected, b + " | " + a);
  }
  // Both answers must be common, or the loop proves little.
  CHECK(alike > kRounds / 4 && alike < kRounds * 3 / 4);
}
