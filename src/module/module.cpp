// The module `quillet._quillet`: multi-phase initialisation filling in Dict, open and __version__.

#include <Python.h>

#include "module/binding.hpp"
#include "module/errors.hpp"
#include "module/handle.hpp"
#include "module/pyref.hpp"

namespace quillet::py {
namespace {

constexpr const char* kVersion = "0.2.8";

/// Publishes `value` as `name`: the name enters __all__ first, then the attribute is set.
int add(PyObject* module, PyObject* name, PyObject* value) noexcept {
  Ref all(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    all = Ref(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
  } else if (!PyList_Check(all.get())) {
    raise_not_instance(all.get(), "list");
    return -1;
  }
  if (PyList_Append(all.get(), name) < 0) {
    PyErr_Clear();
    raise_internal("could not append __name__ to __all__");
    return -1;
  }
  return PyObject_SetAttr(module, name, value);
}

int add(PyObject* module, const char* name, PyObject* value) noexcept {
  Ref n(PyUnicode_FromString(name));
  return n ? add(module, n.get(), value) : -1;
}

PyMethodDef kOpenDef = {"open", fastcall<open_function>(), METH_FASTCALL | METH_KEYWORDS,
                        "open(path)\n--\n\nOpen a `.qlet` file. Raises `IOError` on missing file or corruption,\n"
                        "`ValueError` on unsupported version."};

int exec_module(PyObject* module) noexcept {
  PyObject* type = dict_type();  // borrowed: the class lives for the rest of the process
  if (type == nullptr || add(module, "Dict", type) < 0) return -1;

  Ref modname(PyModule_GetNameObject(module));
  if (!modname) return -1;
  Ref open(PyCMethod_New(&kOpenDef, module, modname.get(), nullptr));
  if (!open) return -1;
  Ref open_name(PyObject_GetAttrString(open.get(), "__name__"));
  if (!open_name || add(module, open_name.get(), open.get()) < 0) return -1;

  Ref version(PyUnicode_FromString(kVersion));
  if (!version) return -1;
  return add(module, "__version__", version.get());
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "_quillet",
    "",  // an empty docstring, not None
    0,   // no per-module state
    nullptr,
    kSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace quillet::py

PyMODINIT_FUNC PyInit__quillet() { return PyModuleDef_Init(&quillet::py::kModule); }
