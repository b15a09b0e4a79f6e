#pragma once
// Turning a located record into the ten-key Python dict a lookup returns.

#include <Python.h>

#include "lookup/search.hpp"

namespace quillet::py {

/// A new dict with the record's ten keys, or nullptr with an exception set. Texts that are not
/// valid UTF-8 read as ""; a text outside the pool (a corrupt file) is an internal fault. Every
/// key is a new str, as the lookup's contract asks.
PyObject* record_to_dict(const lookup::RecordView& view) noexcept;

/// The same dict with keys made once and shared by every result: what the package's own
/// queries return, where building ten new key strings would cost more than the rest.
PyObject* record_to_shared_dict(const lookup::RecordView& view) noexcept;

/// The two-letter str of a VR code.
PyObject* vr_str(std::uint8_t code) noexcept;

enum class RecordText : std::uint8_t { Keyword, Name, Creator };

/// One text of the record, as the dict would hold it.
PyObject* record_text(const lookup::RecordView& view, RecordText which) noexcept;

}  // namespace quillet::py
