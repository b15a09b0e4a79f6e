#include "archive/validate.hpp"

#include <cstdio>
#include <limits>

#include "archive/layout.hpp"

namespace quillet::archive {
namespace {

using Kind = ArchiveError::Kind;

constexpr std::uint64_t kMaxDepth = std::numeric_limits<std::uint64_t>::max();

std::uintptr_t address(const std::uint8_t* p) noexcept { return reinterpret_cast<std::uintptr_t>(p); }

/// Largest power of two dividing the address.
std::uint64_t alignment_of(std::uintptr_t a) noexcept { return a == 0 ? 0 : (a & (~a + 1)); }

std::string hex(std::uintptr_t a) {
  char buf[2 + 2 * sizeof(a) + 1];
  std::snprintf(buf, sizeof buf, "0x%jx", static_cast<std::uintmax_t>(a));
  return buf;
}
std::string range(std::uintptr_t s, std::uintptr_t e) { return hex(s) + ".." + hex(e); }
std::string dec(std::uint64_t v) { return std::to_string(v); }

/// The claim discipline: each array takes its bytes out of the unclaimed part, in address order.
class Claims {
 public:
  Claims(const std::uint8_t* start, std::uint64_t length) noexcept
      : start_(address(start)), length_(length), end_(start_ + length), free_start_(start_), free_end_(end_) {}

  [[nodiscard]] std::uintptr_t start() const noexcept { return start_; }
  [[nodiscard]] std::uintptr_t end() const noexcept { return end_; }

  /// Places the array referenced at address `field` (item size z, alignment a). On success the
  /// array's address and byte size are returned and its claim is open; close it with `pop`.
  struct Placed {
    std::uintptr_t at;
    std::uint64_t size;
    std::uintptr_t saved_end;
    std::uint64_t saved_depth;
  };
  Result<Placed, ArchiveError> place(std::uintptr_t field, std::int32_t offset, std::uint32_t count, std::uint64_t z,
                                     std::uint64_t a) noexcept {
    const auto field_pos = static_cast<std::int64_t>(field - start_);
    // The overflow test is written out: MSVC has no __builtin_add_overflow.
    constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
    constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
    if ((offset > 0 && field_pos > kMax - offset) || (offset < 0 && field_pos < kMin - offset)) {
      return Err{ArchiveError{Kind::Overflow, field, offset}};
    }
    const std::int64_t pos = field_pos + offset;
    if (pos < 0 || static_cast<std::uint64_t>(pos) > length_) {
      return Err{ArchiveError{Kind::OutOfBounds, field, offset, 0, 0, start_, end_}};
    }
    if (alignment_of(start_) < a) {
      return Err{ArchiveError{Kind::Underaligned, 0, 0, a, alignment_of(start_)}};
    }
    const std::uintptr_t t = start_ + static_cast<std::uint64_t>(pos);
    if (t % a != 0) return Err{ArchiveError{Kind::Unaligned, t, 0, a}};
    const std::uint64_t size = std::uint64_t{count} * z;
    if (end_ - t < size) return Err{ArchiveError{Kind::Overrun, t, 0, size, 0, start_, end_}};
    const bool outside = count > 0 ? (t < free_start_ || t >= free_end_) : (t < free_start_ || t > free_end_);
    if (outside) {
      return Err{ArchiveError{Kind::SubtreePointerOutOfBounds, t, 0, 0, 0, free_start_, free_end_}};
    }
    if (count > 0 && free_end_ - t < size) {
      return Err{ArchiveError{Kind::SubtreePointerOverrun, t, 0, size, 0, free_start_, free_end_}};
    }
    if (depth_ >= kMaxDepth) return Err{ArchiveError{Kind::ExceededMaximumSubtreeDepth, 0, 0, kMaxDepth}};
    Placed p{t, size, free_end_, depth_};
    ++depth_;
    free_end_ = t;  // what an object refers to must lie before it
    return p;
  }

  /// Closes an array's claim: what follows it becomes the unclaimed part.
  void pop(const Placed& p) noexcept {
    free_start_ = p.at + p.size;
    free_end_ = p.saved_end;
    depth_ = p.saved_depth;
  }

  /// Claims the root at r: everything the root refers to must lie before it.
  void push_root(std::uintptr_t r) noexcept {
    depth_ = 1;
    free_end_ = r;
  }
  Result<bool, ArchiveError> pop_root() noexcept {
    if (depth_ - 1 != 0) return Err{ArchiveError{Kind::RangePoppedOutOfOrder, 0, 0, depth_ - 1, 0}};
    free_start_ = end_;
    free_end_ = end_;
    depth_ = 0;
    return true;
  }

