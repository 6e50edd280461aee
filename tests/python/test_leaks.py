"""Reference counts and memory across calls, error paths included."""

import gc
import os
import sys

import pytest
from conftest import int_with

from corvantis_core import cbor, delta

# Under ASan freed memory sits in a quarantine and PYTHONMALLOC=malloc leaves no
# interpreter blocks to count: only GC objects are compared there.
UNDER_SANITIZER = bool(os.environ.get("CORVANTIS_UNDER_SANITIZER"))
OLD = bytes(range(256)) * 4
NEW = OLD[:300] + b"inserted" + OLD[310:900] + b"\x00\x01" + OLD[905:]
GOOD = bytes(delta.diff(OLD, NEW))
FAILING = [  # every value 1 KiB or more: one leak per call is far outside the bounds below
    lambda: cbor.dumps([2**64, b"x" * 1024]), lambda: cbor.dumps([int_with(3, __eq__=lambda s, o: 1 / 0), b"x" * 1024]),
    lambda: cbor.dumps([b"x" * 1024, [[[1]]]], max_depth=2), lambda: cbor.dumps([b"x" * 1024, {1, 2}]),
    lambda: cbor.dumps({1}), lambda: cbor.dumps(["\ud800" * 300]), lambda: delta.diff(OLD, "text"),
    lambda: delta.diff(None, NEW), lambda: delta.patch(OLD, GOOD + b"\x05"), lambda: delta.PythonInBuf(bytearray(1024)),
]


def failing(call):
    def run():
        with pytest.raises((RuntimeError, TypeError, ValueError)):
            call()
    return run


CALLS = [lambda: cbor.dumps({"a": [1, -2, 2**63, 1.1, None, "text", b"bytes" * 50], "b": (1, {"c": []})}),
         lambda: cbor.dumps([[1]], indefinite=False, max_depth=4), lambda: bytes(delta.diff(OLD, NEW)),
         lambda: delta.diff(delta.PythonInBuf(OLD), OLD), lambda: bytes(delta.patch(OLD, GOOD)),
         lambda: bytes(delta.diff_fast(bytearray(OLD), memoryview(NEW)))] + [failing(c) for c in FAILING]


def growth(calls, rounds):
    def snapshot():
        gc.collect()
        with open("/proc/self/statm") as statm:
            rss = int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
        return sys.getallocatedblocks(), len(gc.get_objects()), rss

    for call in calls * 100:  # warm-up
        call()
    before = snapshot()
    for _ in range(rounds):
        for call in calls:
            call()
    blocks, objects, rss = (after - b for after, b in zip(snapshot(), before))
    return objects <= 100 and (UNDER_SANITIZER or (blocks <= 500 and rss <= 1 << 20))


def test_memory_stays_flat_and_a_leak_would_show():
    assert growth(CALLS, 3000)
    kept = []
    assert not growth([lambda: kept.append([bytes(1024)])], 3000)


def test_reference_counts():
    value, bad = bytes(bytearray(b"some old value that is long enough")), b"\x05"
    base = sys.getrefcount(value), sys.getrefcount(bad)
    held = delta.PythonInBuf(value), delta.PythonInBuf(value)
    assert sys.getrefcount(value) == base[0] + 2  # each buffer holds the bytes it reads
    del held
    for _ in range(100):
        delta.diff(value, bad), delta.patch(value, b"\x00\x05"), delta.patch(delta.PythonInBuf(value), b"")
        for call in (lambda: delta.patch(value, bad), lambda: delta.diff(value, "s"), lambda: cbor.dumps([value, {1}])):
            with pytest.raises(Exception):
                call()
    assert (sys.getrefcount(value), sys.getrefcount(bad)) == base
