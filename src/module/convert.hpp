#pragma once
// Turning a located record into the ten-key Python dict a lookup returns.

#include <Python.h>

#include "lookup/search.hpp"

namespace quillet::py {

/// A new dict with the record's ten keys, or nullptr with an exception set. Texts that are not
/// valid UTF-8 read as ""; a text outside the pool (a corrupt file) is an internal fault.
PyObject* record_to_dict(const lookup::RecordView& view) noexcept;

}  // namespace quillet::py
