#pragma once
// Finding the record of a tag (and private creator) by binary search over the mapped index.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "archive/bytes.hpp"
#include "archive/layout.hpp"
#include "common/result.hpp"
#include "dictfile/mapped_dict.hpp"

namespace quillet::lookup {

using archive::ByteView;
using archive::DictRecord;
using archive::StrRef;

/// A located record and the pool its texts live in. Points into the mapping: valid only while the
/// dictionary that produced it is alive.
struct RecordView {
  DictRecord record;
  ByteView pool;
  /// Position of the record in `records`, for data kept per record beside the file.
  std::uint32_t number = 0;
};

/// A fault that only a corrupt (or since-modified) file can cause. Carries its one-line text.
struct LookupFault {
  std::string message;
};

/// The fault for a text that does not lie inside the pool: its text names the offset, or else
/// the end, that is out of range.
[[nodiscard]] LookupFault text_fault(std::uint64_t pool_size, StrRef ref);

/// The bytes of a text of the pool. Texts are not checked at open, so one that does not lie
/// inside the pool is a fault.
[[nodiscard]] inline Result<ByteView, LookupFault> resolve_text(ByteView pool, StrRef ref) {
  if (const auto bytes = pool.slice(ref.offset, ref.length)) return *bytes;
  return Err{text_fault(pool.size(), ref)};
}

/// The number of index entries, read from the root at the end of the body.
[[nodiscard]] std::uint32_t index_count(ByteView body) noexcept;

/// Searches the index for (group, element, hash of creator). No creator searches hash 0.
/// With a creator, an entry counts only when its record's creator folds to the same text (or the
/// record stores none); among entries of equal key the latest such one wins. Nothing found is
/// not a fault.
[[nodiscard]] Result<std::optional<RecordView>, LookupFault> find_record(ByteView body, std::uint16_t group,
                                                                         std::uint16_t element,
                                                                         std::optional<std::string_view> creator);

/// Whether a group is private: odd, and above the groups 0001-0007 that hold no data elements.
[[nodiscard]] constexpr bool is_private_group(std::uint16_t group) noexcept { return (group & 1) != 0 && group > 8; }

/// The entry for a tag as it stands in a data set: the most specific one. In a private group a
/// data element (xx00-xxFF of a block, element 1000 and above) is answered by the entry of
/// exactly this element, a definition of this block only, else by the block offset's (the low
/// byte, an entry flagged as an offset); elements below 0100 (group length, creator elements,
/// reserved ones) by no entry; the other elements by their own. A public tag is answered by its
/// own entry, whatever creator is given, for none is stored with a creator. The odd groups
/// 0001-0007 hold no data elements, but old private dictionaries put creators there: with a
/// creator they are answered as private groups are.
[[nodiscard]] Result<std::optional<RecordView>, LookupFault> find_element(ByteView body, std::uint16_t group,
                                                                          std::uint16_t element,
                                                                          std::optional<std::string_view> creator);

/// Every entry stored for exactly (group, element), whatever its creator, in index order.
[[nodiscard]] Result<std::vector<RecordView>, LookupFault> records_at(ByteView body, std::uint16_t group,
                                                                      std::uint16_t element);

[[nodiscard]] inline Result<std::optional<RecordView>, LookupFault> find_record(
    const dictfile::MappedDict& dict, std::uint16_t group, std::uint16_t element,
    std::optional<std::string_view> creator) {
  return find_record(dict.body(), group, element, creator);
}

}  // namespace quillet::lookup
