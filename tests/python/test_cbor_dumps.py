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


# RFC 8949 Appendix A: every example whose diagnostic form dumps can produce.
# Scalars and strings are framed the same either way.
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
    ({"a": "A", "b": "B", "c": "C", "d": "D", "e": "E"},
     "a56161614161626142616361436164614461656145"),
]

RFC_INDEFINITE = [
    ([], "9fff"), ([1, [2, 3], [4, 5]], "9f019f0203ff9f0405ffff"),
    (list(range(1, 26)), "9f0102030405060708090a0b0c0d0e0f101112131415161718181819ff"),
    ({"a": 1, "b": [2, 3]}, "bf61610161629f0203ffff"),
    ({"Fun": True, "Amt": -2}, "bf6346756ef563416d7421ff"),
]


@pytest.mark.parametrize("indefinite", [True, False])
@pytest.mark.parametrize("value,expected", RFC_SCALARS)
def test_rfc_scalars(value, expected, indefinite):
    assert dumps(value, indefinite=indefinite) == h(expected)


@pytest.mark.parametrize("value,expected", RFC_DEFINITE)
def test_rfc_definite(value, expected):
    assert dumps(value, indefinite=False) == h(expected)


@pytest.mark.parametrize("value,expected", RFC_INDEFINITE)
def test_rfc_indefinite(value, expected):
    assert dumps(value) == h(expected)


def test_half_subnormal_is_written_as_single():
    # RFC 8949 shows 5.960464477539063e-8 as f90001; the encoder never writes
    # half-precision subnormals.
    assert dumps(5.960464477539063e-8) == h("fa33800000")


@pytest.mark.parametrize("value", [2**64, -2**64 - 1])
def test_rfc_bignums_are_out_of_range(value):
    with pytest.raises(RuntimeError) as info:
        dumps(value)
    assert str(info.value) == RANGE_MESSAGE + str(value)


@pytest.mark.parametrize("value,expected", [
    (True, "f5"), (False, "f4"), (None, "f6"), (1, "01"), (0, "00"), (23, "17"), (24, "1818"),
    (-1, "20"), (2**64 - 1, "1b" + "ff" * 8), (-2**63, "3b7fffffffffffffff"),
    (2**63, "1b8000000000000000"), (-2**63 + 1, "3b7ffffffffffffffe"),
    (1.5, "f93e00"), (1.1, "fb3ff199999999999a"), (float("nan"), "f97e00"),
    (float("-nan"), "f97e00"), (2.0**-24, "fa33800000"),
    ("a", "6161"), ("é", "62c3a9"), (b"ab", "426162"), (bytearray(b"ab"), "626162"),
    (bytearray(), "60"), ("x" * 24, "7818" + "78" * 24),
    ([], "9fff"), ([1, [2]], "9f019f02ffff"), ((1, 2), "9f0102ff"), ([1, 2], "9f0102ff"),
    ({"a": 1}, "bf616101ff"), ({}, "bfff"), ({1: None}, "bf01f6ff"),
    ({(1, 2): [True]}, "bf9f0102ff9ff5ffff"), ({None: 1.5}, "bff6f93e00ff"),
])
def test_indefinite_encoding(value, expected):
    assert dumps(value) == h(expected)


@pytest.mark.parametrize("value,expected", [
    ([], "80"), ([1, [2]], "82018102"), ((1, 2), "820102"), ({"a": 1}, "a1616101"),
    ({}, "a0"), ({1: None}, "a101f6"), (list(range(24)), "9818" + bytes(range(24)).hex()),
    ("x" * 24, "7818" + "78" * 24), (b"\x00" * 256, "590100" + "00" * 256),
])
def test_definite_encoding(value, expected):
    assert dumps(value, indefinite=False) == h(expected)
    assert dumps(value, False) == h(expected)


def test_true_is_never_an_integer():
    assert dumps(True) != dumps(1)
    assert dumps([True, 1, False, 0]) == h("9ff501f400ff")


class IntSub(int):
    pass


class FloatSub(float):
    pass


class StrSub(str):
    pass


class BytesSub(bytes):
    pass


class ListSub(list):
    pass


