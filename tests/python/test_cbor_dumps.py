"""cbor.dumps: its exact bytes, its conversion rules and how it fails."""

import functools
import math
import os
import struct

import cbor2
import pytest
from conftest import hooked, int_with, outcome, run_limited
from corvantis_core.cbor import dumps
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

CAST = (
    "Unable to cast Python instance to C++ type (#define PYBIND11_DETAILED_ERROR_MESSAGES "
    "or compile in debug mode for details)"
)
RANGE = "dumps received an integer out of range for both int64_t and uint64_t"
LIST_CHANGED = "list changed size during iteration"
DICT_CHANGED = "dictionary changed size during iteration"

# RFC 8949 Appendix A both framings, a row or two per kind (head, float widths: core head test,
# fuzz_cbor_float); bytearray as text; foreign objects: __index__, then truth slot, then __int__.
RFC_SCALARS = [
    (2**64 - 1, "1bffffffffffffffff"),
    (-1, "20"),
    (-0.0, "f98000"),
    (100000.0, "fa47c35000"),
    (1.1, "fb3ff199999999999a"),
    (math.inf, "f97c00"),
    (math.nan, "f97e00"),
    (False, "f4"),
    (True, "f5"),
    (None, "f6"),
    (b"\x01\x02\x03\x04", "4401020304"),
    ("\U00010151", "64f0908591"),
    (bytearray(b"ab"), "626162"),
    (hooked(__index__=lambda: 5, __bool__=lambda: False), "05"),
    (hooked(__int__=lambda: 7), "07"),
    (1j, "f5"),
]
RFC_DEFINITE = [
    ([], "80"),
    ([1, [2, 3], [4, 5]], "8301820203820405"),
    ({}, "a0"),
    ({"a": 1, "b": [2, 3]}, "a26161016162820203"),
    ((1, 2), "820102"),
    ({(1,): None}, "a18101f6"),
]
RFC_INDEFINITE = [
    ([], "9fff"),
    ([1, [2, 3], [4, 5]], "9f019f0203ff9f0405ffff"),
    ({(1,): None}, "bf9f01fff6ff"),
    ((1, 2), "9f0102ff"),
]


@pytest.mark.parametrize(
    "value,expected,indefinite",
    [(v, x, f) for v, x in RFC_SCALARS for f in (True, False)]
    + [(v, x, False) for v, x in RFC_DEFINITE]
    + [(v, x, True) for v, x in RFC_INDEFINITE],
)
def test_encoding(value, expected, indefinite):
    assert dumps(value, indefinite=indefinite) == bytes.fromhex(expected)


# An unconvertible value (no message) misses the top argument match; in a container the cast fails.
@pytest.mark.parametrize(
    "value,message",
    [
        ("a\ud800b", CAST),
        (2**64, RANGE + "18446744073709551616"),
        (-(2**63) - 1, RANGE + "-9223372036854775809"),
        (int_with(5, __eq__=lambda s, o: False), RANGE + "5"),
        pytest.param(
            int_with(2**64, __str__=lambda s: 1 / 0),
            RANGE + "failed with ZeroDivisionError: division ",
            id="s",
        ),
        (
            int_with(-(2**64), __str__=lambda s: "a" + "é" * 30),
            RANGE + "a" + "é" * 19,
        ),  # the cut keeps whole characters
        (memoryview(b"a"), None),
        (hooked(__index__=lambda: 2**64), None),
    ],
)
def test_errors_at_any_level(value, message):
    top = outcome(value)
    assert (
        top == (RuntimeError, message)
        if message
        else top[0] is TypeError and "incompatible function" in top[1]
    )
    for container in ([value], (0, value), {"k": (value,)}) + (
        ({value: 1},) if type(value).__hash__ else ()
    ):
        assert outcome(container) == (RuntimeError, message or CAST)


def raising(error):
    def hook(*args):
        raise error("raised by the object")

    return hook


