#pragma once
// Turning a located record into the ten-key Python dict a lookup returns.

#include <Python.h>

#include <cstdint>
#include <unordered_map>

#include "lookup/search.hpp"
#include "module/pyref.hpp"

namespace quillet::py {

/// A new dict with the record's ten keys, or nullptr with an exception set. Texts that are not
/// valid UTF-8 read as ""; a text outside the pool (a corrupt file) is an internal fault. Every
/// key is a new str, as the lookup's contract asks.
PyObject* record_to_dict(const lookup::RecordView& view) noexcept;

/// The texts that many results of one query share, made once for that query: the sources (split,
/// as a tuple that each result's new list is made from), creators and descriptions, and anything
/// else a caller keys by a number of its own. Lives for one call, on one thread.
class TextCache {
 public:
  /// The str of a pool text, a new reference; nullptr with an exception set.
  PyObject* text(archive::ByteView pool, archive::StrRef ref) noexcept;
  /// A new list of the split sources text.
  PyObject* sources(archive::ByteView pool, archive::StrRef ref) noexcept;
  /// What `make` gives for `key`, made once: a new reference, or nullptr with an exception set.
  template <class Make>
  PyObject* keyed(std::uint64_t key, Make make) noexcept {
    const auto it = other_.find(key);
    if (it != other_.end()) return Py_NewRef(it->second.get());
    PyObject* made = make();
    if (made == nullptr) return nullptr;
    try {
      other_.emplace(key, Ref::borrow(made));
    } catch (...) {  // out of memory: answer uncached
    }
    return made;
  }

 private:
  std::unordered_map<std::uint64_t, Ref> texts_;
  std::unordered_map<std::uint64_t, Ref> sources_;
  std::unordered_map<std::uint64_t, Ref> other_;
};

/// The same dict with keys made once and shared by every result: what the package's own
/// queries return, where building ten new key strings would cost more than the rest. With a
/// cache, the texts that results share are made once. With `with_more`, the keys "vm" and "vrs"
/// follow, holding None, for the caller to fill.
PyObject* record_to_shared_dict(const lookup::RecordView& view, TextCache* cache = nullptr,
                                bool with_more = false) noexcept;

/// The two-letter str of a VR code.
PyObject* vr_str(std::uint8_t code) noexcept;

enum class RecordText : std::uint8_t { Keyword, Name, Creator };

/// One text of the record, as the dict would hold it.
PyObject* record_text(const lookup::RecordView& view, RecordText which) noexcept;

}  // namespace quillet::py
