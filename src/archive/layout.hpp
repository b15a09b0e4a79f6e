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
static_assert(kVrTable.size() == 2 * kVrCount);

/// Record field offsets. The three single-byte fields are the only ones with restricted values.
namespace record {
inline constexpr std::size_t kKeywordOff = 0;
inline constexpr std::size_t kNameOff = 4;
inline constexpr std::size_t kCreatorOff = 8;
inline constexpr std::size_t kDescriptionOff = 12;
inline constexpr std::size_t kDescriptionLen = 16;
inline constexpr std::size_t kSourcesOff = 20;
inline constexpr std::size_t kSourcesLen = 24;
inline constexpr std::size_t kGroup = 28;
inline constexpr std::size_t kElement = 30;
inline constexpr std::size_t kKeywordLen = 32;
inline constexpr std::size_t kNameLen = 34;
inline constexpr std::size_t kCreatorLen = 36;
inline constexpr std::size_t kVr = 40;
inline constexpr std::size_t kBlockOffset = 41;
inline constexpr std::size_t kRetired = 42;
}  // namespace record

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

  [[nodiscard]] std::uint16_t group() const noexcept { return b_.u16<record::kGroup>(); }
  [[nodiscard]] std::uint16_t element() const noexcept { return b_.u16<record::kElement>(); }
  [[nodiscard]] StrRef keyword() const noexcept {
    return {b_.u32<record::kKeywordOff>(), b_.u16<record::kKeywordLen>()};
  }
  [[nodiscard]] StrRef name() const noexcept { return {b_.u32<record::kNameOff>(), b_.u16<record::kNameLen>()}; }
  /// Length 0 means "no private creator"; the offset is then meaningless.
  [[nodiscard]] StrRef creator() const noexcept {
    return {b_.u32<record::kCreatorOff>(), b_.u16<record::kCreatorLen>()};
  }
  [[nodiscard]] StrRef description() const noexcept {
    return {b_.u32<record::kDescriptionOff>(), b_.u32<record::kDescriptionLen>()};
  }
  [[nodiscard]] StrRef sources() const noexcept {
    return {b_.u32<record::kSourcesOff>(), b_.u32<record::kSourcesLen>()};
  }
  [[nodiscard]] std::uint8_t vr() const noexcept { return b_.u8<record::kVr>(); }
  [[nodiscard]] std::uint8_t block_offset() const noexcept { return b_.u8<record::kBlockOffset>(); }
  [[nodiscard]] std::uint8_t retired() const noexcept { return b_.u8<record::kRetired>(); }

 private:
  Bytes b_;
};

/// One 12-byte index entry; sorted by (group, element, creator_hash), all unsigned.
class IndexEntry {
 public:
  using Bytes = FixedView<kIndexEntryLen>;
  explicit constexpr IndexEntry(Bytes b) noexcept : b_(b) {}

  [[nodiscard]] std::uint32_t creator_hash() const noexcept { return b_.u32<0>(); }
  [[nodiscard]] std::uint32_t record() const noexcept { return b_.u32<4>(); }
  [[nodiscard]] std::uint16_t group() const noexcept { return b_.u16<8>(); }
  [[nodiscard]] std::uint16_t element() const noexcept { return b_.u16<10>(); }
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
    if (body.size() < kRootLen) return std::nullopt;
    const std::uint64_t at = body.size() - kRootLen;
    const auto b = FixedView<kRootLen>::at(body, at);
    if (!b) return std::nullopt;
    return DictRoot{at,
                    {b->i32<kRootIndexAt>(), b->u32<kRootIndexAt + 4>()},
                    {b->i32<kRootRecordsAt>(), b->u32<kRootRecordsAt + 4>()},
                    {b->i32<kRootStringsAt>(), b->u32<kRootStringsAt + 4>()}};
  }
};

}  // namespace quillet::archive
