"""The module's surface: names, docstrings, the Dict class's description, re-execution."""

from __future__ import annotations

import _imp
import ctypes
import importlib.util

import pytest

import quillet
from quillet import _quillet

from conftest import example_body


def test_names_and_version():
    assert _quillet.__all__ == ["Dict", "open", "__version__"]
    assert _quillet.__version__ == "0.2.8"
    assert _quillet.__doc__ == ""
    assert quillet.Dict is _quillet.Dict and quillet.open is _quillet.open


def test_open_function_object():
    f = _quillet.open
    assert f.__name__ == "open"
    assert f.__text_signature__ == "(path)"
    assert f.__self__ is _quillet
    assert f.__module__ == "quillet._quillet"
    assert f.__doc__ == (
        "Open a `.qlet` file. Raises `IOError` on missing file or corruption,\n"
        "`ValueError` on unsupported version."
    )


@pytest.mark.parametrize(
    "name, signature, doc",
    [
        (
            "lookup",
            "($self, group, element, creator=None)",
            "Look up a tag. Returns a dict or `None`.\n\n"
            '`element` is the low byte for private tags (the "xx" form).',
        ),
        ("__enter__", "($self)", "Context-manager support (no-op - mmap is released on drop)."),
        ("__exit__", "($self, _exc_type=None, _exc=None, _tb=None)", None),
    ],
)
def test_method_docs(name, signature, doc):
    method = getattr(_quillet.Dict, name)
    assert method.__text_signature__ == signature
    assert method.__doc__ == doc


def test_dict_class_description(write):
    D = _quillet.Dict
    assert (D.__module__, D.__name__, D.__qualname__) == ("quillet._quillet", "Dict", "Dict")
    assert D.__doc__ == "Opaque handle holding an mmap'd dictionary."
    assert D.__bases__ == (object,)
    with pytest.raises(TypeError):
        D()
    with pytest.raises(TypeError):
        type("Sub", (D,), {})
    h = quillet.open(write(example_body()))
    with pytest.raises(AttributeError):
        h.anything = 1
    assert not hasattr(h, "__dict__")
    with pytest.raises(TypeError):
        import weakref

        weakref.ref(h)


def test_handle_offers_no_other_protocol(write):
    h = quillet.open(write(example_body()))
    with pytest.raises(TypeError):
        iter(h)
    with pytest.raises(TypeError):
        h[0]
    other = quillet.open(write(example_body()))
    assert h != other and h == h
    assert hash(h) == object.__hash__(h)


def test_context_manager_releases_nothing(write):
    h = quillet.open(write(example_body()))
    with h as bound:
        assert bound is h
    assert h.lookup(0x10, 0x10)["keyword"] == "Kw"
    assert h.__exit__(ValueError, ValueError("x"), None) is False
    with pytest.raises(ValueError, match="inside"), h:
        raise ValueError("inside")


def _fresh_module():
    spec = importlib.util.find_spec("quillet._quillet")
    return spec, _imp.create_dynamic(spec)


def test_second_module_object_shares_the_class():
    _, mod = _fresh_module()
    assert mod is not _quillet
    _imp.exec_dynamic(mod)
    assert mod.Dict is _quillet.Dict
    assert mod.open is not _quillet.open and mod.open.__self__ is mod
    assert mod.__all__ == ["Dict", "open", "__version__"]


def _exec_again(mod):
    # importlib refuses to execute a module twice, so call the C API directly.
    api = ctypes.pythonapi
    api.PyModule_GetDef.restype = ctypes.c_void_p
    api.PyModule_GetDef.argtypes = [ctypes.py_object]
    api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
    assert api.PyModule_ExecDef(mod, api.PyModule_GetDef(mod)) == 0


def test_executing_again_appends_the_names_again():
    _, mod = _fresh_module()
    _imp.exec_dynamic(mod)
    first_open = mod.open
    _exec_again(mod)
    assert mod.open is not first_open and mod.Dict is _quillet.Dict
    assert mod.__all__ == ["Dict", "open", "__version__"] * 2


@pytest.mark.parametrize("value, type_name", [((), "tuple"), ("Dict", "str"), (None, "NoneType")])
def test_all_that_is_not_a_list_fails(value, type_name):
    _, mod = _fresh_module()
    mod.__all__ = value
    with pytest.raises(TypeError) as e:
        _imp.exec_dynamic(mod)
    assert str(e.value) == f"'{type_name}' object is not an instance of 'list'"
    assert not hasattr(mod, "Dict")


def test_all_may_be_a_list_subclass():
    class Names(list):
        pass

    _, mod = _fresh_module()
    mod.__all__ = Names(["x"])
    _imp.exec_dynamic(mod)
    assert mod.__all__ == ["x", "Dict", "open", "__version__"]


def test_import_keeps_the_interpreter_lock_state():
    import sys

    # On a default build the lock is simply enabled; on a free-threaded one importing must not
    # re-enable it, which a missing Py_mod_gil slot would do.
    assert sys._is_gil_enabled() == (not bool(__import__("sysconfig").get_config_var("Py_GIL_DISABLED")))
