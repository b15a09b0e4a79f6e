#include "lookup/convert.hpp"

#include <cstring>
#include <string>
#include <vector>

#include "archive/layout.hpp"
#include "lookup/utf8.hpp"
#include "module/errors.hpp"
#include "module/pyref.hpp"

namespace quillet::py {
namespace {

/// The bytes of a text, or nothing after raising the internal fault for a text outside the pool.
/// Texts are not checked at open, so this is where a corrupt StrRef is caught.
std::optional<ByteView> resolve(ByteView pool, StrRef ref) noexcept {
  const std::uint64_t len = pool.size();
  const std::uint64_t end = std::uint64_t{ref.offset} + ref.length;  // 64-bit: cannot wrap
  if (ref.offset > len) {
    raise_internal("range start index " + std::to_string(ref.offset) + " out of range for slice of length " +
                   std::to_string(len));
    return std::nullopt;
  }
  if (end > len) {
    raise_internal("range end index " + std::to_string(end) + " out of range for slice of length " +
                   std::to_string(len));
    return std::nullopt;
  }
  return pool.slice(ref.offset, ref.length);
}

/// A str of bytes known to be valid UTF-8.
PyObject* str_of_valid(ByteView s) noexcept {
  PyObject* o = nullptr;
  if (is_ascii(s)) {
    o = PyUnicode_New(static_cast<Py_ssize_t>(s.size()), 127);
    if (o != nullptr && s.size() > 0) std::memcpy(PyUnicode_DATA(o), s.data(), s.size());
  } else {
    o = PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(s.data()), static_cast<Py_ssize_t>(s.size()), "strict");
  }
  return o != nullptr ? o : raise_creation_failure();
}

/// A str of archive bytes: malformed UTF-8 reads as the empty text, never as an error.
PyObject* str_of(ByteView s) noexcept {
  return str_of_valid(is_ascii(s) || is_valid_utf8(s) ? s : ByteView{});
}

PyObject* str_of_literal(const char* s, std::size_t n) noexcept { return str_of_valid(ByteView(reinterpret_cast<const std::uint8_t*>(s), n)); }

/// Splits at every '|' and drops the empty pieces. Splitting valid UTF-8 at an ASCII byte keeps
/// every piece valid.
PyObject* sources_list(ByteView s) noexcept {
  if (!is_ascii(s) && !is_valid_utf8(s)) s = ByteView{};
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
    PyObject* item = str_of_valid(ByteView(p + pieces[i].start, pieces[i].len));
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

/// Stores value under a new key string; steals `value`.
bool set(PyObject* dict, const char* key, std::size_t key_len, PyObject* value) noexcept {
  Ref v(value);
  if (!v) return false;
  Ref k(str_of_literal(key, key_len));
  if (!k) return false;
  return PyDict_SetItem(dict, k.get(), v.get()) == 0;
}

template <std::size_t N>
bool set(PyObject* dict, const char (&key)[N], PyObject* value) noexcept {
  return set(dict, key, N - 1, value);
}

PyObject* int_of(std::uint16_t v) noexcept {
  PyObject* o = PyLong_FromLong(v);
  return o != nullptr ? o : raise_creation_failure();
}

PyObject* text_of(ByteView pool, StrRef ref) noexcept {
  const auto bytes = resolve(pool, ref);
  return bytes ? str_of(*bytes) : nullptr;
}

}  // namespace

PyObject* record_to_dict(const RecordView& view) noexcept {
  const DictRecord& r = view.record;
  Ref d(PyDict_New());
  if (!d) return raise_creation_failure();
  PyObject* dict = d.get();

  if (!set(dict, "group", int_of(r.group()))) return nullptr;
  if (!set(dict, "element", int_of(r.element()))) return nullptr;
  // A creator of length 0 is "no creator": its offset is never looked at, however large.
  const StrRef creator = r.creator();
  if (!set(dict, "creator", creator.length == 0 ? str_of(ByteView{}) : text_of(view.pool, creator))) return nullptr;
  if (!set(dict, "keyword", text_of(view.pool, r.keyword()))) return nullptr;
  if (!set(dict, "name", text_of(view.pool, r.name()))) return nullptr;
  // Validation at open guarantees vr < 35, so the table index is in range; clamp anyway so a file
  // rewritten since cannot index past it.
  const std::uint8_t vr = r.vr() < kVrCount ? r.vr() : kVrCount - 1;
  if (!set(dict, "vr", str_of_literal(kVrTable.data() + 2 * vr, 2))) return nullptr;
  if (!set(dict, "description", text_of(view.pool, r.description()))) return nullptr;
  if (!set(dict, "retired", PyBool_FromLong(r.retired() != 0))) return nullptr;
  if (!set(dict, "block_offset", PyBool_FromLong(r.block_offset() != 0))) return nullptr;
  const auto sources = resolve(view.pool, r.sources());
  if (!sources) return nullptr;
  if (!set(dict, "sources", sources_list(*sources))) return nullptr;
  return d.release();
}

}  // namespace quillet::py
