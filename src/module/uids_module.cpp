// `quillet._companion.Uids`: a UID file opened read-only, and its three queries. Results are
// plain dicts whose keys are made once for the process.

#include <Python.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "module/arguments.hpp"
#include "module/binding.hpp"
#include "module/errors.hpp"
#include "module/index.hpp"
#include "module/path.hpp"
#include "module/pyref.hpp"
#include "module/text.hpp"
#include "module/uids.hpp"
#include "uids/uid_file.hpp"

namespace quillet::py {
namespace {

using uids::UidFile;

struct UidsObject {
  PyObject_HEAD
      /// Sole owner of the file's mapping; released only by deallocation. Never changes, so any
      /// number of threads may query one object at once.
      UidFile* file;
};

const uids::View& uid_view(PyObject* self) noexcept { return reinterpret_cast<UidsObject*>(self)->file->view(); }

// ---- results ---------------------------------------------------------------------------------

/// The keys of an entry, then those of an encoding.
constexpr const char* kKeys[] = {"uid",     "keyword",  "name",        "type",          "info",     "retired",
                                 "sources", "encoding", "implicit_vr", "little_endian", "deflated", "encapsulated"};
enum Key : std::size_t {
  kUid,
  kKeyword,
  kName,
  kType,
  kInfo,
  kRetired,
  kSources,
  kEncoding,
  kImplicitVr,
  kLittleEndian,
  kDeflated,
  kEncapsulated,
  kKeyCount
};
std::atomic<PyObject*> g_keys[kKeyCount] = {};

/// Stores `value` (stolen) under the key made once for the process.
bool put(PyObject* dict, Key key, PyObject* value) noexcept {
  Ref v(value);
  if (!v) return false;
  PyObject* k = g_keys[key].load(std::memory_order_acquire);
  if (k == nullptr) {
    PyObject* made = PyUnicode_InternFromString(kKeys[key]);
    if (made == nullptr) {
      raise_creation_failure();
      return false;
    }
    k = publish_once(g_keys[key], made);
  }
  return PyDict_SetItem(dict, k, v.get()) == 0;
}

PyObject* bool_of(std::uint32_t flags, std::uint32_t bit) noexcept { return PyBool_FromLong((flags & bit) != 0); }

/// The '|'-separated items as a list of strs; empty items are dropped.
PyObject* items_of(std::string_view s) noexcept {
  Ref list(PyList_New(0));
  if (!list) return raise_creation_failure();
  while (!s.empty()) {
    const std::size_t bar = s.find('|');
    const std::string_view item = s.substr(0, bar);
    if (!item.empty()) {
      Ref text(str_of(item));
      if (!text || PyList_Append(list.get(), text.get()) != 0) return raise_creation_failure();
    }
    if (bar == std::string_view::npos) break;
    s.remove_prefix(bar + 1);
  }
  return list.release();
}

PyObject* encoding_of(std::uint32_t flags) noexcept {
  if ((flags & uids::kEncoding) == 0) Py_RETURN_NONE;
  Ref d(PyDict_New());
  if (!d) return raise_creation_failure();
  if (!put(d.get(), kImplicitVr, bool_of(flags, uids::kImplicitVr)) ||
      !put(d.get(), kLittleEndian, bool_of(flags, uids::kLittleEndian)) ||
      !put(d.get(), kDeflated, bool_of(flags, uids::kDeflated)) ||
      !put(d.get(), kEncapsulated, bool_of(flags, uids::kEncapsulated))) {
    return nullptr;
  }
  return d.release();
}

PyObject* entry_dict(const uids::View& view, std::uint32_t number) noexcept {
  const auto e = view.entry(number);
  if (!e) Py_RETURN_NONE;  // only a file rewritten since it was opened
  Ref d(PyDict_New());
  if (!d) return raise_creation_failure();
  PyObject* dict = d.get();
  if (!put(dict, kUid, str_of(e->uid)) || !put(dict, kKeyword, str_of(e->keyword)) ||
      !put(dict, kName, str_of(e->name)) || !put(dict, kType, str_of(e->type)) || !put(dict, kInfo, str_of(e->info)) ||
      !put(dict, kRetired, bool_of(e->flags, uids::kRetired)) || !put(dict, kSources, items_of(e->sources)) ||
      !put(dict, kEncoding, encoding_of(e->flags))) {
    return nullptr;
  }
  return d.release();
}

// ---- methods ---------------------------------------------------------------------------------

constexpr const char* kUidNames[] = {"uid"};
constexpr Signature kGetSig{"Uids.get()", kUidNames, 1, 1};
constexpr const char* kKeywordNames[] = {"keyword"};
constexpr Signature kKeywordSig{"Uids.uid_for_keyword()", kKeywordNames, 1, 1};
constexpr const char* kFindNames[] = {"text", "limit"};
constexpr Signature kFindSig{"Uids.find()", kFindNames, 2, 2};
constexpr const char* kOpenNames[] = {"path", "path_shown"};
constexpr Signature kOpenSig{"open_uids()", kOpenNames, 2, 2};

PyObject* uids_get(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
  PyObject* a[1];
  if (!bind(kGetSig, args, nargsf, kwnames, a)) return nullptr;
  const auto uid = to_text(a[0], "uid");
  if (!uid) return nullptr;
  const uids::View& view = uid_view(self);
  const auto found = view.find(*uid);
  if (!found) Py_RETURN_NONE;
  return entry_dict(view, *found);
}

PyObject* uids_for_keyword(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
  PyObject* a[1];
  if (!bind(kKeywordSig, args, nargsf, kwnames, a)) return nullptr;
  const auto keyword = to_text(a[0], "keyword");
  if (!keyword) return nullptr;
  const uids::View& view = uid_view(self);
  const auto found = view.find_keyword(*keyword);
  const auto e = found ? view.entry(*found) : std::nullopt;
  if (!e) Py_RETURN_NONE;
  return str_of(e->uid);
}

PyObject* uids_find(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
  PyObject* a[2];
  if (!bind(kFindSig, args, nargsf, kwnames, a)) return nullptr;
  const auto text = to_text(a[0], "text");
  if (!text) return nullptr;
  const auto limit = to_limit(a[1]);
  if (!limit) return nullptr;
  const uids::View& view = uid_view(self);
  const std::vector<std::uint32_t> found = view.search(*text, *limit);
  Ref list(PyList_New(static_cast<Py_ssize_t>(found.size())));
  if (!list) return raise_creation_failure();
  for (std::size_t i = 0; i < found.size(); ++i) {
    PyObject* item = entry_dict(view, found[i]);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

Py_ssize_t uids_len(PyObject* self) noexcept { return static_cast<Py_ssize_t>(uid_view(self).size()); }

void uids_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  auto* obj = reinterpret_cast<UidsObject*>(self);
  std::unique_ptr<UidFile> owned(obj->file);  // unmaps and closes
  obj->file = nullptr;
  owned.reset();
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* uids_repr(PyObject* self) noexcept {
  return PyUnicode_FromFormat("<quillet._companion.Uids uids=%lu>", static_cast<unsigned long>(uid_view(self).size()));
}

PyMethodDef kUidsMethods[] = {
    {"get", fastcall<uids_get>(), METH_FASTCALL | METH_KEYWORDS,
     "get($self, uid)\n--\n\nThe entry of a UID, matched exactly, or `None`."},
    {"uid_for_keyword", fastcall<uids_for_keyword>(), METH_FASTCALL | METH_KEYWORDS,
     "uid_for_keyword($self, keyword)\n--\n\nThe UID whose keyword is `keyword`, or `None`."},
    {"find", fastcall<uids_find>(), METH_FASTCALL | METH_KEYWORDS,
     "find($self, text, limit)\n--\n\nThe entries whose case-folded keyword or name contains `text`, best "
     "first."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kUidsSlots[] = {
    {Py_tp_doc, const_cast<char*>("A UID file: the registered UIDs of a dictionary.")},
    {Py_tp_methods, kUidsMethods},
    {Py_mp_length, reinterpret_cast<void*>(uids_len)},
    {Py_tp_dealloc, reinterpret_cast<void*>(uids_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(uids_repr)},
    {0, nullptr},
};

PyType_Spec kUidsSpec{
    "quillet._companion.Uids",
    sizeof(UidsObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    kUidsSlots,
};

std::atomic<PyObject*> g_uids_type{nullptr};

}  // namespace

PyObject* uids_type() noexcept {
  if (PyObject* t = g_uids_type.load(std::memory_order_acquire)) return t;
  return publish_once(g_uids_type, PyType_FromSpec(&kUidsSpec));
}

PyObject* open_uids(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
  PyObject* a[2];
  if (!bind(kOpenSig, args, nargsf, kwnames, a)) return nullptr;
  const Ref path_text = to_path_str(a[0], "path");
  if (!path_text) return nullptr;
  if (!PyUnicode_Check(a[1])) {  // how messages name the file: the package escapes it
    raise_not_instance(a[1], "str");
    add_processing_note("path_shown");
    return nullptr;
  }
  const NativePath path = NativePath::of(path_text.get());
  if (!path) {
    add_processing_note("path");
    return nullptr;
  }
  auto loaded = UidFile::load(path.view());
  if (!loaded) {
    const uids::OpenError& f = loaded.error();
    if (f.kind == uids::OpenError::Kind::UnsupportedVersion) {
      PyErr_Format(PyExc_ValueError, "cannot open %S: unsupported UID file version %u", a[1],
                   static_cast<unsigned>(f.version));
    } else {
      PyErr_Format(PyExc_OSError, "cannot open %S: %s", a[1], f.message().c_str());
    }
    return nullptr;
  }
  std::unique_ptr<UidFile> owned(new (std::nothrow) UidFile(std::move(loaded).value()));
  if (!owned) return PyErr_NoMemory();
  PyObject* type = uids_type();
  if (type == nullptr) return nullptr;
  auto* tp = reinterpret_cast<PyTypeObject*>(type);
  PyObject* self = tp->tp_alloc(tp, 0);
  if (self == nullptr) return nullptr;  // `owned` unmaps and closes
  reinterpret_cast<UidsObject*>(self)->file = owned.release();
  return self;
}

}  // namespace quillet::py
