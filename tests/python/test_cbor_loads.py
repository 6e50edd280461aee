"""cbor.loads: RFC 8949's examples, agreement with dumps, and how bad input fails."""

import array
import math

import pytest
from conftest import hooked, run_limited
from corvantis_core.cbor import CBORDecodeError, Simple, Tag, dumps, loads, undefined
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from test_cbor_dumps import MAX_DEPTH, RFC_DEFINITE, RFC_INDEFINITE, RFC_SCALARS, TREES

# RFC 8949 rows only a decoder meets: bignums, other float widths, tags, simple values, chunks.
RFC_DECODE_ONLY = [
    ("c249010000000000000000", 2**64),
    ("3bffffffffffffffff", -(2**64)),
    ("c349010000000000000000", -(2**64) - 1),
    ("f7", undefined),
    ("f8ff", Simple(255)),
    ("d818456449455446", Tag(24, b"dIETF")),
    ("5f42010243030405ff", b"\x01\x02\x03\x04\x05"),
    ("9f018202039f0405ffff", [1, [2, 3], [4, 5]]),
    # Array keys (nested, in a tag too) become tuples; a later duplicate wins in the first's place.
    ("a2818201020a81800b", {((1, 2),): 10, ((),): 11}),
    ("a1c1820102f6", {Tag(1, (1, 2)): None}),
    ("a3010a020b0114", {1: 20, 2: 11}),
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


def test_text_of_each_width():
    # The greatest lead byte picks the str's width: C4 is the first past Latin-1, F0 past 16 bits.
    # ASCII text comes back as an ASCII str, as a key, as a value and joined from chunks.
    for text in ("\x7f", "ÿ", "ÿĀ", "\uffff", "\uffff\U00010000"):
        ((key, value),) = loads(dumps({text: text})).items()
        assert key == value == text and key.isascii() == value.isascii() == text.isascii()
    joined = loads(b"\x7f\x61a\x62bc\xff")
    assert joined == "abc" and joined.isascii()


def test_map_keys_that_differ_in_one_middle_byte_stay_apart():
    # Cached keys are told apart by their length, first and last eight bytes, and the bytes between.
    keys = dict.fromkeys(["k" * 8 + c + "k" * 12 for c in "ab"], 0)
    assert loads(dumps(keys)) == keys


def test_tag_simple_and_undefined_objects(monkeypatch):
    assert Tag(1, "a") == Tag(1, "a") != Tag(2, "a") and hash(Tag(1, (2,))) == hash(Tag(1, (2,)))
    assert Simple(16) == Simple(16) != Simple(17) and len({Simple(3), Simple(3), Tag(3, 3)}) == 2
    assert repr(loads(bytes.fromhex("c1f0"))) == "Tag(1, Simple(16))"
    assert repr(undefined) == "undefined"
    assert loads(b"\xf7") is undefined and not undefined
    monkeypatch.setattr(Tag, "__init__", interrupt)  # Ctrl-C in Tag(): no half-built list back
    pytest.raises(KeyboardInterrupt, loads, bytes.fromhex("81c1f0"))


# Float widths, bignums, tuple keys: rows above; fuzz_cbor_reader checks the walk by reference.
@settings(
    max_examples=300, deadline=None, database=None, suppress_health_check=[HealthCheck.too_slow]
)
@given(TREES, st.booleans())
def test_what_dumps_wrote(tree, indefinite):
    assert loads(dumps(tree, indefinite=indefinite)) == tree


# One input per problem, with the offset the message names.
@pytest.mark.parametrize(
    "hex_,message",
    [
        # Numbers in a definite array, then a head cut short or one no number may have.
        ("8301fb00", "truncated input at byte offset 2"),
        ("83013f00", "indefinite length on an integer, tag or simple value at byte offset 2"),
        ("a1011c", "reserved additional information (28 to 30) at byte offset 2"),
        ("bf01ff", "break code out of place at byte offset 2"),
        (
            "5f4161606161ff",
            "chunk of the wrong type in an indefinite-length string at byte offset 3",
        ),
        ("81f801", "two-byte simple value below 32 at byte offset 1"),
        ("a16161 63eda080", "invalid UTF-8 in a text string at byte offset 3"),
        ("80 00", "bytes after the item at byte offset 1"),
        ("a1 81a0 00", "map used as a map key at byte offset 2"),
    ],
)
def test_malformed_input(hex_, message):
    with pytest.raises(CBORDecodeError) as raised:
        loads(bytes.fromhex(hex_))
    assert str(raised.value) == message and isinstance(raised.value, ValueError)


@pytest.mark.parametrize("value,max_depth,ok", MAX_DEPTH)
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
    for buffer in (data, memoryview(b"\x00" + data + b"\x00")[1:-1]):
        assert loads(buffer) == {"k": [1, "é", b"x"]}
    for wrong in ("text", [0], memoryview(data)[::2], array.array("i", [0]), None):
        with pytest.raises(TypeError):
            loads(wrong)
    with pytest.raises(KeyboardInterrupt):  # never turned into the TypeError
        loads(hooked(__buffer__=interrupt))


def interrupt(*args):
    raise KeyboardInterrupt


def test_levels_past_64_are_all_given_back_so_each_call_stops_at_the_same_offset():
    deep = b"\x81" * 100000 + b"\x00"
    assert len({str(pytest.raises(RecursionError, loads, deep).value) for _ in "ab"}) == 1


RECURSION = "RecursionError: maximum recursion depth exceeded while decoding CBOR at byte offset"


# Lengths the input can't hold fail before any sizing; 200,000 tags raise, though they add no level.
@pytest.mark.parametrize(
    "expression,expected",
    [
        ("bytes.fromhex('9affffffff')", "CBORDecodeError: truncated input at byte offset 0"),
        ("b'\\xc6' * 200000 + b'\\x00'", RECURSION),
    ],
)
def test_hostile_input_in_a_subprocess(expression, expected):
    result = run_limited("cbor.loads(value)", expression, 64)
    assert expected in result.stderr.splitlines()[-1], result.stderr
