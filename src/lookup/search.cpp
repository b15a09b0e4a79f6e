#include "lookup/search.hpp"

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
  const auto found = (*index)[base];
  if (!found) return Err{changed("index")};
  const IndexEntry entry(*found);
  if (entry.key() != key) return std::optional<RecordView>{};

  // Validation does not look at record numbers, so this one is checked here.
  const std::uint32_t r = entry.record();
  const std::uint32_t c = root->records.count;
  if (r >= c) {
    return Err{
        LookupFault{"index out of bounds: the len is " + std::to_string(c) + " but the index is " + std::to_string(r)}};
  }
  const auto records = array_of<kRecordLen>(body, root->at + kRootRecordsAt, root->records);
  if (!records) return Err{changed("records")};
  const auto pool = pool_of(body, root->at + kRootStringsAt, root->strings);
  if (!pool) return Err{changed("strings")};
  const auto rec = (*records)[r];
  if (!rec) return Err{changed("records")};
  return std::optional<RecordView>{RecordView{DictRecord(*rec), *pool, r}};
}

}  // namespace quillet::lookup
