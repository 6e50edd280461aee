"""cbor.loads: the values of RFC 8949's examples, agreement with cbor2 and dumps, and how bad input fails."""

import array
import math
import mmap
import subprocess
import sys

import cbor2
import pytest
from corvantis_core import delta
from corvantis_core.cbor import CBORDecodeError, Simple, Tag, dumps, loads, undefined
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from test_cbor_dumps import RFC_DEFINITE, RFC_INDEFINITE, RFC_SCALARS, TREES

# The RFC 8949 Appendix A rows that only a decoder meets: bignums, the other float widths, tags, simple values
# and chunked strings.
RFC_DECODE_ONLY = [
    ("c249010000000000000000", 2**64),
    ("3bffffffffffffffff", -(2**64)),
    ("c349010000000000000000", -(2**64) - 1),
    ("f90001", 5.960464477539063e-8),
    ("f97bff", 65504.0),
    ("fa47c35000", 100000.0),
    ("fa7f800000", math.inf),
    ("faff800000", -math.inf),
    ("fb7ff0000000000000", math.inf),
    ("fbfff0000000000000", -math.inf),
    ("f7", undefined),
    ("f0", Simple(16)),
    ("f8ff", Simple(255)),
    ("c074323031332d30332d32315432303a30343a30305a", Tag(0, "2013-03-21T20:04:00Z")),
    ("c11a514b67b0", Tag(1, 1363896240)),
    ("c1fb41d452d9ec200000", Tag(1, 1363896240.5)),
    ("d74401020304", Tag(23, b"\x01\x02\x03\x04")),
    ("d818456449455446", Tag(24, b"dIETF")),
    ("d82076687474703a2f2f7777772e6578616d706c652e636f6d", Tag(32, "http://www.example.com")),
    ("5f42010243030405ff", b"\x01\x02\x03\x04\x05"),
    ("7f657374726561646d696e67ff", "streaming"),
    ("9f018202039f0405ffff", [1, [2, 3], [4, 5]]),
    ("83018202039f0405ff", [1, [2, 3], [4, 5]]),
    ("83019f0203ff820405", [1, [2, 3], [4, 5]]),
    ("826161bf61626163ff", ["a", {"b": "c"}]),
    ("bf6346756ef563416d7421ff", {"Fun": True, "Amt": -2}),
    # Array keys (nested ones too, and inside a tag) become tuples; a later duplicate key wins in the first's place.
    ("a2818201020a81800b", {((1, 2),): 10, ((),): 11}),
    ("a1c1820102f6", {Tag(1, (1, 2)): None}),
    ("a3010a020b0114", {1: 20, 2: 11}),
    ("c2420102", 258),
    ("c26161", Tag(2, "a")),
]
RFC_ROUND_TRIP = [
    (bytes.fromhex(hex_), value)
    for value, hex_ in RFC_SCALARS + RFC_DEFINITE + RFC_INDEFINITE
    if isinstance(value, (int, float, str, bytes, list, dict, type(None))) and value == value
]


def plain(value):
    """value as dumps's surprising rows read back: tuples as lists."""
    if isinstance(value, (list, tuple)):
        return [plain(v) for v in value]
    return {k: plain(v) for k, v in value.items()} if isinstance(value, dict) else value


@pytest.mark.parametrize(
    "data,expected", RFC_ROUND_TRIP + [(bytes.fromhex(h), v) for h, v in RFC_DECODE_ONLY]
)
def test_decoding(data, expected):
    result = loads(data)
    assert result == plain(expected) and type(result) is type(plain(expected))
    if isinstance(expected, float):
        assert math.copysign(1, result) == math.copysign(1, expected)
    if isinstance(expected, dict):
        assert list(result) == list(expected)  # the order of the input


def test_floats_exactly_and_every_nan():
    for half in range(1 << 16):
        data = b"\xf9" + half.to_bytes(2, "big")
        expected = cbor2.loads(data)
        assert (loads(data) == expected or math.isnan(expected)) and math.isnan(
            loads(data)
        ) == math.isnan(expected)
    for data in (
        b"\xf9\x7e\x00",
        b"\xf9\xfe\x01",
        b"\xfa\x7f\xc0\x00\x01",
        b"\xfb\x7f\xf8\x00\x00\x00\x00\x00\x02",
    ):
        assert math.isnan(loads(data)) and math.copysign(1, loads(data)) == math.copysign(
            1, cbor2.loads(data)
        )


def test_text_of_each_width():
    # The greatest lead byte picks the str's width: C4 is the first past Latin-1, F0 past 16 bits.
    for text in ("ÿ", "ÿĀ", "\uffff", "\uffff\U00010000"):
        assert loads(cbor2.dumps(text)) == text


def test_tag_simple_and_undefined_objects():
    assert Tag(1, "a") == Tag(1, "a") != Tag(2, "a") and hash(Tag(1, (2,))) == hash(Tag(1, (2,)))
    assert Simple(16) == Simple(16) != Simple(17) and len({Simple(3), Simple(3), Tag(3, 3)}) == 2
    assert (
        repr(loads(bytes.fromhex("c1f0"))) == "Tag(1, Simple(16))"
        and repr(undefined) == "undefined"
    )
    assert loads(b"\xf7") is undefined and not undefined


