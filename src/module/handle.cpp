#include "module/handle.hpp"

#include <atomic>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "dictfile/mapped_dict.hpp"
#include "lookup/search.hpp"
#include "module/arguments.hpp"
#include "module/binding.hpp"
#include "module/convert.hpp"
#include "module/dict_object.hpp"
#include "module/errors.hpp"
#include "module/path.hpp"
#include "module/pyref.hpp"

namespace quillet::py {
namespace {

using dictfile::LoadError;
using dictfile::MappedDict;

constexpr std::uint64_t kExclusive = std::numeric_limits<std::uint64_t>::max();

/// A shared borrow for the length of one method call, released on every way out.
class SharedBorrow {
 public:
  explicit SharedBorrow(DictObject* self) noexcept : count_(self->borrows) {
    std::uint64_t cur = count_.load(std::memory_order_relaxed);
    do {
      if (cur == kExclusive) return;
    } while (!count_.compare_exchange_weak(cur, cur + 1, std::memory_order_acquire, std::memory_order_relaxed));
    held_ = true;
  }
  ~SharedBorrow() {
    if (held_) count_.fetch_sub(1, std::memory_order_release);
  }
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;

  /// False only when an exclusive borrow is held; then a RuntimeError is set.
  [[nodiscard]] bool held() const noexcept {
    if (!held_) PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
    return held_;
  }