class DictSub(dict):
    pass


Pair = collections.namedtuple("Pair", "a b")


@pytest.mark.parametrize("value,expected", [
    (IntSub(7), "07"), (IntSub(-7), "26"), (IntSub(2**64 - 1), "1b" + "ff" * 8),
    (FloatSub(1.5), "f93e00"), (StrSub("ab"), "626162"), (BytesSub(b"ab"), "426162"),
    (ListSub([1]), "9f01ff"), (DictSub(a=1), "bf616101ff"), (Pair(1, 2), "9f0102ff"),
    (collections.OrderedDict([("b", 1), ("a", 2)]), "bf616201616102ff"),
])
def test_subclasses_encode_like_their_base(value, expected):
    assert dumps(value) == h(expected)
    assert dumps([value]) == h("9f" + expected + "ff")


class Truthy:
    def __init__(self, truth):
        self.truth = truth

    def __bool__(self):
        return self.truth


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class IndexAndBool(Index):
    def __bool__(self):
        return False


class IntOnly:
    def __int__(self):
        return 7


class Opaque:
    pass


@pytest.mark.parametrize("value,expected", [
    (Truthy(True), "f5"), (Truthy(False), "f4"),
    (Index(5), "05"), (Index(-3), "22"), (Index(2**63), "1b8000000000000000"),
    (Index(-2**63), "3b7fffffffffffffff"), (IndexAndBool(5), "05"), (IntOnly(), "07"),
    # Numbers without __index__ but with a truth slot are taken as booleans.
    (1j, "f5"), (0j, "f4"), (decimal.Decimal("2.5"), "f5"), (fractions.Fraction(0), "f4"),
])
def test_foreign_objects_convert(value, expected):
    assert dumps(value) == h(expected)
    assert dumps({"k": [value]}, indefinite=False) == h("a1616b81" + expected)


class RaisingBool:
    def __bool__(self):
        raise ValueError("no truth")


class RaisingIndex:
    def __index__(self):
        raise ValueError("no index")


class FloatOnly:
    def __float__(self):
        return 1.0


def lone_surrogate():
    return "a\ud800b"


@pytest.mark.parametrize("make", [
    set, frozenset, lambda: memoryview(b"a"), Opaque, RaisingBool, RaisingIndex, FloatOnly,
    lambda: Index(2**64), lambda: Index(-2**63 - 1), lambda: {1, 2},
], ids=["set", "frozenset", "memoryview", "opaque", "raising-bool", "raising-index",
        "float-only", "index-too-big", "index-too-small", "set-items"])
def test_unconvertible_values(make):
    with pytest.raises(TypeError, match="incompatible function arguments"):
        dumps(make())
    for nested in ([make()], (0, make()), {"k": make()}, {0: [1, {2: make()}]}):
        with pytest.raises(RuntimeError) as info:
            dumps(nested)
        assert str(info.value) == CAST_MESSAGE


@pytest.mark.parametrize("value", [
    lone_surrogate(), [lone_surrogate()], {lone_surrogate(): 1}, {1: (lone_surrogate(),)},
])
def test_str_without_utf8_form(value):
    with pytest.raises(RuntimeError) as info:
        dumps(value)
    assert str(info.value) == CAST_MESSAGE


def test_unconvertible_dict_key():
    with pytest.raises(RuntimeError) as info:
        dumps({"a": 1, Opaque(): 1})
    assert str(info.value) == CAST_MESSAGE


@pytest.mark.parametrize("value,text", [
    (2**64, "18446744073709551616"),
    (-2**63 - 1, "-9223372036854775809"),
    (10**45, ("1" + "0" * 45)[:40]),
    (-(10**45), ("-1" + "0" * 45)[:40]),
    (IntSub(2**64), "18446744073709551616"),
])
def test_integer_out_of_range(value, text):
    for container in (lambda v: v, lambda v: [v], lambda v: {"k": v}):
        with pytest.raises(RuntimeError) as info:
            dumps(container(value))
        assert str(info.value) == RANGE_MESSAGE + text


class NeverEqual(int):
    def __eq__(self, other):
        return False

    __hash__ = int.__hash__


