"""Exact built-in types take a direct route, everything else the general conversion: both agree."""

import tracemalloc

from conftest import hooked, outcome
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from corvantis_core import cbor

SUBCLASS = {base: type(f"Sub{base.__name__}", (base,), {}) for base in (int, float, str, bytes, list, tuple, dict)}


def general(value):
    """The same tree with every exact container and scalar a trivial subclass instead."""
    if type(value) in (list, tuple):
        return SUBCLASS[type(value)](general(v) for v in value)
    if type(value) is dict:
        return SUBCLASS[dict]((general(k), general(v)) for k, v in value.items())
    return SUBCLASS[type(value)](value) if type(value) in SUBCLASS else value


# Integers reach past both 64-bit ranges; text includes lone surrogates.
LEAVES = (st.none() | st.booleans() | st.integers(min_value=-2**64, max_value=2**65) | st.floats()
          | st.text(st.characters(exclude_categories=())) | st.binary() | st.binary().map(bytearray)
          | st.booleans().map(lambda b: hooked(__bool__=lambda: b))
          | st.integers(-2**63, 2**64 - 1).map(lambda i: hooked(__index__=lambda: i)))
KEYS = st.none() | st.booleans() | st.integers(-2**63, 2**64 - 1) | st.floats(allow_nan=False) | st.text() | st.binary()
TREES = st.recursive(LEAVES, lambda children: st.lists(children, max_size=5) | st.lists(children, max_size=5).map(tuple)
                     | st.dictionaries(KEYS, children, max_size=5), max_leaves=30)


@settings(max_examples=400, deadline=None, database=None, suppress_health_check=[HealthCheck.too_slow])
@given(TREES, st.booleans(), st.sampled_from([0, 1, 2, 4]))
def test_direct_route_matches_general_conversion(value, indefinite, max_depth):
    expected = outcome(general(value), indefinite=indefinite, max_depth=max_depth)
    assert outcome(value, indefinite=indefinite, max_depth=max_depth) == expected


def test_peak_memory_is_the_output_alone():
    """No tree of the value and no second copy of the output: at most the output grown by half."""
    value = [{"key": i, "text": "é" * (i % 7), "list": [1.5, None, b"b"]} for i in range(30000)]
    for indefinite in (True, False):
        tracemalloc.start()
        try:
            size = len(cbor.dumps(value, indefinite=indefinite))
            _, peak = tracemalloc.get_traced_memory()
        finally:
            tracemalloc.stop()
        assert peak <= size * 3 // 2 + 4096, (peak, size)
