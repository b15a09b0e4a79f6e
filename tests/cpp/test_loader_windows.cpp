// The loader against the real Windows calls (run under Wine on Linux, by ctest on Windows).
//
// Usage: quillet_loader_tests VALID.qlet [substring of test names to run]
// VALID.qlet is the bundled dictionary, compiled by the build; every other file is made here,
// in a folder of the system's temporary directory that is removed at the end.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <winternl.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "check.hpp"
#include "dictfile/mapped_dict.hpp"
#include "dictfile/utf16.hpp"
#include "lookup/search.hpp"

using namespace std::string_view_literals;
using quillet::dictfile::LoadError;
using quillet::dictfile::MappedDict;
namespace platform = quillet::dictfile::platform;

namespace {

std::wstring g_valid;   // the valid dictionary given on the command line
std::wstring g_folder;  // this run's own folder, with a trailing backslash

std::string narrow(std::wstring_view s) { return quillet::dictfile::utf8_from_utf16(s); }

// One entry of the system's handle list (SystemHandleInformation, class 16), as the system
// lays it out; winternl.h does not declare it.
struct SystemHandle {
  ULONG process;
  UCHAR type;
  UCHAR flags;
  USHORT handle;
  PVOID object;
  ACCESS_MASK access;
};

/// The number of handles this process holds. Wine answers GetProcessHandleCount with 0, so the
/// system's handle list is counted there instead.
DWORD handle_count() {
  DWORD n = 0;
  if (::GetProcessHandleCount(::GetCurrentProcess(), &n) && n > 0) return n;
  std::vector<std::uint8_t> buf(1 << 20);
  for (;;) {
    ULONG need = 0;
    const NTSTATUS st = ::NtQuerySystemInformation(static_cast<SYSTEM_INFORMATION_CLASS>(16), buf.data(),
                                                   static_cast<ULONG>(buf.size()), &need);
    if (st == static_cast<NTSTATUS>(0xC0000004L)) {  // STATUS_INFO_LENGTH_MISMATCH
      buf.resize(buf.size() * 2);
      continue;
    }
    if (st != 0) return 0;
    break;
  }
  ULONG count = 0;
  std::memcpy(&count, buf.data(), sizeof count);
  const std::size_t first = alignof(SystemHandle) > sizeof(ULONG) ? alignof(SystemHandle) : sizeof(ULONG);
  const DWORD self = ::GetCurrentProcessId();
  for (ULONG i = 0; i < count && first + (i + 1) * sizeof(SystemHandle) <= buf.size(); ++i) {
    SystemHandle e;
    std::memcpy(&e, buf.data() + first + i * sizeof(SystemHandle), sizeof e);
    if (e.process == self) ++n;
  }
  return n;
}

std::vector<std::uint8_t> read_all(const std::wstring& path) {
  std::vector<std::uint8_t> out;
  HANDLE h = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return out;
  std::uint8_t buf[65536];
  DWORD got = 0;
  while (::ReadFile(h, buf, sizeof buf, &got, nullptr) && got > 0) out.insert(out.end(), buf, buf + got);
  ::CloseHandle(h);
  return out;
}

bool write_all(const std::wstring& path, const std::vector<std::uint8_t>& bytes) {
  HANDLE h = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  DWORD put = 0;
  const bool ok = bytes.empty() || (::WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr) &&
                                    put == bytes.size());
  return ::CloseHandle(h) && ok;
}

/// True when nobody holds the file open: an open that shares nothing succeeds only then.
bool nobody_holds(const std::wstring& path) {
  HANDLE h = ::CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  ::CloseHandle(h);
  return true;
}

/// Checks that the dictionary answers as the bundled one must, through the mapping.
void check_lookups(const MappedDict& dict, std::string_view where) {
  const auto pn = quillet::lookup::find_record(dict, 0x0010, 0x0010, std::nullopt);
  CHECK(pn.ok() && pn.value().has_value());
  if (pn.ok() && pn.value()) {
    CHECK_EQ(pn.value()->record.group(), 0x0010, where);
    CHECK_EQ(pn.value()->record.element(), 0x0010, where);
  }
  const auto csa = quillet::lookup::find_record(dict, 0x0029, 0x10, "SIEMENS CSA HEADER"sv);
  CHECK(csa.ok() && csa.value().has_value());
  const auto miss = quillet::lookup::find_record(dict, 0x0010, 0x9999, std::nullopt);
  CHECK(miss.ok() && !miss.value().has_value());
}

std::vector<std::uint8_t> header(const char magic[4], std::uint16_t version, std::size_t size) {
  std::vector<std::uint8_t> b(size, 0);
  for (std::size_t i = 0; i < 4 && i < size; ++i) b[i] = static_cast<std::uint8_t>(magic[i]);
  if (size >= 6) {
    b[4] = static_cast<std::uint8_t>(version & 0xFF);
    b[5] = static_cast<std::uint8_t>(version >> 8);
  }
  return b;
}

}  // namespace

