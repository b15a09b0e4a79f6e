// Arbitrary bytes as a whole dictionary file: the header checks and the validation, then lookups.
//
// What each answer must be is the differential tests' business: they compare the extension with
// the reference reader of tests/model.py, on this target's seed corpus and regressions as well as
// on what they generate. This target holds what a fuzzer under ASan and UBSan is for:
//   - nothing reads outside the file (the copy is followed by poisoned memory);
//   - a file that passes costs no allocation, and neither does a lookup without creator;
//   - the same bytes give the same outcome twice;
//   - what a lookup hands out lies inside the body, and from a body that passed only records
//     whose checked bytes are in range;
//   - a body that failed is searched too, as a lookup would meet it in a file rewritten after it
//     was opened: it must stay inside the body and answer or report a fault.
// The header's bytes 6 to 31 are ignored by the reader, so the fuzzer uses them as its own
// controls: byte 6 may shift the copy off its page alignment, and bytes 8 to 31 name one more
// key to look up.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "archive/layout.hpp"
#include "dictfile/mapped_dict.hpp"
#include "fuzz_support.hpp"
#include "lookup/search.hpp"

namespace {

using namespace quillet::archive;
using namespace quillet::dictfile;
using namespace quillet::lookup;
namespace fuzz = quillet::fuzz;
using fuzz::AllocationCount;

bool inside(ByteView part, ByteView whole) {
  return part.data() >= whole.data() && part.size() <= whole.size() &&
         static_cast<std::size_t>(part.data() - whole.data()) <= whole.size() - part.size();
}

/// Looks one key up, twice, and checks what any answer must satisfy.
void probe(ByteView body, bool passed, std::uint16_t group, std::uint16_t element,
           std::optional<std::string_view> creator) {
  const AllocationCount allocs;
  const auto found = find_record(body, group, element, creator);
  const std::size_t allocations = allocs.count();
  if (found && !creator) FUZZ_CHECK(allocations == 0);

  const auto again = find_record(body, group, element, creator);
  FUZZ_CHECK(found.ok() == again.ok());
  if (!found) {
    FUZZ_CHECK(!found.error().message.empty() && found.error().message == again.error().message);
    return;
  }
  FUZZ_CHECK(found.value().has_value() == again.value().has_value());
  if (!found.value()) return;
  const RecordView& view = *found.value();
  FUZZ_CHECK(view.record.group() == again.value()->record.group());
  FUZZ_CHECK(inside(view.pool, body));
  FUZZ_CHECK(inside(ByteView(view.record.data(), kRecordLen), body));
  if (passed) {
    const DictRecord& r = view.record;
    FUZZ_CHECK(r.vr() < kVrCount && r.block_offset() <= 1 && r.retired() <= 1);
  }
}

/// The header's own key: group and element at bytes 8 and 10; byte 12 is 0 for none or
/// 1 + the length of a creator text that follows it (up to 19 bytes).
struct HeaderKey {
  std::uint16_t group, element;
  std::optional<std::string_view> creator;
};
HeaderKey header_key(FixedView<kHeaderLen> head) {
  const std::uint8_t c = head.u8<12>();
  std::optional<std::string_view> creator;
  if (c != 0) creator = std::string_view(reinterpret_cast<const char*>(head.data()) + 13, (c - 1u) % 20);
  return {head.u16<8>(), head.u16<10>(), creator};
}

/// Lookups for the first keys of the index (where the root says it is, if that lies in the
/// body), their neighbours, each with and without the creator text its record holds, and the
/// key the header names.
void lookups(FixedView<kHeaderLen> head, ByteView body, bool passed) {
  const HeaderKey k = header_key(head);
  probe(body, passed, k.group, k.element, k.creator);
  probe(body, passed, k.group, k.element, std::string_view{});

  const auto root = DictRoot::read(body);
  if (!root) return;
  const std::int64_t at = root->index.target(root->at + kRootIndexAt);
  if (at < 0) return;
  const std::uint64_t n = std::min<std::uint64_t>(root->index.count, 16);
  for (std::uint64_t i = 0; i < n; ++i) {
    const auto bytes = IndexEntry::Bytes::at(body, static_cast<std::uint64_t>(at) + i * kIndexEntryLen);
    if (!bytes) break;
    const IndexEntry e(*bytes);
    const auto g = e.group();
    const auto el = e.element();
    probe(body, passed, g, el, std::nullopt);
    probe(body, passed, g, static_cast<std::uint16_t>(el + 1), std::nullopt);
    // A private entry is found through the creator text its record holds, when that text lies
    // in the pool: a sound producer hashes exactly that text into the entry.
    const auto found = find_record(body, g, el, std::nullopt);
    if (!found || !found.value()) continue;
    const StrRef c = found.value()->record.creator();
    if (const auto text = found.value()->pool.slice(c.offset, c.length); text && c.length > 0) {
      probe(body, passed, g, el, std::string_view(reinterpret_cast<const char*>(text->data()), text->size()));
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Mostly page-aligned like a mapping; a header byte 6 of 0xF8 or more shifts the copy by its
  // low three bits, to reach the alignment checks.
  const std::size_t shift = size > 6 && data[6] >= 0xF8 ? data[6] & 7u : 0;
  const fuzz::PlacedCopy copy(data, size, shift);
  const ByteView file = copy.view();

  const AllocationCount allocs;
  const auto checked = MappedDict::check(file);
  const std::size_t allocations = allocs.count();

  const auto again = MappedDict::check(file);
  FUZZ_CHECK(checked.ok() == again.ok());
  if (checked) {
    FUZZ_CHECK(allocations == 0);  // a file that passes costs no allocation
  } else {
    const std::string text = checked.error().message();
    FUZZ_CHECK(!text.empty() && text.find('\n') == std::string::npos && text == again.error().message());
  }

  // Only a file whose header passed has a body that lookups would be given.
  const auto head = FixedView<kHeaderLen>::at(file, 0);
  if (!head || !std::equal(kMagic, kMagic + 4, head->data()) || head->u16<4>() != kFormatVersion) return 0;
  FUZZ_CHECK(checked || checked.error().kind == LoadError::Kind::Integrity);
  const auto body = file.slice(kHeaderLen, size - kHeaderLen);
  FUZZ_CHECK(body);
  lookups(*head, *body, checked.ok());
  return 0;
}
