// Creator folding and hashing on arbitrary bytes.
//
// A creator comes straight from the caller and may be any text (the binding passes any str's
// UTF-8, and C++ callers any bytes), so folding must be total and deterministic, and the hash
// the search uses must be the FNV-1a of exactly the folded text; otherwise a lookup with a
// creator would silently miss its entry. The search then compares the requested creator with
// the stored one in their folded forms, which must agree with comparing the folded texts.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz_support.hpp"
#include "lookup/creator.hpp"
#include "lookup/utf8.hpp"

namespace {

using quillet::fuzz::AllocationCount;

std::uint32_t fnv1a(std::string_view s) {
  std::uint32_t h = quillet::lookup::fnv1a32_offset;
  for (const char c : s) h = (h ^ static_cast<unsigned char>(c)) * quillet::lookup::fnv1a32_prime;
  return h;
}

bool valid_utf8(std::string_view s) {
  return quillet::lookup::is_valid_utf8({reinterpret_cast<const std::uint8_t*>(s.data()), s.size()});
}

/// Whether s holds a White_Space character other than U+0020, spelled as UTF-8.
bool has_other_white_space(std::string_view s) {
  for (const char c : s) {
    if (c >= 0x09 && c <= 0x0D) return true;
  }
  // U+0085 U+00A0 U+1680 U+2000..U+200A U+2028 U+2029 U+202F U+205F U+3000
  static constexpr std::string_view multi[] = {
      "\xC2\x85",     "\xC2\xA0",     "\xE1\x9A\x80", "\xE2\x80\x80", "\xE2\x80\x81", "\xE2\x80\x82", "\xE2\x80\x83",
      "\xE2\x80\x84", "\xE2\x80\x85", "\xE2\x80\x86", "\xE2\x80\x87", "\xE2\x80\x88", "\xE2\x80\x89", "\xE2\x80\x8A",
      "\xE2\x80\xA8", "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F", "\xE3\x80\x80"};
  for (const std::string_view w : multi) {
    if (s.find(w) != std::string_view::npos) return true;
  }
  return false;
}

std::string ascii_lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
  }
  return out;
}

/// Properties that hold for any bytes.
void check_any(std::string_view s) {
  const std::string folded = quillet::lookup::normalize_creator(s);
  std::uint32_t h = 0;
  {
    const AllocationCount allocs;
    h = quillet::lookup::hash_creator(s);
    FUZZ_CHECK(quillet::lookup::hash_creator(std::optional<std::string_view>{s}) == h);
    FUZZ_CHECK(quillet::lookup::hash_creator(std::optional<std::string_view>{}) == 0);
    FUZZ_CHECK(allocs.count() == 0);  // the search hashes on every lookup with a creator
  }
  FUZZ_CHECK(h == fnv1a(folded));
  FUZZ_CHECK(quillet::lookup::normalize_creator(s) == folded);  // deterministic
  // Words are joined by single blanks with nothing around them, and ASCII is upper case.
  FUZZ_CHECK(folded.empty() || (folded.front() != ' ' && folded.back() != ' '));
  FUZZ_CHECK(folded.find("  ") == std::string::npos);
  for (const char c : folded) FUZZ_CHECK(!(c >= 'a' && c <= 'z'));
}

/// Properties of well-formed UTF-8, the only text a Python caller can pass.
void check_valid(std::string_view s) {
  const std::string folded = quillet::lookup::normalize_creator(s);
  FUZZ_CHECK(valid_utf8(folded));
  FUZZ_CHECK(!has_other_white_space(folded));
  FUZZ_CHECK(quillet::lookup::normalize_creator(folded) == folded);  // upper-casing twice changes nothing
  FUZZ_CHECK(quillet::lookup::normalize_creator(ascii_lower(s)) == folded);
}

/// Folding works word by word: a blank between two texts only separates them.
void check_split(std::string_view a, std::string_view b) {
  std::string joined(a);
  joined += ' ';
  joined += b;
  const std::string fa = quillet::lookup::normalize_creator(a);
  const std::string fb = quillet::lookup::normalize_creator(b);
  const std::string expected = fa.empty() ? fb : fb.empty() ? fa : fa + " " + fb;
  FUZZ_CHECK(quillet::lookup::normalize_creator(joined) == expected);
}

/// The comparison the search makes: equal exactly when the folded texts are, either way round,
/// and without allocating.
void check_compare(std::string_view a, std::string_view b) {
  const bool expected = quillet::lookup::normalize_creator(a) == quillet::lookup::normalize_creator(b);
  const AllocationCount allocs;
  const bool forth = quillet::lookup::creators_fold_equal(a, b);
  const bool back = quillet::lookup::creators_fold_equal(b, a);
  FUZZ_CHECK(allocs.count() == 0);
  FUZZ_CHECK(forth == expected && back == expected);
}

/// s with every ASCII blank doubled and a tab in front: folds alike, bytes differ.
std::string respaced(std::string_view s) {
  std::string out = "\t";
  for (const char c : s) {
    out += c;
    if (c == ' ') out += ' ';
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view s(reinterpret_cast<const char*>(data), size);
  check_any(s);
  const std::size_t half = size == 0 ? 0 : data[0] % (size + 1);
  check_compare(s.substr(0, half), s.substr(half));
  check_compare(s, ascii_lower(s));
  check_compare(s, respaced(s));
  if (valid_utf8(s)) {
    check_valid(s);
    // Cut at the position named by the first byte, moved back to a character boundary.
    std::size_t cut = size == 0 ? 0 : data[0] % (size + 1);
    while (cut > 0 && cut < size && (data[cut] & 0xC0) == 0x80) --cut;
    check_split(s.substr(0, cut), s.substr(cut));
  }
  return 0;
}
