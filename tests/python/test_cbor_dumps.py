import collections
import decimal
import fractions
import math
import os
import struct
import subprocess
import sys
import textwrap

import cbor2
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from corvantis_core import cbor

dumps = cbor.dumps

CAST_MESSAGE = (
    "Unable to cast Python instance to C++ type (#define PYBIND11_DETAILED_ERROR_MESSAGES "
    "or compile in debug mode for details)"
)
RANGE_MESSAGE = "dumps received an integer out of range for both int64_t and uint64_t"


def h(text):
    return bytes.fromhex(text.replace(" ", ""))


def error_of(value, *args, **kwargs):
    with pytest.raises(Exception) as info:
        dumps(value, *args, **kwargs)
    return type(info.value), str(info.value)


# RFC 8949 Appendix A, every example dumps can produce. Scalars and strings are
# framed the same either way.
RFC_SCALARS = [
    (0, "00"), (1, "01"), (10, "0a"), (23, "17"), (24, "1818"), (25, "1819"), (100, "1864"),
    (1000, "1903e8"), (1000000, "1a000f4240"), (1000000000000, "1b000000e8d4a51000"),
    (18446744073709551615, "1bffffffffffffffff"), (-1, "20"), (-10, "29"), (-100, "3863"),
    (-1000, "3903e7"),
    (0.0, "f90000"), (-0.0, "f98000"), (1.0, "f93c00"), (1.1, "fb3ff199999999999a"),
    (1.5, "f93e00"), (65504.0, "f97bff"), (100000.0, "fa47c35000"),
    (3.4028234663852886e38, "fa7f7fffff"), (1.0e300, "fb7e37e43c8800759c"),
    (0.00006103515625, "f90400"), (-4.0, "f9c400"), (-4.1, "fbc010666666666666"),
    (math.inf, "f97c00"), (math.nan, "f97e00"), (-math.inf, "f9fc00"),
    (False, "f4"), (True, "f5"), (None, "f6"),
    (b"", "40"), (b"\x01\x02\x03\x04", "4401020304"),
    ("", "60"), ("a", "6161"), ("IETF", "6449455446"), ('"\\', "62225c"), ("\u00fc", "62c3bc"),
    ("\u6c34", "63e6b0b4"), ("\U00010151", "64f0908591"),
]
RFC_DEFINITE = [
    ([], "80"), ([1, 2, 3], "83010203"), ([1, [2, 3], [4, 5]], "8301820203820405"),
    (list(range(1, 26)), "98190102030405060708090a0b0c0d0e0f101112131415161718181819"),
    ({}, "a0"), ({1: 2, 3: 4}, "a201020304"), ({"a": 1, "b": [2, 3]}, "a26161016162820203"),
    (["a", {"b": "c"}], "826161a161626163"),
    ({"a": "A", "b": "B", "c": "C", "d": "D", "e": "E"}, "a56161614161626142616361436164614461656145"),
]
RFC_INDEFINITE = [
    ([], "9fff"), ([1, [2, 3], [4, 5]], "9f019f0203ff9f0405ffff"),
    (list(range(1, 26)), "9f0102030405060708090a0b0c0d0e0f101112131415161718181819ff"),
    ({"a": 1, "b": [2, 3]}, "bf61610161629f0203ffff"), ({"Fun": True, "Amt": -2}, "bf6346756ef563416d7421ff"),
]
SCALARS = [
    (2**63, "1b8000000000000000"), (-2**63, "3b7fffffffffffffff"), (-2**63 + 1, "3b7ffffffffffffffe"),
    (float("-nan"), "f97e00"), ("é", "62c3a9"), ("x" * 24, "7818" + "78" * 24),
    (b"\x00" * 256, "590100" + "00" * 256),
    # The encoder never writes half-precision subnormals (RFC 8949 shows this one as f90001).
    (5.960464477539063e-8, "fa33800000"),
    # A bytearray is taken as a string view and written as a text string.
    (bytearray(b"ab"), "626162"), (bytearray(), "60"),
]
INDEFINITE = [
    ([True, 1, False, 0], "9ff501f400ff"), ([1, [2]], "9f019f02ffff"), ((1, 2), "9f0102ff"),
    ({"a": 1}, "bf616101ff"), ({}, "bfff"), ({1: None}, "bf01f6ff"),
    ({(1, 2): [True]}, "bf9f0102ff9ff5ffff"), ({None: 1.5}, "bff6f93e00ff"),
]
DEFINITE = [
    ([1, [2]], "82018102"), ((1, 2), "820102"), ({"a": 1}, "a1616101"), ({1: None}, "a101f6"),
    (list(range(24)), "9818" + bytes(range(24)).hex()),
]
ENCODINGS = (
    [(v, x, framing) for v, x in RFC_SCALARS + SCALARS for framing in (True, False)]
    + [(v, x, False) for v, x in RFC_DEFINITE + DEFINITE]
    + [(v, x, True) for v, x in RFC_INDEFINITE + INDEFINITE]
)