 private:
  std::atomic_ref<std::uint64_t> count_;
  bool held_ = false;
};

DictObject* as_dict(PyObject* self) noexcept { return reinterpret_cast<DictObject*>(self); }

// ---- methods ---------------------------------------------------------------------------------

constexpr const char* kLookupNames[] = {"group", "element", "creator"};
constexpr Signature kLookupSig{"Dict.lookup()", kLookupNames, 3, 2};
constexpr const char* kExitNames[] = {"_exc_type", "_exc", "_tb"};
constexpr Signature kExitSig{"Dict.__exit__()", kExitNames, 3, 0};
constexpr const char* kOpenNames[] = {"path"};
constexpr Signature kOpenSig{"open()", kOpenNames, 1, 1};

PyObject* dict_lookup(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
  PyObject* a[3];
  if (!bind(kLookupSig, args, nargsf, kwnames, a)) return nullptr;
  SharedBorrow borrow(as_dict(self));
  if (!borrow.held()) return nullptr;
  const auto group = to_u16(a[0], "group");
  if (!group) return nullptr;
  const auto element = to_u16(a[1], "element");
  if (!element) return nullptr;
  const auto creator = to_creator(a[2]);
  if (!creator) return nullptr;

  auto found = lookup::find_record(*as_dict(self)->dict, *group, *element, *creator);
  if (!found) return raise_internal(found.error().message);
  if (!found.value()) Py_RETURN_NONE;
  return record_to_dict(*found.value());
}

PyObject* dict_enter(PyObject* self, PyObject*) noexcept { return Py_NewRef(self); }

PyObject* dict_exit(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
  PyObject* a[3];
  if (!bind(kExitSig, args, nargsf, kwnames, a)) return nullptr;
  SharedBorrow borrow(as_dict(self));
  if (!borrow.held()) return nullptr;
  // Leaving a with block releases nothing: the mapping lives as long as the handle.
  Py_RETURN_FALSE;
}

Py_ssize_t dict_length(PyObject* self) noexcept {
  SharedBorrow borrow(as_dict(self));
  if (!borrow.held()) return -1;
  return static_cast<Py_ssize_t>(lookup::index_count(as_dict(self)->dict->body()));
}

PyObject* dict_repr(PyObject* self) noexcept {
  SharedBorrow borrow(as_dict(self));
  if (!borrow.held()) return nullptr;
  const unsigned long n = lookup::index_count(as_dict(self)->dict->body());
  return PyUnicode_FromFormat("<quillet.Dict len=%lu>", n);
}

void dict_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  // Unmaps the view and closes the file.
  std::unique_ptr<MappedDict> owned(as_dict(self)->dict);
  as_dict(self)->dict = nullptr;
  owned.reset();
  type->tp_free(self);
  Py_DECREF(type);
}

PyMethodDef kDictMethods[] = {
    {"lookup", fastcall<dict_lookup>(), METH_FASTCALL | METH_KEYWORDS,
     "lookup($self, group, element, creator=None)\n--\n\nLook up a tag. Returns a dict or `None`.\n\n"
     "`element` is the low byte for private tags (the \"xx\" form)."},
    {"__enter__", dict_enter, METH_NOARGS,
     "__enter__($self)\n--\n\nContext-manager support (no-op - mmap is released on drop)."},
    {"__exit__", fastcall<dict_exit>(), METH_FASTCALL | METH_KEYWORDS,
     "__exit__($self, _exc_type=None, _exc=None, _tb=None)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kDictSlots[] = {
    {Py_tp_doc, const_cast<char*>("Opaque handle holding an mmap'd dictionary.")},
    {Py_tp_methods, kDictMethods},
    {Py_tp_dealloc, reinterpret_cast<void*>(dict_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(dict_repr)},
    {Py_mp_length, reinterpret_cast<void*>(dict_length)},
    {0, nullptr},
};

PyType_Spec kDictSpec{
    "quillet._quillet.Dict",
    sizeof(DictObject),
    0,
    // Not a base type, not constructible from Python, and immutable: the class object is shared
    // by every module object of the process, so nobody may patch it.
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    kDictSlots,
};

std::atomic<PyObject*> g_dict_type{nullptr};

/// A new handle owning `dict`; on failure `dict` is released at once.
PyObject* new_handle(MappedDict dict) noexcept {
  std::unique_ptr<MappedDict> owned(new (std::nothrow) MappedDict(std::move(dict)));
  if (!owned) return PyErr_NoMemory();
  PyObject* type = dict_type();
  if (type == nullptr) return nullptr;
  auto* tp = reinterpret_cast<PyTypeObject*>(type);
  PyObject* self = tp->tp_alloc(tp, 0);
  if (self == nullptr) return nullptr;  // `owned` unmaps and closes
  as_dict(self)->dict = owned.release();
  as_dict(self)->borrows = 0;
  return self;
}

/// Replaces lone surrogates by U+FFFD so that the path can be shown in a message.
Ref displayable(PyObject* path) noexcept {
  if (PyUnicode_AsUTF8AndSize(path, nullptr) != nullptr) return Ref::borrow(path);
  PyErr_Clear();
  Py_UCS4* chars = PyUnicode_AsUCS4Copy(path);
  if (chars == nullptr) return Ref();
  const Py_ssize_t n = PyUnicode_GetLength(path);
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (chars[i] >= 0xD800 && chars[i] <= 0xDFFF) chars[i] = 0xFFFD;
  }
  // Built from a buffer so that the result has the narrowest representation, as every str must.
  Ref out(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, chars, n));
  PyMem_Free(chars);
  return out;
}

/// Loads the file that `path` (a str) names. A str that cannot become a file name (one that the
/// file-system encoding cannot encode) names no file: an I/O failure of this path, not a type
/// error.
Result<MappedDict, LoadError> load_path(PyObject* path) noexcept {
  const NativePath name = NativePath::of(path);
  if (!name) {
    // Memory running out stays set, for the caller to raise as the interpreter's own failure;
    // any other failure is this path's.
    if (!PyErr_ExceptionMatches(PyExc_MemoryError)) PyErr_Clear();
    return Err{LoadError::from_io({0, "file name cannot be encoded"})};
  }
  return MappedDict::load(name.view());
}

PyObject* raise_load_error(const LoadError& err, PyObject* path) noexcept {
  if (err.kind == LoadError::Kind::UnsupportedVersion) {
    PyErr_Format(PyExc_ValueError, "unsupported .qlet version %u", static_cast<unsigned>(err.version));
    return nullptr;
  }
  Ref shown = displayable(path);
  if (!shown) return nullptr;
  const std::string text = err.message();
  Ref msg(PyUnicode_FromFormat("cannot open %U: %s", shown.get(), text.c_str()));
  if (!msg) return nullptr;
  // One argument only: the plain OSError class, with errno, strerror and filename None.
  PyErr_SetObject(PyExc_OSError, msg.get());
  return nullptr;
}

}  // namespace

PyObject* dict_type() noexcept {
  if (PyObject* t = g_dict_type.load(std::memory_order_acquire)) return t;
  PyObject* made = PyType_FromSpec(&kDictSpec);
  if (made == nullptr) {
    PyObject* cause = PyErr_GetRaisedException();
    PyErr_SetString(PyExc_RuntimeError, "An error occurred while initializing class Dict");
    PyObject* exc = PyErr_GetRaisedException();
    PyException_SetCause(exc, cause);  // steals cause
    PyErr_SetRaisedException(exc);
    return nullptr;
  }
  return publish_once(g_dict_type, made);
}

PyObject* open_function(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
  PyObject* a[1];
  if (!bind(kOpenSig, args, nargsf, kwnames, a)) return nullptr;
  const Ref path = to_path_str(a[0], "path");
  if (!path) return nullptr;
  Result<MappedDict, LoadError> loaded = load_path(path.get());
  if (!loaded) {
    if (PyErr_Occurred()) return raise_creation_failure();
    return raise_load_error(loaded.error(), path.get());
  }
  return new_handle(std::move(loaded).value());
}

}  // namespace quillet::py
