#include "lookup/search.hpp"

#include "common/attributes.hpp"
#include "lookup/creator.hpp"

namespace quillet::lookup {
namespace {

using namespace quillet::archive;

/// The array a root reference designates, or nothing when it does not lie inside the body.
///
/// Validation at open proved every array in bounds, so on an unchanged file this never fails.
/// It is checked anyway, in constant time, because the file may have been rewritten in place
/// since then and a lookup must never read outside the mapping.
template <std::size_t N>
std::optional<FixedArray<N>> array_of(ByteView body, std::uint64_t ref_at, VecRef ref) {
  const std::int64_t target = ref.target(ref_at);
  if (target < 0) return std::nullopt;
  return FixedArray<N>::at(body, static_cast<std::uint64_t>(target), ref.count);
}

/// The string pool, under the same check.
std::optional<ByteView> pool_of(ByteView body, std::uint64_t ref_at, VecRef ref) {
  const std::int64_t target = ref.target(ref_at);
  if (target < 0) return std::nullopt;
  return body.slice(static_cast<std::uint64_t>(target), ref.count);
}

LookupFault changed(const char* what) {
  return {std::string("dictionary changed after it was opened: the ") + what + " array lies outside the file"};
}

LookupFault bad_record(std::uint32_t count, std::uint32_t record) {
  return {"index out of bounds: the len is " + std::to_string(count) + " but the index is " + std::to_string(record)};
}

/// The record that an index entry designates, and the pool.
inline Result<RecordView, LookupFault> record_of(ByteView body, const DictRoot& root, IndexEntry entry) {
  // Validation does not look at record numbers, so each one is checked here.
  const std::uint32_t r = entry.record();
  const std::uint32_t c = root.records.count;
  if (r >= c) return Err{bad_record(c, r)};
  const auto records = array_of<kRecordLen>(body, root.at + kRootRecordsAt, root.records);
  if (!records) return Err{changed("records")};
  const auto pool = pool_of(body, root.at + kRootStringsAt, root.strings);
  if (!pool) return Err{changed("strings")};
  const auto rec = (*records)[r];
  if (!rec) return Err{changed("records")};
  return RecordView{DictRecord(*rec), *pool, r};
}

/// Whether the record stores the requested creator: its text folds to the same as `creator`,
/// or it stores none, which leaves nothing to compare, so that it is taken on the hash alone as
/// it always was. A stored text outside the pool is a fault.
Result<bool, LookupFault> stores_creator(const RecordView& view, std::string_view creator) {
  const StrRef stored = view.record.creator();
  if (stored.length == 0) return true;
  auto text = resolve_text(view.pool, stored);
  if (!text) return Err{std::move(text).error()};
  const ByteView bytes = text.value();
  return creators_fold_equal(creator, archive::as_chars(bytes.data(), bytes.size()));
}

/// The search for key, instantiated twice: without creator it takes the entry it lands on as it
/// is; with one (Verify) the entry must also store that creator.
///
/// The hash only narrows the search, so a creator that merely collides with a stored one must
/// not find its entries. Among entries of equal key the latest that verifies wins: the walk runs
/// back from where the search landed over the entries of the same key, and in a file without
/// colliding creators it ends at the first.
// Inlined by force: kept as a call of its own, the public instantiation costs each lookup
// without creator more than the one function it replaces did.
template <bool Verify>
QUILLET_ALWAYS_INLINE Result<std::optional<RecordView>, LookupFault> search(ByteView body, std::uint64_t key,
                                                                            std::string_view creator) {
  // The root is found afresh from the end of the body on every call; nothing is cached.
  const auto root = DictRoot::read(body);
  if (!root) return Err{LookupFault{"dictionary changed after it was opened: no room for the root"}};
  const std::uint64_t n = root->index.count;
  if (n == 0) return std::optional<RecordView>{};
  const auto index = array_of<kIndexEntryLen>(body, root->at + kRootIndexAt, root->index);
  if (!index) return Err{changed("index")};

  // Fixed-length search: ceil(log2 n) halvings and one final comparison, choosing by select
  // rather than stopping early, so that among equal keys the last one wins. Every position
  // visited is below n, so no entry access below can fail.
  std::uint64_t base = 0;
  std::uint64_t size = n;
  while (size > 1) {
    const std::uint64_t half = size / 2;
    const std::uint64_t mid = base + half;
    const auto e = (*index)[mid];
    if (!e) return Err{changed("index")};
    base = IndexEntry(*e).key() > key ? base : mid;
    size -= half;
  }
  for (std::uint64_t i = base;; --i) {
    const auto at = (*index)[i];
    if (!at) return Err{changed("index")};
    const IndexEntry entry(*at);
    if (entry.key() != key) break;
    auto view = record_of(body, *root, entry);
    if (!view) return Err{std::move(view).error()};
    if constexpr (!Verify) {
      return std::optional<RecordView>{view.value()};
    } else {
      auto verified = stores_creator(view.value(), creator);
      if (!verified) return Err{std::move(verified).error()};
      if (verified.value()) return std::optional<RecordView>{view.value()};
      if (i == 0) break;
    }
  }
  return std::optional<RecordView>{};
}

}  // namespace

LookupFault text_fault(std::uint64_t pool_size, StrRef ref) {
  if (ref.offset > pool_size) {
    return {"range start index " + std::to_string(ref.offset) + " out of range for slice of length " +
            std::to_string(pool_size)};
  }
  const std::uint64_t end = std::uint64_t{ref.offset} + ref.length;  // 64-bit: cannot wrap
  return {"range end index " + std::to_string(end) + " out of range for slice of length " + std::to_string(pool_size)};
}

std::uint32_t index_count(ByteView body) noexcept {
  const auto root = DictRoot::read(body);
  return root ? root->index.count : 0;
}

Result<std::optional<RecordView>, LookupFault> find_record(ByteView body, std::uint16_t group, std::uint16_t element,
                                                           std::optional<std::string_view> creator) {
  if (!creator) return search<false>(body, pack_key(group, element, 0), {});
  const std::uint32_t hash = hash_creator(*creator);
  // Hash 0 marks the entries without creator; a creator that happens to hash to 0 is none of
  // them, and no private entry can be stored under it.
  if (hash == 0) return std::optional<RecordView>{};
  return search<true>(body, pack_key(group, element, hash), *creator);
}

Result<std::optional<RecordView>, LookupFault> find_element(ByteView body, std::uint16_t group, std::uint16_t element,
                                                            std::optional<std::string_view> creator) {
  // Groups 0001-0007 are not private, but old private dictionaries put creators there too.
  if (!is_private_group(group) && !((group & 1) != 0 && creator))
    return find_record(body, group, element, std::nullopt);
  if (element < 0x0100) return std::optional<RecordView>{};
  auto exact = find_record(body, group, element, creator);
  if (!exact || exact.value() || element < 0x1000) return exact;
  auto offset = find_record(body, group, static_cast<std::uint16_t>(element & 0xFF), creator);
  if (!offset || !offset.value() || offset.value()->record.block_offset() != 0) return offset;
  return std::optional<RecordView>{};  // an entry of the low byte that is no offset answers nothing here
}

Result<std::vector<RecordView>, LookupFault> records_at(ByteView body, std::uint16_t group, std::uint16_t element) {
  std::vector<RecordView> out;
  const auto root = DictRoot::read(body);
  if (!root) return Err{LookupFault{"dictionary changed after it was opened: no room for the root"}};
  const auto index = array_of<kIndexEntryLen>(body, root->at + kRootIndexAt, root->index);
  if (!index) return Err{changed("index")};
  // The first entry whose key is not below (group, element, 0); an unsorted index (only a corrupt
  // one) gives some other entries, never a read outside it.
  const std::uint64_t low = pack_key(group, element, 0);
  std::uint64_t lo = 0;
  std::uint64_t hi = index->size();
  while (lo < hi) {
    const std::uint64_t mid = lo + (hi - lo) / 2;
    const auto e = (*index)[mid];
    if (!e) return Err{changed("index")};
    if (IndexEntry(*e).key() < low) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  for (std::uint64_t i = lo; i < index->size(); ++i) {
    const auto e = (*index)[i];
    if (!e) return Err{changed("index")};
    const IndexEntry entry(*e);
    if ((entry.key() >> 32) != (low >> 32)) break;
    auto view = record_of(body, *root, entry);
    if (!view) return Err{std::move(view).error()};
    out.push_back(view.value());
  }
  return out;
}

}  // namespace quillet::lookup