@pytest.mark.parametrize("value,expected,indefinite", ENCODINGS)
def test_encoding(value, expected, indefinite):
    assert dumps(value, indefinite=indefinite) == h(expected)


class IntSub(int): pass  # noqa: E701
class FloatSub(float): pass  # noqa: E701
class StrSub(str): pass  # noqa: E701
class BytesSub(bytes): pass  # noqa: E701
class ListSub(list): pass  # noqa: E701
class DictSub(dict): pass  # noqa: E701


def hooked(**hooks):
    """An object of a fresh class whose special methods are the given callables."""
    cls = type("Hooked", (), {name: (lambda f: lambda self: f())(f) for name, f in hooks.items()})
    return cls()


def fail(*args):
    raise ValueError(args[0] if args and isinstance(args[0], str) else "hook failed")


def int_with(**methods):
    return type("IntWith", (int,), {"__hash__": int.__hash__, **methods})


@pytest.mark.parametrize("value,expected", [
    (IntSub(7), "07"), (IntSub(-7), "26"), (IntSub(2**64 - 1), "1b" + "ff" * 8),
    (FloatSub(1.5), "f93e00"), (StrSub("ab"), "626162"), (BytesSub(b"ab"), "426162"),
    (ListSub([1]), "9f01ff"), (DictSub(a=1), "bf616101ff"),
    (collections.namedtuple("Pair", "a b")(1, 2), "9f0102ff"),
    (collections.OrderedDict([("b", 1), ("a", 2)]), "bf616201616102ff"),
    # An int subclass's machine value is used when it compares equal to the object.
    (int_with(__eq__=lambda s, o: True)(5), "05"), (int_with(__eq__=lambda s, o: True)(-5), "24"),
    # Foreign objects: the later alternatives (plain bool, 64-bit ints) take them.
    (hooked(__bool__=lambda: True), "f5"), (hooked(__bool__=lambda: False), "f4"),
    (hooked(__index__=lambda: 5), "05"), (hooked(__index__=lambda: -3), "22"),
    (hooked(__index__=lambda: 2**63), "1b8000000000000000"),
    (hooked(__index__=lambda: -2**63), "3b7fffffffffffffff"),
    (hooked(__index__=lambda: 5, __bool__=lambda: False), "05"), (hooked(__int__=lambda: 7), "07"),
    # Numbers without __index__ but with a truth slot are taken as booleans.
    (1j, "f5"), (0j, "f4"), (decimal.Decimal("2.5"), "f5"), (fractions.Fraction(0), "f4"),
])
def test_subclasses_and_foreign_objects(value, expected):
    assert dumps(value) == h(expected)
    assert dumps({"k": [value]}) == h("bf616b9f" + expected + "ffff")


@pytest.mark.parametrize("make", [
    set, frozenset, lambda: memoryview(b"a"), object, lambda: hooked(__bool__=fail),
    lambda: hooked(__index__=fail), lambda: hooked(__float__=lambda: 1.0),
    lambda: hooked(__index__=lambda: 2**64), lambda: hooked(__index__=lambda: -2**63 - 1),
], ids=["set", "frozenset", "memoryview", "opaque", "raising-bool", "raising-index",
        "float-only", "index-too-big", "index-too-small"])
def test_unconvertible_values(make):
    # At the top the argument does not match; inside a container the cast fails.
    with pytest.raises(TypeError, match="incompatible function arguments"):
        dumps(make())
    for nested in ([make()], (0, make()), {"k": make()}, {0: [1, {2: make()}]}):
        assert error_of(nested) == (RuntimeError, CAST_MESSAGE)


@pytest.mark.parametrize("value,message", [
    # A str without a UTF-8 form and a key that converts to nothing fail like elements.
    ("a\ud800b", CAST_MESSAGE), ({"a\ud800b": 1}, CAST_MESSAGE), ({"a": 1, object(): 1}, CAST_MESSAGE),
    (2**64, "18446744073709551616"), (-2**63 - 1, "-9223372036854775809"),
    (-2**64 - 1, "-18446744073709551617"), (10**45, ("1" + "0" * 45)[:40]),
    (-(10**45), ("-1" + "0" * 45)[:40]), (IntSub(2**64), "18446744073709551616"),
    (int_with(__eq__=lambda s, o: False)(5), "5"), (int_with(__eq__=fail)(5), "5"),
    pytest.param(int_with(__str__=lambda s: fail("a much longer failure than fits"))(2**64),
                 "failed with ValueError: a much longer fa", id="str-fails"),
    # 40 bytes would split the twentieth "é"; the cut keeps whole characters.
    (int_with(__str__=lambda s: "a" + "é" * 30)(-2**64), "a" + "é" * 19),
])
def test_runtime_errors_at_any_level(value, message):
    if message != CAST_MESSAGE:
        message = RANGE_MESSAGE + message
    for container in (value, [value], {"k": (value,)}):
        assert error_of(container) == (RuntimeError, message)


