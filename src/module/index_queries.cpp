// The queries of `quillet.Dictionary`, on the companion's `Index`: a tag as it stands in a data
// set (an int 0xGGGGEEEE, a (group, element) pair or its text) and its creator, answered from
// the record the companion finds, with no second lookup.

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "lookup/creator.hpp"
#include "lookup/search.hpp"
#include "lookup/tag_text.hpp"
#include "module/arguments.hpp"
#include "module/binding.hpp"
#include "module/convert.hpp"
#include "module/errors.hpp"
#include "module/index.hpp"
#include "module/pyref.hpp"
#include "module/text.hpp"

namespace quillet::py {
namespace {

using lookup::RecordView;

// ---- arguments -------------------------------------------------------------------------------

constexpr const char* kNotATag =
    "(expected GGGG,EEEE, (GGGG,EEEE) or GGGGEEEE in hexadecimal, or GGGG,xxEE inside a private block)";

}  // namespace

std::optional<lookup::TagText> to_tag(PyObject* obj) noexcept {
  if (PyUnicode_Check(obj)) {
    const auto text = to_text(obj, "tag");
    if (!text) return std::nullopt;
    if (const auto tag = lookup::parse_tag_text(*text)) return tag;
    PyErr_Format(PyExc_ValueError, "not a tag: %R %s", obj, kNotATag);
    add_processing_note("tag");
    return std::nullopt;
  }
  if (PyTuple_Check(obj) || PyList_Check(obj)) {
    if (PySequence_Fast_GET_SIZE(obj) != 2) {
      PyErr_Format(PyExc_TypeError, "a tag pair holds a group and an element, not %zd items",
                   PySequence_Fast_GET_SIZE(obj));
      add_processing_note("tag");
      return std::nullopt;
    }
    PyObject** items = PySequence_Fast_ITEMS(obj);
    const auto group = to_u16(items[0], "tag");
    if (!group) return std::nullopt;
    const auto element = to_u16(items[1], "tag");
    if (!element) return std::nullopt;
    return lookup::TagText{*group, *element, false};
  }
  if (!PyIndex_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "a tag is an int, a (group, element) pair or a str, not '%s'", Py_TYPE(obj)->tp_name);
    add_processing_note("tag");
    return std::nullopt;
  }
  Ref n(PyNumber_Index(obj));
  int overflow = 0;
  const long long v = n ? PyLong_AsLongLongAndOverflow(n.get(), &overflow) : -1;
  if (v == -1 && PyErr_Occurred()) {
    add_processing_note("tag");
    return std::nullopt;
  }
  if (overflow != 0 || v < 0 || v > 0xFFFFFFFFLL) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    add_processing_note("tag");
    return std::nullopt;
  }
  return lookup::TagText{static_cast<std::uint16_t>(v >> 16), static_cast<std::uint16_t>(v & 0xFFFF), false};
}

namespace {

/// A bool argument: only True and False.
std::optional<bool> to_flag(PyObject* obj, const char* name) noexcept {
  if (obj == nullptr) return false;
  if (obj == Py_True || obj == Py_False) return obj == Py_True;
  raise_not_instance(obj, "bool");
  add_processing_note(name);
  return std::nullopt;
}

// ---- results ---------------------------------------------------------------------------------

/// The key strings of what an entry adds to a lookup's ten keys, made once.
std::atomic<PyObject*> g_vm_key{nullptr};
std::atomic<PyObject*> g_vrs_key{nullptr};

PyObject* key(std::atomic<PyObject*>& cell, const char* text) noexcept {
  if (PyObject* k = cell.load(std::memory_order_acquire)) return k;
  return publish_once(cell, PyUnicode_InternFromString(text));
}

PyObject* vm_value(const companion::View& view, std::uint32_t number) noexcept {
  const auto vm = view.vm_of(number);
  if (!vm) Py_RETURN_NONE;
  return str_of(*vm);
}

PyObject* vrs_list(archive::ByteView codes) noexcept {
  Ref list(PyList_New(static_cast<Py_ssize_t>(codes.size())));
  if (!list) return raise_creation_failure();
  for (std::size_t i = 0; i < codes.size(); ++i) {
    PyObject* vr = vr_str(codes.data()[i]);
    if (vr == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), vr);
  }
  return list.release();
}

/// The lookup's ten keys, and with `full` the VM and the VRs too.
PyObject* entry_of(const companion::View& view, const RecordView& found, bool full) noexcept {
  Ref d(record_to_shared_dict(found));
  if (!d || !full) return d.release();
  PyObject* vm_key = key(g_vm_key, "vm");
  PyObject* vrs_key = key(g_vrs_key, "vrs");
  if (vm_key == nullptr || vrs_key == nullptr) return nullptr;
  Ref vm(vm_value(view, found.number));
  if (!vm || PyDict_SetItem(d.get(), vm_key, vm.get()) != 0) return nullptr;
  Ref vrs(vrs_list(view.vrs_of(found)));
  if (!vrs || PyDict_SetItem(d.get(), vrs_key, vrs.get()) != 0) return nullptr;
  return d.release();
}

