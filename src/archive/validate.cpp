#include "archive/validate.hpp"

#include <cstdio>
#include <optional>

#include "archive/bytes.hpp"
#include "archive/layout.hpp"

namespace quillet::archive {
namespace {

using namespace placement;

/// The address as a number, for the alignment checks and the failure texts; nothing is read through it.
std::uintptr_t address_of(const std::uint8_t* p) noexcept {
  // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast): a pointer's value, not a read of bytes
  return reinterpret_cast<std::uintptr_t>(p);
}

/// The largest power of two dividing the address.
constexpr std::uint64_t alignment_of(std::uintptr_t a) noexcept { return a & (~a + 1); }

/// The validation context: the body, its root, and the part of the body that no array has
/// claimed yet. Whatever the root refers to must lie before it, and each array claims the bytes
/// up to its own end, so the unclaimed part is always [free_start_, root) and claims come in
/// address order, never overlapping.
class Verifier {
 public:
  Verifier(ByteView body, const DictRoot& root) noexcept : body_(body), root_(root) {}

  /// Places the array that member `m` of the root refers to and claims it; returns its bytes.
  [[nodiscard]] Result<ByteView, ArchiveError> claim(const RootMember& m) noexcept {
    const VecRef ref = root_.*m.ref;
    const std::uint64_t field = root_.at + m.at;  // the reference's body position, below the length
    const std::uint64_t len = body_.size();
    // The target, field + offset, must lie in [0, len]; compared piecewise so that no sum can
    // leave the range of its type.
    const std::uint64_t back = ref.offset < 0 ? static_cast<std::uint64_t>(-std::int64_t{ref.offset}) : 0;
    const std::uint64_t ahead = ref.offset > 0 ? static_cast<std::uint64_t>(ref.offset) : 0;
    if (back > field || ahead > len - field) return Err{OutOfBounds{address(field), ref.offset, whole()}};
    const std::uint64_t pos = field - back + ahead;
    // The body start is at least as aligned as any item (checked first), so the address's
    // alignment is the position's.
    if ((address(pos) & (m.item_align - 1)) != 0) return Err{Unaligned{address(pos), m.item_align}};
    const std::uint64_t size = std::uint64_t{ref.count} * m.item_len;  // below 2^38: cannot wrap
    const auto bytes = body_.slice(pos, size);
    if (!bytes) return Err{Overrun{address(pos), size, whole()}};
    // An empty array may sit exactly at the end of the unclaimed part; a non-empty one may not.
    if (pos < free_start_ || pos > root_.at || (ref.count > 0 && pos == root_.at)) {
      return Err{SubtreePointerOutOfBounds{address(pos), unclaimed()}};
    }
    if (root_.at - pos < size) return Err{SubtreePointerOverrun{address(pos), size, unclaimed()}};
    free_start_ = pos + size;
    return *bytes;
  }

 private:
  [[nodiscard]] std::uintptr_t address(std::uint64_t pos) const noexcept { return address_of(body_.data()) + pos; }
  [[nodiscard]] AddressRange whole() const noexcept { return {address(0), address(body_.size())}; }
  [[nodiscard]] AddressRange unclaimed() const noexcept { return {address(free_start_), address(root_.at)}; }

