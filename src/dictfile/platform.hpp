#pragma once
// The operating-system calls the loader needs, behind one small interface: open read-only,
// size, map read-only, unmap, close. A port to another system is one more implementation file.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "archive/bytes.hpp"
#include "common/result.hpp"

namespace quillet::dictfile::platform {

/// An I/O failure: an operating-system error code with its text, or a message of our own
/// (code 0) for failures found before the system was asked.
struct OsError {
  int code = 0;
  std::string message;

  /// "{message} (os error {code})", or the message alone when there is no code.
  [[nodiscard]] std::string detail() const;
};

/// The system's text for an error code, trailing white space removed.
[[nodiscard]] std::string error_text(int code);

/// Owns an open file descriptor; -1 means empty. Move-only.
class File {
 public:
  File() noexcept = default;
  explicit File(int fd) noexcept : fd_(fd) {}
  File(File&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
  File& operator=(File&& o) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File();

  [[nodiscard]] int fd() const noexcept { return fd_; }

 private:
  int fd_ = -1;
};

/// Owns a read-only mapping of a whole file; an empty file has an empty view and no mapping.
class Mapping {
 public:
  Mapping() noexcept = default;
  Mapping(const std::uint8_t* data, std::size_t size) noexcept : data_(data), size_(size) {}
  Mapping(Mapping&& o) noexcept : data_(o.data_), size_(o.size_) { o.data_ = nullptr, o.size_ = 0; }
  Mapping& operator=(Mapping&& o) noexcept;
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;
  ~Mapping();

  [[nodiscard]] archive::ByteView view() const noexcept { return {data_, size_}; }

 private:
  void release() noexcept;
  const std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
};

/// Opens an existing regular file for reading only, without blocking on FIFOs or devices.
/// `path` is the file name in the system's encoding; a NUL inside it is refused up front.
[[nodiscard]] Result<File, OsError> open_readonly(std::string_view path);

/// The size of an open file; refuses anything but a regular file.
[[nodiscard]] Result<std::uint64_t, OsError> regular_file_size(const File& file);

/// Maps `size` bytes of the file from offset 0, read-only.
[[nodiscard]] Result<Mapping, OsError> map_readonly(const File& file, std::uint64_t size);

}  // namespace quillet::dictfile::platform