PyObject* entries_of(const companion::View& view, const std::vector<std::uint32_t>& numbers, bool full) noexcept {
  Ref list(PyList_New(0));
  if (!list) return raise_creation_failure();
  for (const std::uint32_t number : numbers) {
    const auto found = view.record_view(number);
    if (!found) continue;  // only a companion rewritten since it was opened names no record
    Ref item(entry_of(view, *found, full));
    if (!item || PyList_Append(list.get(), item.get()) != 0) return nullptr;
  }
  return list.release();
}

/// The tag of a record as an int: an offset inside a block in the first block a creator
/// reserves, 0x10.
PyObject* tag_int(const archive::DictRecord& r) noexcept {
  const unsigned long element = r.block_offset() != 0 ? 0x1000UL | (r.element() & 0xFFUL) : r.element();
  return PyLong_FromUnsignedLong((static_cast<unsigned long>(r.group()) << 16) | element);
}

// ---- methods -----------------------------------------------------------------------------------

constexpr const char* kGetNames[] = {"tag", "creator", "what"};
constexpr Signature kGetSig{"Index.get()", kGetNames, 3, 3};
constexpr const char* kEntriesNames[] = {"keyword", "full"};
constexpr Signature kEntriesSig{"Index.entries()", kEntriesNames, 2, 1};
constexpr const char* kTagNames[] = {"keyword", "creator"};
constexpr Signature kTagSig{"Index.tag()", kTagNames, 2, 1};
constexpr const char* kCreatorsNames[] = {"tag"};
constexpr Signature kCreatorsSig{"Index.creators()", kCreatorsNames, 1, 1};
constexpr const char* kFindNames[] = {"text", "creator", "limit", "full"};
constexpr Signature kFindSig{"Index.find()", kFindNames, 4, 3};
constexpr const char* kSplitNames[] = {"tag"};
constexpr Signature kSplitSig{"split_tag()", kSplitNames, 1, 1};

}  // namespace

PyObject* index_get(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
  PyObject* a[3];
  if (!bind(kGetSig, args, nargsf, kwnames, a)) return nullptr;
  const auto tag = to_tag(a[0]);
  if (!tag) return nullptr;
  const auto creator = to_creator(a[1]);
  if (!creator) return nullptr;
  const long what = PyLong_AsLong(a[2]);
  if (what < 0 || what >= kWhatCount) {
    if (!PyErr_Occurred()) PyErr_Format(PyExc_ValueError, "no such answer: %ld", what);
    add_processing_note("what");
    return nullptr;
  }
  const companion::View& view = view_of(self);
  auto found = view.find_element(tag->group, tag->element, *creator, tag->block_form);
  if (!found) return raise_internal(found.error().message);
  // No entry is told apart from an entry without the field asked for (None): the caller then
  // asks its other layers and rules.
  if (!found.value()) return Py_NewRef(Py_NotImplemented);
  return answer_of(view, *found.value(), static_cast<What>(what));
}

