#pragma once
// Exceptions at the Python boundary: the internal-error class and notes on conversion failures.

#include <Python.h>

#include <string_view>

namespace quillet::py {

/// The class of internal faults: derives from BaseException so that a broad `except Exception`
/// does not swallow evidence of a corrupt file. Created on first use; nullptr with an error set
/// if it cannot be created.
PyObject* internal_error_type() noexcept;

/// Raises an internal fault with `text`, after writing a one-line report to the process's
/// standard error (file descriptor 2, whatever sys.stderr is).
/// Always returns nullptr, for `return raise_internal(...)`.
std::nullptr_t raise_internal(std::string_view text) noexcept;

/// Turns a failure of the interpreter to create an object into an internal fault; any other
/// pending exception is left as it is. Returns nullptr.
std::nullptr_t raise_creation_failure() noexcept;

/// Adds "while processing '{name}'" to the pending exception; if that fails, the exception is
/// kept without the note.
void add_processing_note(const char* name) noexcept;

/// "'{qualified type name}' object is not an instance of '{expected}'" as a TypeError.
std::nullptr_t raise_not_instance(PyObject* obj, const char* expected) noexcept;

}  // namespace quillet::py
