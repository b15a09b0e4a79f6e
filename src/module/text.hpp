#pragma once
// Python strs made from texts of the mapped files, for both extensions. Inline: building a
// lookup's result is its hot path.

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "archive/bytes.hpp"
#include "lookup/utf8.hpp"
#include "module/errors.hpp"

namespace quillet::py {

/// A new str of bytes known to be ASCII: the one case that needs neither decoding nor a scan.
inline PyObject* str_of_ascii(const std::uint8_t* p, std::size_t n) noexcept {
  PyObject* o = PyUnicode_New(static_cast<Py_ssize_t>(n), 127);
  if (o == nullptr) return raise_creation_failure();
  if (n > 0) std::memcpy(PyUnicode_DATA(o), p, n);
  return o;
}

/// A str of bytes known to be valid UTF-8 that are not all ASCII.
inline PyObject* str_of_utf8(archive::ByteView s) noexcept {
  const std::string_view text = archive::as_chars(s.data(), s.size());
  PyObject* o = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict");
  return o != nullptr ? o : raise_creation_failure();
}

/// A str of archive bytes: malformed UTF-8 reads as the empty text, never as an error. One scan
/// for the common all-ASCII text; only other texts are checked and then decoded.
inline PyObject* str_of(archive::ByteView s) noexcept {
  if (lookup::is_ascii(s)) return str_of_ascii(s.data(), s.size());
  if (!lookup::is_valid_utf8(s)) return str_of_ascii(nullptr, 0);
  return str_of_utf8(s);
}
inline PyObject* str_of(std::string_view s) noexcept {
  return str_of(archive::ByteView(archive::as_bytes(s), s.size()));
}

}  // namespace quillet::py
