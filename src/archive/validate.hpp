#pragma once
// One-time integrity validation of an archived body before any lookup trusts its offsets.

#include <cstdint>
#include <string>
#include <string_view>

#include "archive/bytes.hpp"
#include "common/result.hpp"

namespace quillet::archive {

/// Why an object could not be placed in the body. Addresses are of the current process.
struct ArchiveError {
  enum class Kind : std::uint8_t {
    Overflow,                     ///< base + offset does not fit
    Underaligned,                 ///< the body itself is aligned too weakly
    OutOfBounds,                  ///< target outside the body
    Overrun,                      ///< array runs past the body's end
    Unaligned,                    ///< target not a multiple of the item alignment
    SubtreePointerOutOfBounds,    ///< target outside the still unclaimed part
    SubtreePointerOverrun,        ///< array runs past the still unclaimed part
    RangePoppedOutOfOrder,        ///< claims released in the wrong order
    ExceededMaximumSubtreeDepth,  ///< too many nested claims
  };
  Kind kind;
  std::uintptr_t ptr = 0;  ///< base or pointer, by kind
  std::int64_t offset = 0;
  std::uint64_t size = 0;    ///< size, expected alignment, expected depth or maximum depth
  std::uint64_t actual = 0;  ///< alignment or actual depth
  std::uintptr_t range_start = 0;
  std::uintptr_t range_end = 0;

  [[nodiscard]] std::string message() const;
};

/// The first failure of a validation, with what is needed to compose its text later.
/// The text is only built on this cold path; a body that passes allocates nothing.
struct ValidationFailure {
  enum class Where : std::uint8_t {
    Root,    ///< placing the root itself
    Array,   ///< placing one of the root's arrays (`member`)
    Record,  ///< a field of record `item` in `records`
  };
  enum class Value : std::uint8_t { Bool, Enum };

  Where where;
  ArchiveError archive{ArchiveError::Kind::Overflow};  ///< Root and Array
  const char* member = nullptr;                        ///< Array and Record: index, records, strings
  std::uint64_t item = 0;                              ///< Record
  const char* field = nullptr;                         ///< Record: vr, retired, element_is_block_offset
  Value value_kind = Value::Bool;                      ///< Record
  std::uint8_t value = 0;                              ///< Record

  /// The composed one-line text, outermost context first.
  [[nodiscard]] std::string message() const;
};

/// Checks the body [start, start + length) once. On success returns the root's address.
[[nodiscard]] Result<const std::uint8_t*, ValidationFailure> validate_body(const std::uint8_t* start,
                                                                           std::uint64_t length) noexcept;

}  // namespace quillet::archive