OWN_CODE = [
    lambda f: hooked(__index__=f),
    lambda f: hooked(__bool__=f),
    lambda f: hooked(__int__=f),
    lambda f: int_with(-7, __eq__=lambda s, o: f()),
]


# The error keeps its type and message (above) and names the object's own exception as its
# cause; an interrupt, an exit or MemoryError is never converted.
@pytest.mark.parametrize("make", OWN_CODE)
def test_what_the_objects_own_code_raised(make):
    value = make(raising(LookupError))
    top_error = RuntimeError if isinstance(value, int) else TypeError
    for wrapped, error in ((value, top_error), ([value], RuntimeError)):
        with pytest.raises(error) as info:
            dumps(wrapped)
        assert type(info.value.__cause__) is LookupError
    for error in (KeyboardInterrupt, SystemExit, MemoryError):
        with pytest.raises(error):
            dumps([make(raising(error))])
    with pytest.raises(KeyboardInterrupt):
        dumps([int_with(2**64, __str__=raising(KeyboardInterrupt))])


def test_a_refused_cast_names_the_error_behind_it():
    for value in ("\udc80", ["a\ud800b"]):
        with pytest.raises(RuntimeError, match="Unable to cast") as info:
            dumps(value)
        assert type(info.value.__cause__) is UnicodeEncodeError
    # int() refusing an object with only __float__ is no error of the object's own
    assert pytest.raises(RuntimeError, dumps, [hooked(__float__=float)]).value.__cause__ is None


def test_an_unequal_int_is_refused_whatever_allocation_fails():
    testcapi = pytest.importorskip("_testcapi")
    value = int_with(10**6, __eq__=lambda s, o: False)
    results = [None] * 40  # filled without allocating
    for start in range(40):
        testcapi.set_nomemory(start, start + 1)
        try:
            results[start] = dumps(value)
        except Exception as error:
            results[start] = error
        finally:
            testcapi.remove_mem_hooks()
    assert not [r for r in results if isinstance(r, bytes)], results


# max_depth N accepts elements down to level N, the top value never checked; loads counts alike.
MAX_DEPTH = [
    ([[]], 1, True),
    (5, 1, True),
    ([[1]], 2**64 - 1, True),
    ([[1]], 1, False),
    ({("a",): 1}, 1, False),
]


@pytest.mark.parametrize("value,max_depth,ok", MAX_DEPTH)
def test_max_depth(value, max_depth, ok):
    expected = dumps(value) if ok else (RuntimeError, f"Exceeded recursion limit:{max_depth}")
    assert outcome(value, max_depth=max_depth) == expected
    if ok:  # the definite form too
        assert dumps(value, indefinite=False, max_depth=max_depth) == dumps(value, indefinite=False)


@pytest.mark.parametrize(
    "wrap", [lambda v: [v], lambda v: (v,), lambda v: {"k": v}], ids=["list", "tuple", "dict"]
)
def test_deep_nesting_raises_recursion_error(wrap):
    value = functools.reduce(lambda nested, _: wrap(nested), range(100_000), 0)
    assert outcome(value)[0] is outcome(value, indefinite=False)[0] is RecursionError
    # the recursion budget is back
    assert dumps([[[[]]]] * 3, indefinite=False) == b"\x83" + b"\x81\x81\x80" * 3


