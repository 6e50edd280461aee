"""Hostile and malformed input at the Python surface, beyond what
test_cbor_dumps.py and test_delta.py already cover. After every test the
module must still work and no extra reference may be held."""

import os
import sys

import cbor2
import pytest

from corvantis_core import cbor, delta

CAST_ERROR = (
    "Unable to cast Python instance to C++ type (#define PYBIND11_DETAILED_ERROR_MESSAGES "
    "or compile in debug mode for details)"
)
OUT_OF_RANGE = "dumps received an integer out of range for both int64_t and uint64_t"
LIST_CHANGED, DICT_CHANGED = "list changed size during iteration", "dictionary changed size during iteration"


@pytest.fixture(autouse=True)
def module_still_works():
    yield
    assert cbor.dumps([1, "a", None]) == bytes.fromhex("9f016161f6ff")
    old, new = b"abcdefghijklmnopqrstuvwxyz0123", b"abcdefghijXYklmnopqrstxyz0123"
    assert bytes(delta.patch(old, bytes(delta.diff(old, new)))) == new


def special(**methods):
    """An object of a fresh class with the given special methods."""
    return type("Hostile", (), methods)()


def boom(*_):
    raise ArithmeticError("boom")


def int_with(value, **methods):
    return type("IntWith", (int,), {"__hash__": int.__hash__, **methods})(value)


# ---------------------------------------------------------------- dumps

UNCONVERTIBLE = {
    "bool-returns-str": lambda: special(__bool__=lambda s: "yes"),
    "index-returns-float": lambda: special(__index__=lambda s: 1.5),
    "index-and-bool-raise": lambda: special(__index__=boom, __bool__=boom),
    "index-raises": lambda: special(__index__=boom),
}


@pytest.mark.parametrize("make", UNCONVERTIBLE.values(), ids=UNCONVERTIBLE)
def test_unconvertible_object(make):
    value = make()
    containers = [value], (1, value), {"k": value}, {value: 1}
    refs = sys.getrefcount(value)
    for _ in range(20):
        with pytest.raises(TypeError):
            cbor.dumps(value)
        for container in containers:
            for indefinite in (True, False):
                with pytest.raises(RuntimeError) as info:
                    cbor.dumps(container, indefinite=indefinite)
                assert str(info.value) == CAST_ERROR
    assert sys.getrefcount(value) == refs


# Truth tests that grow the list past its allocation, shrink it, or grow a dict
# until it rehashes: the walk must notice rather than read a freed item array.
# (A second truth test whose pop fails gives the cast error instead.)
LIST_MUTATIONS = {"grow-and-move": lambda t: t.extend(range(1000)), "pop": lambda t: t.pop()}
DICT_MUTATIONS = {
    "insert": lambda t: t.__setitem__("new", 1),
    "pop": lambda t: t.pop("a"),
    "grow-and-rehash": lambda t: t.update({i: i for i in range(100)}),
}


@pytest.mark.parametrize("action", LIST_MUTATIONS.values(), ids=LIST_MUTATIONS)
@pytest.mark.parametrize("indefinite", [True, False])
def test_element_that_mutates_its_list(action, indefinite):
    target = [1, "x"]
    target += [special(__bool__=lambda s: action(target) or True), 2]
    with pytest.raises(RuntimeError) as info:
        cbor.dumps(target, indefinite=indefinite)
    assert str(info.value) in (LIST_CHANGED, CAST_ERROR)


@pytest.mark.parametrize("action", DICT_MUTATIONS.values(), ids=DICT_MUTATIONS)
@pytest.mark.parametrize("as_key", [False, True], ids=["value", "key"])
def test_element_that_mutates_its_dict(action, as_key):
    target = {"a": 1}
    hostile = special(__bool__=lambda s: action(target) or True, __hash__=lambda s: 1)
    target.update({hostile: "v"} if as_key else {"h": hostile})
    target["z"] = 3
    with pytest.raises(RuntimeError) as info:
        cbor.dumps(target)
    assert str(info.value) in (DICT_CHANGED, CAST_ERROR)


