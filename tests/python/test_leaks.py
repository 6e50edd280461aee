"""Reference counts and memory across calls, error paths included."""

import contextlib
import gc
import os
import sys

from conftest import int_with
from corvantis_core import cbor, delta

# Under ASan freed memory sits in a quarantine, and PYTHONMALLOC=malloc leaves no blocks to count.
UNDER_SANITIZER = bool(os.environ.get("CORVANTIS_UNDER_SANITIZER"))
OLD = bytes(range(256)) * 4
NEW = OLD[:300] + b"inserted" + OLD[310:900] + b"\x00\x01" + OLD[905:]
GOOD = bytes(delta.diff(OLD, NEW))
# An indefinite array ending in a bignum: its last byte is the break.
DOC = cbor.dumps([{"k": [OLD, "é" * 300, (1, 2)], (3, "t"): 1.5}, "key"] * 20 + [[[1]]])
DOC = DOC[:-1] + bytes.fromhex("c24901" + "00" * 8 + "ff")
CALLS = [
    lambda: cbor.dumps(
        {"a": [1, -2, 2**63, 1.1, None, "text", b"bytes" * 50], "b": (1, {"c": []})}
    ),
    lambda: bytes(delta.diff(OLD, NEW)),
    lambda: delta.diff(delta.PythonInBuf(OLD), OLD),
    lambda: bytes(delta.patch(delta.PythonInBuf(OLD), GOOD)),
    lambda: bytes(delta.diff_fast(bytearray(OLD), memoryview(NEW))),
    # Failing calls, each holding 1 KiB or more: one leak per call is far outside the bounds below.
    lambda: cbor.dumps([2**64, b"x" * 1024]),
    lambda: cbor.dumps([int_with(3, __eq__=lambda s, o: 1 / 0), b"x" * 1024]),
    lambda: cbor.dumps([b"x" * 1024, [[[1]]]], max_depth=2),
    lambda: cbor.dumps([OLD, {1, 2}]),
    lambda: cbor.dumps(["\ud800" * 300]),
    lambda: delta.diff(OLD, "text"),
    lambda: delta.patch(OLD, GOOD + b"\x05"),
    lambda: delta.PythonInBuf(bytearray(1024)),
    lambda: cbor.loads(DOC),
    lambda: cbor.loads(bytearray(DOC)),
    # Decoding failures deep inside containers of every kind (a map key waiting for its value
    # too), with much already built.
    lambda: cbor.loads(DOC[:-1]),
    lambda: cbor.loads(DOC[:-1] + b"\xa1\xa0\x00\xff"),
    lambda: cbor.loads(DOC[:-1] + b"\xa1\x78\x40" + b"k" * 64 + b"\x1c"),
    lambda: cbor.loads(DOC[:-1] + b"\x81\xc2\x62\xc3\x28\xff"),
    lambda: cbor.loads(DOC, max_depth=2),
    lambda: cbor.loads(b"\xbf\x81\x81\xc6" * 2000),
]


def snapshot():
    gc.collect()
    with open("/proc/self/statm") as statm:
        rss = int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    counts = sys.getallocatedblocks(), rss, len(gc.get_objects())
    return (*counts, sys.getrefcount(OLD), sys.getrefcount(GOOD))


def growth(calls, rounds):
    for repeat in (100, rounds):  # the first pass warms up
        before = snapshot()
        for call in calls * repeat:
            with contextlib.suppress(RuntimeError, TypeError, ValueError):
                call()
    blocks, rss, objects, *references = [a - b for a, b in zip(snapshot(), before, strict=True)]
    within = UNDER_SANITIZER or (blocks <= 500 and rss <= 1 << 20)
    return objects <= 100 and references == [0, 0] and within


def test_memory_and_reference_counts_stay_flat_and_a_leak_would_show():
    assert growth(CALLS, 3000)
    kept = []
    assert not growth([lambda: kept.append([bytes(1024)])], 3000)
    assert not growth([lambda: kept.append(OLD)], 10)
    base = sys.getrefcount(OLD)
    held = [delta.PythonInBuf(OLD) for _ in range(2)]  # each buffer holds the bytes it reads
    assert sys.getrefcount(OLD) - base == len(held) == 2
