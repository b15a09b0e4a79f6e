// Arbitrary bytes as a UID file. A file that validation accepts answers every query (a UID, a
// keyword, a search) for texts taken from the input and from its own entries; the file sits in a
// heap block of exactly its size, so that AddressSanitizer reports any read past its end.

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "fuzz_support.hpp"
#include "uids/view.hpp"

using quillet::archive::ByteView;
using quillet::uids::View;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::uint8_t> file(data, data + size);
  const auto made = View::make(ByteView(file.data(), file.size()));
  if (!made) return 0;
  const View& view = made.value();

  // Every entry is found by its own UID and keyword, which validation proved unique and sorted.
  for (std::uint32_t i = 0; i < view.size(); ++i) {
    const auto e = view.entry(i);
    FUZZ_CHECK(e && quillet::uids::is_uid(e->uid));
    FUZZ_CHECK(view.find(e->uid) == i);
    if (const auto k = view.find_keyword(e->keyword)) FUZZ_CHECK(view.entry(*k)->keyword == e->keyword);
  }
  const std::string_view tail(reinterpret_cast<const char*>(data) + size - (size > 12 ? 12 : size),
                              size > 12 ? 12 : size);
  for (const std::string_view text : {std::string_view{}, std::string_view{"1.2.840.10008.1.2"},
                                      std::string_view{"jpeg"}, tail.substr(0, tail.size() / 2), tail}) {
    (void)view.find(text);
    (void)view.find_keyword(text);
    for (const std::size_t limit : {std::size_t{0}, std::size_t{3}, SIZE_MAX}) {
      const auto found = view.search(text, limit);
      FUZZ_CHECK(found.size() <= limit);
      for (const std::uint32_t n : found) FUZZ_CHECK(n < view.size());
    }
  }
  return 0;
}
