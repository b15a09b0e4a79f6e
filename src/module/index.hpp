#pragma once
// The companion's `Index` object, shared by the files that define its methods: the opening and
// the companion's own queries (companion_module.cpp) and the queries of a tag as it stands in a
// data set that `quillet.Dictionary` is built on (index_queries.cpp).

#include <Python.h>

#include <cstddef>
#include <optional>

#include "archive/bytes.hpp"
#include "companion/companion.hpp"
#include "lookup/search.hpp"
#include "lookup/tag_text.hpp"

namespace quillet::py {

struct IndexObject {
  PyObject_HEAD
      /// Sole owner of the companion's mapping; released only by deallocation. Never changes, so
      /// any number of threads may query one index at once.
      companion::Companion* companion;
  /// A strong reference to the `Dict` whose mapping the companion was checked against and reads;
  /// released after the companion, which points into it.
  PyObject* dict;
};

inline const companion::View& view_of(PyObject* self) noexcept {
  return reinterpret_cast<IndexObject*>(self)->companion->view();
}

/// What a query answers: the whole entry (with its VM and VRs, or a lookup's ten keys alone), one
/// field of it, or the tuple that pydicom's dictionaries hold: (VR, VM, name, "Retired" or "",
/// keyword) for a public entry, the first four for a private one, the VR spelled as pydicom
/// spells it ("OB or OW", "NONE" for none). The numbers are those that `quillet.dictionary`
/// passes.
enum What : long { kEntry, kKeyword, kName, kVr, kVm, kVrs, kLookup, kPublicTuple, kPrivateTuple, kWhatCount };

/// A tag argument: an integer 0xGGGGEEEE (anything with __index__), a (group, element) pair of
/// integers, or text. Errors are those of Dict.lookup's numbers, noted with "tag", and ValueError
/// for text that is no tag.
std::optional<lookup::TagText> to_tag(PyObject* obj) noexcept;

/// The answer `what` for a record that a companion's view found.
PyObject* answer_of(const companion::View& view, const lookup::RecordView& found, What what) noexcept;

/// The tuple of two-letter VR texts for `codes` (each below the VR count).
PyObject* vr_tuple(archive::ByteView codes) noexcept;

/// A result limit: None for all; else any integer (through __index__) that is not negative,
/// where one beyond what a list can hold means all as well. Nothing after raising.
std::optional<std::size_t> to_limit(PyObject* obj) noexcept;

// The methods of index_queries.cpp, for the method table.
PyObject* index_get(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept;
PyObject* index_entries(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept;
PyObject* index_tag(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept;
PyObject* index_creators(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept;
PyObject* index_find(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept;
PyObject* split_tag(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept;

}  // namespace quillet::py
