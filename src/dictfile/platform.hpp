#pragma once
// The operating-system calls the loader needs, behind one small interface: open read-only,
// size, map read-only, unmap, close. platform_posix.cpp and platform_windows.cpp implement it;
// a port to another system is one more implementation file.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "archive/bytes.hpp"
#include "common/result.hpp"

namespace quillet::dictfile::platform {

#ifdef _WIN32
/// A code unit of a file name as the system takes it: UTF-16 on Windows, so that any name,
/// lone surrogates included, reaches the system unchanged.
using PathChar = wchar_t;
/// What the system hands out for an open file: a HANDLE.
using NativeFile = void*;
inline constexpr NativeFile kNoFile = nullptr;
#else
/// A code unit of a file name as the system takes it: a byte elsewhere.
using PathChar = char;
/// What the system hands out for an open file: a descriptor.
using NativeFile = int;
inline constexpr NativeFile kNoFile = -1;
#endif
using PathView = std::basic_string_view<PathChar>;

/// An I/O failure: an operating-system error code with its text, or a message of our own
/// (code 0) for failures found before the system was asked.
struct OsError {
  int code = 0;
  std::string message;

  /// "{message} (os error {code})", or the message alone when there is no code.
  [[nodiscard]] std::string detail() const {
    if (code == 0) return message;
    return message + " (os error " + std::to_string(code) + ")";
  }
};

/// The system's text for an error code, trailing white space removed.
[[nodiscard]] std::string error_text(int code);

/// `s` without the blanks, tabs and line breaks that system messages end in.
[[nodiscard]] inline std::string without_trailing_space(std::string s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\n' || s.back() == '\r')) s.pop_back();
  return s;
}

/// Owns an open file (on Windows any handle CloseHandle takes); kNoFile means empty. Move-only.
class File {
 public:
  File() noexcept = default;
  explicit File(NativeFile f) noexcept : f_(f) {}
  File(File&& o) noexcept : f_(o.f_) { o.f_ = kNoFile; }
  File& operator=(File&& o) noexcept {
    if (this != &o) {
      File old(f_);  // closes what this held
      f_ = o.f_;
      o.f_ = kNoFile;
    }
    return *this;
  }
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File();

  [[nodiscard]] NativeFile native() const noexcept { return f_; }

 private:
  NativeFile f_ = kNoFile;
};

/// Owns a read-only mapping of a whole file; an empty file has an empty view and no mapping.
/// On Windows the view also keeps its own duplicate of the file's handle, closed after the
/// unmap; elsewhere that member stays empty.
class Mapping {
 public:
  Mapping() noexcept = default;
  Mapping(const std::uint8_t* data, std::size_t size, File file = File()) noexcept
      : data_(data), size_(size), file_(std::move(file)) {}
  Mapping(Mapping&& o) noexcept : data_(o.data_), size_(o.size_), file_(std::move(o.file_)) {
    o.data_ = nullptr, o.size_ = 0;
  }
  Mapping& operator=(Mapping&& o) noexcept {
    if (this != &o) {
      release();
      data_ = o.data_;
      size_ = o.size_;
      file_ = std::move(o.file_);
      o.data_ = nullptr;
      o.size_ = 0;
    }
    return *this;
  }
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;
  ~Mapping() { release(); }

  [[nodiscard]] archive::ByteView view() const noexcept { return {data_, size_}; }

 private:
  void release() noexcept;
  const std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  File file_;
};

/// Opens an existing file for reading only. Other processes may go on reading, writing,
/// renaming and deleting it. Does not block on FIFOs or devices. `path` is the file name in the
/// system's own form; a NUL inside it is refused before the system is asked.
[[nodiscard]] Result<File, OsError> open_readonly(PathView path);

/// The size of an open file; refuses anything but a regular file.
[[nodiscard]] Result<std::uint64_t, OsError> regular_file_size(const File& file);

/// Maps `size` bytes of the file from offset 0, read-only.
[[nodiscard]] Result<Mapping, OsError> map_readonly(const File& file, std::uint64_t size);

/// A whole regular file, open and mapped read-only: what every file of the package is read
/// through. The mapping is declared after the file, so that it is unmapped before the file is
/// closed; its bytes stay where they are when it moves.
struct MappedFile {
  File file;
  Mapping map;

  [[nodiscard]] archive::ByteView view() const noexcept { return map.view(); }
};

/// Opens, sizes and maps the regular file at `path`; every failure releases what it took.
[[nodiscard]] inline Result<MappedFile, OsError> map_file(PathView path) {
  auto file = open_readonly(path);
  if (!file) return Err{std::move(file).error()};
  auto size = regular_file_size(file.value());
  if (!size) return Err{std::move(size).error()};
  auto map = map_readonly(file.value(), size.value());
  if (!map) return Err{std::move(map).error()};
  return MappedFile{std::move(file).value(), std::move(map).value()};
}

}  // namespace quillet::dictfile::platform
