#pragma once
// How a search by keyword and name ranks what it finds: the companion's entries and the UID
// file's registered UIDs are searched alike, each file keeping its texts as a keyword and a
// name, side by side and each ended by a NUL.

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "archive/bytes.hpp"

namespace quillet::lookup {

/// An entry's keyword and name from a file's search text: `len_keyword` bytes at `at`, a NUL,
/// then `len_name` bytes. A text that does not lie inside reads as "" (a file rewritten since it
/// was checked may answer wrongly, but reads nothing outside it).
struct SearchTexts {
  std::string_view keyword;
  std::string_view name;
};
[[nodiscard]] inline SearchTexts search_texts(archive::ByteView text, std::uint64_t at, std::uint32_t len_keyword,
                                              std::uint32_t len_name) noexcept {
  return {text.text(at, len_keyword).value_or(std::string_view{}),
          text.text(at + len_keyword + 1, len_name).value_or(std::string_view{})};
}

/// How well an entry matches `folded` (a case-folded text): 0 when its keyword is that text, 1
/// when its keyword or name starts with it, 2 when either contains it, -1 otherwise. The empty
/// text is in every entry, at its start.
[[nodiscard]] inline int match_rank(std::string_view folded, SearchTexts e) noexcept {
  if (!folded.empty() && e.keyword == folded) return 0;
  if (e.keyword.starts_with(folded) || e.name.starts_with(folded)) return 1;
  if (e.keyword.find(folded) != std::string_view::npos || e.name.find(folded) != std::string_view::npos) return 2;
  return -1;
}

/// The numbers found, best rank first and in the order found within a rank; at most `limit`.
[[nodiscard]] inline std::vector<std::uint32_t> in_rank_order(const std::vector<std::uint32_t> (&ranked)[3],
                                                              std::size_t limit) {
  std::vector<std::uint32_t> out;
  for (const auto& r : ranked) {
    for (const std::uint32_t number : r) {
      if (out.size() >= limit) return out;
      out.push_back(number);
    }
  }
  return out;
}

}  // namespace quillet::lookup