class EqualRaises(int):
    def __eq__(self, other):
        raise ValueError("no comparison")

    __hash__ = int.__hash__


class AlwaysEqual(int):
    def __eq__(self, other):
        return True

    __hash__ = int.__hash__


def test_int_subclass_equality_decides():
    # The machine value is used only when it compares equal to the object.
    for cls in (NeverEqual, EqualRaises):
        with pytest.raises(RuntimeError) as info:
            dumps(cls(5))
        assert str(info.value) == RANGE_MESSAGE + "5"
    assert dumps(AlwaysEqual(5)) == h("05")
    assert dumps(AlwaysEqual(-5)) == h("24")


class StrRaises(int):
    def __str__(self):
        raise ValueError("boom")


class LongText(int):
    def __str__(self):
        return "a" + "é" * 30


def test_out_of_range_message_when_str_fails():
    with pytest.raises(RuntimeError) as info:
        dumps(StrRaises(2**64))
    message = str(info.value)
    assert message.startswith(RANGE_MESSAGE)
    text = message[len(RANGE_MESSAGE):]
    assert text.startswith("failed with ValueError: boom")
    assert len(text.encode()) <= 40


def test_out_of_range_text_is_cut_on_a_character_boundary():
    with pytest.raises(RuntimeError) as info:
        dumps([LongText(-2**64)])
    # 40 bytes would split the twentieth "é"; the cut keeps whole characters.
    assert str(info.value) == RANGE_MESSAGE + "a" + "é" * 19


@pytest.mark.parametrize("value,max_depth,expected", [
    ([1, 2], 1, "9f0102ff"), ([[]], 1, "9f9fffff"), ([[1]], 2, "9f9f01ffff"), (5, 1, "05"),
    ({"a": []}, 1, "bf61619fffff"), ({}, 1, "bfff"), ([], 1, "9fff"),
    ([[[[[[1]]]]]], 6, "9f9f9f9f9f9f01ffffffffffff"), ([[1]], 2**64 - 1, "9f9f01ffff"),
])
def test_max_depth_accepts(value, max_depth, expected):
    assert dumps(value, max_depth=max_depth) == h(expected)
    assert dumps(value, True, max_depth) == h(expected)


@pytest.mark.parametrize("value,max_depth", [
    ([[1]], 1), ({"a": [1]}, 1), ({("a",): 1}, 1), ([(1,)], 1), ([[[1]]], 2),
    ([1, [2, [3, [4]]]], 3),
])
@pytest.mark.parametrize("indefinite", [True, False])
def test_max_depth_refuses(value, max_depth, indefinite):
    with pytest.raises(RuntimeError) as info:
        dumps(value, indefinite=indefinite, max_depth=max_depth)
    assert str(info.value) == f"Exceeded recursion limit:{max_depth}"


def test_max_depth_counts_from_the_top_level_container():
    nested = []
    for _ in range(20):
        nested = [nested, 0]
    # The innermost [] sits at level 20 holding no element; its sibling 0 at level 20.
    assert dumps(nested, max_depth=20) == dumps(nested)
    with pytest.raises(RuntimeError, match=r"^Exceeded recursion limit:19$"):
        dumps(nested, max_depth=19)


@pytest.mark.parametrize("max_depth", [-1, 2**64, 1.0, "1", None])
def test_bad_max_depth(max_depth):
    with pytest.raises(TypeError, match="incompatible function arguments"):
        dumps([], max_depth=max_depth)


def test_keyword_and_positional_arguments():
    assert dumps(value=[1], indefinite=False, max_depth=3) == h("8101")
    assert dumps([1], False, 0) == h("8101")
    with pytest.raises(TypeError):
        dumps()
    with pytest.raises(TypeError):
        dumps([1], bogus=True)


# Nesting and mutation: the walk must stay memory-safe whatever Python code
# it runs, and nesting past what the native stack holds must raise.

def nest(depth, make):
    value = make(None)
    for _ in range(depth):
        value = make(value)
    return value


