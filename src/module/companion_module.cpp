// The module `quillet._companion`: the Python face of a companion file. One class, `Index`, made
// only by `open(path, dict)` from the companion's path and the opened `Dict` it belongs to; the
// package's `quillet.companion` builds the public API on it.

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "archive/layout.hpp"
#include "companion/companion.hpp"
#include "module/arguments.hpp"
#include "module/binding.hpp"
#include "module/dict_object.hpp"
#include "module/errors.hpp"
#include "module/index.hpp"
#include "module/path.hpp"
#include "module/pyref.hpp"
#include "module/stack.hpp"
#include "module/text.hpp"
#include "module/uids.hpp"

namespace quillet::py {
namespace {

using companion::Companion;
using companion::Key;
using companion::OpenError;

// ---- results ---------------------------------------------------------------------------------

/// (group, element) or (group, element, creator-or-None).
PyObject* tuple_of(const Key& key, bool with_creator) noexcept {
  Ref t(PyTuple_New(with_creator ? 3 : 2));
  if (!t) return raise_creation_failure();
  PyObject* g = PyLong_FromLong(key.group);
  if (g == nullptr) return raise_creation_failure();
  PyTuple_SET_ITEM(t.get(), 0, g);
  PyObject* e = PyLong_FromLong(key.element);
  if (e == nullptr) return raise_creation_failure();
  PyTuple_SET_ITEM(t.get(), 1, e);
  if (with_creator) {
    PyObject* c = key.creator ? str_of(*key.creator) : Py_NewRef(Py_None);
    if (c == nullptr) return nullptr;
    PyTuple_SET_ITEM(t.get(), 2, c);
  }
  return t.release();
}

PyObject* list_of(const std::vector<Key>& keys) noexcept {
  Ref list(PyList_New(static_cast<Py_ssize_t>(keys.size())));
  if (!list) return raise_creation_failure();
  for (std::size_t i = 0; i < keys.size(); ++i) {
    PyObject* item = tuple_of(keys[i], true);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

// ---- methods ---------------------------------------------------------------------------------

constexpr const char* kKeywordNames[] = {"keyword"};
constexpr Signature kTagSig{"Index.tag_for_keyword()", kKeywordNames, 1, 1};
constexpr Signature kKeysSig{"Index.keys_for_keyword()", kKeywordNames, 1, 1};
constexpr const char* kVmNames[] = {"group", "element", "creator"};
constexpr Signature kVmSig{"Index.vm()", kVmNames, 3, 2};
constexpr Signature kVrsSig{"Index.vrs()", kVmNames, 3, 2};
constexpr const char* kSearchNames[] = {"text", "creator", "limit"};
constexpr Signature kSearchSig{"Index.search()", kSearchNames, 3, 3};
constexpr const char* kOpenNames[] = {"path", "dict", "path_shown", "dict_shown"};
constexpr Signature kOpenSig{"open()", kOpenNames, 4, 4};

PyObject* index_tag_for_keyword(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
  PyObject* a[1];
  if (!bind(kTagSig, args, nargsf, kwnames, a)) return nullptr;
  const auto keyword = to_text(a[0], "keyword");
  if (!keyword) return nullptr;
  const auto key = view_of(self).tag_for_keyword(*keyword);
  if (!key) Py_RETURN_NONE;
  return tuple_of(*key, false);
}

PyObject* index_keys_for_keyword(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
  PyObject* a[1];
  if (!bind(kKeysSig, args, nargsf, kwnames, a)) return nullptr;
  const auto keyword = to_text(a[0], "keyword");
  if (!keyword) return nullptr;
  return list_of(view_of(self).keys_for_keyword(*keyword));
}

PyObject* index_vm(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
  PyObject* a[3];
  if (!bind(kVmSig, args, nargsf, kwnames, a)) return nullptr;
  const auto key = to_element_key(a);
  if (!key) return nullptr;
  auto found = view_of(self).vm(key->group, key->element, key->creator);
  if (!found) return raise_internal(found.error().message);
  if (!found.value()) Py_RETURN_NONE;
  return str_of(*found.value());
}

PyObject* index_vrs(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
  PyObject* a[3];
  if (!bind(kVrsSig, args, nargsf, kwnames, a)) return nullptr;
  const auto key = to_element_key(a);
  if (!key) return nullptr;
  auto found = view_of(self).vrs(key->group, key->element, key->creator);
  if (!found) return raise_internal(found.error().message);
  if (!found.value()) Py_RETURN_NONE;
  return vr_tuple(*found.value());
}

PyObject* index_search(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
  PyObject* a[3];
  if (!bind(kSearchSig, args, nargsf, kwnames, a)) return nullptr;
  const auto text = to_text(a[0], "text");
  if (!text) return nullptr;
  const auto creator = to_creator(a[1]);
  if (!creator) return nullptr;
  const auto limit = to_limit(a[2]);
  if (!limit) return nullptr;
  return list_of(view_of(self).search(*text, *creator, *limit));
}

void index_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  auto* index = reinterpret_cast<IndexObject*>(self);
  std::unique_ptr<Companion> owned(index->companion);  // unmaps and closes
  index->companion = nullptr;
  owned.reset();
  Py_CLEAR(index->dict);  // only now: the companion's view pointed into its mapping
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* index_repr(PyObject* self) noexcept {
  return PyUnicode_FromFormat("<quillet._companion.Index keywords=%lu>",
                              static_cast<unsigned long>(view_of(self).keyword_count()));
}

PyMethodDef kIndexMethods[] = {
    {"tag_for_keyword", fastcall<index_tag_for_keyword>(), METH_FASTCALL | METH_KEYWORDS,
     "tag_for_keyword($self, keyword)\n--\n\nThe (group, element) of a public keyword, or `None`."},
    {"keys_for_keyword", fastcall<index_keys_for_keyword>(), METH_FASTCALL | METH_KEYWORDS,
     "keys_for_keyword($self, keyword)\n--\n\n(group, element, creator or None) of every entry with this "
     "keyword."},
    {"vm", fastcall<index_vm>(), METH_FASTCALL | METH_KEYWORDS,
     "vm($self, group, element, creator=None)\n--\n\nThe value multiplicity of the entry a lookup finds, or "
     "`None`."},
    {"vrs", fastcall<index_vrs>(), METH_FASTCALL | METH_KEYWORDS,
     "vrs($self, group, element, creator=None)\n--\n\nThe VRs of the entry a lookup finds, in the standard's "
     "order, or `None`."},
    {"get", fastcall<index_get>(), METH_FASTCALL | METH_KEYWORDS,
     "get($self, tag, creator, what)\n--\n\nThe entry, or one field of it, of a tag as it stands in a data set."
     "\n\n`what`: 0 the entry with its VM and VRs, 6 a lookup's ten keys; 1 keyword, 2 name, 3 VR, 4 VM, 5 VRs. "
     "None for a field the entry lacks, NotImplemented for no entry."},
    {"entries", fastcall<index_entries>(), METH_FASTCALL | METH_KEYWORDS,
     "entries($self, keyword, full=False)\n--\n\nEvery entry with this keyword, public ones first, with its "
     "VM and VRs when `full`."},
    {"tag", fastcall<index_tag>(), METH_FASTCALL | METH_KEYWORDS,
     "tag($self, keyword, creator=None)\n--\n\nThe tag of a public keyword, or of a private one under `creator`, "
     "as an int, or None."},
    {"creators", fastcall<index_creators>(), METH_FASTCALL | METH_KEYWORDS,
     "creators($self, tag)\n--\n\nThe creators whose entries answer a private data element."},
    {"find", fastcall<index_find>(), METH_FASTCALL | METH_KEYWORDS,
     "find($self, text, creator, limit, full=False)\n--\n\nThe entries whose case-folded keyword or name "
     "contains `text`, best first."},
    {"has_creator", index_has_creator, METH_O,
     "has_creator($self, creator, /)\n--\n\nWhether any entry stands under this private creator (folded)."},
    {"search", fastcall<index_search>(), METH_FASTCALL | METH_KEYWORDS,
     "search($self, text, creator, limit)\n--\n\nKeys of the entries whose case-folded keyword or name "
     "contains `text`, best first."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kIndexSlots[] = {
    {Py_tp_doc, const_cast<char*>("A companion file opened with the dictionary file it belongs to.")},
    {Py_tp_methods, kIndexMethods},
    {Py_tp_dealloc, reinterpret_cast<void*>(index_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(index_repr)},
    {0, nullptr},
};

PyType_Spec kIndexSpec{
    "quillet._companion.Index",
    sizeof(IndexObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    kIndexSlots,
};

// ---- open ------------------------------------------------------------------------------------

std::atomic<PyObject*> g_index_type{nullptr};

PyObject* index_type() noexcept {
  if (PyObject* t = g_index_type.load(std::memory_order_acquire)) return t;
  return publish_once(g_index_type, PyType_FromSpec(&kIndexSpec));
}

std::atomic<PyObject*> g_dict_type{nullptr};

/// `quillet._quillet.Dict`: the class that made every handle this module reads. Its instances
/// have the layout of `DictObject`, both extensions being built from the same sources.
PyObject* quillet_dict_type() noexcept {
  if (PyObject* t = g_dict_type.load(std::memory_order_acquire)) return t;
  Ref module(PyImport_ImportModule("quillet._quillet"));
  if (!module) return nullptr;
  return publish_once(g_dict_type, PyObject_GetAttrString(module.get(), "Dict"));
}

PyObject* raise_failure(const OpenError& f, PyObject* path, PyObject* dict_path) noexcept {
  const std::string text = f.message();
  switch (f.kind) {
    case OpenError::Kind::UnsupportedVersion:
      PyErr_Format(PyExc_ValueError, "unsupported companion version %u", static_cast<unsigned>(f.version));
      return nullptr;
    case OpenError::Kind::NoDigest:
    case OpenError::Kind::OtherData:
      PyErr_Format(PyExc_ValueError, "cannot use %S with %S: %s", path, dict_path, text.c_str());
      return nullptr;
    default:
      PyErr_Format(PyExc_OSError, "cannot open %S: %s", path, text.c_str());
      return nullptr;
  }
}

PyObject* open_index(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
  PyObject* a[4];
  if (!bind(kOpenSig, args, nargsf, kwnames, a)) return nullptr;
  const Ref path_text = to_path_str(a[0], "path");
  if (!path_text) return nullptr;
  // How messages name the two files: the package escapes them as it shows every path.
  for (const auto& [obj, name] : {std::pair{a[2], "path_shown"}, std::pair{a[3], "dict_shown"}}) {
    if (!PyUnicode_Check(obj)) {
      raise_not_instance(obj, "str");
      add_processing_note(name);
      return nullptr;
    }
  }
  PyObject* dict_type = quillet_dict_type();
  if (dict_type == nullptr) return nullptr;
  if (!Py_IS_TYPE(a[1], reinterpret_cast<PyTypeObject*>(dict_type))) {
    raise_not_instance(a[1], "Dict");
    add_processing_note("dict");
    return nullptr;
  }
  const NativePath path = NativePath::of(path_text.get());
  if (!path) {
    add_processing_note("path");
    return nullptr;
  }
  const dictfile::MappedDict& mapped = *reinterpret_cast<DictObject*>(a[1])->dict;
  auto loaded = Companion::load(path.view(), mapped.data());
  if (!loaded) return raise_failure(loaded.error(), a[2], a[3]);

  std::unique_ptr<Companion> owned(new (std::nothrow) Companion(std::move(loaded).value()));
  if (!owned) return PyErr_NoMemory();
  PyObject* type = index_type();
  if (type == nullptr) return nullptr;
  auto* tp = reinterpret_cast<PyTypeObject*>(type);
  PyObject* self = tp->tp_alloc(tp, 0);
  if (self == nullptr) return nullptr;  // `owned` unmaps and closes
  auto* index = reinterpret_cast<IndexObject*>(self);
  index->companion = owned.release();
  index->dict = Py_NewRef(a[1]);
  return self;
}

PyMethodDef kModuleMethods[] = {
    {"split_tag", fastcall<split_tag>(), METH_FASTCALL | METH_KEYWORDS,
     "split_tag(tag)\n--\n\n(group, element, block_form) of a tag given as an int, a pair or text."},
    {"open", fastcall<open_index>(), METH_FASTCALL | METH_KEYWORDS,
     "open(path, dict, path_shown, dict_shown)\n--\n\nOpen the companion at `path`, checked against the "
     "opened `Dict` it belongs to."},
    {"open_uids", fastcall<open_uids>(), METH_FASTCALL | METH_KEYWORDS,
     "open_uids(path, path_shown)\n--\n\nOpen the UID file at `path`."},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) noexcept {
  // Borrowed: the classes live for the rest of the process.
  PyObject* type = index_type();
  if (type == nullptr || PyModule_AddObjectRef(module, "Index", type) != 0) return -1;
  PyObject* stack = stack_type();
  if (stack == nullptr || PyModule_AddObjectRef(module, "Stack", stack) != 0) return -1;
  PyObject* uid_file = uids_type();
  return uid_file == nullptr ? -1 : PyModule_AddObjectRef(module, "Uids", uid_file);
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "_companion", "", 0, kModuleMethods, kSlots, nullptr, nullptr, nullptr,
};

}  // namespace

PyObject* vr_tuple(archive::ByteView codes) noexcept {
  Ref t(PyTuple_New(static_cast<Py_ssize_t>(codes.size())));
  if (!t) return raise_creation_failure();
  for (std::size_t i = 0; i < codes.size(); ++i) {
    const auto* text = reinterpret_cast<const std::uint8_t*>(archive::kVrTable.data()) + 2 * codes.data()[i];
    PyObject* vr = str_of_ascii(text, 2);
    if (vr == nullptr) return nullptr;
    PyTuple_SET_ITEM(t.get(), static_cast<Py_ssize_t>(i), vr);
  }
  return t.release();
}

std::optional<std::size_t> to_limit(PyObject* obj) noexcept {
  if (obj == Py_None) return SIZE_MAX;
  Ref n(PyNumber_Index(obj));
  if (!n) {
    add_processing_note("limit");
    return std::nullopt;
  }
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(n.get(), &overflow);
  if (v == -1 && PyErr_Occurred()) {
    add_processing_note("limit");
    return std::nullopt;
  }
  if (overflow > 0) return SIZE_MAX;
  if (overflow < 0 || v < 0) {
    PyErr_Format(PyExc_ValueError, "limit must not be negative, not %S", n.get());
    add_processing_note("limit");
    return std::nullopt;
  }
  if (static_cast<unsigned long long>(v) > SIZE_MAX) return SIZE_MAX;
  return static_cast<std::size_t>(v);
}

}  // namespace quillet::py

PyMODINIT_FUNC PyInit__companion() { return PyModuleDef_Init(&quillet::py::kModule); }
