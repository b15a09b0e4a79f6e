#include "module/convert.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "archive/layout.hpp"
#include "lookup/search.hpp"
#include "lookup/utf8.hpp"
#include "module/errors.hpp"
#include "module/pyref.hpp"
#include "module/text.hpp"

namespace quillet::py {
namespace {

using archive::ByteView;
using archive::DictRecord;
using archive::StrRef;
using lookup::is_ascii;
using lookup::is_valid_utf8;

/// The bytes of a text, or nothing after raising the internal fault for a text outside the pool.
/// Texts are not checked at open, so this is where a corrupt StrRef is caught.
std::optional<ByteView> resolve(ByteView pool, StrRef ref) noexcept {
  auto bytes = lookup::resolve_text(pool, ref);
  if (!bytes) {
    raise_internal(bytes.error().message);
    return std::nullopt;
  }
  return bytes.value();
}

/// Splits at every '|' and drops the empty pieces. Splitting valid UTF-8 at an ASCII byte keeps
/// every piece valid.
PyObject* sources_list(ByteView s) noexcept {
  const bool ascii = is_ascii(s);
  if (!ascii && !is_valid_utf8(s)) s = ByteView{};
  // Room for four pieces before the first reallocation: most entries name one or two sources.
  struct Piece {
    std::size_t start, len;
  };
  Piece inline_pieces[4];
  std::vector<Piece> more;
  std::size_t count = 0;
  auto push = [&](std::size_t start, std::size_t len) {
    if (len == 0) return;
    if (count < 4) {
      inline_pieces[count] = {start, len};
    } else {
      if (more.empty()) more.assign(inline_pieces, inline_pieces + 4);
      more.push_back({start, len});
    }
    ++count;
  };
  std::size_t start = 0;
  const std::uint8_t* p = s.data();
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (p[i] == '|') {
      push(start, i - start);
      start = i + 1;
    }
  }
  push(start, s.size() - start);

