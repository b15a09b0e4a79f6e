// POSIX implementation of the loader's platform layer.

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>

#include "dictfile/platform.hpp"

namespace quillet::dictfile::platform {
namespace {

// strerror_r comes in a GNU flavour returning char* and an XSI one returning int.
[[maybe_unused]] const char* pick(const char* gnu, const char*) noexcept { return gnu; }
[[maybe_unused]] const char* pick(int rc, const char* buf) noexcept { return rc == 0 ? buf : nullptr; }

OsError from_errno(int code) { return OsError{code, error_text(code)}; }

}  // namespace

std::string error_text(int code) {
  char buf[256] = {};
  const char* text = pick(strerror_r(code, buf, sizeof buf), buf);
  std::string s = text != nullptr ? text : "Unknown error " + std::to_string(code);
  return without_trailing_space(std::move(s));
}

File::~File() {
  // Never retry close on EINTR: on Linux the descriptor is gone either way, and retrying could
  // close a descriptor another thread has just been given.
  if (f_ >= 0) ::close(f_);
}

void Mapping::release() noexcept {
  if (data_ != nullptr && size_ > 0) ::munmap(const_cast<std::uint8_t*>(data_), size_);
  data_ = nullptr;
  size_ = 0;
  file_ = File();
}

Result<File, OsError> open_readonly(PathView path) {
  if (path.find('\0') != PathView::npos) {
    return Err{OsError{0, "file name contained an unexpected NUL byte"}};
  }
  const std::string name(path);
  int fd = -1;
  do {
    // O_NONBLOCK: opening a FIFO or a device must not wait; the type is checked right after.
    fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return Err{from_errno(errno)};
  return File(fd);
}

Result<std::uint64_t, OsError> regular_file_size(const File& file) {
  struct stat st {};
  if (::fstat(file.native(), &st) != 0) return Err{from_errno(errno)};
  if (S_ISDIR(st.st_mode)) return Err{from_errno(EISDIR)};
  // A FIFO, socket or device has no stable size to map; say so as the system would of mmap.
  if (!S_ISREG(st.st_mode)) return Err{from_errno(ENODEV)};
  if (st.st_size < 0) return Err{from_errno(EINVAL)};
  return static_cast<std::uint64_t>(st.st_size);
}

Result<Mapping, OsError> map_readonly(const File& file, std::uint64_t size) {
  if (size == 0) return Mapping();
  if (size > std::numeric_limits<std::size_t>::max()) return Err{from_errno(EFBIG)};
  const auto len = static_cast<std::size_t>(size);
  // MAP_SHARED: every process mapping the file shares the page cache's one copy of it.
  void* p = ::mmap(nullptr, len, PROT_READ, MAP_SHARED, file.native(), 0);
  if (p == MAP_FAILED) return Err{from_errno(errno)};
  return Mapping(static_cast<const std::uint8_t*>(p), len);
}

}  // namespace quillet::dictfile::platform
