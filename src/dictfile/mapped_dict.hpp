#pragma once
// An opened dictionary file: the open file and a read-only view of all of it, validated once.

#include <cstddef>
#include <cstdint>
#include <utility>

#include "archive/bytes.hpp"
#include "common/result.hpp"
#include "dictfile/load_error.hpp"
#include "dictfile/platform.hpp"

namespace quillet::dictfile {

inline constexpr std::size_t kHeaderLen = 32;
inline constexpr std::uint16_t kFormatVersion = 2;
inline constexpr std::uint8_t kMagic[4] = {'Q', 'L', 'E', 'T'};

class MappedDict {
 public:
  /// Opens, maps and checks the file at `path` (the system's own form of file name: UTF-16 on
  /// Windows, bytes elsewhere). Every failure releases whatever was acquired before it is
  /// returned.
  [[nodiscard]] static Result<MappedDict, LoadError> load(platform::PathView path);

  /// Checks bytes already in memory exactly as `load` checks a mapped file; for tests and fuzzers.
  [[nodiscard]] static Result<bool, LoadError> check(archive::ByteView file);

  MappedDict(MappedDict&&) noexcept = default;
  MappedDict& operator=(MappedDict&&) noexcept = default;

  /// The whole file.
  [[nodiscard]] archive::ByteView data() const noexcept { return file_.view(); }
  /// Everything after the header. Its last 24 bytes are the archive root.
  [[nodiscard]] archive::ByteView body() const noexcept {
    const archive::ByteView d = data();
    return {d.data() + body_offset_, d.size() - body_offset_};
  }

 private:
  explicit MappedDict(platform::MappedFile file) noexcept : file_(std::move(file)) {}

  platform::MappedFile file_;
  std::size_t body_offset_ = kHeaderLen;
};

}  // namespace quillet::dictfile