# cbor2 encodes ints beyond 64 bits as bignums, floats in their shortest width and dicts with definite lengths.
KEYS = st.one_of(
    st.integers(-(2**70), 2**70),
    st.text(max_size=8),
    st.binary(max_size=8),
    st.floats(allow_nan=False),
    st.tuples(st.integers(), st.text(max_size=3)),
)
CBOR2_TREES = st.recursive(
    st.none()
    | st.booleans()
    | st.integers()
    | st.floats(allow_nan=False)
    | st.text()
    | st.binary(),
    lambda children: st.lists(children, max_size=6) | st.dictionaries(KEYS, children, max_size=6),
    max_leaves=40,
)


@settings(
    max_examples=300, deadline=None, database=None, suppress_health_check=[HealthCheck.too_slow]
)
@given(CBOR2_TREES, TREES, st.booleans())
def test_against_cbor2_and_dumps(value, tree, indefinite):
    data = cbor2.dumps(value)
    assert loads(data) == cbor2.loads(data)
    assert loads(dumps(tree, indefinite=indefinite)) == tree


# One input per problem, with the offset the message names.
@pytest.mark.parametrize(
    "hex_,message",
    [
        ("8201", "truncated input at byte offset 0"),
        ("9f01", "truncated input at byte offset 2"),
        # Numbers in a definite array, then a head cut short or one no number may have.
        ("8301fb00", "truncated input at byte offset 2"),
        ("83013f00", "indefinite length on an integer, tag or simple value at byte offset 2"),
        ("a1011c", "reserved additional information (28 to 30) at byte offset 2"),
        ("bf01ff", "break code out of place at byte offset 2"),
        ("c1df00", "indefinite length on an integer, tag or simple value at byte offset 1"),
        (
            "5f4161606161ff",
            "chunk of the wrong type in an indefinite-length string at byte offset 3",
        ),
        ("81f801", "two-byte simple value below 32 at byte offset 1"),
        ("a16161 63eda080", "invalid UTF-8 in a text string at byte offset 3"),
        ("80 00", "bytes after the item at byte offset 1"),
        ("a1a0 00", "map used as a map key at byte offset 1"),
        ("a1 81a0 00", "map used as a map key at byte offset 2"),
    ],
)
def test_malformed_input(hex_, message):
    with pytest.raises(CBORDecodeError) as raised:
        loads(bytes.fromhex(hex_))
    assert str(raised.value) == message and isinstance(raised.value, ValueError)


@pytest.mark.parametrize(
    "value,max_depth,ok",
    [
        ([[]], 1, True),
        ([[1]], 2, True),
        ([[1]], 1, False),
        ({("a",): [1, [2]]}, 2, False),
        (5, 1, True),
    ],
)
def test_max_depth_as_dumps_counts_it(value, max_depth, ok):
    data = dumps(value, indefinite=False)
    if ok:
        assert loads(data, max_depth=max_depth) == plain(value)
    else:
        with pytest.raises(
            CBORDecodeError, match=f"nesting deeper than max_depth {max_depth} at byte offset"
        ):
            loads(data, max_depth=max_depth)


def test_every_buffer_kind():
    data = dumps({"k": [1, "é", b"x"]})
    with mmap.mmap(-1, len(data)) as mapped:
        mapped.write(data)
        for buffer in (
            data,
            bytearray(data),
            memoryview(data),
            memoryview(b"\x00" + data + b"\x00")[1:-1],
            mapped,
            delta.patch(b"", bytes(delta.diff(b"", data))),
        ):
            assert loads(buffer) == {"k": [1, "é", b"x"]}
    for wrong in ("text", [0], memoryview(data)[::2], array.array("i", [0]), None):
        with pytest.raises(TypeError):
            loads(wrong)


HOSTILE_SCRIPT = """import resource, sys
from corvantis_core import cbor
data = eval(sys.argv[1])
in_use = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (in_use + (64 << 20), resource.RLIM_INFINITY))
for max_depth in (0, 1000):
    try:
        cbor.loads(data, max_depth=max_depth)
    except Exception as error:
        print(type(error).__name__, error)"""


# Declared lengths the input cannot hold fail before anything is sized from them; 200,000 levels raise.
TRUNCATED, RECURSION, DEEPER = (
    "CBORDecodeError truncated input at byte offset 0",
    "RecursionError maximum recursion depth exceeded while decoding CBOR at byte offset",
    "CBORDecodeError nesting deeper than max_depth 1000",
)


@pytest.mark.parametrize(
    "expression,expected",
    [
        ("bytes.fromhex('9affffffff')", [TRUNCATED] * 2),
        ("bytes.fromhex('bb7fffffffffffffff') + bytes(64)", [TRUNCATED] * 2),
        ("bytes.fromhex('5b0000000100000000') + bytes(1 << 20)", [TRUNCATED] * 2),
        (
            "b'\\x81' + b'\\x9a\\x00\\x10\\x00\\x00' * 1000 + bytes(1 << 20)",
            ["CBORDecodeError truncated input at byte offset 6"] * 2,
        ),
        ("b'\\x9f' * 10 + b'\\x81' * 200000 + b'\\x00'", [RECURSION, DEEPER]),
        ("b'\\xa1\\x00' * 200000 + b'\\x00'", [RECURSION, DEEPER]),
        ("b'\\xc6' * 200000 + b'\\x00'", [RECURSION] * 2),
    ],
)  # tags add no level
def test_hostile_input_in_a_subprocess(expression, expected):
    result = subprocess.run(
        [sys.executable, "-c", HOSTILE_SCRIPT, expression],
        capture_output=True,
        text=True,
        timeout=120,
    )
    lines = result.stdout.splitlines()
    assert (
        result.returncode == 0 and len(lines) == 2 and all(map(str.startswith, lines, expected))
    ), result.stderr
