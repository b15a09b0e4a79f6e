#include "lookup/search.hpp"

#include "lookup/creator.hpp"

namespace quillet {
namespace {

/// The array a root reference designates, or nothing when it does not lie inside the body.
///
/// Validation at open proved every array in bounds, so on an unchanged file this never fails.
/// It is checked anyway, in constant time, because the file may have been rewritten in place
/// since then and a lookup must never read outside the mapping.
std::optional<ByteView> array_of(ByteView body, std::uint64_t ref_at, VecRef ref, std::uint64_t item_size) {
  const std::int64_t target = ref.target(ref_at);
  if (target < 0) return std::nullopt;
  return body.slice(static_cast<std::uint64_t>(target), std::uint64_t{ref.count} * item_size);
}

LookupFault changed(const char* what) {
  return {std::string("dictionary changed after it was opened: the ") + what + " array lies outside the file"};
}

}  // namespace

std::uint32_t index_count(ByteView body) noexcept {
  const auto root = DictRoot::read(body);
  return root ? root->index.count : 0;
}

Result<std::optional<RecordView>, LookupFault> find_record(ByteView body, std::uint16_t group, std::uint16_t element,
                                                           std::optional<std::string_view> creator) {
  const std::uint64_t key = pack_key(group, element, hash_creator(creator));

  // The root is found afresh from the end of the body on every call; nothing is cached.
  const auto root = DictRoot::read(body);
  if (!root) return Err{LookupFault{"dictionary changed after it was opened: no room for the root"}};
  const std::uint64_t n = root->index.count;
  if (n == 0) return std::optional<RecordView>{};
  const auto index = array_of(body, root->at + kRootIndexAt, root->index, kIndexEntryLen);
  if (!index) return Err{changed("index")};

  // Fixed-length search: ceil(log2 n) halvings and one final comparison, choosing by select
  // rather than stopping early, so that among equal keys the last one wins.
  std::uint64_t base = 0;
  std::uint64_t size = n;
  while (size > 1) {
    const std::uint64_t half = size / 2;
    const std::uint64_t mid = base + half;
    const auto e = IndexEntry::Bytes::at(*index, mid * kIndexEntryLen);
    if (!e) return Err{changed("index")};  // unreachable: the slice holds n entries
    base = IndexEntry(*e).key() > key ? base : mid;
    size -= half;
  }
  const auto found = IndexEntry::Bytes::at(*index, base * kIndexEntryLen);
  if (!found) return Err{changed("index")};
  const IndexEntry entry(*found);
  if (entry.key() != key) return std::optional<RecordView>{};

  // Validation does not look at record numbers, so this one is checked here.
  const std::uint32_t r = entry.record();
  const std::uint32_t c = root->records.count;
  if (r >= c) {
    return Err{LookupFault{"index out of bounds: the len is " + std::to_string(c) + " but the index is " +
                           std::to_string(r)}};
  }
  const auto records = array_of(body, root->at + kRootRecordsAt, root->records, kRecordLen);
  if (!records) return Err{changed("records")};
  const auto pool = array_of(body, root->at + kRootStringsAt, root->strings, 1);
  if (!pool) return Err{changed("strings")};
  const auto rec = DictRecord::Bytes::at(*records, std::uint64_t{r} * kRecordLen);
  if (!rec) return Err{changed("records")};
  return std::optional<RecordView>{RecordView{DictRecord(*rec), *pool}};
}

}  // namespace quillet