# max_depth N accepts elements down to level N; the top-level value is never checked.
@pytest.mark.parametrize("value,max_depth,expected", [
    ([1, 2], 1, "9f0102ff"), ([[]], 1, "9f9fffff"), ([[1]], 2, "9f9f01ffff"), (5, 1, "05"),
    ({"a": []}, 1, "bf61619fffff"), ({}, 1, "bfff"), ([], 1, "9fff"),
    ([[[[[[1]]]]]], 6, "9f9f9f9f9f9f01ffffffffffff"), ([[1]], 2**64 - 1, "9f9f01ffff"),
    ([[1]], 1, None), ({"a": [1]}, 1, None), ({("a",): 1}, 1, None), ([(1,)], 1, None), ([[[1]]], 2, None),
    ([1, [2, [3, [4]]]], 3, None),
])
def test_max_depth(value, max_depth, expected):
    if expected is not None:
        assert dumps(value, max_depth=max_depth) == h(expected)
        assert dumps(value, indefinite=False, max_depth=max_depth) == dumps(value, indefinite=False)
        return
    for indefinite in (True, False):
        assert error_of(value, indefinite=indefinite, max_depth=max_depth) == (
            RuntimeError, f"Exceeded recursion limit:{max_depth}")


def test_arguments():
    assert dumps(value=[1], indefinite=False, max_depth=3) == h("8101")
    assert dumps([1], False, 0) == h("8101")
    assert dumps([[1]], True, 2) == h("9f9f01ffff")
    bad = [((), {}), (([1],), {"bogus": True})] + [(([],), {"max_depth": d}) for d in (-1, 2**64, 1.0, "1", None)]
    for args, kwargs in bad:
        with pytest.raises(TypeError, match="incompatible function arguments"):
            dumps(*args, **kwargs)


# Nesting past what the native stack holds must raise, not crash.

def nest(depth, wrap, empty):
    value = empty
    for _ in range(depth):
        value = wrap(value)
    return value


NESTERS = {"list": (lambda v: [v], []), "tuple": (lambda v: (v,), ()), "dict": (lambda v: {"k": v}, {})}


@pytest.mark.parametrize("kind", NESTERS)
@pytest.mark.parametrize("max_depth", [0, 2**64 - 1])
def test_deep_nesting_raises_recursion_error(kind, max_depth):
    with pytest.raises(RecursionError):
        dumps(nest(100000, *NESTERS[kind]), max_depth=max_depth)
    # The interpreter's recursion budget is given back after the failure.
    assert dumps(nest(200, *NESTERS["list"])) == h("9f" * 200 + "9fff" + "ff" * 200)
    assert error_of(nest(100000, *NESTERS[kind]), max_depth=50) == (RuntimeError, "Exceeded recursion limit:50")


# Python code run during the walk (truth tests, __index__) may change the
# containers being walked: the walk must notice, not read freed items.

def clears(target):
    return hooked(__bool__=lambda: target.clear() or True)


def swaps_key(target):
    """Removes one key and inserts another: the size stays the same."""
    return hooked(__bool__=lambda: (target.pop("a"), target.update(c=["c"] * 10), True)[-1])


LIST_CHANGED, DICT_CHANGED = "list changed size during iteration", "dictionary changed size during iteration"


@pytest.mark.parametrize("indefinite", [True, False])
@pytest.mark.parametrize("kind,build,message", [
    (list, lambda lst: [clears(lst), "x" * 100, [1, 2]], LIST_CHANGED),
    (list, lambda lst: [1, clears(lst)], LIST_CHANGED),
    (list, lambda lst: [hooked(__index__=lambda: lst.clear() or 3), b"y" * 100], LIST_CHANGED),
    (list, lambda lst: [hooked(__bool__=lambda: lst.append(["x"] * 10) or False), 1], LIST_CHANGED),
    (list, lambda lst: [{"k": [clears(lst)]}, "tail"], LIST_CHANGED),
    (dict, lambda d: {hooked(__hash__=lambda: 1, __bool__=lambda: d.clear() or True): ["value"] * 100}, DICT_CHANGED),
    (dict, lambda d: {"a": clears(d), "b": 2}, DICT_CHANGED),
    (dict, lambda d: {"a": swaps_key(d), "b": 2}, DICT_CHANGED),
    (dict, lambda d: {"a": [1, (swaps_key(d),)], "b": 2}, DICT_CHANGED),
], ids=["clear-first", "clear-last", "index-clear", "append", "clear-from-dict",
        "key-clears", "value-clears", "value-swaps-key", "nested-swaps-key"])