/// The VR as pydicom spells it: the code, the choices joined by " or ", "NONE" for none.
PyObject* pydicom_vr(const companion::View& view, const RecordView& r) noexcept {
  const archive::ByteView codes = view.vrs_of(r);
  if (codes.size() == 1) return vr_str(codes.data()[0]);
  if (codes.size() == 0) return PyUnicode_FromString(r.record.vr() == archive::kVrUnknown ? "NONE" : "??");
  std::string text;
  for (std::size_t i = 0; i < codes.size(); ++i) {
    if (i != 0) text += " or ";
    text.append(archive::kVrTable.substr(2 * std::size_t{codes.data()[i]}, 2));
  }
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

/// (VR, VM, name, "Retired" or "", keyword), the keyword only when `with_keyword`.
PyObject* pydicom_tuple(const companion::View& view, const RecordView& r, bool with_keyword) noexcept {
  Ref vr(pydicom_vr(view, r));
  const auto vm = view.vm_of(r.number);
  Ref vm_text(vm ? str_of(*vm) : PyUnicode_FromStringAndSize("", 0));
  Ref name(record_text(r, RecordText::Name));
  Ref retired(PyUnicode_FromString(r.record.retired() != 0 ? "Retired" : ""));
  if (!vr || !vm_text || !name || !retired) return nullptr;
  if (!with_keyword) return PyTuple_Pack(4, vr.get(), vm_text.get(), name.get(), retired.get());
  Ref keyword(record_text(r, RecordText::Keyword));
  if (!keyword) return nullptr;
  return PyTuple_Pack(5, vr.get(), vm_text.get(), name.get(), retired.get(), keyword.get());
}

PyObject* answer_of(const companion::View& view, const RecordView& r, What what) noexcept {
  switch (what) {
    case kPublicTuple:
      return pydicom_tuple(view, r, true);
    case kPrivateTuple:
      return pydicom_tuple(view, r, false);
    case kEntry:
      return entry_of(view, r, true);
    case kLookup:
      return entry_of(view, r, false);
    case kKeyword:
      return record_text(r, RecordText::Keyword);
    case kName:
      return record_text(r, RecordText::Name);
    case kVr:
      return vr_str(r.record.vr());
    case kVm:
      return vm_value(view, r.number);
    case kVrs:
      return vr_tuple(view.vrs_of(r));
    case kWhatCount:
      break;
  }
  Py_RETURN_NONE;
}

PyObject* index_entries(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
  PyObject* a[2];
  if (!bind(kEntriesSig, args, nargsf, kwnames, a)) return nullptr;
  const auto keyword = to_text(a[0], "keyword");
  if (!keyword) return nullptr;
  const auto full = to_flag(a[1], "full");
  if (!full) return nullptr;
  const companion::View& view = view_of(self);
  return entries_of(view, view.records_for_keyword(*keyword), *full);
}

PyObject* index_tag(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
  PyObject* a[2];
  if (!bind(kTagSig, args, nargsf, kwnames, a)) return nullptr;
  const auto keyword = to_text(a[0], "keyword");
  if (!keyword) return nullptr;
  const auto creator = to_creator(a[1]);
  if (!creator) return nullptr;
  const companion::View& view = view_of(self);
  // Public records come first among those of a keyword, then private ones by tag.
  for (const std::uint32_t number : view.records_for_keyword(*keyword)) {
    const auto found = view.record_view(number);
    if (!found) continue;
    const archive::StrRef stored = found->record.creator();
    if (!*creator) {
      if (stored.length != 0) break;  // the public ones are over
      return tag_int(found->record);
    }
    if (stored.length == 0) continue;
    const auto text = lookup::resolve_text(found->pool, stored);
    if (!text) return raise_internal(text.error().message);
    if (lookup::creators_fold_equal(**creator, archive::as_chars(text.value().data(), text.value().size()))) {
      return tag_int(found->record);
    }
  }
  Py_RETURN_NONE;
}

PyObject* index_creators(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
  PyObject* a[1];
  if (!bind(kCreatorsSig, args, nargsf, kwnames, a)) return nullptr;
  const auto tag = to_tag(a[0]);
  if (!tag) return nullptr;
  Ref list(PyList_New(0));
  if (!list) return raise_creation_failure();
  if ((tag->group & 1) == 0 || (!tag->block_form && tag->element < 0x1000)) return list.release();
  const companion::View& view = view_of(self);
  // The entries of exactly this element, then those of its offset in any block.
  for (const bool offsets : {false, true}) {
    if (offsets == false && tag->block_form) continue;
    const auto element = static_cast<std::uint16_t>(offsets ? tag->element & 0xFF : tag->element);
    auto found = view.records_at(tag->group, element);
    if (!found) return raise_internal(found.error().message);
    for (const RecordView& r : found.value()) {
      if ((r.record.block_offset() != 0) != offsets || r.record.creator().length == 0) continue;
      Ref creator(record_text(r, RecordText::Creator));
      if (!creator) return nullptr;
      const int seen = PySequence_Contains(list.get(), creator.get());
      if (seen < 0 || (seen == 0 && PyList_Append(list.get(), creator.get()) != 0)) return nullptr;
    }
  }
  return list.release();
}

PyObject* index_find(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
  PyObject* a[4];
  if (!bind(kFindSig, args, nargsf, kwnames, a)) return nullptr;
  const auto text = to_text(a[0], "text");
  if (!text) return nullptr;
  const auto creator = to_creator(a[1]);
  if (!creator) return nullptr;
  const auto limit = to_limit(a[2]);
  if (!limit) return nullptr;
  const auto full = to_flag(a[3], "full");
  if (!full) return nullptr;
  const companion::View& view = view_of(self);
  return entries_of(view, view.search_records(*text, *creator, *limit), *full);
}

PyObject* split_tag(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
  PyObject* a[1];
  if (!bind(kSplitSig, args, nargsf, kwnames, a)) return nullptr;
  const auto tag = to_tag(a[0]);
  if (!tag) return nullptr;
  return Py_BuildValue("(iiO)", tag->group, tag->element, tag->block_form ? Py_True : Py_False);
}

}  // namespace quillet::py
