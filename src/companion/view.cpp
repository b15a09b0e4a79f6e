#include "companion/view.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>

#include "archive/sections.hpp"
#include "companion/format.hpp"
#include "companion/siphash.hpp"
#include "dictfile/mapped_dict.hpp"
#include "lookup/creator.hpp"
#include "lookup/text_search.hpp"

namespace quillet::companion {
namespace {

using archive::DictRecord;
using archive::DictRoot;
using archive::FixedArray;
using archive::FixedView;
using archive::StrRef;

Err<OpenError> corrupt(std::string text) {
  return Err{OpenError{.kind = OpenError::Kind::Integrity, .failure = std::move(text)}};
}

std::string at(const char* what, std::uint64_t i) { return std::string(what) + "[" + std::to_string(i) + "]"; }

/// The array that a dictionary root reference designates, or nothing when it lies outside.
template <std::size_t N>
std::optional<FixedArray<N>> dict_array(ByteView body, std::uint64_t ref_at, archive::VecRef ref) {
  const std::int64_t target = ref.target(ref_at);
  if (target < 0) return std::nullopt;
  return FixedArray<N>::at(body, static_cast<std::uint64_t>(target), ref.count);
}

/// Whether some item's field at Off (of type T) is `limit` or more.
///
/// Opening reads every section once, and that reading is most of what a first question costs, so
/// each check first makes a pass that only keeps a running result and builds no message; the
/// loops that say where a file is wrong run only for a file that fails it.
template <std::size_t Off, class T, std::size_t N>
bool any_not_below(FixedArray<N> items, std::uint64_t limit) noexcept {
  T largest = 0;
  for (const auto item : items) largest = std::max(largest, item.template get<Off, T>());
  return items.size() != 0 && largest >= limit;
}

/// Whether the slot table holds a run of occupied slots longer than `bound`, counted on around
/// its end, or no empty slot: the first, cheap pass over the slots.
bool slots_overrun(FixedArray<4> slots, std::uint64_t bound) noexcept {
  std::uint32_t run = 0;
  std::uint32_t longest = 0;
  for (const auto slot : slots) {
    run = slot.u32<0>() != 0 ? run + 1 : 0;
    longest = std::max(longest, run);
  }
  if (longest > bound || longest == slots.size()) return slots.size() != 0;
  std::uint32_t leading = 0;
  for (const auto slot : slots) {
    if (slot.u32<0>() == 0) break;
    ++leading;
  }
  return std::uint64_t{leading} + run > bound;
}

/// Whether every item names a record below `records` and lies inside `text`, each of its two
/// texts ended by a NUL.
bool items_sound(FixedArray<16> items, ByteView text, std::uint32_t records) noexcept {
  bool sound = true;
  for (const auto item : items) {
    const std::uint64_t start = item.u32<4>();
    const std::uint64_t kw_end = start + item.u32<8>();
    const std::uint64_t name_end = kw_end + 1 + item.u32<12>();
    if (item.u32<0>() >= records || name_end >= text.size()) return false;
    sound &= (text.data()[kw_end] | text.data()[name_end]) == 0;
  }
  return sound;
}

}  // namespace

std::string OpenError::message() const {
  switch (kind) {
    case Kind::Io:
      return "io error: " + io.detail();
    case Kind::TooSmall:
      return "file too small (" + std::to_string(size) + " bytes) to contain a companion header";
    case Kind::BadMagic:
      return "bad magic bytes [" + std::to_string(magic[0]) + ", " + std::to_string(magic[1]) + ", " +
             std::to_string(magic[2]) + ", " + std::to_string(magic[3]) + "]";
    case Kind::UnsupportedVersion:
      return "unsupported companion version " + std::to_string(version);
    case Kind::NoDigest:
      return "the dictionary carries no digest (it was written without a companion), so nothing shows that "
             "the companion belongs to it";
    case Kind::OtherData:
      return "the companion was built from other data than the dictionary";
    case Kind::Integrity:
      return "companion integrity check failed: " + failure;
  }
  return "unknown companion error";
}

Result<View, OpenError> View::make(ByteView dict, ByteView file) {
  if (file.size() < kHeaderLen) return Err{OpenError{.kind = OpenError::Kind::TooSmall, .size = file.size()}};
  const auto head = *FixedView<kHeaderLen>::at(file, 0);  // the size was just checked
  if (std::memcmp(head.data(), kMagic, 4) != 0) {
    OpenError e{.kind = OpenError::Kind::BadMagic};
    std::memcpy(e.magic, head.data(), 4);
    return Err{std::move(e)};
  }
  if (const std::uint16_t v = head.u16<4>(); v != kVersion) {
    return Err{OpenError{.kind = OpenError::Kind::UnsupportedVersion, .version = v}};
  }

  // Belonging first: a companion of another dictionary is that, not a corrupt file.
  const auto dict_head = FixedView<dictfile::kHeaderLen>::at(dict, 0);
  if (!dict_head || dict_head->u16<kDictFlagsAt>() != kDictHasDigest) {
    return Err{OpenError{.kind = OpenError::Kind::NoDigest}};
  }
  if (std::memcmp(dict_head->data() + kDigestAt, head.data() + kDigestAt, kDigestLen) != 0) {
    return Err{OpenError{.kind = OpenError::Kind::OtherData}};
  }

  View v;
  v.key0_ = head.get<kHashKeyAt, std::uint64_t>();
  v.key1_ = head.get<kHashKeyAt + 8, std::uint64_t>();
  v.dict_body_ = ByteView(dict.data() + dictfile::kHeaderLen, dict.size() - dictfile::kHeaderLen);
  const auto root = DictRoot::read(v.dict_body_);
  if (!root) return corrupt("the dictionary has no root");
  const auto records = dict_array<archive::kRecordLen>(v.dict_body_, root->at + archive::kRootRecordsAt, root->records);
  const std::int64_t pool_at = root->strings.target(root->at + archive::kRootStringsAt);
  const auto pool =
      pool_at < 0 ? std::nullopt : v.dict_body_.slice(static_cast<std::uint64_t>(pool_at), root->strings.count);
  if (!records || !pool) return corrupt("the dictionary's arrays lie outside it");
  v.records_ = *records;
  v.dict_pool_ = *pool;

  const std::uint32_t n_records = head.u32<kRecordCountAt>();
  if (n_records != v.records_.size()) {
    return corrupt("it describes " + std::to_string(n_records) + " records, but the dictionary has " +
                   std::to_string(v.records_.size()));
  }

  const auto sections = archive::read_sections(file, kSectionsAt, kHeaderLen, kItemLen, kSectionName);
  if (!sections) return corrupt("the " + sections.error() + " section lies outside the file");
  const auto& sec = sections.value();
  v.vm_codes_ = sec.array<2>(Section::VmCodes);
  v.vm_texts_ = sec.array<8>(Section::VmTexts);
  v.keywords_ = sec.array<4>(Section::Keywords);
  v.items_ = sec.array<16>(Section::Items);
  v.creators_ = sec.array<20>(Section::Creators);
  v.pool_ = sec.at(Section::Pool);
  v.text_ = sec.at(Section::Text);
  v.slots_ = sec.array<4>(Section::Slots);
  v.vr_codes_ = sec.array<2>(Section::VrCodes);
  v.vr_sets_ = sec.array<8>(Section::VrSets);

  if (v.vm_codes_.size() != n_records) {
    return corrupt("vm_codes holds " + std::to_string(v.vm_codes_.size()) + " codes for " + std::to_string(n_records) +
                   " records");
  }
  if (any_not_below<0, std::uint16_t>(v.vm_codes_, std::uint64_t{v.vm_texts_.size()} + 1)) {
    for (std::uint32_t i = 0; i < v.vm_codes_.size(); ++i) {
      if (const std::uint16_t c = (*v.vm_codes_[i]).u16<0>(); c > v.vm_texts_.size()) {
        return corrupt(at("vm_codes", i) + " is " + std::to_string(c) + ", but there are " +
                       std::to_string(v.vm_texts_.size()) + " VM texts");
      }
    }
  }
  for (std::uint32_t i = 0; i < v.vm_texts_.size(); ++i) {
    const auto t = *v.vm_texts_[i];
    if (!v.pool_.contains(t.u32<0>(), t.u32<4>())) return corrupt(at("vm_texts", i) + " lies outside the pool");
  }
  if (v.vr_codes_.size() != n_records) {
    return corrupt("vr_codes holds " + std::to_string(v.vr_codes_.size()) + " codes for " + std::to_string(n_records) +
                   " records");
  }
  if (any_not_below<0, std::uint16_t>(v.vr_codes_, std::uint64_t{v.vr_sets_.size()} + 1)) {
    for (std::uint32_t i = 0; i < v.vr_codes_.size(); ++i) {
      if (const std::uint16_t c = (*v.vr_codes_[i]).u16<0>(); c > v.vr_sets_.size()) {
        return corrupt(at("vr_codes", i) + " is " + std::to_string(c) + ", but there are " +
                       std::to_string(v.vr_sets_.size()) + " VR sets");
      }
    }
  }
  for (std::uint32_t i = 0; i < v.vr_sets_.size(); ++i) {
    const auto t = *v.vr_sets_[i];
    const auto set = v.pool_.slice(t.u32<0>(), t.u32<4>());
    if (!set) return corrupt(at("vr_sets", i) + " lies outside the pool");
    for (std::size_t k = 0; k < set->size(); ++k) {
      if (set->data()[k] >= archive::kVrUnknown) {
        return corrupt(at("vr_sets", i) + " holds VR code " + std::to_string(set->data()[k]) + ", not one of the " +
                       std::to_string(archive::kVrUnknown) + " VRs");
      }
    }
  }
  // The order of the keyword table is not checked: keywords are found through the slots, and an
  // entry out of its place makes answers wrong, as a wrong VM code would, never a read astray.
  // Checking it would read every record and keyword of the dictionary, the most of first use.
  if (any_not_below<0, std::uint32_t>(v.keywords_, n_records)) {
    for (std::uint32_t i = 0; i < v.keywords_.size(); ++i) {
      if (const std::uint32_t r = (*v.keywords_[i]).u32<0>(); r >= n_records) {
        return corrupt(at("keywords", i) + " names record " + std::to_string(r) + " of " + std::to_string(n_records));
      }
    }
  }
  // Probing masks the hash with the count - 1, which needs a power of two.
  if (const std::uint32_t m = v.slots_.size(); (m & (m - 1)) != 0) {
    return corrupt("slots holds " + std::to_string(m) + " slots, not a power of two");
  }
  // A run of occupied slots bounds every probe that starts in it, found or not, so the longest
  // run, counted on around the end of the table, must stay within the bound the queries rely on.
  if (any_not_below<0, std::uint32_t>(v.slots_, std::uint64_t{v.keywords_.size()} + 1) ||
      slots_overrun(v.slots_, kMaxRun)) {
    std::uint64_t run = 0;
    std::uint64_t leading = 0;  // the run that starts at slot 0, which the last run goes on into
    bool seen_empty = false;
    for (std::uint32_t i = 0; i < v.slots_.size(); ++i) {
      const std::uint32_t s = (*v.slots_[i]).u32<0>();
      if (s > v.keywords_.size()) {
        return corrupt(at("slots", i) + " is " + std::to_string(s) + ", but there are " +
                       std::to_string(v.keywords_.size()) + " keyword entries");
      }
      if (s == 0) {
        if (!seen_empty) leading = run;
        seen_empty = true;
        run = 0;
      } else if (++run > kMaxRun) {
        return corrupt("slots holds more than " + std::to_string(kMaxRun) + " occupied slots in a row, up to " +
                       at("slots", i));
      }
    }
    if (v.slots_.size() != 0 && !seen_empty) return corrupt("slots holds no empty slot");
    if (run + leading > kMaxRun) {
      return corrupt("slots holds more than " + std::to_string(kMaxRun) +
                     " occupied slots in a row, around the end of the table");
    }
  }
  if (!items_sound(v.items_, v.text_, n_records)) {
    for (std::uint32_t i = 0; i < v.items_.size(); ++i) {
      const Item it = *v.item(i);
      if (it.record >= n_records) {
        return corrupt(at("items", i) + " names record " + std::to_string(it.record) + " of " +
                       std::to_string(n_records));
      }
      const std::uint64_t kw_end = std::uint64_t{it.text} + it.keyword_len;
      const std::uint64_t name_end = kw_end + 1 + it.name_len;
      if (!v.text_.contains(it.text, name_end + 1 - it.text)) {
        return corrupt(at("items", i) + " lies outside the search text");
      }
      if (v.text_.data()[kw_end] != 0 || v.text_.data()[name_end] != 0) {
        return corrupt(at("items", i) + " does not end its texts with NUL");
      }
    }
  }
  for (std::uint32_t i = 0; i < v.creators_.size(); ++i) {
    const auto c = *v.creators_[i];
    if (!v.pool_.contains(c.u32<4>(), c.u32<8>())) return corrupt(at("creators", i) + " lies outside the pool");
    if (std::uint64_t{c.u32<12>()} + c.u32<16>() > v.items_.size()) {
      return corrupt(at("creators", i) + " names items beyond the last");
    }
    if (i > 0 && (*v.creators_[i - 1]).u32<0>() >= c.u32<0>()) {
      return corrupt("creators are not sorted by hash at " + at("creators", i));
    }
  }
  return v;
}

// ---- reading -----------------------------------------------------------------------------------

std::optional<DictRecord> View::record(std::uint32_t number) const {
  const auto r = records_[number];
  if (!r) return std::nullopt;
  return DictRecord(*r);
}

std::string_view View::text_of(StrRef ref) const {
  // A dictionary's texts are not checked when it is opened; one outside its pool reads as "".
  return dict_pool_.text(ref.offset, ref.length).value_or(std::string_view{});
}

std::string_view View::keyword_of(std::uint32_t number) const {
  const auto r = record(number);
  return r ? text_of(r->keyword()) : std::string_view{};
}

std::optional<Key> View::key_of(std::uint32_t number) const {
  const auto r = record(number);
  if (!r) return std::nullopt;
  const StrRef c = r->creator();
  return Key{r->group(), r->element(), c.length == 0 ? std::nullopt : std::optional(text_of(c))};
}

std::optional<View::Item> View::item(std::uint32_t i) const {
  const auto b = items_[i];
  if (!b) return std::nullopt;
  return Item{b->u32<0>(), b->u32<4>(), b->u32<8>(), b->u32<12>()};
}

std::uint32_t View::first_with_keyword(std::string_view keyword) const {
  // One hash and, as a rule, one comparison, instead of a comparison per halving of a binary
  // search: each of those reads a record and its text elsewhere in the dictionary.
  const std::uint32_t m = slots_.size();
  if (m == 0) return keywords_.size();
  const std::uint64_t h = siphash13(key0_, key1_, keyword);
  // Validation proved that no run of occupied slots is longer than kMaxRun, so an empty slot
  // ends every probe by then; the bound also holds a file rewritten since.
  const std::uint64_t probes = std::min<std::uint64_t>(m, kMaxRun + 1);
  for (std::uint64_t probe = 0; probe < probes; ++probe) {
    const auto slot = slots_[static_cast<std::uint32_t>((h + probe) & (m - 1))];
    const std::uint32_t s = slot ? slot->u32<0>() : 0;
    if (s == 0) break;
    const auto e = keywords_[s - 1];
    if (e && keyword_of(e->u32<0>()) == keyword) return s - 1;
  }
  return keywords_.size();
}

std::optional<Key> View::tag_for_keyword(std::string_view keyword) const {
  const auto e = keywords_[first_with_keyword(keyword)];
  if (!e) return std::nullopt;
  const std::uint32_t r = e->u32<0>();
  if (keyword_of(r) != keyword) return std::nullopt;
  // Public records come first among equal keywords: a private first one means there is none.
  auto key = key_of(r);
  if (!key || key->creator) return std::nullopt;
  return key;
}

std::vector<std::uint32_t> View::records_for_keyword(std::string_view keyword) const {
  std::vector<std::uint32_t> out;
  for (std::uint32_t i = first_with_keyword(keyword);; ++i) {
    const auto e = keywords_[i];
    if (!e) break;
    const std::uint32_t r = e->u32<0>();
    if (keyword_of(r) != keyword) break;
    out.push_back(r);
  }
  return out;
}

std::vector<Key> View::keys_for_keyword(std::string_view keyword) const {
  std::vector<Key> out;
  for (const std::uint32_t r : records_for_keyword(keyword)) {
    if (auto key = key_of(r)) out.push_back(*key);
  }
  return out;
}

std::optional<lookup::RecordView> View::record_view(std::uint32_t number) const {
  const auto r = record(number);
  if (!r) return std::nullopt;
  return lookup::RecordView{*r, dict_pool_, number};
}

std::optional<std::string_view> View::vm_of(std::uint32_t number) const {
  const auto code = vm_codes_[number];
  if (!code) return std::nullopt;
  const std::uint16_t c = code->u16<0>();
  if (c == 0) return std::nullopt;
  const auto t = vm_texts_[c - 1u];
  if (!t) return std::nullopt;
  return pool_.text(t->u32<0>(), t->u32<4>());
}

ByteView View::vrs_of(const lookup::RecordView& found) const {
  // Every code once, so that a single VR is a view of one byte like the choices are.
  static constexpr auto kCodes = [] {
    std::array<std::uint8_t, archive::kVrCount> codes{};
    for (std::size_t i = 0; i < codes.size(); ++i) codes[i] = static_cast<std::uint8_t>(i);
    return codes;
  }();
  const std::uint8_t vr = found.record.vr();
  if (vr != archive::kVrUnknown) return ByteView(kCodes.data() + (vr < kCodes.size() ? vr : 0), 1);
  const auto code = vr_codes_[found.number];
  const std::uint16_t c = code ? code->u16<0>() : 0;
  const auto t = c == 0 ? std::nullopt : vr_sets_[c - 1u];
  if (!t) return ByteView();
  return pool_.slice(t->u32<0>(), t->u32<4>()).value_or(ByteView());
}

Result<std::optional<lookup::RecordView>, lookup::LookupFault> View::find_element(
    std::uint16_t group, std::uint16_t element, std::optional<std::string_view> creator, bool block_form) const {
  if (!block_form) return lookup::find_element(dict_body_, group, element, creator);
  // "gggg,xxee": the offset in any block of the creator's, so only an entry flagged as one.
  if ((group & 1) == 0) return std::optional<lookup::RecordView>{};
  auto found = lookup::find_record(dict_body_, group, element, creator);
  if (!found || !found.value() || found.value()->record.block_offset() != 0) return found;
  return std::optional<lookup::RecordView>{};
}

Result<std::optional<std::string_view>, lookup::LookupFault> View::vm(std::uint16_t group, std::uint16_t element,
                                                                      std::optional<std::string_view> creator) const {
  auto found = lookup::find_record(dict_body_, group, element, creator);
  if (!found) return Err{std::move(found).error()};
  if (!found.value()) return std::optional<std::string_view>{};
  return std::optional<std::string_view>{vm_of(found.value()->number)};
}

Result<std::optional<ByteView>, lookup::LookupFault> View::vrs(std::uint16_t group, std::uint16_t element,
                                                               std::optional<std::string_view> creator) const {
  auto found = lookup::find_record(dict_body_, group, element, creator);
  if (!found) return Err{std::move(found).error()};
  if (!found.value()) return std::optional<ByteView>{};
  return std::optional<ByteView>{vrs_of(*found.value())};
}

std::optional<std::pair<std::uint32_t, std::uint32_t>> View::creator_items(std::string_view creator) const {
  const std::uint32_t h = lookup::hash_creator(creator);
  std::uint32_t lo = 0;
  std::uint32_t hi = creators_.size();
  while (lo < hi) {
    const std::uint32_t mid = lo + (hi - lo) / 2;
    if ((*creators_[mid]).u32<0>() < h) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  const auto c = creators_[lo];
  // The hash only narrows the search: the folded texts must be equal too.
  if (!c || c->u32<0>() != h || pool_.text(c->u32<4>(), c->u32<8>()) != lookup::normalize_creator(creator)) {
    return std::nullopt;
  }
  return std::pair{c->u32<12>(), c->u32<16>()};
}

std::vector<std::uint32_t> View::search_records(std::string_view folded, std::optional<std::string_view> creator,
                                                std::size_t limit) const {
  std::uint32_t first = 0;
  std::uint32_t last = items_.size();
  if (creator) {
    const auto run = creator_items(*creator);
    if (!run) return {};
    first = run->first;
    last = static_cast<std::uint32_t>(std::min<std::uint64_t>(std::uint64_t{first} + run->second, last));
  }

  // Three ranks: keyword equal to the text, keyword or name starting with it, containing it.
  std::vector<std::uint32_t> ranked[3];
  const std::string_view text = text_.chars();
  std::uint32_t i = first;
  while (i < last && ranked[0].size() < limit) {
    const auto it = item(i);
    if (!it) break;
    if (!folded.empty()) {
      // Jump to the next place the text occurs, and to the item that holds it.
      const std::size_t hit = text.find(folded, it->text);
      if (hit == std::string_view::npos) break;
      while (i < last) {
        const auto next = item(i);
        if (!next || std::uint64_t{next->text} + next->keyword_len + next->name_len + 2 > hit) break;
        ++i;
      }
      if (i >= last) break;
    }
    const Item cur = *item(i);
    const int rank = lookup::match_rank(folded, lookup::search_texts(text_, cur.text, cur.keyword_len, cur.name_len));
    if (rank >= 0 && ranked[rank].size() < limit) ranked[rank].push_back(cur.record);
    ++i;
  }

  return lookup::in_rank_order(ranked, limit);
}

std::vector<Key> View::search(std::string_view folded, std::optional<std::string_view> creator,
                              std::size_t limit) const {
  std::vector<Key> out;
  for (const std::uint32_t number : search_records(folded, creator, limit)) {
    if (auto key = key_of(number)) out.push_back(*key);
  }
  return out;
}

}  // namespace quillet::companion
