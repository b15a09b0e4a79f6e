#pragma once
// The memory layout of a `Dict` instance, shared by both extensions: `_companion` answers from the
// very mapping of a `Dict` that `_quillet` made, so that a companion and the dictionary it was
// checked against can never be two openings of a file that changed in between.

#include <Python.h>

#include <atomic>
#include <cstdint>

#include "dictfile/mapped_dict.hpp"

namespace quillet::py {

struct DictObject {
  PyObject_HEAD
      /// Sole owner of the mapped file; released only by deallocation.
      dictfile::MappedDict* dict;
  /// Shared borrows held by running method calls; all bits set would mean an exclusive borrow,
  /// which nothing takes. Accessed only through std::atomic_ref.
  alignas(std::atomic_ref<std::uint64_t>::required_alignment) std::uint64_t borrows;
};

}  // namespace quillet::py