NESTERS = {
    "list": lambda v: [] if v is None else [v],
    "tuple": lambda v: () if v is None else (v,),
    "dict": lambda v: {} if v is None else {"k": v},
    "mixed": lambda v: [] if v is None else [{"k": (v,)}],
    "subclass": lambda v: ListSub() if v is None else ListSub([DictSub(k=v)]),
}


@pytest.mark.parametrize("kind", NESTERS)
@pytest.mark.parametrize("max_depth", [0, 2**64 - 1])
def test_deep_nesting_raises_recursion_error(kind, max_depth):
    deep = nest(100000, NESTERS[kind])
    with pytest.raises(RecursionError):
        dumps(deep, max_depth=max_depth)
    # The interpreter's recursion budget is given back after the failure.
    assert dumps(nest(200, NESTERS["list"])) == h("9f" * 200 + "9fff" + "ff" * 200)


def test_depth_limit_wins_over_recursion_error():
    with pytest.raises(RuntimeError, match=r"^Exceeded recursion limit:50$"):
        dumps(nest(100000, NESTERS["list"]), max_depth=50)


def test_moderate_nesting_round_trips():
    value = nest(400, NESTERS["list"])
    assert dumps(value, indefinite=False) == h("81" * 400 + "80")


class Clearer:
    """Clears `target` when its truth value is taken."""

    def __init__(self, target):
        self.target = target

    def __bool__(self):
        self.target.clear()
        return True


class Appender:
    def __init__(self, target):
        self.target = target

    def __bool__(self):
        self.target.append(["x"] * 10)
        return False


class IndexClearer:
    def __init__(self, target):
        self.target = target

    def __index__(self):
        self.target.clear()
        return 3


@pytest.mark.parametrize("indefinite", [True, False])
@pytest.mark.parametrize("build", [
    lambda lst: [Clearer(lst), "x" * 100, [1, 2]],
    lambda lst: [1, Clearer(lst)],
    lambda lst: [IndexClearer(lst), b"y" * 100],
    lambda lst: [Appender(lst), 1],
    lambda lst: [(Clearer(lst), ["z"] * 50)],
    lambda lst: [{"k": [Clearer(lst)]}, "tail"],
    lambda lst: [ListSub([Clearer(lst), "w" * 64])],
], ids=["clear-first", "clear-last", "index-clear", "append", "clear-from-tuple",
        "clear-from-dict", "clear-from-list-subclass"])
def test_list_changed_during_walk(build, indefinite):
    target = []
    target.extend(build(target))
    with pytest.raises(RuntimeError, match=r"^list changed size during iteration$"):
        dumps(target, indefinite=indefinite)


class Replacer:
    def __init__(self, target):
        self.target = target

    def __bool__(self):
        self.target[1] = "replaced"
        self.target[2] = ["new"]
        return True


@pytest.mark.parametrize("indefinite", [True, False])
def test_list_items_replaced_in_place(indefinite):
    target = [None, "old" * 30, ["old"]]
    target[0] = Replacer(target)
    encoded = dumps(target, indefinite=indefinite)
    assert cbor2.loads(encoded) == [True, "replaced", ["new"]]


class DictClearer:
    def __init__(self, target):
        self.target = target

    def __hash__(self):
        return 1

    def __bool__(self):
        self.target.clear()
        return True


class SwapKey:
    """Removes one key and inserts another: the size stays the same."""

    def __init__(self, target):
        self.target = target

    def __bool__(self):
        del self.target["a"]
        self.target["c"] = ["c"] * 10
        return True


@pytest.mark.parametrize("indefinite", [True, False])
@pytest.mark.parametrize("build", [
    lambda d: {DictClearer(d): ["value"] * 100},
    lambda d: {"a": DictClearer(d), "b": 2},
    lambda d: {"a": SwapKey(d), "b": 2},
    lambda d: {"a": [1, (SwapKey(d),)], "b": 2},
], ids=["key-clears", "value-clears", "value-swaps-key", "nested-swaps-key"])
def test_dict_changed_during_walk(build, indefinite):
    target = {}
    target.update(build(target))
    with pytest.raises(RuntimeError, match=r"^dictionary changed size during iteration$"):
        dumps(target, indefinite=indefinite)


