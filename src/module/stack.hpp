#pragma once
// `_companion.Stack`: the layers of a quillet.Dictionary, asked in order, in C (stack.cpp).

#include <Python.h>

namespace quillet::py {

/// The Stack class, made once for the rest of the process; borrowed, or nullptr after raising.
PyObject* stack_type() noexcept;

}  // namespace quillet::py
