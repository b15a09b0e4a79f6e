#pragma once
// The section table that the companion and the UID file share: after a fixed header part, one
// (u32 offset, u32 count) pair per section, each section `count` items of a fixed size.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "archive/bytes.hpp"
#include "common/result.hpp"

namespace quillet::archive {

template <std::size_t N>
struct Sections {
  std::array<ByteView, N> bytes;
  std::array<std::uint32_t, N> counts;

  /// Section `s` (a number, or a format's enumerator of its sections) as bytes.
  template <class S>
  [[nodiscard]] ByteView at(S s) const noexcept {
    return bytes[static_cast<std::size_t>(s)];
  }
  /// Section `s` as an array of its items; the section holds exactly these.
  template <std::size_t Len, class S>
  [[nodiscard]] FixedArray<Len> array(S s) const noexcept {
    const auto i = static_cast<std::size_t>(s);
    return *FixedArray<Len>::at(bytes[i], 0, counts[i]);
  }
};

/// The sections that the table at `table_at` of `file` lists (the caller has checked that the
/// table lies inside the file), each `item_len[s]` bytes an item; or the name of the first that
/// does not lie inside the file, after its first `header_len` bytes.
template <std::size_t N>
[[nodiscard]] Result<Sections<N>, std::string> read_sections(ByteView file, std::size_t table_at,
                                                             std::size_t header_len, const std::size_t (&item_len)[N],
                                                             const char* const (&name)[N]) {
  Sections<N> out{};
  for (std::size_t s = 0; s < N; ++s) {
    const auto ref = *FixedView<8>::at(file, table_at + 8 * s);
    const std::uint32_t off = ref.template u32<0>();
    out.counts[s] = ref.template u32<4>();
    const auto bytes = file.slice(off, std::uint64_t{out.counts[s]} * item_len[s]);
    if (!bytes || off < header_len) return Err{std::string(name[s])};
    out.bytes[s] = *bytes;
  }
  return out;
}

}  // namespace quillet::archive