@pytest.mark.parametrize("eq", [boom, lambda s, o: False, lambda s, o: special(__bool__=boom)],
                         ids=["raises", "false", "truth-raises"])
@pytest.mark.parametrize("value", [0, 2**63, -7])
def test_int_subclass_whose_equality_fails_is_out_of_range(eq, value):
    obj = int_with(value, __eq__=eq)
    for wrapped in (obj, [obj]):
        with pytest.raises(RuntimeError) as info:
            cbor.dumps(wrapped)
        assert str(info.value) == OUT_OF_RANGE + str(value)


def test_int_subclass_whose_equality_always_holds_is_still_range_checked():
    with pytest.raises(RuntimeError, match="out of range"):
        cbor.dumps(int_with(2**64, __eq__=lambda s, o: True))


@pytest.mark.parametrize("text", [lambda s: 12, lambda s: "\ud800" * 3], ids=["returns-int", "returns-surrogates"])
def test_out_of_range_int_whose_text_is_unusable(text):
    with pytest.raises(RuntimeError) as info:
        cbor.dumps([int_with(2**70, __str__=text)])
    message = str(info.value)
    assert message.startswith(OUT_OF_RANGE + "failed with ")
    assert len(message.encode()) <= len(OUT_OF_RANGE) + 40


@pytest.mark.parametrize("text", ["\ud800", "\udc80" * 10, "ok\ud83d"], ids=["high", "many-low", "half-pair"])
def test_str_with_lone_surrogates(text):
    for value in (text, {"k": [text]}, {text: 1}):
        with pytest.raises(RuntimeError) as info:
            cbor.dumps(value)
        assert str(info.value) == CAST_ERROR


@pytest.mark.parametrize("args, kwargs", [
    ((1,), {"indefinite": "yes"}), ((), {"indefinite": True}), ((1, True, 0, "extra"), {}),
    ((1,), {"indefinite": True, "value": 2}),
], ids=["str-indefinite", "missing-value", "extra-positional", "value-twice"])
def test_dumps_argument_misuse(args, kwargs):
    with pytest.raises(TypeError):
        cbor.dumps(*args, **kwargs)


@pytest.mark.parametrize("wrap", [lambda v: [v], lambda v: {"k": v}], ids=["list", "dict"])
def test_deep_nesting_with_definite_lengths(wrap):
    value = 0
    for depth in range(1, 100_001):
        value = wrap(value)
        if depth == 400:
            assert cbor.dumps(value, indefinite=False) == cbor2.dumps(value)
    with pytest.raises(RecursionError):
        cbor.dumps(value, indefinite=False)


