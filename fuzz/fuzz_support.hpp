#pragma once
// What both fuzz targets need: a failed invariant that libFuzzer records as a crash, a copy of
// the input placed in memory the way a file mapping would be, and a count of heap allocations
// for the paths that promise to make none.

#include <sanitizer/allocator_interface.h>
#include <sanitizer/asan_interface.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "archive/bytes.hpp"

/// Aborts with the broken invariant's text; libFuzzer keeps the input that caused it.
#define FUZZ_CHECK(cond)                                                                \
  do {                                                                                  \
    if (!(cond)) {                                                                      \
      std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                     \
    }                                                                                   \
  } while (0)

namespace quillet::fuzz {

inline constexpr std::size_t kPage = 4096;

/// The input copied to `shift` bytes past a page boundary, with every byte after the copy
/// poisoned so that AddressSanitizer reports any read past its end. libFuzzer's own buffer has
/// no particular alignment, and validation looks at real addresses.
///
/// One block is kept and reused: a fresh page-aligned allocation per input would cost a page
/// each, and ASan's quarantine, which counts only the bytes asked for, would hold gigabytes of
/// them. Only one copy exists at a time.
class PlacedCopy {
 public:
  PlacedCopy(const std::uint8_t* data, std::size_t size, std::size_t shift) : size_(size) {
    Block& b = block();
    const std::size_t need = shift + size;
    if (need > b.cap) {
      std::free(b.at);
      b.cap = (need / kPage + 1) * kPage;
      void* p = nullptr;
      if (posix_memalign(&p, kPage, b.cap) != 0) std::abort();
      b.at = static_cast<std::uint8_t*>(p);
    }
    ASAN_UNPOISON_MEMORY_REGION(b.at, b.cap);
    if (size > 0) std::memcpy(b.at + shift, data, size);
    ASAN_POISON_MEMORY_REGION(b.at + need, b.cap - need);
    data_ = b.at + shift;
  }
  PlacedCopy(const PlacedCopy&) = delete;
  PlacedCopy& operator=(const PlacedCopy&) = delete;
  // Nothing may keep pointing into an input once it is done with.
  ~PlacedCopy() { ASAN_POISON_MEMORY_REGION(block().at, block().cap); }

  [[nodiscard]] archive::ByteView view() const noexcept { return {data_, size_}; }

 private:
  struct Block {
    std::uint8_t* at = nullptr;
    std::size_t cap = 0;
  };
  static Block& block() {
    static Block b;
    return b;
  }
  const std::uint8_t* data_ = nullptr;
  std::size_t size_;
};

namespace detail {
inline thread_local bool counting = false;
inline thread_local std::size_t allocations = 0;
inline void on_malloc(const volatile void*, std::size_t) {
  if (counting) ++allocations;
}
inline void on_free(const volatile void*) {}
inline const bool hooks_installed = __sanitizer_install_malloc_and_free_hooks(on_malloc, on_free) != 0;
}  // namespace detail

/// Counts the heap allocations this thread makes while the object lives.
class AllocationCount {
 public:
  AllocationCount() noexcept {
    FUZZ_CHECK(detail::hooks_installed);
    detail::allocations = 0;
    detail::counting = true;
  }
  AllocationCount(const AllocationCount&) = delete;
  AllocationCount& operator=(const AllocationCount&) = delete;
  ~AllocationCount() { detail::counting = false; }

  [[nodiscard]] std::size_t count() const noexcept { return detail::allocations; }
};

}  // namespace quillet::fuzz
