// Arbitrary bytes as a dictionary file and its companion: a u32 (little-endian) length, that many
// bytes of dictionary, then the companion. A dictionary that its own checks refuse ends the run;
// for one they accept, the pair is validated, and for a pair that passes, every query (keywords,
// search, VM, VRs) runs with texts taken from the input. Each file sits in a heap block of exactly its size, so that
// AddressSanitizer reports any read past either end.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "companion/view.hpp"
#include "dictfile/mapped_dict.hpp"
#include "fuzz_support.hpp"

using quillet::archive::ByteView;
using quillet::companion::View;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  std::uint32_t n = 0;
  std::memcpy(&n, data, 4);
  if (n > size - 4) return 0;
  const std::vector<std::uint8_t> dict(data + 4, data + 4 + n);
  const std::vector<std::uint8_t> file(data + 4 + n, data + size);
  const ByteView dict_view(dict.data(), dict.size());
  if (!quillet::dictfile::MappedDict::check(dict_view)) return 0;
  const auto view = View::make(dict_view, ByteView(file.data(), file.size()));
  if (!view) return 0;

  // Query texts: a few fixed ones, and the input's last bytes, which the fuzzer steers.
  const std::string_view tail(reinterpret_cast<const char*>(data) + size - (size > 12 ? 12 : size),
                              size > 12 ? 12 : size);
  for (const std::string_view text : {std::string_view{}, std::string_view{"A"}, std::string_view{"PatientName"},
                                      tail.substr(0, tail.size() / 2), tail}) {
    const auto tag = view.value().tag_for_keyword(text);
    const auto keys = view.value().keys_for_keyword(text);
    FUZZ_CHECK(!tag || (!tag->creator && !keys.empty()));
    for (const std::size_t limit : {std::size_t{0}, std::size_t{3}, SIZE_MAX}) {
      FUZZ_CHECK(view.value().search(text, std::nullopt, limit).size() <= limit);
      FUZZ_CHECK(view.value().search(text, tail, limit).size() <= limit);
    }
    for (const auto& k : keys) {
      (void)view.value().vm(k.group, k.element, k.creator);
      const auto vrs = view.value().vrs(k.group, k.element, k.creator);
      // The codes are the dictionary's own, or choices that validation proved below "??".
      if (vrs && vrs.value()) {
        for (std::size_t i = 0; i < vrs.value()->size(); ++i) {
          FUZZ_CHECK(vrs.value()->data()[i] < quillet::archive::kVrCount);
        }
      }
    }
  }
  (void)view.value().vm(0x0010, 0x0010, std::nullopt);
  (void)view.value().vrs(0x7FE0, 0x0010, std::nullopt);
  return 0;
}
