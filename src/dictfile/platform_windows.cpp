// Windows implementation of the loader's platform layer.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstdint>
#include <limits>
#include <string>

#include "dictfile/platform.hpp"
#include "dictfile/utf16.hpp"

namespace quillet::dictfile::platform {
namespace {

// System error codes are small positive numbers; the cast keeps the value.
OsError from_code(DWORD code) {
  const int c = static_cast<int>(code);
  return OsError{c, error_text(c)};
}

OsError last_error() { return from_code(::GetLastError()); }

// The system's message for `code` in `language`, or an empty string when it has none there.
std::wstring system_message(DWORD code, DWORD language) {
  wchar_t buf[1024];
  const DWORD n = ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, language,
                                   buf, static_cast<DWORD>(sizeof buf / sizeof buf[0]), nullptr);
  return std::wstring(buf, n);
}

}  // namespace

std::string error_text(int code) {
  const auto c = static_cast<DWORD>(code);
  // English where the system has it, so that messages read the same on every installation and
  // can be searched for; otherwise the system's own language.
  std::wstring text = system_message(c, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
  if (text.empty()) text = system_message(c, 0);
  std::string s = text.empty() ? "Unknown error " + std::to_string(code) : utf8_from_utf16(std::wstring_view(text));
  return without_trailing_space(std::move(s));
}

File::~File() {
  if (f_ != kNoFile) ::CloseHandle(f_);
}

void Mapping::release() noexcept {
  if (data_ != nullptr) ::UnmapViewOfFile(data_);
  data_ = nullptr;
  size_ = 0;
  // The view's own handle on the file goes last, once nothing is mapped any more.
  file_ = File();
}

Result<File, OsError> open_readonly(PathView path) {
  if (path.find(L'\0') != PathView::npos) {
    return Err{OsError{0, "file name contained an unexpected NUL byte"}};
  }
  const std::wstring name(path);
  // Sharing read, write and delete: holding a dictionary open must not stop anyone from
  // replacing it, by a rename over it or a delete, as it does not on POSIX. The open file goes
  // on reading the old contents. A directory fails here (it needs backup semantics to open).
  HANDLE h = ::CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return Err{last_error()};
  return File(h);
}

Result<std::uint64_t, OsError> regular_file_size(const File& file) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(file.native(), &info)) return Err{last_error()};
  // A directory cannot be opened as above; should one get here anyway, refuse it as its open
  // would have been refused.
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return Err{from_code(ERROR_ACCESS_DENIED)};
  return (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
}

Result<Mapping, OsError> map_readonly(const File& file, std::uint64_t size) {
  // CreateFileMappingW refuses an empty file; an empty view lets the header check report the
  // file as too small, as it is on every system.
  if (size == 0) return Mapping();
  if (size > std::numeric_limits<SIZE_T>::max()) return Err{from_code(ERROR_NOT_ENOUGH_MEMORY)};
  const auto high = static_cast<DWORD>(size >> 32);
  const auto low = static_cast<DWORD>(size & 0xFFFFFFFFu);
  // The mapping object is needed only to make the view: the view keeps it alive, so it is
  // closed (by this owner) on every way out.
  const File section(::CreateFileMappingW(file.native(), nullptr, PAGE_READONLY, high, low, nullptr));
  if (section.native() == nullptr) return Err{last_error()};
  void* view = ::MapViewOfFile(section.native(), FILE_MAP_READ, 0, 0, static_cast<SIZE_T>(size));
  if (view == nullptr) return Err{last_error()};
  // The view holds a handle of its own on the file, so that it stands whole without the File it
  // was made from, whichever of the two is released first.
  HANDLE process = ::GetCurrentProcess();
  HANDLE dup = nullptr;
  if (!::DuplicateHandle(process, file.native(), process, &dup, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
    const OsError err = last_error();
    ::UnmapViewOfFile(view);
    return Err{err};
  }
  return Mapping(static_cast<const std::uint8_t*>(view), static_cast<std::size_t>(size), File(dup));
}

}  // namespace quillet::dictfile::platform
