#pragma once
// Byte layout of a companion file (".qlix"): what a dictionary file does not hold, kept beside it.
//
// A dictionary file answers tag -> entry. Its companion adds what other questions need: each
// record's value multiplicity and, where the record's VR is "??", the VRs the element may take;
// the records sorted by keyword; and a case-folded copy of every keyword and name for substring
// search. It refers to the dictionary's records by number and
// never repeats what the dictionary holds, so the pair must come from one build: both carry the
// same 16-byte digest, written by the producer, and a companion is used only with a dictionary
// whose digest is the same.
//
// All integers little-endian. Offsets are counted from the first byte of the companion file.
//
//   header (128 bytes)
//     0  4  magic "QLIX"
//     4  2  version (3)
//     6  2  zero
//     8 16  digest, equal to bytes 8..23 of the dictionary's header
//    24  4  record count, equal to the dictionary's
//    28  4  zero
//    32 16  the key of the keyword hash: two u64, k0 then k1
//    48 80  ten sections, each (u32 offset, u32 count), in the order of `Section`
//
//   vm_codes   u16 per record: 0 for no VM, else 1 + position in vm_texts
//   vm_texts   (u32 offset, u32 length) into pool, one per distinct VM text
//   keywords   u32 record numbers, sorted by keyword bytes; among equal keywords public
//              records first, then by record number (so by tag)
//   items      search items (u32 record, u32 text offset, u32 keyword length, u32 name length);
//              item i's text is keyword, NUL, name, NUL from its offset in `text`
//   creators   (u32 creator hash, u32 offset and u32 length of the folded creator in pool,
//              u32 first item, u32 item count), sorted by hash: each creator's items are one run
//   pool       bytes of VM texts and folded creators
//   text       the search text: keywords and names case-folded (Unicode full case folding)
//   slots      u32 per slot of a hash table over the distinct keywords, a power of two of them
//              (none when there are no keywords): 0 for an empty slot, else 1 + the position in
//              `keywords` of the first entry of that keyword; a keyword starts at its keyed hash
//              (SipHash-1-3 under the header's key) modulo the slot count and probes the
//              following slots, wrapping around. No run of occupied slots is longer than
//              `kMaxRun`, so that no probe, found or not, reads more than kMaxRun + 1 slots.
//   vr_codes   u16 per record: 0 for no choice, else 1 + position in vr_sets; read only for a
//              record whose VR is "??" (several, or none): 0 there means none (items, delimiters)
//   vr_sets    (u32 offset, u32 count) into pool: the choices, one VR code (below "??") a byte,
//              in the order the standard lists them
//
// The key is the producer's defence against keywords chosen to collide: whoever writes the
// input cannot know it in advance (the writer derives it from a cryptographic digest of the
// keywords themselves, so every change to them changes it), and the bound on runs makes a
// table that collides anyway, by chance or by crafting, a refused file instead of a slow one.
//
// The dictionary's header marks a digest by bytes 6..7 holding 1; a dictionary written without
// a companion has 0 there and cannot be paired with one.

#include <cstddef>
#include <cstdint>

namespace quillet::companion {

inline constexpr std::uint8_t kMagic[4] = {'Q', 'L', 'I', 'X'};
inline constexpr std::uint16_t kVersion = 3;
inline constexpr std::size_t kDigestAt = 8;
inline constexpr std::size_t kDigestLen = 16;
inline constexpr std::size_t kRecordCountAt = 24;
inline constexpr std::size_t kHashKeyAt = 32;
inline constexpr std::size_t kSectionsAt = 48;
inline constexpr std::size_t kSectionCount = 10;
inline constexpr std::size_t kHeaderLen = kSectionsAt + 8 * kSectionCount;

/// In the dictionary's header: the u16 at 6 says whether bytes 8..23 hold a digest.
inline constexpr std::size_t kDictFlagsAt = 6;
inline constexpr std::uint16_t kDictHasDigest = 1;

/// The longest run of occupied slots that a companion may have.
inline constexpr std::size_t kMaxRun = 128;

enum class Section : std::uint8_t { VmCodes, VmTexts, Keywords, Items, Creators, Pool, Text, Slots, VrCodes, VrSets };

/// Bytes per item of each section, in the order of `Section`.
inline constexpr std::size_t kItemLen[kSectionCount] = {2, 8, 4, 16, 20, 1, 1, 4, 2, 8};
/// Names used in messages, in the order of `Section`.
inline constexpr const char* kSectionName[kSectionCount] = {"vm_codes", "vm_texts", "keywords", "items",    "creators",
                                                            "pool",     "text",     "slots",    "vr_codes", "vr_sets"};

}  // namespace quillet::companion
