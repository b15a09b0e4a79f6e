#include "uids/view.hpp"

#include <algorithm>
#include <cstring>

#include "archive/sections.hpp"
#include "lookup/text_search.hpp"

namespace quillet::uids {
namespace {

using archive::FixedArray;
using archive::FixedView;

Err<OpenError> corrupt(std::string text) {
  return Err{OpenError{.kind = OpenError::Kind::Integrity, .failure = std::move(text)}};
}

std::string at(const char* what, std::uint64_t i) { return std::string(what) + "[" + std::to_string(i) + "]"; }

}  // namespace

bool is_uid(std::string_view text) noexcept {
  if (text.empty() || text.size() > kMaxUidLen) return false;
  std::size_t start = 0;  // of the current component
  for (std::size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == '.') {
      const std::size_t len = i - start;
      if (len == 0 || (len > 1 && text[start] == '0')) return false;
      start = i + 1;
    } else if (text[i] < '0' || text[i] > '9') {
      return false;
    }
  }
  return true;
}

std::string OpenError::message() const {
  switch (kind) {
    case Kind::Io:
      return "io error: " + io.detail();
    case Kind::TooSmall:
      return "file too small (" + std::to_string(size) + " bytes) to contain a UID file header";
    case Kind::BadMagic:
      return "bad magic bytes [" + std::to_string(magic[0]) + ", " + std::to_string(magic[1]) + ", " +
             std::to_string(magic[2]) + ", " + std::to_string(magic[3]) + "]";
    case Kind::UnsupportedVersion:
      return "unsupported UID file version " + std::to_string(version);
    case Kind::Integrity:
      return "UID file integrity check failed: " + failure;
  }
  return "unknown UID file error";
}

template <Text T>
std::string_view View::text(FixedView<kEntryLen> entry) const {
  constexpr std::size_t off = 8 * static_cast<std::size_t>(T);
  return pool_.text(entry.u32<off>(), entry.u32<off + 4>()).value_or(std::string_view{});
}

Result<View, OpenError> View::make(ByteView file) {
  if (file.size() < kHeaderLen) return Err{OpenError{.kind = OpenError::Kind::TooSmall, .size = file.size()}};
  const auto head = *FixedView<kHeaderLen>::at(file, 0);  // the size was just checked
  if (std::memcmp(head.data(), kMagic, 4) != 0) {
    OpenError e{.kind = OpenError::Kind::BadMagic};
    std::memcpy(e.magic, head.data(), 4);
    return Err{std::move(e)};
  }
  if (const std::uint16_t version = head.u16<4>(); version != kVersion) {
    return Err{OpenError{.kind = OpenError::Kind::UnsupportedVersion, .version = version}};
  }
  if (head.u16<6>() != 0) return corrupt("header bytes 6..7 are not zero");

  View v;
  const auto sections = archive::read_sections(file, kSectionsAt, kHeaderLen, kItemLen, kSectionName);
  if (!sections) return corrupt("the " + sections.error() + " section lies outside the file");
  const auto& sec = sections.value();
  v.entries_ = sec.array<kEntryLen>(Section::Entries);
  v.keywords_ = sec.array<4>(Section::Keywords);
  v.items_ = sec.array<16>(Section::Items);
  v.pool_ = sec.at(Section::Pool);
  v.text_ = sec.at(Section::Text);
  const std::uint32_t n = v.entries_.size();

  std::string_view previous;
  for (std::uint32_t i = 0; i < n; ++i) {
    const auto e = *v.entries_[i];
    for (std::size_t t = 0; t < kTextCount; ++t) {
      const auto ref = *FixedView<8>::at(ByteView(e.data(), kEntryLen), 8 * t);  // inside the entry
      if (!v.pool_.contains(ref.u32<0>(), ref.u32<4>())) {
        return corrupt(at("entries", i) + " has a text that lies outside the pool");
      }
    }
    const std::string_view uid = v.text<Text::Uid>(e);
    if (!is_uid(uid)) return corrupt(at("entries", i) + " holds no valid UID");
    // Binary search needs the order; equal neighbours would make a UID's entry a matter of luck.
    if (i > 0 && !(previous < uid)) return corrupt("entries are not sorted by UID at " + at("entries", i));
    previous = uid;
    const std::uint32_t flags = e.u32<kFlagsAt>();
    if ((flags & ~kKnownFlags) != 0) return corrupt(at("entries", i) + " has unknown flags");
    if ((flags & kEncoding) == 0 && (flags & (kImplicitVr | kLittleEndian | kDeflated | kEncapsulated)) != 0) {
      return corrupt(at("entries", i) + " has the bits of an encoding without one");
    }
  }
  for (std::uint32_t i = 0; i < v.keywords_.size(); ++i) {
    if (const std::uint32_t r = (*v.keywords_[i]).u32<0>(); r >= n) {
      return corrupt(at("keywords", i) + " names entry " + std::to_string(r) + " of " + std::to_string(n));
    }
    const std::string_view keyword = v.keyword_at(i);
    if (keyword.empty()) return corrupt(at("keywords", i) + " names an entry without a keyword");
    if (i > 0 && !(v.keyword_at(i - 1) < keyword)) {
      return corrupt("keywords are not sorted at " + at("keywords", i));
    }
  }
  for (std::uint32_t i = 0; i < v.items_.size(); ++i) {
    const auto it = *v.items_[i];
    if (it.u32<0>() >= n) {
      return corrupt(at("items", i) + " names entry " + std::to_string(it.u32<0>()) + " of " + std::to_string(n));
    }
    const std::uint64_t kw_end = std::uint64_t{it.u32<4>()} + it.u32<8>();
    const std::uint64_t name_end = kw_end + 1 + it.u32<12>();
    if (!v.text_.contains(it.u32<4>(), name_end + 1 - it.u32<4>())) {
      return corrupt(at("items", i) + " lies outside the search text");
    }
    if (v.text_.data()[kw_end] != 0 || v.text_.data()[name_end] != 0) {
      return corrupt(at("items", i) + " does not end its texts with NUL");
    }
  }
  return v;
}