TEST_CASE("a valid file: open, size, map and release, with one handle each for the file and its view") {
  const std::vector<std::uint8_t> bytes = read_all(g_valid);
  CHECK(bytes.size() > 32);
  const DWORD before = handle_count();
  CHECK(before > 0);  // the count itself works
  {
    auto file = platform::open_readonly(g_valid);
    CHECK(file.ok());
    if (!file.ok()) return;
    const auto size = platform::regular_file_size(file.value());
    CHECK(size.ok() && size.value() == bytes.size());
    auto map = platform::map_readonly(file.value(), bytes.size());
    CHECK(map.ok());
    if (!map.ok()) return;
    const auto view = map.value().view();
    CHECK_EQ(view.size(), bytes.size());
    CHECK(std::vector<std::uint8_t>(view.data(), view.data() + view.size()) == bytes);
    // The file's handle and the view's duplicate; the mapping object is already closed.
    CHECK_EQ(handle_count(), before + 2);
  }
  CHECK_EQ(handle_count(), before);
  {
    auto loaded = MappedDict::load(g_valid);
    CHECK(loaded.ok());
    if (!loaded.ok()) return;
    CHECK_EQ(loaded.value().data().size(), bytes.size());
    CHECK_EQ(loaded.value().body().size(), bytes.size() - 32);
    CHECK(quillet::lookup::index_count(loaded.value().body()) > 0);
    check_lookups(loaded.value(), "loaded");
    CHECK_EQ(handle_count(), before + 2);
    // Moved into another owner, the mapping stays whole and is released once.
    MappedDict moved = std::move(loaded).value();
    check_lookups(moved, "moved");
  }
  CHECK_EQ(handle_count(), before);
  CHECK(nobody_holds(g_valid));
}

TEST_CASE("an empty file maps to an empty view without a mapping object") {
  const std::wstring path = g_folder + L"empty.qlet";
  CHECK(write_all(path, {}));
  auto file = platform::open_readonly(path);
  CHECK(file.ok());
  if (!file.ok()) return;
  const DWORD before = handle_count();
  auto map = platform::map_readonly(file.value(), 0);
  CHECK(map.ok());
  if (map.ok()) CHECK_EQ(map.value().view().size(), std::size_t{0});
  CHECK_EQ(handle_count(), before);
}

namespace {

struct failure_case {
  const char* what;
  std::wstring name;                               // under this run's folder; empty: the folder itself
  std::optional<std::vector<std::uint8_t>> bytes;  // written first, unless nothing
  LoadError::Kind kind;
  int code;          // for Io: the Windows error code (0: a message of our own)
  std::string text;  // how LoadError::message starts
};

}  // namespace

TEST_CASE("every refusal: its kind and text, and no handle left behind") {
  std::vector<std::uint8_t> pk(40, 0);
  pk[0] = 0x50, pk[1] = 0x4B, pk[2] = 0x03, pk[3] = 0x04;
  const failure_case cases[] = {
      {"empty", L"empty.qlet", std::vector<std::uint8_t>{}, LoadError::Kind::TooSmall, 0,
       "file too small (0 bytes) to contain a header"},
      {"31 bytes", L"short.qlet", header("QLET", 2, 31), LoadError::Kind::TooSmall, 0,
       "file too small (31 bytes) to contain a header"},
      {"bad magic", L"zip.qlet", pk, LoadError::Kind::BadMagic, 0, "bad magic bytes [80, 75, 3, 4]"},
      {"version 3", L"v3.qlet", header("QLET", 3, 64), LoadError::Kind::UnsupportedVersion, 0, "unsupported version 3"},
      {"header only", L"header.qlet", header("QLET", 2, 32), LoadError::Kind::Integrity, 0,
       "archive integrity check failed: "},
      {"missing file", L"missing.qlet", std::nullopt, LoadError::Kind::Io, 2, "io error: "},
      {"missing folder", L"no-such-folder\\x.qlet", std::nullopt, LoadError::Kind::Io, 3, "io error: "},
      {"directory", L"", std::nullopt, LoadError::Kind::Io, 5, "io error: "},
      {"non-ASCII, missing", L"f\u00E4lt-\u7F3A-\U0001F4D5.qlet", std::nullopt, LoadError::Kind::Io, 2, "io error: "},
  };
  for (const failure_case& c : cases) {
    std::wstring path = g_folder + c.name;
    if (c.name.empty()) path.pop_back();  // the folder, named without its trailing backslash
    if (c.bytes) CHECK(write_all(path, *c.bytes));
    const DWORD before = handle_count();
    const auto loaded = MappedDict::load(path);
    CHECK(!loaded.ok());
    if (loaded.ok()) continue;
    const LoadError& err = loaded.error();
    CHECK_EQ(static_cast<int>(err.kind), static_cast<int>(c.kind), c.what);
    const std::string text = err.message();
    CHECK_EQ(text.substr(0, c.text.size()), c.text, c.what);
    if (c.kind == LoadError::Kind::Io) {
      // "{system's message} (os error {code})", the message trimmed of its line break.
      CHECK_EQ(err.io.code, c.code, c.what);
      const std::string tail = " (os error " + std::to_string(c.code) + ")";
      CHECK(err.io.message.size() > 0);
      CHECK(text.ends_with(tail));
      const char last = err.io.message.empty() ? ' ' : err.io.message.back();
      CHECK(last != ' ' && last != '\n' && last != '\r' && last != '\t');
      CHECK_EQ(err.io.message, platform::error_text(c.code), c.what);
    }
    CHECK_EQ(handle_count(), before, c.what);
    if (c.bytes) {
      CHECK(nobody_holds(path));
      CHECK(::DeleteFileW(path.c_str()));
    }
  }
}

