/* The floor of a lookup's result building: the same ten-key dict that Dict.lookup returns,
 * made in C from bytes already in memory, with new key strings every time. No argument
 * checking, no search, no UTF-8 checking: what is left is the cost of the objects themselves.
 *
 * prepare(d) copies the values of a lookup result into C buffers; make(group, element) then
 * builds a new dict from them. It takes the same two positional arguments as the lookup it is
 * compared with so that the interpreter's call costs the same; it ignores them.
 *
 * make() uses the plain public API (PyDict_New, PyUnicode_FromStringAndSize, PyDict_SetItem).
 * make_hashed() also stores each new key's hash, taken from an interned copy of the same text,
 * before inserting it, so the dict does not hash ten fresh strings. make_presized() is
 * make_hashed() with the dict sized for ten keys up front; _PyDict_NewPresized is not public
 * API, so it is here only to show what the one resize costs.
 *
 * Built by the benchmark script only; not part of the package. */

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <string.h>

#define NKEYS 10
#define MAXSRC 16

static const char* const key_text[NKEYS] = {"group", "element",     "creator", "keyword",      "name",
                                            "vr",    "description", "retired", "block_offset", "sources"};
static Py_ssize_t key_len[NKEYS];
static Py_hash_t key_hash[NKEYS];

typedef struct {
  char* data;
  Py_ssize_t len;
} text;

static long v_group, v_element;
static text v_text[5]; /* creator, keyword, name, vr, description */
static int v_retired, v_block;
static text v_src[MAXSRC];
static Py_ssize_t v_nsrc;

static int copy_text(PyObject* s, text* out) {
  Py_ssize_t n;
  const char* p = PyUnicode_AsUTF8AndSize(s, &n);
  if (p == NULL) return -1;
  PyMem_Free(out->data);
  out->data = PyMem_Malloc((size_t)n + 1);
  if (out->data == NULL) {
    PyErr_NoMemory();
    return -1;
  }
  memcpy(out->data, p, (size_t)n);
  out->len = n;
  return 0;
}

static PyObject* prepare(PyObject* mod, PyObject* d) {
  (void)mod;
  static const char* const texts[5] = {"creator", "keyword", "name", "vr", "description"};
  if (!PyDict_Check(d)) return PyErr_Format(PyExc_TypeError, "expected a dict");
  PyObject* v = PyDict_GetItemString(d, "group");
  if (v == NULL || (v_group = PyLong_AsLong(v)) == -1) goto bad;
  v = PyDict_GetItemString(d, "element");
  if (v == NULL || (v_element = PyLong_AsLong(v)) == -1) goto bad;
  for (int i = 0; i < 5; ++i) {
    v = PyDict_GetItemString(d, texts[i]);
    if (v == NULL || copy_text(v, &v_text[i]) < 0) goto bad;
  }
  v = PyDict_GetItemString(d, "retired");
  if (v == NULL) goto bad;
  v_retired = v == Py_True;
  v = PyDict_GetItemString(d, "block_offset");
  if (v == NULL) goto bad;
  v_block = v == Py_True;
  v = PyDict_GetItemString(d, "sources");
  if (v == NULL || !PyList_Check(v) || PyList_GET_SIZE(v) > MAXSRC) goto bad;
  v_nsrc = PyList_GET_SIZE(v);
  for (Py_ssize_t i = 0; i < v_nsrc; ++i) {
    if (copy_text(PyList_GET_ITEM(v, i), &v_src[i]) < 0) goto bad;
  }
  Py_RETURN_NONE;
bad:
  if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "not a lookup result");
  return NULL;
}

static PyObject* new_key(int i, int hashed) {
  PyObject* k = PyUnicode_FromStringAndSize(key_text[i], key_len[i]);
  /* A str caches its hash in the object; a new one starts with -1 (not computed). */
  if (k != NULL && hashed) ((PyASCIIObject*)k)->hash = key_hash[i];
  return k;
}

static PyObject* value(int i) {
  switch (i) {
    case 0:
      return PyLong_FromLong(v_group);
    case 1:
      return PyLong_FromLong(v_element);
    case 2:
    case 3:
    case 4:
    case 5:
    case 6:
      return PyUnicode_FromStringAndSize(v_text[i - 2].data, v_text[i - 2].len);
    case 7:
      return PyBool_FromLong(v_retired);
    case 8:
      return PyBool_FromLong(v_block);
    default: {
      PyObject* list = PyList_New(v_nsrc);
      if (list == NULL) return NULL;
      for (Py_ssize_t j = 0; j < v_nsrc; ++j) {
        PyObject* s = PyUnicode_FromStringAndSize(v_src[j].data, v_src[j].len);
        if (s == NULL) {
          Py_DECREF(list);
          return NULL;
        }
        PyList_SET_ITEM(list, j, s);
      }
      return list;
    }
  }
}

static PyObject* build(PyObject* d, int hashed) {
  if (d == NULL) return NULL;
  for (int i = 0; i < NKEYS; ++i) {
    PyObject* v = value(i);
    if (v == NULL) goto fail;
    PyObject* k = new_key(i, hashed);
    if (k == NULL) {
      Py_DECREF(v);
      goto fail;
    }
    int rc = PyDict_SetItem(d, k, v);
    Py_DECREF(k);
    Py_DECREF(v);
    if (rc < 0) goto fail;
  }
  return d;
fail:
  Py_DECREF(d);
  return NULL;
}

static PyObject* make(PyObject* mod, PyObject* const* args, Py_ssize_t nargs) {
  (void)mod;
  (void)args;
  (void)nargs;
  return build(PyDict_New(), 0);
}

static PyObject* make_hashed(PyObject* mod, PyObject* const* args, Py_ssize_t nargs) {
  (void)mod;
  (void)args;
  (void)nargs;
  return build(PyDict_New(), 1);
}

static PyObject* make_presized(PyObject* mod, PyObject* const* args, Py_ssize_t nargs) {
  (void)mod;
  (void)args;
  (void)nargs;
  return build(_PyDict_NewPresized(NKEYS), 1);
}

static PyMethodDef methods[] = {
    {"prepare", prepare, METH_O, "Copy the values of a lookup result."},
    {"make", (PyCFunction)(void (*)(void))make, METH_FASTCALL, "A new ten-key dict, plain public API."},
    {"make_hashed", (PyCFunction)(void (*)(void))make_hashed, METH_FASTCALL, "make() with key hashes stored."},
    {"make_presized", (PyCFunction)(void (*)(void))make_presized, METH_FASTCALL,
     "make_hashed() into a dict presized for ten keys."},
    {NULL, NULL, 0, NULL},
};

static int exec_module(PyObject* m) {
  (void)m;
  for (int i = 0; i < NKEYS; ++i) {
    key_len[i] = (Py_ssize_t)strlen(key_text[i]);
    PyObject* s = PyUnicode_InternFromString(key_text[i]);
    if (s == NULL) return -1;
    key_hash[i] = PyObject_Hash(s);
    Py_DECREF(s);
    if (key_hash[i] == -1) return -1;
  }
  return 0;
}

static PyModuleDef_Slot slots[] = {
    {Py_mod_exec, exec_module},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, NULL},
};

static struct PyModuleDef def = {PyModuleDef_HEAD_INIT, "_bench_floor", NULL, 0, methods, slots, NULL, NULL, NULL};

PyMODINIT_FUNC PyInit__bench_floor(void) { return PyModuleDef_Init(&def); }
