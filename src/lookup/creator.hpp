#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quillet::lookup {

/// FNV-1a 32 starting value; also the hash of a creator that folds to the empty text.
inline constexpr std::uint32_t fnv1a32_offset = 0x811C9DC5u;
/// FNV-1a 32 multiplier.
inline constexpr std::uint32_t fnv1a32_prime = 0x01000193u;

/// Folds runs of White_Space to one U+0020, trims, applies full default upper-casing.
///
/// Input is expected to be UTF-8. Bytes that do not form a well-formed UTF-8 sequence are not
/// rejected: each such byte passes through unchanged and counts as a non-space character, so
/// the result (and its hash) is deterministic for any input.
std::string normalize_creator(std::string_view utf8);

/// FNV-1a 32 (offset 0x811C9DC5, prime 0x01000193) over the UTF-8 of normalize_creator(utf8),
/// computed while folding, without allocating. Empty/blank-only -> 0x811C9DC5.
std::uint32_t hash_creator(std::string_view utf8) noexcept;

/// No creator -> 0; otherwise hash_creator(*creator).
///
/// Pass a std::string_view (not a string literal or std::string, which would convert equally
/// well to either overload).
std::uint32_t hash_creator(std::optional<std::string_view> creator) noexcept;

/// True when normalize_creator(a) == normalize_creator(b), decided without building either:
/// the two folded byte streams are compared as they are produced, up to the first difference.
[[nodiscard]] bool creators_fold_equal(std::string_view a, std::string_view b) noexcept;

}  // namespace quillet::lookup