 private:
  std::uintptr_t start_;
  std::uint64_t length_;
  std::uintptr_t end_;
  std::uintptr_t free_start_;
  std::uintptr_t free_end_;
  std::uint64_t depth_ = 0;
};

ValidationFailure root_failure(const ArchiveError& e) noexcept {
  ValidationFailure f{ValidationFailure::Where::Root};
  f.archive = e;
  return f;
}

struct Member {
  const char* name;
  std::size_t at;
  std::uint64_t item_size;
  std::uint64_t align;
};
constexpr Member kMembers[] = {
    {"index", kRootIndexAt, kIndexEntryLen, kArchiveAlign},
    {"records", kRootRecordsAt, kRecordLen, kArchiveAlign},
    {"strings", kRootStringsAt, 1, 1},
};

}  // namespace

std::string ArchiveError::message() const {
  switch (kind) {
    case Kind::Overflow:
      return "relative pointer overflowed: base " + hex(ptr) + " offset " + std::to_string(offset);
    case Kind::Underaligned:
      return "archive underaligned: need alignment " + dec(size) + " but have alignment " + dec(actual);
    case Kind::OutOfBounds:
      return "pointer out of bounds: base " + hex(ptr) + " offset " + std::to_string(offset) + " not in range " +
             range(range_start, range_end);
    case Kind::Overrun:
      return "pointer overran buffer: ptr " + hex(ptr) + " size " + dec(size) + " in range " +
             range(range_start, range_end);
    case Kind::Unaligned:
      return "unaligned pointer: ptr " + hex(ptr) + " unaligned for alignment " + dec(size);
    case Kind::SubtreePointerOutOfBounds:
      return "subtree pointer out of bounds: ptr " + hex(ptr) + " not in range " + range(range_start, range_end);
    case Kind::SubtreePointerOverrun:
      return "subtree pointer overran range: ptr " + hex(ptr) + " size " + dec(size) + " in range " +
             range(range_start, range_end);
    case Kind::RangePoppedOutOfOrder:
      return "subtree range popped out of order: expected depth " + dec(size) + ", actual depth " + dec(actual);
    case Kind::ExceededMaximumSubtreeDepth:
      return "pushed a subtree range that exceeded the maximum subtree depth of " + dec(size);
  }
  return "unknown archive error";
}

std::string ValidationFailure::message() const {
  switch (where) {
    case Where::Root:
      return "context error: " + archive.message();
    case Where::Array:
      return std::string("check bytes error: check failed for struct member ") + member + ": " + archive.message();
    case Where::Record: {
      const std::string inner = value_kind == Value::Bool
                                    ? "check failed for bool: expected 0 or 1, found " + dec(value)
                                    : "invalid tag for enum: " + dec(value);
      return std::string("check bytes error: check failed for struct member ") + member +
             ": check failed for slice index " + dec(item) + ": check failed for struct member " + field + ": " + inner;
    }
  }
  return "unknown validation failure";
}

Result<const std::uint8_t*, ValidationFailure> validate_body(const std::uint8_t* start, std::uint64_t length) noexcept {
  Claims claims(start, length);
  if (length < kRootLen) {
    return Err{root_failure({Kind::OutOfBounds, claims.start(), static_cast<std::int64_t>(length) - 24, 0, 0,
                             claims.start(), claims.end()})};
  }
  if (alignment_of(claims.start()) < kArchiveAlign) {
    return Err{root_failure({Kind::Underaligned, 0, 0, kArchiveAlign, alignment_of(claims.start())})};
  }
  const std::uint64_t root_pos = length - kRootLen;
  const std::uintptr_t r = claims.start() + root_pos;
  if (r % kArchiveAlign != 0) return Err{root_failure({Kind::Unaligned, r, 0, kArchiveAlign})};

  const ByteView body(start, static_cast<std::size_t>(length));
  const auto root = FixedView<kRootLen>::at(body, root_pos);
  if (!root) return Err{root_failure({Kind::OutOfBounds, r, 0, 0, 0, claims.start(), claims.end()})};

  claims.push_root(r);
  for (const Member& m : kMembers) {
    const auto offset = static_cast<std::int32_t>(body.u32(root_pos + m.at).value_or(0));
    const auto count = body.u32(root_pos + m.at + 4).value_or(0);
    auto placed = claims.place(r + m.at, offset, count, m.item_size, m.align);
    if (!placed) {
      ValidationFailure f{ValidationFailure::Where::Array};
      f.archive = placed.error();
      f.member = m.name;
      return Err{f};
    }
    if (m.item_size == kRecordLen) {
      const std::uint64_t first = placed.value().at - claims.start();
      // The array is proven inside the body once; each record is then one check against the
      // count, which the loop bound already satisfies. Unreachable failure: placement proved it.
      const auto records = FixedArray<kRecordLen>::at(body, first, count);
      for (std::uint32_t i = 0; records && i < count; ++i) {
        const auto rec = (*records)[i];
        if (!rec) break;  // unreachable: i < count
        const std::uint8_t block = rec->u8<record::kBlockOffset>();
        const std::uint8_t retired = rec->u8<record::kRetired>();
        const std::uint8_t vr = rec->u8<record::kVr>();
        // One test of all three bytes without a branch each; which one failed is sorted out
        // below, only on the way to an error.
        if (((block | retired) > 1) | (vr >= kVrCount)) [[unlikely]] {
          ValidationFailure f{ValidationFailure::Where::Record};
          f.member = m.name;
          f.item = i;
          if (block > 1) {
            f.field = "element_is_block_offset";
            f.value = block;
          } else if (retired > 1) {
            f.field = "retired";
            f.value = retired;
          } else {
            f.field = "vr";
            f.value_kind = ValidationFailure::Value::Enum;
            f.value = vr;
          }
          return Err{f};
        }
      }
    }
    claims.pop(placed.value());
  }
  if (auto popped = claims.pop_root(); !popped) return Err{root_failure(popped.error())};
  return start + root_pos;
}

}  // namespace quillet::archive
