#include <string>
#include <string_view>

#include "check.hpp"
#include "dictfile/utf16.hpp"

using namespace std::string_view_literals;

namespace {

struct utf16_case {
  std::u16string_view in;
  std::string_view out;
};

// Hand-encoded expectations: every length of UTF-8 sequence and each boundary between them,
// surrogate pairs at both ends of the supplementary range, and every way a surrogate can be
// left without its partner.
constexpr utf16_case kUtf16Cases[] = {
    {u"", ""sv},
    {u"Access is denied.\r\n", "Access is denied.\r\n"sv},
    {u"\x7F\u0080", "\x7F\xC2\x80"sv},
    {u"\u07FF\u0800", "\xDF\xBF\xE0\xA0\x80"sv},
    {u"Zugriff verweigert: \u00FC\u00DF", "Zugriff verweigert: \xC3\xBC\xC3\x9F"sv},
    {u"\u62D2\u7EDD\uFFFF", "\xE6\x8B\x92\xE7\xBB\x9D\xEF\xBF\xBF"sv},
    {u"\U00010000\U0010FFFF", "\xF0\x90\x80\x80\xF4\x8F\xBF\xBF"sv},
    {u"a\xD800z"sv, "a\xEF\xBF\xBDz"sv},                          // high surrogate, then no low one
    {u"a\xDC00z"sv, "a\xEF\xBF\xBDz"sv},                          // low surrogate alone
    {u"a\xD83D"sv, "a\xEF\xBF\xBD"sv},                            // high surrogate at the end
    {u"\xDC00\xD800"sv, "\xEF\xBF\xBD\xEF\xBF\xBD"sv},            // a pair in the wrong order
    {u"\xD800\xD800\xDC00"sv, "\xEF\xBF\xBD\xF0\x90\x80\x80"sv},  // the second high one pairs
};

}  // namespace

TEST_CASE("utf8_from_utf16: every sequence length, pairs, and lone surrogates as U+FFFD") {
  for (const utf16_case& c : kUtf16Cases) {
    CHECK_EQ(quillet::dictfile::utf8_from_utf16(c.in), std::string(c.out), c.out);
  }
}
