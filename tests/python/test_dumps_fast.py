"""Exact built-in types take the encoder's direct route; their trivial
subclasses, bool-like and index-like objects and bytearray take the general
conversion. Both routes must give the same bytes and the same errors."""

import tracemalloc

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from corvantis_core import cbor


class Int(int): pass
class Float(float): pass
class Str(str): pass
class Bytes(bytes): pass
class List(list): pass
class Tuple(tuple): pass
class Dict(dict): pass


class BoolLike:
    def __init__(self, truth):
        self.truth = truth

    def __bool__(self):
        return self.truth


class IndexLike:
    def __init__(self, number):
        self.number = number

    def __index__(self):
        return self.number


def general(value):
    """The same tree built so that every exact container and scalar is a
    trivial subclass instead; objects with no exact form stay as they are."""
    if type(value) is list:
        return List(general(v) for v in value)
    if type(value) is tuple:
        return Tuple(general(v) for v in value)
    if type(value) is dict:
        return Dict((general(k), general(v)) for k, v in value.items())
    for exact, subclass in ((int, Int), (float, Float), (str, Str), (bytes, Bytes)):
        if type(value) is exact:
            return subclass(value)
    return value


def outcome(value, **kwargs):
    try:
        return cbor.dumps(value, **kwargs)
    except Exception as error:  # the type and the message must match too
        return type(error), str(error)


# Integers reach past both 64-bit ranges; text includes lone surrogates.
LEAVES = (st.none() | st.booleans() | st.integers(min_value=-2**64, max_value=2**65) | st.floats()
          | st.text(st.characters(exclude_categories=())) | st.binary()
          | st.builds(BoolLike, st.booleans()) | st.builds(IndexLike, st.integers(-2**63, 2**64 - 1))
          | st.binary().map(bytearray))
KEYS = st.none() | st.booleans() | st.integers(-2**63, 2**64 - 1) | st.floats(allow_nan=False) | st.text() | st.binary()
TREES = st.recursive(LEAVES, lambda children: st.lists(children, max_size=5)
                     | st.lists(children, max_size=5).map(tuple)
                     | st.dictionaries(KEYS, children, max_size=5), max_leaves=30)


@settings(max_examples=400, deadline=None, database=None, suppress_health_check=[HealthCheck.too_slow])
@given(TREES, st.booleans(), st.sampled_from([0, 1, 2, 4]))
def test_direct_route_matches_general_conversion(value, indefinite, max_depth):
    expected = outcome(general(value), indefinite=indefinite, max_depth=max_depth)
    assert outcome(value, indefinite=indefinite, max_depth=max_depth) == expected


def test_peak_memory_is_the_output_alone():
    """No tree of the value and no second copy of the output: the traced
    peak stays within the output grown by half, plus a small constant."""
    value = [{"key": i, "text": "é" * (i % 7), "list": [1.5, None, b"b"]} for i in range(30000)]
    for indefinite in (True, False):
        tracemalloc.start()
        try:
            size = len(cbor.dumps(value, indefinite=indefinite))
            _, peak = tracemalloc.get_traced_memory()
        finally:
            tracemalloc.stop()
        assert peak <= size * 3 // 2 + 4096, (peak, size)
