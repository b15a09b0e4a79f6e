#pragma once
// Reading a UID file in place: the checks made once when it is opened, and its queries.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "archive/bytes.hpp"
#include "common/result.hpp"
#include "dictfile/platform.hpp"
#include "uids/format.hpp"

namespace quillet::uids {

using archive::ByteView;

/// Why a UID file cannot be used: kinds a caller can tell apart, each with a one-line text.
struct OpenError {
  enum class Kind : std::uint8_t {
    Io,                  ///< the system refused to open, inspect or map the file
    TooSmall,            ///< shorter than the header
    BadMagic,            ///< not a UID file at all
    UnsupportedVersion,  ///< a UID file of another format version
    Integrity,           ///< the file is corrupt
  };

  Kind kind;
  dictfile::platform::OsError io{};  ///< Io
  std::uint64_t size = 0;            ///< TooSmall
  std::uint8_t magic[4]{};           ///< BadMagic, in file order
  std::uint16_t version = 0;         ///< UnsupportedVersion
  std::string failure{};             ///< Integrity

  [[nodiscard]] std::string message() const;
};

/// Whether `text` is a UID as the standard defines them: 1 to 64 characters, digits and dots,
/// no empty component, no component of more than one digit that starts with 0.
[[nodiscard]] bool is_uid(std::string_view text) noexcept;

/// One entry's texts and flags; the texts point into the file's bytes.
struct Entry {
  std::string_view uid, keyword, name, type, info, sources;
  std::uint32_t flags = 0;
};

/// A validated UID file, as a whole file in memory. Points into bytes owned elsewhere (the
/// mapping of `UidFile`); cheap to copy.
///
/// Validation proved, once, that every section lies inside the file, every text inside the
/// pool, every entry number below the count, every UID a UID, the entries sorted by UID and
/// the keyword table by keyword, each without a value twice, and every flag known. Queries
/// still read only through bounds-checked views, because a file may be rewritten in place after
/// it was opened: they may then answer wrongly, but never read outside the file.
class View {
 public:
  [[nodiscard]] static Result<View, OpenError> make(ByteView file);

  [[nodiscard]] std::uint32_t size() const noexcept { return entries_.size(); }
  /// Entry `number`, or nothing past the last.
  [[nodiscard]] std::optional<Entry> entry(std::uint32_t number) const;
  /// The number of the entry of `uid`, matched exactly.
  [[nodiscard]] std::optional<std::uint32_t> find(std::string_view uid) const;
  /// The number of the entry whose keyword is `keyword`, matched exactly.
  [[nodiscard]] std::optional<std::uint32_t> find_keyword(std::string_view keyword) const;
  /// Entries whose case-folded keyword or name contains `folded` (already case-folded as the
  /// producer did it): those whose keyword equals it, then those whose keyword or name starts
  /// with it, then the rest; within each in the file's order of items. At most `limit`.
  [[nodiscard]] std::vector<std::uint32_t> search(std::string_view folded, std::size_t limit) const;

 private:
  View() = default;
  template <Text T>
  [[nodiscard]] std::string_view text(archive::FixedView<kEntryLen> entry) const;
  [[nodiscard]] std::string_view uid_of(std::uint32_t number) const;
  [[nodiscard]] std::string_view keyword_at(std::uint32_t position) const;

  archive::FixedArray<kEntryLen> entries_ = *archive::FixedArray<kEntryLen>::at({}, 0, 0);
  archive::FixedArray<4> keywords_ = *archive::FixedArray<4>::at({}, 0, 0);
  archive::FixedArray<16> items_ = *archive::FixedArray<16>::at({}, 0, 0);
  ByteView pool_;
  ByteView text_;
};

}  // namespace quillet::uids
