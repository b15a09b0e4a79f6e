#pragma once
// Reading a companion file in place, together with the dictionary file it belongs to.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "archive/bytes.hpp"
#include "archive/layout.hpp"
#include "common/result.hpp"
#include "dictfile/platform.hpp"
#include "lookup/search.hpp"

namespace quillet::companion {

using archive::ByteView;

/// Why a companion cannot be used: kinds a caller can tell apart, each with a one-line text.
struct OpenError {
  enum class Kind : std::uint8_t {
    Io,                  ///< the system refused to open, inspect or map the file
    TooSmall,            ///< shorter than the companion header
    BadMagic,            ///< not a companion file at all
    UnsupportedVersion,  ///< a companion of another format version
    NoDigest,            ///< the dictionary records no digest, so nothing can show the pair belongs together
    OtherData,           ///< the companion was built from other data than the dictionary
    Integrity,           ///< the companion is corrupt
  };

  Kind kind;
  dictfile::platform::OsError io{};  ///< Io
  std::uint64_t size = 0;            ///< TooSmall
  std::uint8_t magic[4]{};           ///< BadMagic, in file order
  std::uint16_t version = 0;         ///< UnsupportedVersion
  std::string failure{};             ///< Integrity

  [[nodiscard]] std::string message() const;
};

/// A tag and its private creator, as a dictionary record holds them.
struct Key {
  std::uint16_t group;
  std::uint16_t element;
  std::optional<std::string_view> creator;  ///< nothing for a public record; points into the mapping
};

/// A validated pair: a dictionary file and its companion, both as whole files in memory. Points
/// into bytes owned elsewhere (the mappings of `Companion`); cheap to copy.
///
/// Validation proved, once, that every section lies inside the companion, every record number
/// is below the dictionary's record count, every VM code and slot names an entry and every text
/// lies inside its section. Queries still read only through bounds-checked views, because a file
/// may be rewritten in place after it was opened: they may then answer wrongly, or fail, but
/// never read outside the two files.
class View {
 public:
  /// Checks `file` (a whole companion) against `dict` (a whole dictionary file that has passed
  /// its own validation).
  [[nodiscard]] static Result<View, OpenError> make(ByteView dict, ByteView file);

  /// The public tag of `keyword`: the lowest, for one that a repeating group carries many times.
  [[nodiscard]] std::optional<Key> tag_for_keyword(std::string_view keyword) const;
  /// Every record whose keyword is `keyword`: public ones first, then by tag.
  [[nodiscard]] std::vector<Key> keys_for_keyword(std::string_view keyword) const;
  /// The VM of the entry that a lookup of the same arguments finds; nothing when there is no
  /// entry, or the entry has no VM.
  [[nodiscard]] Result<std::optional<std::string_view>, lookup::LookupFault> vm(
      std::uint16_t group, std::uint16_t element, std::optional<std::string_view> creator) const;
  /// The VRs an element of the entry that a lookup of the same arguments finds may take, one
  /// VR code a byte in the order the standard lists them: its one VR, its choices where its VR
  /// is "??", or none (items and delimiters). Nothing when there is no entry.
  [[nodiscard]] Result<std::optional<ByteView>, lookup::LookupFault> vrs(std::uint16_t group, std::uint16_t element,
                                                                         std::optional<std::string_view> creator) const;
  /// Entries whose case-folded keyword or name contains `folded` (already case-folded as the
  /// producer did it): those whose keyword equals it, then those whose keyword or name starts
  /// with it, then the rest; within each, in the companion's order (public entries by tag, then
  /// private ones by folded creator and tag). With `creator`, only that creator's entries. At
  /// most `limit`.
  [[nodiscard]] std::vector<Key> search(std::string_view folded, std::optional<std::string_view> creator,
                                        std::size_t limit) const;

  /// The same searches, giving record numbers.
  [[nodiscard]] std::vector<std::uint32_t> search_records(std::string_view folded,
                                                          std::optional<std::string_view> creator,
                                                          std::size_t limit) const;
  [[nodiscard]] std::vector<std::uint32_t> records_for_keyword(std::string_view keyword) const;

  /// The entry for a tag as it stands in a data set (lookup::find_element), or with
  /// `block_form` the offset `element` inside any of the creator's blocks.
  [[nodiscard]] Result<std::optional<lookup::RecordView>, lookup::LookupFault> find_element(
      std::uint16_t group, std::uint16_t element, std::optional<std::string_view> creator, bool block_form) const;
  /// Every entry stored for exactly (group, element), whatever its creator.
  [[nodiscard]] Result<std::vector<lookup::RecordView>, lookup::LookupFault> records_at(std::uint16_t group,
                                                                                        std::uint16_t element) const {
    return lookup::records_at(dict_body_, group, element);
  }
  /// A record by number, with the pool its texts lie in; nothing past the last.
  [[nodiscard]] std::optional<lookup::RecordView> record_view(std::uint32_t number) const;
  /// The VM of a record, when it has one.
  [[nodiscard]] std::optional<std::string_view> vm_of(std::uint32_t number) const;
  /// The VRs of a found record, as vrs() gives them.
  [[nodiscard]] ByteView vrs_of(const lookup::RecordView& found) const;

  /// Number of keyword entries.
  [[nodiscard]] std::uint32_t keyword_count() const noexcept { return keywords_.size(); }

 private:
  View() = default;
  struct Item {
    std::uint32_t record, text, keyword_len, name_len;
  };
  [[nodiscard]] std::optional<archive::DictRecord> record(std::uint32_t number) const;
  [[nodiscard]] std::string_view text_of(archive::StrRef ref) const;
  [[nodiscard]] std::string_view keyword_of(std::uint32_t number) const;
  [[nodiscard]] std::optional<Key> key_of(std::uint32_t number) const;
  [[nodiscard]] std::optional<Item> item(std::uint32_t i) const;
  /// Position in `keywords` of the first entry of `keyword`, or the count when there is none.
  [[nodiscard]] std::uint32_t first_with_keyword(std::string_view keyword) const;

  std::uint64_t key0_ = 0;
  std::uint64_t key1_ = 0;
  ByteView dict_body_;
  archive::FixedArray<archive::kRecordLen> records_ = *archive::FixedArray<archive::kRecordLen>::at({}, 0, 0);
  ByteView dict_pool_;
  archive::FixedArray<2> vm_codes_ = *archive::FixedArray<2>::at({}, 0, 0);
  archive::FixedArray<8> vm_texts_ = *archive::FixedArray<8>::at({}, 0, 0);
  archive::FixedArray<4> keywords_ = *archive::FixedArray<4>::at({}, 0, 0);
  archive::FixedArray<16> items_ = *archive::FixedArray<16>::at({}, 0, 0);
  archive::FixedArray<20> creators_ = *archive::FixedArray<20>::at({}, 0, 0);
  archive::FixedArray<4> slots_ = *archive::FixedArray<4>::at({}, 0, 0);
  archive::FixedArray<2> vr_codes_ = *archive::FixedArray<2>::at({}, 0, 0);
  archive::FixedArray<8> vr_sets_ = *archive::FixedArray<8>::at({}, 0, 0);
  ByteView pool_;
  ByteView text_;
};

}  // namespace quillet::companion
