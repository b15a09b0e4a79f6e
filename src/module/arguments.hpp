#pragma once
// Conversions of bound arguments that both extensions share, each failure noted with the
// parameter's name ("while processing '{name}'"). Inline: they sit on the lookup's hot path.

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "module/errors.hpp"
#include "module/pyref.hpp"

namespace quillet::py {

/// A group or element: any integer PyLong_AsLong takes, from 0 to 65535.
inline std::optional<std::uint16_t> to_u16(PyObject* obj, const char* name) noexcept {
  const long v = PyLong_AsLong(obj);
  if (v == -1 && PyErr_Occurred()) {
    add_processing_note(name);
    return std::nullopt;
  }
  if (v < 0 || v > 0xFFFF) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    add_processing_note(name);
    return std::nullopt;
  }
  return static_cast<std::uint16_t>(v);
}

/// The UTF-8 of a str argument, or nothing after raising.
inline std::optional<std::string_view> to_text(PyObject* obj, const char* name) noexcept {
  if (!PyUnicode_Check(obj)) {
    raise_not_instance(obj, "str");
    add_processing_note(name);
    return std::nullopt;
  }
  Py_ssize_t n = 0;
  const char* s = PyUnicode_AsUTF8AndSize(obj, &n);
  if (s == nullptr) {
    add_processing_note(name);
    return std::nullopt;
  }
  return std::string_view(s, static_cast<std::size_t>(n));
}

/// The creator's UTF-8, no creator (an empty optional inside, for a missing argument or None),
/// or nothing after raising.
inline std::optional<std::optional<std::string_view>> to_creator(PyObject* obj) noexcept {
  if (obj == nullptr || obj == Py_None) return std::optional<std::string_view>{};
  const auto text = to_text(obj, "creator");
  if (!text) return std::nullopt;
  return std::optional<std::string_view>{*text};
}

/// The (group, element, creator) that a lookup and the queries like it take.
struct ElementKey {
  std::uint16_t group;
  std::uint16_t element;
  std::optional<std::string_view> creator;
};

/// The three bound arguments of such a query converted in their order, or nothing after raising.
/// (Dict.lookup converts its own: the copy of the key costs its hot path a few instructions.)
inline std::optional<ElementKey> to_element_key(PyObject* const (&a)[3]) noexcept {
  const auto group = to_u16(a[0], "group");
  if (!group) return std::nullopt;
  const auto element = to_u16(a[1], "element");
  if (!element) return std::nullopt;
  const auto creator = to_creator(a[2]);
  if (!creator) return std::nullopt;
  return ElementKey{*group, *element, *creator};
}

/// A path argument through the path protocol: the str it gives, or an empty Ref after raising
/// (a bytes path is refused as not a str).
inline Ref to_path_str(PyObject* obj, const char* name) noexcept {
  Ref path(PyOS_FSPath(obj));
  if (!path) {
    add_processing_note(name);
    return path;
  }
  if (!PyUnicode_Check(path.get())) {
    raise_not_instance(path.get(), "str");
    add_processing_note(name);
    return Ref();
  }
  return path;
}

}  // namespace quillet::py
