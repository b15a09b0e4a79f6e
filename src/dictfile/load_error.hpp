#pragma once
// Why a dictionary file could not be opened: distinct kinds a caller can tell apart.

#include <array>
#include <cstdint>
#include <string>

#include "dictfile/platform.hpp"

namespace quillet::dictfile {

struct LoadError {
  enum class Kind : std::uint8_t {
    Io,                  ///< the system refused to open, inspect or map the file
    TooSmall,            ///< shorter than the 32-byte header
    BadMagic,            ///< not a dictionary file at all
    UnsupportedVersion,  ///< a dictionary file of another format version
    Integrity,           ///< the body failed validation: corrupt or not written by a sound producer
  };

  Kind kind;
  platform::OsError io{};               ///< Io
  std::uint64_t size = 0;               ///< TooSmall
  std::array<std::uint8_t, 4> magic{};  ///< BadMagic, in file order
  std::uint16_t version = 0;            ///< UnsupportedVersion
  std::string failure{};                ///< Integrity: the composed validation text

  static LoadError from_io(platform::OsError e) { return {.kind = Kind::Io, .io = std::move(e)}; }
  static LoadError too_small(std::uint64_t n) { return {.kind = Kind::TooSmall, .size = n}; }
  static LoadError bad_magic(std::array<std::uint8_t, 4> m) { return {.kind = Kind::BadMagic, .magic = m}; }
  static LoadError unsupported_version(std::uint16_t v) { return {.kind = Kind::UnsupportedVersion, .version = v}; }
  static LoadError integrity(std::string text) { return {.kind = Kind::Integrity, .failure = std::move(text)}; }

  /// The kind's one-line text.
  [[nodiscard]] std::string message() const;
};

}  // namespace quillet::dictfile
