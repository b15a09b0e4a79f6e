#pragma once
// Byte layout of the archived dictionary body.
//
// The body ends in a 24-byte root of three array references; before it lie the sorted index
// (12-byte entries), the records (44 bytes each) and the string pool. A reference is a signed
// offset counted from the reference's own position, then an unsigned count. All little-endian.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "archive/bytes.hpp"

namespace quillet::archive {

inline constexpr std::size_t kRootLen = 24;
inline constexpr std::size_t kVecRefLen = 8;
inline constexpr std::size_t kIndexEntryLen = 12;
inline constexpr std::size_t kRecordLen = 44;
inline constexpr std::size_t kArchiveAlign = 4;

/// Position of each reference inside the root, in the order they are validated.
inline constexpr std::size_t kRootIndexAt = 0;
inline constexpr std::size_t kRootRecordsAt = 8;
inline constexpr std::size_t kRootStringsAt = 16;

/// The two-letter Value Representations, indexed by the one-byte code; 34 is "??".
inline constexpr std::string_view kVrTable = "AEASATCSDADSDTFLFDISLOLTOBODOFOLOVOWPNSHSLSQSSSTSVTMUCUIULUNURUSUTUV??";
inline constexpr std::uint8_t kVrCount = 35;
/// The code of "??": a VR outside the other 34 codes, or several of them, or none.
inline constexpr std::uint8_t kVrUnknown = 34;
static_assert(kVrUnknown == kVrCount - 1);
static_assert(kVrTable.size() == std::size_t{2} * kVrCount);

/// The fields of a 44-byte record. The three single-byte fields are the only ones with restricted
/// values; bytes 38, 39 and 43 are not read.
namespace record {
inline constexpr Field kKeywordOff{0, 4};
inline constexpr Field kNameOff{4, 4};
inline constexpr Field kCreatorOff{8, 4};
inline constexpr Field kDescriptionOff{12, 4};
inline constexpr Field kDescriptionLen{16, 4};
inline constexpr Field kSourcesOff{20, 4};
inline constexpr Field kSourcesLen{24, 4};
inline constexpr Field kGroup{28, 2};
inline constexpr Field kElement{30, 2};
inline constexpr Field kKeywordLen{32, 2};
inline constexpr Field kNameLen{34, 2};
inline constexpr Field kCreatorLen{36, 2};
inline constexpr Field kVr{40, 1};
inline constexpr Field kBlockOffset{41, 1};
inline constexpr Field kRetired{42, 1};
}  // namespace record

/// The fields of a 12-byte index entry.
namespace index_entry {
inline constexpr Field kCreatorHash{0, 4};
inline constexpr Field kRecord{4, 4};
inline constexpr Field kGroup{8, 2};
inline constexpr Field kElement{10, 2};
}  // namespace index_entry

/// The fields of an 8-byte array reference; the offset is read as a signed number.
namespace vec_ref {
inline constexpr Field kOffset{0, 4};
inline constexpr Field kCount{4, 4};
}  // namespace vec_ref

/// A text in the string pool: byte offset from the pool's first byte, and byte length.
struct StrRef {
  std::uint32_t offset;
  std::uint32_t length;
};

/// One 44-byte record, decoded field by field from a view that holds all of it.
class DictRecord {
 public:
  using Bytes = FixedView<kRecordLen>;
  explicit constexpr DictRecord(Bytes b) noexcept : b_(b) {}

  [[nodiscard]] std::uint16_t group() const noexcept { return b_.read<record::kGroup>(); }
  [[nodiscard]] std::uint16_t element() const noexcept { return b_.read<record::kElement>(); }
  [[nodiscard]] StrRef keyword() const noexcept {
    return {b_.read<record::kKeywordOff>(), b_.read<record::kKeywordLen>()};
  }
  [[nodiscard]] StrRef name() const noexcept { return {b_.read<record::kNameOff>(), b_.read<record::kNameLen>()}; }
  /// Length 0 means "no private creator"; the offset is then meaningless.
  [[nodiscard]] StrRef creator() const noexcept {
    return {b_.read<record::kCreatorOff>(), b_.read<record::kCreatorLen>()};
  }
  [[nodiscard]] StrRef description() const noexcept {
    return {b_.read<record::kDescriptionOff>(), b_.read<record::kDescriptionLen>()};
  }
  [[nodiscard]] StrRef sources() const noexcept {
    return {b_.read<record::kSourcesOff>(), b_.read<record::kSourcesLen>()};
  }
  [[nodiscard]] std::uint8_t vr() const noexcept { return b_.read<record::kVr>(); }
  [[nodiscard]] std::uint8_t block_offset() const noexcept { return b_.read<record::kBlockOffset>(); }
  [[nodiscard]] std::uint8_t retired() const noexcept { return b_.read<record::kRetired>(); }
  /// The record's first byte, where it lies in the mapping.
  [[nodiscard]] const std::uint8_t* data() const noexcept { return b_.data(); }