TEST_CASE("a NUL in the name is refused before the system is asked") {
  const DWORD before = handle_count();
  for (const std::wstring_view name : {L"a\0b.qlet"sv, L"\0"sv}) {
    const auto loaded = MappedDict::load(name);
    CHECK(!loaded.ok());
    if (loaded.ok()) continue;
    CHECK_EQ(loaded.error().io.code, 0);
    CHECK_EQ(loaded.error().message(), std::string("io error: file name contained an unexpected NUL byte"));
  }
  CHECK_EQ(handle_count(), before);
}

TEST_CASE("renamed, written to and deleted by other handles while mapped: lookups go on") {
  const std::wstring live = g_folder + L"live.qlet";
  const std::wstring moved = g_folder + L"moved.qlet";
  CHECK(::CopyFileW(g_valid.c_str(), live.c_str(), FALSE));
  const DWORD before = handle_count();
  {
    auto loaded = MappedDict::load(live);
    CHECK(loaded.ok());
    if (!loaded.ok()) return;
    const std::uint32_t count = quillet::lookup::index_count(loaded.value().body());
    // Another writer may open it (the write share); nothing is written, so the mapping's bytes
    // stay those that were validated.
    HANDLE writer = ::CreateFileW(live.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, 0, nullptr);
    CHECK(writer != INVALID_HANDLE_VALUE);
    if (writer != INVALID_HANDLE_VALUE) ::CloseHandle(writer);
    CHECK(::MoveFileExW(live.c_str(), moved.c_str(), 0));
    CHECK(::GetFileAttributesW(live.c_str()) == INVALID_FILE_ATTRIBUTES);
    check_lookups(loaded.value(), "renamed");
    CHECK(::DeleteFileW(moved.c_str()));
    check_lookups(loaded.value(), "deleted");
    CHECK_EQ(quillet::lookup::index_count(loaded.value().body()), count);
  }
  CHECK_EQ(handle_count(), before);
  CHECK(::GetFileAttributesW(moved.c_str()) == INVALID_FILE_ATTRIBUTES);
}

TEST_CASE("a name with non-ASCII characters, one outside the BMP, reaches the system whole") {
  const std::wstring path = g_folder + L"W\u00F6rterbuch-\u5B57\u5178-\U0001F4D6.qlet";
  CHECK(::CopyFileW(g_valid.c_str(), path.c_str(), FALSE));
  const DWORD before = handle_count();
  {
    auto loaded = MappedDict::load(path);
    CHECK(loaded.ok());
    if (loaded.ok()) check_lookups(loaded.value(), narrow(path));
  }
  CHECK_EQ(handle_count(), before);
  CHECK(::DeleteFileW(path.c_str()));
}

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) {
    std::fputs("usage: quillet_loader_tests VALID.qlet [filter]\n", stderr);
    return 2;
  }
  g_valid = argv[1];
  wchar_t temp[MAX_PATH + 1];
  const DWORD n = ::GetTempPathW(MAX_PATH + 1, temp);
  if (n == 0 || n > MAX_PATH) return 2;
  // A folder that a crashed run left behind (process ids are reused) is not ours: take the next.
  const std::wstring stem = std::wstring(temp, n) + L"quillet-loader-" + std::to_wstring(::GetCurrentProcessId());
  for (int i = 0;; ++i) {
    g_folder = stem + L"-" + std::to_wstring(i);
    if (::CreateDirectoryW(g_folder.c_str(), nullptr)) break;
    if (::GetLastError() != ERROR_ALREADY_EXISTS || i == 100) {
      std::fprintf(stderr, "cannot make %s\n", narrow(g_folder).c_str());
      return 2;
    }
  }
  g_folder += L"\\";
  const std::string filter = argc > 2 ? narrow(argv[2]) : std::string();
  const int rc = quillet::check::run_all(filter);
  // Whatever a failed test left behind goes too; the folder itself last.
  WIN32_FIND_DATAW found;
  HANDLE it = ::FindFirstFileW((g_folder + L"*").c_str(), &found);
  if (it != INVALID_HANDLE_VALUE) {
    do {
      if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) ::DeleteFileW((g_folder + found.cFileName).c_str());
    } while (::FindNextFileW(it, &found));
    ::FindClose(it);
  }
  g_folder.pop_back();
  ::RemoveDirectoryW(g_folder.c_str());
  return rc;
}