  ByteView body_;
  DictRoot root_;
  std::uint64_t free_start_ = 0;
};

/// The first record whose byte fields are out of range, the fields checked in the order
/// element_is_block_offset, retired, vr.
std::optional<ValidationFailure> check_records(ByteView records) noexcept {
  for (const FixedView<kRecordLen> rec : FixedArray<kRecordLen>::over(records)) {
    const std::uint8_t block = rec.read<record::kBlockOffset>();
    const std::uint8_t retired = rec.read<record::kRetired>();
    const std::uint8_t vr = rec.read<record::kVr>();
    // One test of all three bytes without a branch each; which one failed, and the record's
    // position, are worked out only on the way to an error.
    if (((block | retired) > 1) | (vr >= kVrCount)) [[unlikely]] {
      const auto i = static_cast<std::uint32_t>(static_cast<std::size_t>(rec.data() - records.data()) / kRecordLen);
      if (block > 1) return ValidationFailure{BoolCheckError{i, "element_is_block_offset", block}};
      if (retired > 1) return ValidationFailure{BoolCheckError{i, "retired", retired}};
      return ValidationFailure{InvalidTag{i, vr}};
    }
  }
  return std::nullopt;
}

// ---- texts: made only for a failure --------------------------------------------------------

std::string hex(std::uintptr_t a) {
  char buf[2 + 2 * sizeof(a) + 1];
  std::snprintf(buf, sizeof buf, "0x%jx", static_cast<std::uintmax_t>(a));
  return buf;
}
std::string text(AddressRange r) { return hex(r.start) + ".." + hex(r.end); }
std::string dec(std::uint64_t v) { return std::to_string(v); }

/// One visitor from several lambdas, one per alternative.
template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

std::string text(const ArchiveError& error) {
  return std::visit(
      Overloaded{
          [](const OutOfBounds& e) {
            return "pointer out of bounds: base " + hex(e.base) + " offset " + std::to_string(e.offset) +
                   " not in range " + text(e.body);
          },
          [](const Underaligned& e) {
            return "archive underaligned: need alignment " + dec(e.expected_align) + " but have alignment " +
                   dec(e.actual_align);
          },
          [](const Unaligned& e) {
            return "unaligned pointer: ptr " + hex(e.ptr) + " unaligned for alignment " + dec(e.align);
          },
          [](const Overrun& e) {
            return "pointer overran buffer: ptr " + hex(e.ptr) + " size " + dec(e.size) + " in range " + text(e.body);
          },
          [](const SubtreePointerOutOfBounds& e) {
            return "subtree pointer out of bounds: ptr " + hex(e.ptr) + " not in range " + text(e.unclaimed);
          },
          [](const SubtreePointerOverrun& e) {
            return "subtree pointer overran range: ptr " + hex(e.ptr) + " size " + dec(e.size) + " in range " +
                   text(e.unclaimed);
          },
      },
      error);
}

/// The two levels above a record's field: the root's member `records`, then the item.
std::string in_record(std::uint32_t index, const char* field) {
  return "check bytes error: check failed for struct member records: check failed for slice index " + dec(index) +
         ": check failed for struct member " + field + ": ";
}

}  // namespace

std::string ValidationFailure::message() const {
  return std::visit(
      Overloaded{
          [](const RootError& f) { return "context error: " + text(f.error); },
          [](const ContextError& f) {
            return std::string("check bytes error: check failed for struct member ") + f.member + ": " + text(f.error);
          },
          [](const BoolCheckError& f) {
            return in_record(f.index, f.field_name) + "check failed for bool: expected 0 or 1, found " +
                   dec(f.invalid_value);
          },
          [](const InvalidTag& f) { return in_record(f.index, "vr") + "invalid tag for enum: " + dec(f.value); },
      },
      kind);
}

Result<const std::uint8_t*, ValidationFailure> validate_body(const std::uint8_t* start, std::uint64_t length) noexcept {
  const ByteView body(start, static_cast<std::size_t>(length));
  const std::uintptr_t base = address_of(start);
  // The root is read once, here; it is also the check that the body has room for it.
  const auto root = DictRoot::read(body);
  if (!root) {
    const auto offset = static_cast<std::int64_t>(length) - static_cast<std::int64_t>(kRootLen);
    return Err{ValidationFailure{RootError{OutOfBounds{base, offset, {base, base + length}}}}};
  }
  if (alignment_of(base) < kArchiveAlign) {
    return Err{ValidationFailure{RootError{Underaligned{kArchiveAlign, alignment_of(base)}}}};
  }
  if ((base + root->at) % kArchiveAlign != 0) {
    return Err{ValidationFailure{RootError{Unaligned{base + root->at, kArchiveAlign}}}};
  }
  Verifier verifier(body, *root);
  for (const RootMember& m : kRootMembers) {
    const auto array = verifier.claim(m);
    if (!array) return Err{ValidationFailure{ContextError{m.name, array.error()}}};
    if (m.ref == &DictRoot::records) {
      if (const auto bad = check_records(array.value())) return Err{*bad};
    }
  }
  return start + root->at;
}

}  // namespace quillet::archive