// ---- reading -----------------------------------------------------------------------------------

std::optional<Entry> View::entry(std::uint32_t number) const {
  const auto e = entries_[number];
  if (!e) return std::nullopt;
  return Entry{text<Text::Uid>(*e),  text<Text::Keyword>(*e), text<Text::Name>(*e), text<Text::Type>(*e),
               text<Text::Info>(*e), text<Text::Sources>(*e), e->u32<kFlagsAt>()};
}

std::string_view View::uid_of(std::uint32_t number) const {
  const auto e = entries_[number];
  return e ? text<Text::Uid>(*e) : std::string_view{};
}

std::string_view View::keyword_at(std::uint32_t position) const {
  const auto k = keywords_[position];
  const auto e = k ? entries_[k->u32<0>()] : std::nullopt;
  return e ? text<Text::Keyword>(*e) : std::string_view{};
}

std::optional<std::uint32_t> View::find(std::string_view uid) const {
  std::uint32_t lo = 0;
  std::uint32_t hi = entries_.size();
  while (lo < hi) {
    const std::uint32_t mid = lo + (hi - lo) / 2;
    const std::string_view here = uid_of(mid);
    if (here == uid) return mid;
    if (here < uid) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return std::nullopt;
}

std::optional<std::uint32_t> View::find_keyword(std::string_view keyword) const {
  if (keyword.empty()) return std::nullopt;  // entries without one are not in the table
  std::uint32_t lo = 0;
  std::uint32_t hi = keywords_.size();
  while (lo < hi) {
    const std::uint32_t mid = lo + (hi - lo) / 2;
    const std::string_view here = keyword_at(mid);
    if (here == keyword) return (*keywords_[mid]).u32<0>();
    if (here < keyword) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return std::nullopt;
}

std::vector<std::uint32_t> View::search(std::string_view folded, std::size_t limit) const {
  std::vector<std::uint32_t> ranked[3];
  for (const auto it : items_) {
    if (ranked[0].size() >= limit) break;  // nothing later can rank above these
    const int rank = lookup::match_rank(folded, lookup::search_texts(text_, it.u32<4>(), it.u32<8>(), it.u32<12>()));
    if (rank >= 0 && ranked[rank].size() < limit) ranked[rank].push_back(it.u32<0>());
  }
  return lookup::in_rank_order(ranked, limit);
}

}  // namespace quillet::uids
