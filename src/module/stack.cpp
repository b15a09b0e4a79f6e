// `_companion.Stack`, the base of `quillet.Dictionary`: its layers asked in order for a tag as it
// stands in a data set, in one C call from the argument to the answer. The entries added
// in-process come first, then each dictionary file (through its companion's Index, or through a
// Python layer of its own for a file without one); what none holds goes to the subclass's
// `_rule`. Keyword-to-tag answers are remembered per keyword, so that asking again costs one
// dict lookup.

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "lookup/creator.hpp"
#include "lookup/search.hpp"
#include "module/arguments.hpp"
#include "module/binding.hpp"
#include "module/errors.hpp"
#include "module/index.hpp"
#include "module/pyref.hpp"
#include "module/stack.hpp"

namespace quillet::py {
namespace {

struct StackObject {
  PyObject_HEAD
      /// The dictionary files in the order they answer: each an Index, or an object with a
      /// `get(tag, creator, what)` of the Index's meaning. A tuple, replaced whole.
      PyObject* layers;
  /// Entries added in-process: {(group << 16) | element as stored: {folded creator or None:
  /// entry dict}}, or nullptr for none. Changed only by the subclass's `add`, under `_arrange`.
  PyObject* added;
  /// Added keywords: {(keyword, folded creator or None): tag int}, or nullptr.
  PyObject* added_tags;
  /// Public keyword -> tag int or None, as far as asked; emptied whenever the layers change.
  PyObject* tags;
  /// The same for `_public_tag`, which answers None for the keywords of `excluded`.
  PyObject* public_tags;
  /// Keywords that `_public_tag` does not answer (a set), or nullptr.
  PyObject* excluded;
};

/// A cache of keyword answers is dropped whole when it grows past this many: keywords are few,
/// but whoever asks may ask about any text.
constexpr Py_ssize_t kCacheMost = 1 << 16;

StackObject* as_stack(PyObject* self) noexcept { return reinterpret_cast<StackObject*>(self); }

std::atomic<PyObject*> g_index_type{nullptr};

/// Whether a layer is an Index (answered here in C) rather than a Python layer.
bool is_index(PyObject* layer) noexcept {
  PyObject* t = g_index_type.load(std::memory_order_acquire);
  return t != nullptr && Py_IS_TYPE(layer, reinterpret_cast<PyTypeObject*>(t));
}

/// The folded creator as the key of the added entries: None for none.
Ref folded_key(std::optional<std::string_view> creator) noexcept {
  if (!creator) return Ref::borrow(Py_None);
  const std::string folded = lookup::normalize_creator(*creator);
  Ref s(PyUnicode_DecodeUTF8(folded.data(), static_cast<Py_ssize_t>(folded.size()), "surrogatepass"));
  if (!s) raise_creation_failure();
  return s;
}

/// The value of `key` in an added entry, a new reference (None when missing).
Ref field(PyObject* entry, const char* key) noexcept {
  PyObject* v = nullptr;
  if (PyDict_GetItemStringRef(entry, key, &v) < 0) return Ref();
  return v != nullptr ? Ref(v) : Ref::borrow(Py_None);
}

/// The tuple of pydicom's dictionaries for an added entry (see What).
PyObject* pydicom_tuple(PyObject* entry, bool with_keyword) noexcept {
  Ref vr = field(entry, "vr");
  Ref vrs = field(entry, "vrs");
  if (!vr || !vrs) return nullptr;
  if (PyUnicode_Check(vr.get()) && PyUnicode_CompareWithASCIIString(vr.get(), "??") == 0 && PyList_Check(vrs.get())) {
    if (PyList_GET_SIZE(vrs.get()) == 0) {
      vr = Ref(PyUnicode_FromString("NONE"));
    } else {
      Ref sep(PyUnicode_FromString(" or "));
      vr = sep ? Ref(PyUnicode_Join(sep.get(), vrs.get())) : Ref();
    }
    if (!vr) return nullptr;
  }
  Ref vm = field(entry, "vm");
  Ref name = field(entry, "name");
  Ref retired_flag = field(entry, "retired");
  if (!vm || !name || !retired_flag) return nullptr;
  if (vm.get() == Py_None) vm = Ref(PyUnicode_FromStringAndSize("", 0));
  Ref retired(PyUnicode_FromString(retired_flag.get() == Py_True ? "Retired" : ""));
  if (!vm || !retired) return nullptr;
  if (!with_keyword) return PyTuple_Pack(4, vr.get(), vm.get(), name.get(), retired.get());
  Ref keyword = field(entry, "keyword");
  if (!keyword) return nullptr;
  return PyTuple_Pack(5, vr.get(), vm.get(), name.get(), retired.get(), keyword.get());
}

/// An answer from an added entry (a TagInfo dict the stack keeps): a copy of it whose lists are
/// new too, or one field.
PyObject* project(PyObject* entry, What what) noexcept {
  static constexpr const char* kField[] = {nullptr, "keyword", "name", "vr", "vm", "vrs"};
  if (what == kPublicTuple || what == kPrivateTuple) return pydicom_tuple(entry, what == kPublicTuple);
  if (what == kEntry || what == kLookup) {
    Ref copy(PyDict_Copy(entry));
    if (!copy) return nullptr;
    for (const char* list : {"sources", "vrs"}) {
      PyObject* v = nullptr;
      if (PyDict_GetItemStringRef(copy.get(), list, &v) < 0) return nullptr;
      Ref held(v);
      if (v == nullptr || !PyList_Check(v)) continue;
      Ref fresh(PyList_GetSlice(v, 0, PyList_GET_SIZE(v)));
      if (!fresh || PyDict_SetItemString(copy.get(), list, fresh.get()) != 0) return nullptr;
    }
    if (what == kLookup) {
      for (const char* extra : {"vm", "vrs"}) {
        if (PyDict_DelItemString(copy.get(), extra) != 0) PyErr_Clear();
      }
    }
    return copy.release();
  }
  PyObject* v = nullptr;
  if (PyDict_GetItemStringRef(entry, kField[what], &v) < 0) return nullptr;
  Ref held(v);
  if (v == nullptr) Py_RETURN_NONE;
  if (what == kVrs && v != Py_None) return PySequence_Tuple(v);
  return held.release();
}

/// The added entry stored under (group, element) for `creator`: a new reference, or nullptr for
/// none (with an error set only if something failed).
Ref added_at(PyObject* added, std::uint32_t key, PyObject* creator) noexcept {
  Ref k(PyLong_FromUnsignedLong(key));
  if (!k) return Ref();
  PyObject* by_creator = nullptr;
  if (PyDict_GetItemRef(added, k.get(), &by_creator) <= 0) return Ref();
  Ref held(by_creator);
  PyObject* entry = nullptr;
  PyDict_GetItemRef(held.get(), creator, &entry);
  return Ref(entry);
}

bool flagged_offset(PyObject* entry) noexcept {
  PyObject* b = nullptr;
  if (PyDict_GetItemStringRef(entry, "block_offset", &b) <= 0) return false;
  Ref held(b);
  return b == Py_True;
}

/// The added entry answering a tag as it stands in a data set; an empty Ref for none (with an
/// error set only if something failed).
Ref added_entry(PyObject* added, const lookup::TagText& tag, std::optional<std::string_view> creator) noexcept {
  const bool odd = (tag.group & 1) != 0;
  const bool private_like = lookup::is_private_group(tag.group) || (odd && creator);
  const std::uint32_t base = std::uint32_t{tag.group} << 16;
  if (!private_like) {
    if (tag.block_form) return Ref();
    return added_at(added, base | tag.element, Py_None);
  }
  Ref c = folded_key(creator);
  if (!c) return Ref();
  if (tag.block_form) {
    Ref e = added_at(added, base | tag.element, c.get());
    return e && flagged_offset(e.get()) ? std::move(e) : Ref();
  }
  if (tag.element < 0x0100) return Ref();
  Ref e = added_at(added, base | tag.element, c.get());
  if (e || PyErr_Occurred() || tag.element < 0x1000) return e;
  e = added_at(added, base | (tag.element & 0xFFu), c.get());
  return e && flagged_offset(e.get()) ? std::move(e) : Ref();
}

/// An interned name, made once.
PyObject* name_of(std::atomic<PyObject*>& cell, const char* text) noexcept {
  if (PyObject* n = cell.load(std::memory_order_acquire)) return n;
  return publish_once(cell, PyUnicode_InternFromString(text));
}

std::atomic<PyObject*> g_get_name{nullptr};
std::atomic<PyObject*> g_rule_name{nullptr};
std::atomic<PyObject*> g_tag_name{nullptr};

/// The stack's answer; the layers' first, else the subclass's rule (with `rules`; without,
/// NotImplemented for no entry).
PyObject* answer(PyObject* self, PyObject* tag_obj, PyObject* creator_obj, What what, bool rules = true) noexcept {
  const auto tag = to_tag(tag_obj);
  if (!tag) return nullptr;
  const auto creator = to_creator(creator_obj);
  if (!creator) return nullptr;
  StackObject* s = as_stack(self);
  if (s->added != nullptr && PyDict_GET_SIZE(s->added) != 0) {
    Ref e = added_entry(s->added, *tag, *creator);
    if (e) return project(e.get(), what);
    if (PyErr_Occurred()) return nullptr;
  }
  const Py_ssize_t n = s->layers != nullptr ? PyTuple_GET_SIZE(s->layers) : 0;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* layer = PyTuple_GET_ITEM(s->layers, i);
    if (is_index(layer)) {
      const companion::View& view = view_of(layer);
      auto found = view.find_element(tag->group, tag->element, *creator, tag->block_form);
      if (!found) return raise_internal(found.error().message);
      if (found.value()) return answer_of(view, *found.value(), what);
      continue;
    }
    Ref w(PyLong_FromLong(what));
    PyObject* name = name_of(g_get_name, "get");
    if (!w || name == nullptr) return nullptr;
    PyObject* args[] = {layer, tag_obj, creator_obj != nullptr ? creator_obj : Py_None, w.get()};
    Ref got(PyObject_VectorcallMethod(name, args, 4 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (!got) return nullptr;
    if (got.get() != Py_NotImplemented) return got.release();
  }
  if (!rules) return Py_NewRef(Py_NotImplemented);
  PyObject* name = name_of(g_rule_name, "_rule");
  Ref g(PyLong_FromLong(tag->group));
  Ref e(PyLong_FromLong(tag->element));
  Ref w(PyLong_FromLong(what));
  if (name == nullptr || !g || !e || !w) return nullptr;
  PyObject* args[] = {self, g.get(), e.get(), tag->block_form ? Py_True : Py_False, w.get()};
  return PyObject_VectorcallMethod(name, args, 5 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

// ---- methods ---------------------------------------------------------------------------------

constexpr const char* kTagCreatorNames[] = {"tag", "creator"};
constexpr Signature kEntrySig{"Dictionary.entry()", kTagCreatorNames, 2, 1};
constexpr Signature kKeywordSig{"Dictionary.keyword()", kTagCreatorNames, 2, 1};
constexpr Signature kNameSig{"Dictionary.name()", kTagCreatorNames, 2, 1};
constexpr Signature kVrSig{"Dictionary.vr()", kTagCreatorNames, 2, 1};
constexpr Signature kVmSig{"Dictionary.vm()", kTagCreatorNames, 2, 1};
constexpr Signature kVrsSig{"Dictionary.vrs()", kTagCreatorNames, 2, 1};
constexpr const char* kGetNames[] = {"tag", "creator", "what"};
constexpr Signature kGetSig{"Dictionary._get()", kGetNames, 3, 3};
constexpr Signature kStoredSig{"Dictionary._stored()", kGetNames, 3, 3};
constexpr const char* kKeywordCreatorNames[] = {"keyword", "creator"};
constexpr Signature kTagSig{"Dictionary.tag()", kKeywordCreatorNames, 2, 1};
constexpr const char* kArrangeNames[] = {"layers", "added", "added_tags"};
constexpr Signature kArrangeSig{"Dictionary._arrange_stack()", kArrangeNames, 3, 3};

template <const Signature& Sig, What W>
PyObject* query(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
  PyObject* a[2];
  if (!bind(Sig, args, nargsf, kwnames, a)) return nullptr;
  return answer(self, a[0], a[1], W);
}

template <const Signature& Sig, bool Rules>
PyObject* stack_get(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
  PyObject* a[3];
  if (!bind(Sig, args, nargsf, kwnames, a)) return nullptr;
  const long what = PyLong_AsLong(a[2]);
  if (what < 0 || what >= kWhatCount) {
    if (!PyErr_Occurred()) PyErr_Format(PyExc_ValueError, "no such answer: %ld", what);
    return nullptr;
  }
  return answer(self, a[0], a[1], static_cast<What>(what), Rules);
}

/// Stores a keyword's answer in a cache, which is emptied first when it is full.
int remember(PyObject* cache, PyObject* keyword, PyObject* tag) noexcept {
  if (PyDict_GET_SIZE(cache) >= kCacheMost) PyDict_Clear(cache);
  return PyDict_SetItem(cache, keyword, tag);
}

/// The tag of `keyword` among the layers, uncached.
PyObject* find_tag(StackObject* s, PyObject* keyword, PyObject* creator) noexcept {
  const auto text = to_text(keyword, "keyword");
  if (!text) return nullptr;
  const auto c = to_creator(creator);
  if (!c) return nullptr;
  if (s->added_tags != nullptr && PyDict_GET_SIZE(s->added_tags) != 0) {
    Ref folded = folded_key(*c);
    if (!folded) return nullptr;
    Ref key(PyTuple_Pack(2, keyword, folded.get()));
    if (!key) return nullptr;
    PyObject* t = nullptr;
    const int found = PyDict_GetItemRef(s->added_tags, key.get(), &t);
    if (found != 0) return t;  // the tag, or nullptr with the error
  }
  const Py_ssize_t n = s->layers != nullptr ? PyTuple_GET_SIZE(s->layers) : 0;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* layer = PyTuple_GET_ITEM(s->layers, i);
    PyObject* args[] = {layer, keyword, creator != nullptr ? creator : Py_None};
    PyObject* name = name_of(g_tag_name, "tag");
    if (name == nullptr) return nullptr;
    Ref got(PyObject_VectorcallMethod(name, args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (!got) return nullptr;
    if (got.get() != Py_None) return got.release();
  }
  Py_RETURN_NONE;
}

PyObject* stack_tag(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
  PyObject* a[2];
  if (!bind(kTagSig, args, nargsf, kwnames, a)) return nullptr;
  StackObject* s = as_stack(self);
  const bool cached = (a[1] == nullptr || a[1] == Py_None) && PyUnicode_CheckExact(a[0]) && s->tags != nullptr;
  Ref tags = cached ? Ref::borrow(s->tags) : Ref();  // held: the layers may change meanwhile
  if (tags) {
    PyObject* t = nullptr;
    if (PyDict_GetItemRef(tags.get(), a[0], &t) != 0) return t;  // the tag, or nullptr with the error
  }
  Ref found(find_tag(s, a[0], a[1]));
  if (!found) return nullptr;
  // Every keyword asked is remembered, and forgotten when the layers change.
  if (tags && remember(tags.get(), a[0], found.get()) != 0) return nullptr;
  return found.release();
}

PyObject* stack_public_tag(PyObject* self, PyObject* keyword) noexcept {
  StackObject* s = as_stack(self);
  Ref tags = PyUnicode_CheckExact(keyword) && s->public_tags != nullptr ? Ref::borrow(s->public_tags) : Ref();
  if (tags) {
    PyObject* t = nullptr;
    if (PyDict_GetItemRef(tags.get(), keyword, &t) != 0) return t;  // the tag, or nullptr with the error
  }
  Ref found;
  const int excluded = s->excluded != nullptr && PyUnicode_Check(keyword) ? PySet_Contains(s->excluded, keyword) : 0;
  if (excluded < 0) return nullptr;
  found = excluded != 0 ? Ref::borrow(Py_None) : Ref(find_tag(s, keyword, nullptr));
  if (!found) return nullptr;
  if (tags && remember(tags.get(), keyword, found.get()) != 0) return nullptr;
  return found.release();
}

PyObject* stack_exclude(PyObject* self, PyObject* excluded) noexcept {
  if (excluded != Py_None && !PyAnySet_Check(excluded)) return raise_not_instance(excluded, "set");
  StackObject* s = as_stack(self);
  Py_XSETREF(s->excluded, excluded == Py_None ? nullptr : Py_NewRef(excluded));
  PyObject* fresh = PyDict_New();
  if (fresh == nullptr) return nullptr;
  Py_XSETREF(s->public_tags, fresh);
  Py_RETURN_NONE;
}

PyObject* stack_arrange(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
  PyObject* a[3];
  if (!bind(kArrangeSig, args, nargsf, kwnames, a)) return nullptr;
  if (!PyTuple_Check(a[0])) return raise_not_instance(a[0], "tuple");
  for (PyObject* d : {a[1], a[2]}) {
    if (d != Py_None && !PyDict_Check(d)) return raise_not_instance(d, "dict");
  }
  if (g_index_type.load(std::memory_order_acquire) == nullptr) {
    Ref module(PyImport_ImportModule("quillet._companion"));
    if (!module) return nullptr;
    if (publish_once(g_index_type, PyObject_GetAttrString(module.get(), "Index")) == nullptr) return nullptr;
  }
  Ref tags(PyDict_New());
  Ref public_tags(PyDict_New());
  if (!tags || !public_tags) return nullptr;
  StackObject* s = as_stack(self);
  Py_XSETREF(s->layers, Py_NewRef(a[0]));
  Py_XSETREF(s->added, a[1] == Py_None ? nullptr : Py_NewRef(a[1]));
  Py_XSETREF(s->added_tags, a[2] == Py_None ? nullptr : Py_NewRef(a[2]));
  Py_XSETREF(s->tags, tags.release());
  Py_XSETREF(s->public_tags, public_tags.release());
  Py_RETURN_NONE;
}

int stack_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  Py_VISIT(Py_TYPE(self));
  StackObject* s = as_stack(self);
  Py_VISIT(s->layers);
  Py_VISIT(s->added);
  Py_VISIT(s->added_tags);
  Py_VISIT(s->tags);
  Py_VISIT(s->public_tags);
  Py_VISIT(s->excluded);
  return 0;
}

int stack_clear(PyObject* self) noexcept {
  StackObject* s = as_stack(self);
  Py_CLEAR(s->layers);
  Py_CLEAR(s->added);
  Py_CLEAR(s->added_tags);
  Py_CLEAR(s->tags);
  Py_CLEAR(s->public_tags);
  Py_CLEAR(s->excluded);
  return 0;
}

void stack_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  stack_clear(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyMethodDef kStackMethods[] = {
    {"entry", fastcall<query<kEntrySig, kEntry>>(), METH_FASTCALL | METH_KEYWORDS,
     "entry($self, tag, creator=None)\n--\n\nThe entry of a tag: the lookup's ten fields, its VM and its VRs, or "
     "`None`."},
    {"keyword", fastcall<query<kKeywordSig, kKeyword>>(), METH_FASTCALL | METH_KEYWORDS,
     "keyword($self, tag, creator=None)\n--\n\nThe keyword of a tag's entry, or `None` without entry."},
    {"name", fastcall<query<kNameSig, kName>>(), METH_FASTCALL | METH_KEYWORDS,
     "name($self, tag, creator=None)\n--\n\nThe name of a tag's entry, or `None` without entry."},
    {"vr", fastcall<query<kVrSig, kVr>>(), METH_FASTCALL | METH_KEYWORDS,
     "vr($self, tag, creator=None)\n--\n\nThe VR of a tag's entry (\"??\" for several or none), or `None`."},
    {"vm", fastcall<query<kVmSig, kVm>>(), METH_FASTCALL | METH_KEYWORDS,
     "vm($self, tag, creator=None)\n--\n\nThe value multiplicity of a tag's entry, or `None` when there is none "
     "or it is not known."},
    {"vrs", fastcall<query<kVrsSig, kVrs>>(), METH_FASTCALL | METH_KEYWORDS,
     "vrs($self, tag, creator=None)\n--\n\nThe VRs a tag's element may take, in the standard's order, or `None`."},
    {"tag", fastcall<stack_tag>(), METH_FASTCALL | METH_KEYWORDS,
     "tag($self, keyword, creator=None)\n--\n\nThe tag of a keyword as an int, or `None`."},
    {"_get", fastcall<stack_get<kGetSig, true>>(), METH_FASTCALL | METH_KEYWORDS,
     "_get($self, tag, creator, what)\n--\n\nAny of the answers, by number."},
    {"_stored", fastcall<stack_get<kStoredSig, false>>(), METH_FASTCALL | METH_KEYWORDS,
     "_stored($self, tag, creator, what)\n--\n\nAny of the answers of the entries alone, by number: "
     "NotImplemented where no entry holds the tag."},
    {"_public_tag", stack_public_tag, METH_O,
     "_public_tag($self, keyword, /)\n--\n\nThe tag of a public keyword as an int, or `None` (also for the "
     "keywords set aside)."},
    {"_exclude", stack_exclude, METH_O,
     "_exclude($self, keywords, /)\n--\n\nThe keywords (a set) that `_public_tag` does not answer."},
    {"_arrange_stack", fastcall<stack_arrange>(), METH_FASTCALL | METH_KEYWORDS,
     "_arrange_stack($self, layers, added, added_tags)\n--\n\nThe layers, in order, and the entries added."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kStackSlots[] = {
    {Py_tp_doc, const_cast<char*>("The layers of a dictionary, asked in order; the base of quillet.Dictionary.")},
    {Py_tp_methods, kStackMethods},
    {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
    {Py_tp_dealloc, reinterpret_cast<void*>(stack_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(stack_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(stack_clear)},
    {0, nullptr},
};

PyType_Spec kStackSpec{
    "quillet._companion.Stack",
    sizeof(StackObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    kStackSlots,
};

std::atomic<PyObject*> g_stack_type{nullptr};

}  // namespace

PyObject* stack_type() noexcept {
  if (PyObject* t = g_stack_type.load(std::memory_order_acquire)) return t;
  return publish_once(g_stack_type, PyType_FromSpec(&kStackSpec));
}

}  // namespace quillet::py