 private:
  Bytes b_;
};

/// One 12-byte index entry; sorted by (group, element, creator_hash), all unsigned.
class IndexEntry {
 public:
  using Bytes = FixedView<kIndexEntryLen>;
  explicit constexpr IndexEntry(Bytes b) noexcept : b_(b) {}

  [[nodiscard]] std::uint32_t creator_hash() const noexcept { return b_.read<index_entry::kCreatorHash>(); }
  [[nodiscard]] std::uint32_t record() const noexcept { return b_.read<index_entry::kRecord>(); }
  [[nodiscard]] std::uint16_t group() const noexcept { return b_.read<index_entry::kGroup>(); }
  [[nodiscard]] std::uint16_t element() const noexcept { return b_.read<index_entry::kElement>(); }
  /// The sort key packed so that one unsigned comparison orders entries.
  [[nodiscard]] std::uint64_t key() const noexcept {
    return (std::uint64_t{group()} << 48) | (std::uint64_t{element()} << 32) | creator_hash();
  }

 private:
  Bytes b_;
};

[[nodiscard]] constexpr std::uint64_t pack_key(std::uint16_t group, std::uint16_t element,
                                               std::uint32_t creator_hash) noexcept {
  return (std::uint64_t{group} << 48) | (std::uint64_t{element} << 32) | creator_hash;
}

/// An array reference as stored: offset from the reference's own body position, and count.
struct VecRef {
  std::int32_t offset;
  std::uint32_t count;

  /// The body position of the array's first item, given where the reference itself lies.
  [[nodiscard]] constexpr std::int64_t target(std::uint64_t at) const noexcept {
    return static_cast<std::int64_t>(at) + offset;
  }
};

/// The root, read from the last 24 bytes of a body. Nothing here trusts the values it reads.
struct DictRoot {
  std::uint64_t at;  ///< body position of the root
  VecRef index;
  VecRef records;
  VecRef strings;

  /// Reads the root from the end of `body`, or nothing when the body cannot hold one.
  [[nodiscard]] static std::optional<DictRoot> read(ByteView body) noexcept {
    const auto b = FixedView<kRootLen>::last(body);
    if (!b) return std::nullopt;
    return DictRoot{body.size() - kRootLen, ref<kRootIndexAt>(*b), ref<kRootRecordsAt>(*b), ref<kRootStringsAt>(*b)};
  }

 private:
  template <std::size_t At>
  static VecRef ref(FixedView<kRootLen> b) noexcept {
    constexpr Field offset{At + vec_ref::kOffset.offset, vec_ref::kOffset.width};
    constexpr Field count{At + vec_ref::kCount.offset, vec_ref::kCount.width};
    return {static_cast<std::int32_t>(b.read<offset>()), b.read<count>()};  // two's complement, defined since C++20
  }
};

/// The root's three arrays, in the order they lie in the root, in the body, and are validated.
struct RootMember {
  const char* name;  ///< the stored field name, as failure texts give it
  std::size_t at;    ///< position of its reference inside the root
  VecRef DictRoot::*ref;
  std::size_t item_len;
  std::size_t item_align;
};
inline constexpr RootMember kRootMembers[] = {
    {"index", kRootIndexAt, &DictRoot::index, kIndexEntryLen, kArchiveAlign},
    {"records", kRootRecordsAt, &DictRoot::records, kRecordLen, kArchiveAlign},
    {"strings", kRootStringsAt, &DictRoot::strings, 1, 1},
};

}  // namespace quillet::archive