def test_dict_value_replaced_in_place():
    class Rewriter:
        def __init__(self, target):
            self.target = target

        def __bool__(self):
            self.target["b"] = "new"
            return False

    target = {"b": "old" * 40}
    target["a"] = Rewriter(target)
    assert cbor2.loads(dumps(target, indefinite=False)) == {"b": "old" * 40, "a": False}


MEMORY_SCRIPT = textwrap.dedent("""
    import resource, sys
    from corvantis_core import cbor
    value = eval(sys.argv[1])
    status = dict(line.split(":", 1) for line in open("/proc/self/status"))
    in_use = int(status["VmSize"].split()[0]) * 1024
    headroom = int(sys.argv[2]) << 20
    resource.setrlimit(resource.RLIMIT_AS, (in_use + headroom, resource.RLIM_INFINITY))
    try:
        result = cbor.dumps(value)
    except Exception as error:
        print(type(error).__name__, error)
    else:
        print("returned", len(result))
""")


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="uses RLIMIT_AS and /proc")
@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""), reason="ASan reserves the address space")
@pytest.mark.parametrize("expression,headroom_mib,expected", [
    # The output block cannot grow: no truncated result.
    ("b'x' * (96 << 20)", 48, "MemoryError"),
    ("[b'x' * (1 << 20)] * 96", 48, "MemoryError"),
    ("{str(i): 'y' * (1 << 20) for i in range(96)}", 48, "MemoryError"),
    # The output fits but its copy into a bytes object does not.
    ("[b'x' * (1 << 20)] * 64", 96, "RuntimeError Could not allocate bytes object!"),
])
def test_allocation_failures_raise(expression, headroom_mib, expected):
    result = subprocess.run([sys.executable, "-c", MEMORY_SCRIPT, expression, str(headroom_mib)],
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == expected


# Independent oracle: cbor2.

def is_half_subnormal(x):
    if not 0 < abs(x) < 2.0**-14:
        return False
    return struct.unpack(">e", struct.pack(">e", x))[0] == x


scalars = (
    st.none() | st.booleans() | st.integers(min_value=-2**63, max_value=2**64 - 1)
    | st.floats(allow_nan=False).filter(lambda x: not is_half_subnormal(x))
    | st.text() | st.binary()
)
keys = st.text() | st.integers(min_value=-2**63, max_value=2**64 - 1)


def trees(leaves):
    return st.recursive(
        leaves,
        lambda children: st.lists(children, max_size=6)
        | st.dictionaries(keys, children, max_size=6),
        max_leaves=40,
    )


def canonical_key(key):
    encoded = cbor2.dumps(key, canonical=True)
    return (len(encoded), encoded)


def in_canonical_order(value):
    if isinstance(value, list):
        return [in_canonical_order(v) for v in value]
    if isinstance(value, dict):
        return {k: in_canonical_order(value[k]) for k in sorted(value, key=canonical_key)}
    return value


ORACLE = settings(max_examples=300, deadline=None, database=None,
                  suppress_health_check=[HealthCheck.too_slow])


@ORACLE
@given(trees(scalars))
def test_definite_matches_canonical_cbor2(value):
    value = in_canonical_order(value)
    assert dumps(value, indefinite=False) == cbor2.dumps(value, canonical=True)


@ORACLE
@given(trees(scalars | st.floats(allow_nan=False)), st.booleans())
def test_round_trip_through_cbor2(value, indefinite):
    assert cbor2.loads(dumps(value, indefinite=indefinite)) == value


@ORACLE
@given(st.floats())
def test_floats_round_trip_bit_exact(x):
    decoded = cbor2.loads(dumps(x))
    if math.isnan(x):
        assert math.isnan(decoded)
    else:
        assert struct.pack(">d", decoded) == struct.pack(">d", x)


@ORACLE
@given(trees(scalars))
def test_tuples_encode_like_lists(value):
    def to_tuples(v):
        if isinstance(v, list):
            return tuple(to_tuples(x) for x in v)
        if isinstance(v, dict):
            return {k: to_tuples(x) for k, x in v.items()}
        return v
    assert dumps(to_tuples(value)) == dumps(value)
    assert dumps(to_tuples(value), indefinite=False) == dumps(value, indefinite=False)
