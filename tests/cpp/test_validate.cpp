// Validation of bodies that do not start on a 4-byte boundary. A file mapping always starts on a
// page boundary, so no file opened from Python can reach these checks; C++ callers and the
// fuzzer can.

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "archive/validate.hpp"
#include "check.hpp"

namespace {

std::string hex(const std::uint8_t* p) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "0x%" PRIxPTR, reinterpret_cast<std::uintptr_t>(p));
  return buf;
}

// A root whose three arrays are empty and start at body position 0.
constexpr std::uint8_t kBareRoot[24] = {0, 0, 0, 0, 0,    0,    0,    0,    0xF8, 0xFF, 0xFF, 0xFF,
                                        0, 0, 0, 0, 0xF0, 0xFF, 0xFF, 0xFF, 0,    0,    0,    0};

}  // namespace

TEST_CASE("validation checks room for the root, then the body's alignment, then the root's") {
  struct Row {
    std::size_t shift;  ///< distance of the body from a 64-byte boundary
    std::size_t zeros;  ///< zero bytes before the bare root
    bool root;          ///< whether the bare root follows them
    const char* text;   ///< nullptr: passes; empty: the short-body text made below, with addresses
  };
  const Row rows[] = {
      {1, 23, false, ""},
      {1, 0, true, "context error: archive underaligned: need alignment 4 but have alignment 1"},
      {2, 0, true, "context error: archive underaligned: need alignment 4 but have alignment 2"},
      // The root itself lies on a multiple of 4 here; the body's own alignment decides.
      {3, 1, true, "context error: archive underaligned: need alignment 4 but have alignment 1"},
      {4, 0, true, nullptr},
  };
  for (const Row& row : rows) {
    alignas(64) std::uint8_t buf[128] = {};
    std::uint8_t* body = buf + row.shift;
    const std::size_t len = row.zeros + (row.root ? sizeof kBareRoot : 0);
    if (row.root) std::memcpy(body + row.zeros, kBareRoot, sizeof kBareRoot);
    const auto result = quillet::archive::validate_body(body, len);
    if (row.text == nullptr) {
      CHECK(result.ok());
      if (result) CHECK(result.value() == body + row.zeros);
      continue;
    }
    CHECK(!result.ok());
    if (result) continue;
    const std::string want = *row.text != '\0' ? std::string(row.text)
                                               : "context error: pointer out of bounds: base " + hex(body) +
                                                     " offset -1 not in range " + hex(body) + ".." + hex(body + len);
    CHECK_EQ(result.error().message(), want, row.shift);
  }
}
