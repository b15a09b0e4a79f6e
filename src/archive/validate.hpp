#pragma once
// One-time integrity validation of an archived body before any lookup trusts its offsets.
//
// The body is flat: a root in its last bytes and three arrays before it. Validation proves that
// the root is in place, that each array lies inside the body, aligned, after the one before it
// and before the root, and that every record's three byte fields hold allowed values. A failure
// is a small value of its own kind; its text is made only when asked for, so a body that passes
// allocates nothing.

#include <cstdint>
#include <string>
#include <variant>

#include "common/result.hpp"

namespace quillet::archive {

/// A range [start, end) of process addresses.
struct AddressRange {
  std::uintptr_t start;
  std::uintptr_t end;
};

/// Why the root or an array could not be placed. Addresses are those of the current process.
namespace placement {
/// The target lies outside the body.
struct OutOfBounds {
  std::uintptr_t base;  ///< the reference's own address
  std::int64_t offset;
  AddressRange body;
};
/// The body itself is aligned too weakly.
struct Underaligned {
  std::uint64_t expected_align;
  std::uint64_t actual_align;
};
/// The target is not a multiple of the item alignment.
struct Unaligned {
  std::uintptr_t ptr;
  std::uint64_t align;
};
/// The array runs past the end of the body.
struct Overrun {
  std::uintptr_t ptr;
  std::uint64_t size;
  AddressRange body;
};
/// The array starts outside the part of the body that nothing has claimed yet.
struct SubtreePointerOutOfBounds {
  std::uintptr_t ptr;
  AddressRange unclaimed;
};
/// The array starts in the unclaimed part but runs past its end.
struct SubtreePointerOverrun {
  std::uintptr_t ptr;
  std::uint64_t size;
  AddressRange unclaimed;
};
}  // namespace placement

using ArchiveError =
    std::variant<placement::OutOfBounds, placement::Underaligned, placement::Unaligned, placement::Overrun,
                 placement::SubtreePointerOutOfBounds, placement::SubtreePointerOverrun>;

/// The root itself cannot be placed.
struct RootError {
  ArchiveError error;
};
/// One of the root's arrays cannot be placed; `member` is its stored name.
struct ContextError {
  const char* member;
  ArchiveError error;
};
/// Record `index` of `records` holds a bool byte that is neither 0 nor 1.
struct BoolCheckError {
  std::uint32_t index;
  const char* field_name;  ///< element_is_block_offset or retired
  std::uint8_t invalid_value;
};
/// Record `index` of `records` holds a `vr` byte that is no VR code.
struct InvalidTag {
  std::uint32_t index;
  std::uint8_t value;
};

/// The first failure of a validation.
struct ValidationFailure {
  std::variant<RootError, ContextError, BoolCheckError, InvalidTag> kind;

  /// The composed one-line text, outermost context first.
  [[nodiscard]] std::string message() const;
};

/// Checks the body [start, start + length) once. On success returns the root's address.
[[nodiscard]] Result<const std::uint8_t*, ValidationFailure> validate_body(const std::uint8_t* start,
                                                                           std::uint64_t length) noexcept;

}  // namespace quillet::archive