# Hooks that resize the container being walked, mid-way or at its last element; the long values
# around them would be read after being freed if the walk trusted its first count.
@pytest.mark.parametrize("indefinite", [True, False])
@pytest.mark.parametrize(
    "build,expected",
    [
        (lambda t: [hooked(__index__=lambda: t.clear() or 3), b"y" * 100, [1, 2]], LIST_CHANGED),
        (lambda t: [1, hooked(__bool__=lambda: t.extend(range(1000)) or False)], LIST_CHANGED),
        (
            lambda t: {hooked(__hash__=lambda: 1, __bool__=lambda: t.clear() or True): ["v"] * 100},
            DICT_CHANGED,
        ),
        (
            lambda t: {
                "a": hooked(__bool__=lambda: (t.pop("a"), t.update(c=[0] * 9), True)[-1]),
                "b": 2,
            },
            DICT_CHANGED,
        ),
        # Items replaced in place, the size unchanged, are read fresh.
        (
            lambda t: [
                hooked(__bool__=lambda: t.__setitem__(slice(1, 3), ["new", ["new"]]) or True),
                "old" * 30,
                ["old"],
            ],
            [True, "new", ["new"]],
        ),
    ],
)
def test_container_changed_during_walk(build, expected, indefinite):
    target = {} if expected == DICT_CHANGED else []
    (target.update if expected == DICT_CHANGED else target.extend)(build(target))
    result = outcome(target, indefinite=indefinite)
    assert (
        result == (RuntimeError, expected)
        if isinstance(expected, str)
        else cbor2.loads(result) == expected
    )


# No truncated result when the output cannot grow; no tree of the value nor a second output copy.
@pytest.mark.skipif(
    "asan" in os.environ.get("LD_PRELOAD", ""), reason="ASan reserves the address space"
)
@pytest.mark.parametrize(
    "expression,headroom_mib,expected",
    [
        ("[b'x' * (1 << 20)] * 96", 48, "MemoryError"),
        ("[[i, 'é' * 3, 1.5] for i in range(1 << 20)]", 32, "17694442"),
    ],
)
def test_memory_use(expression, headroom_mib, expected):
    result = run_limited("print(len(cbor.dumps(value)))", expression, headroom_mib)
    assert (result.stdout or result.stderr.splitlines()[-1]).strip() == expected, result.stderr


SUB = {
    base: type(f"Sub{base.__name__}", (base,), {})
    for base in (int, float, str, bytes, list, tuple, dict)
}
SAME = {
    bool: [lambda b: hooked(__bool__=lambda: b)],
    int: [SUB[int], lambda i: hooked(__index__=lambda: i)],
    float: [SUB[float]],
    str: [SUB[str], lambda s: bytearray(s.encode())],
    bytes: [SUB[bytes]],
}


def disguise(value, rng):
    """Equal value via the general conversion: subclasses, bool-/index-like objects, bytearray."""
    if type(value) is list:
        return rng.choice([list, tuple, SUB[list], SUB[tuple]])(disguise(v, rng) for v in value)
    if type(value) is dict:
        return rng.choice([dict, SUB[dict]])(
            (disguise(k, rng), disguise(v, rng)) for k, v in value.items()
        )
    return rng.choice([lambda v: v] + SAME.get(type(value), []))(value)


INTS, KEYS = st.integers(-(2**63), 2**64 - 1), st.integers(0, 2**64 - 1)
# dumps writes half subnormals as singles where cbor2 writes halves: fuzz_cbor_float covers them.
FLOATS = st.floats(allow_nan=False).filter(
    lambda x: not 0 < abs(x) < 2.0**-14 or struct.unpack(">e", struct.pack(">e", x))[0] != x
)
# Ascending unsigned keys are cbor2's canonical order; dumps keeps the order it is given.
TREES = st.recursive(
    st.none() | st.booleans() | INTS | st.text() | st.binary() | FLOATS,
    lambda children: (
        st.lists(children, max_size=6)
        | st.dictionaries(KEYS, children, max_size=6).map(lambda d: dict(sorted(d.items())))
    ),
    max_leaves=40,
)


@settings(
    max_examples=400, deadline=None, database=None, suppress_health_check=[HealthCheck.too_slow]
)
@given(TREES, st.randoms(use_true_random=False), st.booleans(), st.sampled_from([0, 1, 2, 4]))
def test_against_cbor2_and_through_the_general_conversion(value, rng, indefinite, max_depth):
    assert dumps(value, indefinite=False) == cbor2.dumps(value, canonical=True)
    assert cbor2.loads(dumps(value, indefinite=True)) == value
    expected = outcome(value, indefinite=indefinite, max_depth=max_depth)
    assert outcome(disguise(value, rng), indefinite=indefinite, max_depth=max_depth) == expected
