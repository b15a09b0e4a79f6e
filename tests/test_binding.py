"""Argument binding: one binder, the interpreter's TypeError texts, and which fault wins."""

from __future__ import annotations

import pytest

import quillet

from conftest import example_body


@pytest.fixture
def h(write):
    return quillet.open(write(example_body()))


CASES = [
    # (call, expected message)
    (lambda h: h.lookup(), "Dict.lookup() missing 2 required positional arguments: 'group' and 'element'"),
    (lambda h: h.lookup(1), "Dict.lookup() missing 1 required positional argument: 'element'"),
    (
        lambda h: h.lookup(creator="x"),
        "Dict.lookup() missing 2 required positional arguments: 'group' and 'element'",
    ),
    (lambda h: h.lookup(1, 2, 3, 4), "Dict.lookup() takes from 2 to 3 positional arguments but 4 were given"),
    (
        lambda h: h.lookup(1, 2, 3, 4, 5),
        "Dict.lookup() takes from 2 to 3 positional arguments but 5 were given",
    ),
    (lambda h: h.lookup(1, group=1, element=2), "Dict.lookup() got multiple values for argument 'group'"),
    (lambda h: h.lookup(1, 2, tag=3), "Dict.lookup() got an unexpected keyword argument 'tag'"),
    (
        lambda h: h.__exit__(1, 2, 3, 4),
        "Dict.__exit__() takes from 0 to 3 positional arguments but 4 were given",
    ),
    (lambda h: h.__exit__(x=1), "Dict.__exit__() got an unexpected keyword argument 'x'"),
    (lambda h: h.__exit__(1, _exc_type=1), "Dict.__exit__() got multiple values for argument '_exc_type'"),
    (lambda h: quillet.open(), "open() missing 1 required positional argument: 'path'"),
    (lambda h: quillet.open("a", "b"), "open() takes 1 positional arguments but 2 were given"),
    (lambda h: quillet.open("a", "b", "c"), "open() takes 1 positional arguments but 3 were given"),
    (lambda h: quillet.open("a", path="b"), "open() got multiple values for argument 'path'"),
    (lambda h: quillet.open(file="a"), "open() got an unexpected keyword argument 'file'"),
    # Precedence: too many positionals beats keywords; keywords in the order given beat missing.
    (
        lambda h: h.lookup(1, 2, 3, 4, bogus=1),
        "Dict.lookup() takes from 2 to 3 positional arguments but 4 were given",
    ),
    (lambda h: h.lookup(1, bogus=1, group=2), "Dict.lookup() got an unexpected keyword argument 'bogus'"),
    (lambda h: h.lookup(1, group=2, bogus=1), "Dict.lookup() got multiple values for argument 'group'"),
    (lambda h: h.lookup(bogus=1), "Dict.lookup() got an unexpected keyword argument 'bogus'"),
]


@pytest.mark.parametrize("call, message", CASES, ids=[m for _, m in CASES])
def test_binding_errors(h, call, message):
    with pytest.raises(TypeError) as e:
        call(h)
    assert str(e.value) == message
    assert not getattr(e.value, "__notes__", None)


def test_binding_fails_before_any_conversion(h):
    # A bad value in a call that also binds wrongly reports the binding, not the value.
    with pytest.raises(TypeError, match="takes from 2 to 3"):
        h.lookup(-1, -1, b"x", 4)


@pytest.mark.parametrize(
    "kwargs",
    [
        dict(group=0x10, element=0x10),
        dict(element=0x10, group=0x10),
        dict(group=0x10, element=0x10, creator=None),
    ],
)
def test_keywords_bind_like_positions(h, kwargs):
    assert h.lookup(**kwargs) == h.lookup(0x10, 0x10)


def test_exit_accepts_every_form(h):
    assert h.__exit__() is False
    assert h.__exit__(None, None, None) is False
    assert h.__exit__(_tb=1, _exc=2, _exc_type=3) is False