  Ref list(PyList_New(static_cast<Py_ssize_t>(count)));
  if (!list) return raise_creation_failure();
  const Piece* pieces = count <= 4 ? inline_pieces : more.data();
  for (std::size_t i = 0; i < count; ++i) {
    // Pieces of an ASCII text are ASCII; pieces of another valid text are valid but need decoding.
    PyObject* item = ascii ? str_of_ascii(p + pieces[i].start, pieces[i].len)
                           : str_of_utf8(ByteView(p + pieces[i].start, pieces[i].len));
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

/// The ten keys, in the order they are stored.
enum Key : std::size_t { kGroup, kElement, kCreator, kKeyword, kName, kVr, kDescription, kRetired, kBlock, kSources };
constexpr std::string_view kKeys[] = {"group", "element",     "creator", "keyword",      "name",
                                      "vr",    "description", "retired", "block_offset", "sources"};
// A str of length 0 or 1 may be a shared singleton, whose hash must not be written below.
static_assert(std::ranges::all_of(kKeys, [](std::string_view k) { return k.size() >= 2; }));

/// Each key's str hash, -1 until first needed. The keys are new strs on every call, and a new str
/// does not know its hash yet, so the dict would hash all ten again each time; equal texts hash
/// alike within a process, so the hash is taken once, from a temporary str of the same text.
/// Threads that race here store the same value.
std::atomic<Py_hash_t> g_key_hash[std::size(kKeys)] = {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1};

Py_hash_t key_hash(std::size_t i) noexcept {
  Py_hash_t h = g_key_hash[i].load(std::memory_order_relaxed);
  if (h != -1) return h;
  Ref tmp(PyUnicode_FromStringAndSize(kKeys[i].data(), static_cast<Py_ssize_t>(kKeys[i].size())));
  if (!tmp) return -1;
  h = PyObject_Hash(tmp.get());
  if (h != -1) g_key_hash[i].store(h, std::memory_order_relaxed);
  return h;
}

/// A new key string with its hash already filled in.
PyObject* new_key(std::size_t i) noexcept {
  const Py_hash_t h = key_hash(i);
  if (h == -1) return raise_creation_failure();
  PyObject* k = str_of_ascii(reinterpret_cast<const std::uint8_t*>(kKeys[i].data()), kKeys[i].size());
  // Nothing else holds the new str yet, so its hash cache can be set directly; it is the value
  // str's own hash would compute.
  if (k != nullptr) reinterpret_cast<PyASCIIObject*>(k)->hash = h;
  return k;
}

/// Stores value under a new key string; steals `value`.
bool set(PyObject* dict, Key key, PyObject* value) noexcept {
  Ref v(value);
  if (!v) return false;
  Ref k(new_key(key));
  if (!k) return false;
  return PyDict_SetItem(dict, k.get(), v.get()) == 0;
}

/// The keys made once for the rest of the process (immortal as the interpreter's own constants
/// are not, but never released): what the package's own results use, where no contract asks for
/// new key strings.
std::atomic<PyObject*> g_shared_keys[std::size(kKeys)] = {};

/// Stores value under the shared key; steals `value`.
bool set_shared(PyObject* dict, Key key, PyObject* value) noexcept {
  Ref v(value);
  if (!v) return false;
  PyObject* k = g_shared_keys[key].load(std::memory_order_acquire);
  if (k == nullptr) {
    k = publish_once(g_shared_keys[key], new_key(key));
    if (k == nullptr) return false;
  }
  return PyDict_SetItem(dict, k, v.get()) == 0;
}

PyObject* int_of(std::uint16_t v) noexcept {
  PyObject* o = PyLong_FromLong(v);
  return o != nullptr ? o : raise_creation_failure();
}

PyObject* text_of(ByteView pool, StrRef ref) noexcept {
  const auto bytes = resolve(pool, ref);
  return bytes ? str_of(*bytes) : nullptr;
}

/// The ten keys of `view` into `dict`, each stored by `set`; the shared texts through `cache`
/// where there is one.
template <auto Set>
bool fill(PyObject* dict, const lookup::RecordView& view, TextCache* cache = nullptr) noexcept {
  const DictRecord& r = view.record;
  auto shared = [&](StrRef ref) { return cache != nullptr ? cache->text(view.pool, ref) : text_of(view.pool, ref); };
  if (!Set(dict, kGroup, int_of(r.group()))) return false;
  if (!Set(dict, kElement, int_of(r.element()))) return false;
  // A creator of length 0 is "no creator": its offset is never looked at, however large.
  const StrRef creator = r.creator();
  if (!Set(dict, kCreator, creator.length == 0 ? str_of(ByteView{}) : shared(creator))) return false;
  if (!Set(dict, kKeyword, text_of(view.pool, r.keyword()))) return false;
  if (!Set(dict, kName, text_of(view.pool, r.name()))) return false;
  if (!Set(dict, kVr, vr_str(r.vr()))) return false;
  if (!Set(dict, kDescription, shared(r.description()))) return false;
  if (!Set(dict, kRetired, PyBool_FromLong(r.retired() != 0))) return false;
  if (!Set(dict, kBlock, PyBool_FromLong(r.block_offset() != 0))) return false;
  if (cache != nullptr) return Set(dict, kSources, cache->sources(view.pool, r.sources()));
  const auto sources = resolve(view.pool, r.sources());
  if (!sources) return false;
  return Set(dict, kSources, sources_list(*sources));
}

std::uint64_t cache_key(StrRef ref) noexcept { return (std::uint64_t{ref.offset} << 32) | ref.length; }

/// The VR strs, made once each.
std::atomic<PyObject*> g_vr_strs[archive::kVrCount] = {};

}  // namespace

PyObject* vr_str(std::uint8_t code) noexcept {
  // Validation at open guarantees vr < 35, so the table index is in range; clamp anyway so a file
  // rewritten since cannot index past it.
  const std::uint8_t vr = code < archive::kVrCount ? code : archive::kVrCount - 1;
  if (PyObject* s = g_vr_strs[vr].load(std::memory_order_acquire)) return Py_NewRef(s);
  PyObject* made = str_of_ascii(reinterpret_cast<const std::uint8_t*>(archive::kVrTable.data()) + 2 * vr, 2);
  PyObject* kept = publish_once(g_vr_strs[vr], made);
  return kept != nullptr ? Py_NewRef(kept) : nullptr;
}

PyObject* TextCache::text(ByteView pool, StrRef ref) noexcept {
  const std::uint64_t key = cache_key(ref);
  const auto it = texts_.find(key);
  if (it != texts_.end()) return Py_NewRef(it->second.get());
  PyObject* made = text_of(pool, ref);
  if (made == nullptr) return nullptr;
  try {
    texts_.emplace(key, Ref::borrow(made));
  } catch (...) {  // out of memory: answer uncached
  }
  return made;
}

PyObject* TextCache::sources(ByteView pool, StrRef ref) noexcept {
  const std::uint64_t key = cache_key(ref);
  auto it = sources_.find(key);
  if (it == sources_.end()) {
    const auto bytes = resolve(pool, ref);
    if (!bytes) return nullptr;
    Ref list(sources_list(*bytes));
    if (!list) return nullptr;
    Ref items(PyList_AsTuple(list.get()));
    if (!items) return nullptr;
    try {
      it = sources_.emplace(key, std::move(items)).first;
    } catch (...) {
      return list.release();
    }
  }
  return PySequence_List(it->second.get());
}

PyObject* record_to_dict(const lookup::RecordView& view) noexcept {
  Ref d(PyDict_New());
  if (!d) return raise_creation_failure();
  return fill<set>(d.get(), view) ? d.release() : nullptr;
}

namespace {

/// The shared keys in their order, each with None: a copy is a dict of the right size whose
/// items are then replaced in place, with no growing on the way and the keys' order kept.
std::atomic<PyObject*> g_templates[2] = {};

PyObject* template_dict(bool with_more) noexcept {
  std::atomic<PyObject*>& cell = g_templates[with_more ? 1 : 0];
  if (PyObject* t = cell.load(std::memory_order_acquire)) return t;
  Ref d(PyDict_New());
  if (!d) return raise_creation_failure();
  for (std::size_t i = 0; i < std::size(kKeys); ++i) {
    if (!set_shared(d.get(), static_cast<Key>(i), Py_NewRef(Py_None))) return nullptr;
  }
  for (const char* more : {"vm", "vrs"}) {
    if (!with_more) break;
    Ref k(PyUnicode_InternFromString(more));
    if (!k || PyDict_SetItem(d.get(), k.get(), Py_None) != 0) return nullptr;
  }
  return publish_once(cell, d.release());
}

}  // namespace

PyObject* record_to_shared_dict(const lookup::RecordView& view, TextCache* cache, bool with_more) noexcept {
  PyObject* tmpl = template_dict(with_more);
  if (tmpl == nullptr) return nullptr;
  Ref d(PyDict_Copy(tmpl));
  if (!d) return raise_creation_failure();
  return fill<set_shared>(d.get(), view, cache) ? d.release() : nullptr;
}

PyObject* record_text(const lookup::RecordView& view, RecordText which) noexcept {
  const DictRecord& r = view.record;
  switch (which) {
    case RecordText::Keyword:
      return text_of(view.pool, r.keyword());
    case RecordText::Name:
      return text_of(view.pool, r.name());
    case RecordText::Creator:
      return r.creator().length == 0 ? str_of(ByteView{}) : text_of(view.pool, r.creator());
  }
  return nullptr;
}

}  // namespace quillet::py