@pytest.mark.parametrize("make", [
    lambda n: list(range(n)), lambda n: tuple(range(-n, 0)), lambda n: {i: str(i) for i in range(n)},
    lambda n: [b"x"] * n, lambda n: [1.5, None, True, "s"] * (n // 4),
], ids=["list", "tuple", "dict", "shared-bytes", "mixed"])
def test_million_element_containers(make):
    # Under ASan every realloc of the output block copies, which makes 10^6 elements take hours.
    value = make(10**5 if os.environ.get("CORVANTIS_UNDER_SANITIZER") else 10**6)
    expected = list(value) if isinstance(value, tuple) else value
    definite = cbor.dumps(value, indefinite=False)
    assert cbor2.loads(definite) == cbor2.loads(cbor.dumps(value)) == expected
    if not isinstance(expected[0], float):  # cbor2 writes every float as a double
        assert definite == cbor2.dumps(value)


# ---------------------------------------------------------------- diff and patch

OLD = b"abcdefghijklmnopqrstuvwxyz0123"
COPY_WITHOUT_LENGTH = "malformed delta: copy offset without a length"
COPY_OUT_OF_RANGE = "malformed delta: copy outside the old value"
UNREADABLE = "malformed delta: truncated or unreadable item"

MALFORMED = {
    "copy-offset-then-negint": ("00 20", COPY_WITHOUT_LENGTH),
    "copy-offset-then-array": ("00 80", COPY_WITHOUT_LENGTH),
    "copy-after-insert-without-length": ("41 78 00", COPY_WITHOUT_LENGTH),
    "f8-then-copy-offset-alone": ("f8 10", COPY_WITHOUT_LENGTH),
    "copy-offset-2**32": ("1b 00 00 00 01 00 00 00 00 01", COPY_OUT_OF_RANGE),
    "truncated-uint32": ("1a 00 00 01", UNREADABLE),
    "truncated-uint64": ("1b" + "00" * 7, UNREADABLE),
    "truncated-negint": ("39 00", UNREADABLE),
    "truncated-array-head": ("9a 00", UNREADABLE),
    "truncated-map-head": ("bb", UNREADABLE),
    "truncated-half": ("f9 00", UNREADABLE),
    "truncated-single": ("fa 00 00", UNREADABLE),
    "truncated-double": ("fb" + "00" * 7, UNREADABLE),
    "short-text-string": ("63 61 62", UNREADABLE),
    "string-length-2**32": ("5a ff ff ff ff" + "78" * 10, UNREADABLE),
    "string-length-2**64-1": ("5b" + "ff" * 8 + "78", UNREADABLE),
    "text-length-2**63": ("7b 80" + "00" * 7, UNREADABLE),
    "reserved-uint-1c": ("1c", UNREADABLE),
    "reserved-uint-1f": ("1f 01", UNREADABLE),
    "reserved-copy-length": ("00 1d", UNREADABLE),
    "reserved-byte-string": ("5c", UNREADABLE),
    "reserved-text-string": ("7e", UNREADABLE),
}


@pytest.mark.parametrize("d, error", MALFORMED.values(), ids=MALFORMED)
def test_malformed_delta_is_refused(d, error):
    d = bytes.fromhex(d)
    for args in ((OLD, d), (delta.PythonInBuf(OLD), delta.PythonInBuf(d))):
        with pytest.raises(ValueError) as info:
            delta.patch(*args)
        assert str(info.value) == error
    with pytest.raises(ValueError, match=error):
        delta.patch(old_value=OLD, diff=d)


@pytest.mark.parametrize("d, expected", [
    ("5f 41 61 42 62 63 ff", b"abc"), ("7f 61 61 ff", b"a"), ("82 41 78 41 79", b"xy"),
    ("f9 3c 00 fa 47 80 00 00 fb" + "00" * 8, b""), ("f6 f6", b""), ("f7 ff 41 78", b"x"),
    ("3c 41 78", b"x"), ("e0 41 78", b"x"), ("f8 01 02", b"bc"), ("00 18 1e", OLD),
])
def test_well_formed_oddities_apply(d, expected):
    assert bytes(delta.patch(OLD, bytes.fromhex(d))) == expected


@pytest.mark.parametrize("function, args, kwargs", [
    (delta.diff, (b"a",), {"old_value": b"a"}),
    (delta.diff, (), {"old_value": b"a", "new_value": b"b", "extra": 1}),
    (delta.patch, (), {"old": b"a", "diff": b"\x40"}),
    (delta.patch, (b"a",), {"old_value": b"a", "diff": b"\x40"}),
    (delta.patch, (), {}),
], ids=["diff-old-twice", "diff-extra-keyword", "patch-old-keyword", "patch-old-twice", "patch-no-args"])
def test_keyword_and_arity_misuse(function, args, kwargs):
    with pytest.raises(TypeError):
        function(*args, **kwargs)


def test_errors_leave_no_reference_behind():
    old, bad = b"some old value that is long enough", b"\x05"
    refs = sys.getrefcount(old), sys.getrefcount(bad)
    for _ in range(200):
        for call, error in ((lambda: delta.patch(old, bad), ValueError), (lambda: delta.diff(old, "str"), TypeError),
                            (lambda: delta.diff(old, None), RuntimeError)):
            with pytest.raises(error):
                call()
    assert (sys.getrefcount(old), sys.getrefcount(bad)) == refs