def test_container_changed_during_walk(kind, build, message, indefinite):
    target = kind()
    target.update(build(target)) if kind is dict else target.extend(build(target))
    assert error_of(target, indefinite=indefinite) == (RuntimeError, message)


@pytest.mark.parametrize("indefinite", [True, False])
def test_items_replaced_in_place(indefinite):
    target = [None, "old" * 30, ["old"]]
    target[0] = hooked(__bool__=lambda: target.__setitem__(slice(1, 3), ["replaced", ["new"]]) or True)
    assert cbor2.loads(dumps(target, indefinite=indefinite)) == [True, "replaced", ["new"]]
    mapping = {"b": "old" * 40}
    mapping["a"] = hooked(__bool__=lambda: mapping.__setitem__("b", "new") or False)
    assert cbor2.loads(dumps(mapping, indefinite=indefinite)) == {"b": "old" * 40, "a": False}


MEMORY_SCRIPT = textwrap.dedent("""
    import resource, sys
    from corvantis_core import cbor
    value = eval(sys.argv[1])
    status = dict(line.split(":", 1) for line in open("/proc/self/status"))
    in_use = int(status["VmSize"].split()[0]) * 1024
    resource.setrlimit(resource.RLIMIT_AS, (in_use + (int(sys.argv[2]) << 20), resource.RLIM_INFINITY))
    try:
        print("returned", len(cbor.dumps(value)))
    except Exception as error:
        print(type(error).__name__, error)
""")


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="uses RLIMIT_AS and /proc")
@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""), reason="ASan reserves the address space")
@pytest.mark.parametrize("expression,headroom_mib,expected", [
    # The output block cannot grow: no truncated result.
    ("b'x' * (96 << 20)", 48, "MemoryError"),
    ("[b'x' * (1 << 20)] * 96", 48, "MemoryError"),
    ("{str(i): 'y' * (1 << 20) for i in range(96)}", 48, "MemoryError"),
    # The output is written in place, so what fits once is returned.
    ("[b'x' * (1 << 20)] * 64", 96, "returned 67109186"),
])
def test_allocation_failures_raise(expression, headroom_mib, expected):
    result = subprocess.run([sys.executable, "-c", MEMORY_SCRIPT, expression, str(headroom_mib)],
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == expected


# Independent oracle: cbor2.

def is_half_subnormal(x):
    return 0 < abs(x) < 2.0**-14 and struct.unpack(">e", struct.pack(">e", x))[0] == x


INTS = st.integers(min_value=-2**63, max_value=2**64 - 1)
SCALAR_VALUES = (st.none() | st.booleans() | INTS | st.text() | st.binary()
                 | st.floats(allow_nan=False).filter(lambda x: not is_half_subnormal(x)))


def trees(leaves):
    return st.recursive(leaves, lambda children: st.lists(children, max_size=6)
                        | st.dictionaries(st.text() | INTS, children, max_size=6), max_leaves=40)


def in_canonical_order(value):
    def key(k):
        encoded = cbor2.dumps(k, canonical=True)
        return len(encoded), encoded
    if isinstance(value, list):
        return [in_canonical_order(v) for v in value]
    if isinstance(value, dict):
        return {k: in_canonical_order(value[k]) for k in sorted(value, key=key)}
    return value


ORACLE = settings(max_examples=300, deadline=None, database=None, suppress_health_check=[HealthCheck.too_slow])


@ORACLE
@given(trees(SCALAR_VALUES))
def test_definite_matches_canonical_cbor2(value):
    value = in_canonical_order(value)
    assert dumps(value, indefinite=False) == cbor2.dumps(value, canonical=True)


@ORACLE
@given(trees(SCALAR_VALUES | st.floats(allow_nan=False)), st.booleans())
def test_round_trip_through_cbor2(value, indefinite):
    assert cbor2.loads(dumps(value, indefinite=indefinite)) == value


@ORACLE
@given(st.floats())
def test_floats_round_trip_bit_exact(x):
    decoded = cbor2.loads(dumps(x))
    assert math.isnan(decoded) if math.isnan(x) else struct.pack(">d", decoded) == struct.pack(">d", x)
