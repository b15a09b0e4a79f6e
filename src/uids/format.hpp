#pragma once
// Byte layout of a UID file (".qlud"): the registered UIDs (transfer syntaxes, SOP classes and
// the rest) of a dictionary, kept beside its ".qlet" file.
//
// It stands alone: no entry refers to the dictionary's records, so it needs no digest to pair
// it with one, and a dictionary may have it or not.
//
// All integers little-endian. Offsets are counted from the first byte of the file.
//
//   header (48 bytes)
//     0  4  magic "QLUD"
//     4  2  version (1)
//     6  2  zero
//     8 40  five sections, each (u32 offset, u32 count), in the order of `Section`
//
//   entries   52 bytes each, sorted by the bytes of their UIDs, no UID twice:
//               0 uid, 8 keyword, 16 name, 24 type, 32 info, 40 sources, each a (u32 offset,
//               u32 length) into pool; sources are items separated by '|'
//              48 u32 flags, `kRetired` and, for a transfer syntax whose encoding is known,
//                 `kEncoding` with the encoding's bits; every other bit zero
//   keywords  u32 entry numbers of the entries that have a keyword, sorted by keyword bytes,
//             no keyword twice
//   items     search items (u32 entry, u32 text offset, u32 keyword length, u32 name length), in
//             the order that equally good matches are listed in; item i's text is keyword, NUL,
//             name, NUL from its offset in `text`
//   pool      bytes of the texts
//   text      the search text: keywords and names case-folded (Unicode full case folding)
//
// Every UID is one as the standard defines it: 1 to 64 characters, digits and dots, no empty
// component, no component of more than one digit that starts with 0.

#include <cstddef>
#include <cstdint>

namespace quillet::uids {

inline constexpr std::uint8_t kMagic[4] = {'Q', 'L', 'U', 'D'};
inline constexpr std::uint16_t kVersion = 1;
inline constexpr std::size_t kSectionsAt = 8;
inline constexpr std::size_t kSectionCount = 5;
inline constexpr std::size_t kHeaderLen = kSectionsAt + 8 * kSectionCount;

inline constexpr std::size_t kEntryLen = 52;
inline constexpr std::size_t kTextCount = 6;  ///< uid, keyword, name, type, info, sources
inline constexpr std::size_t kFlagsAt = 48;   // after the texts' references

/// The flags of an entry, one bit each.
inline constexpr std::uint32_t kRetired = 1;
inline constexpr std::uint32_t kEncoding = 2;  ///< the four bits below say how a data set is encoded
inline constexpr std::uint32_t kImplicitVr = 4;
inline constexpr std::uint32_t kLittleEndian = 8;
inline constexpr std::uint32_t kDeflated = 16;
inline constexpr std::uint32_t kEncapsulated = 32;
inline constexpr std::uint32_t kKnownFlags = 63;

/// The longest UID.
inline constexpr std::size_t kMaxUidLen = 64;

enum class Section : std::uint8_t { Entries, Keywords, Items, Pool, Text };
enum class Text : std::uint8_t { Uid, Keyword, Name, Type, Info, Sources };

/// Bytes per item of each section, in the order of `Section`.
inline constexpr std::size_t kItemLen[kSectionCount] = {52, 4, 16, 1, 1};
/// Names used in messages, in the order of `Section`.
inline constexpr const char* kSectionName[kSectionCount] = {"entries", "keywords", "items", "pool", "text"};

}  // namespace quillet::uids
