"""No leaks across 10^5 calls, error paths included: after a warm-up the second
half of the run must leave GC-tracked objects, interpreter memory blocks and
resident memory where the first half left them. Values are 1 KiB or more, so
one leaked buffer or reference per call would be far outside the tolerances."""

import gc
import os
import sys

import pytest

from corvantis_core import cbor, delta

CALLS, WARM_UP = 100_000, 2_000
BLOCKS, OBJECTS, RSS = 500, 100, 1 << 20  # tolerances
# Under ASan freed memory sits in a quarantine and PYTHONMALLOC=malloc leaves no
# interpreter blocks to count: only GC objects are compared there.
UNDER_SANITIZER = bool(os.environ.get("CORVANTIS_UNDER_SANITIZER"))


def snapshot():
    gc.collect()
    with open("/proc/self/statm") as statm:
        rss = int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    return sys.getallocatedblocks(), len(gc.get_objects()), rss


def failing(call, error):
    def run():
        try:
            call()
        except error:
            return
        raise AssertionError("no error")
    return run


class EqRaises(int):
    __hash__ = int.__hash__

    def __eq__(self, other):
        raise ArithmeticError("eq")


OLD = bytes(range(256)) * 4
NEW = OLD[:300] + b"inserted" + OLD[310:900] + b"\x00\x01" + OLD[905:]
GOOD = bytes(delta.diff(OLD, NEW))
NESTED = {"a": [1, -2, 2**63, 1.5, 1.1, None, True, "text", b"bytes" * 50], "b": (1, {"c": []})}

CASES = {
    "dumps": [
        lambda: cbor.dumps(NESTED), lambda: cbor.dumps(NESTED, indefinite=False, max_depth=10),
        failing(lambda: cbor.dumps([2**64, b"x" * 1024]), RuntimeError),  # out of range
        failing(lambda: cbor.dumps([EqRaises(3)]), RuntimeError),
        failing(lambda: cbor.dumps([[[[1]]]], max_depth=2), RuntimeError),  # too deep
        failing(lambda: cbor.dumps([b"x" * 1024, {1, 2}]), RuntimeError),  # cast failure
        failing(lambda: cbor.dumps(["\ud800" * 300]), RuntimeError),
        failing(lambda: cbor.dumps({1, 2}), TypeError),
    ],
    "diff": [
        lambda: bytes(delta.diff(OLD, NEW)), lambda: delta.diff(OLD, bytes(OLD)), lambda: delta.diff(b"", NEW),
        lambda: delta.diff(delta.PythonInBuf(OLD), delta.PythonInBuf(NEW)),
        failing(lambda: delta.diff(OLD, "text"), TypeError),
        failing(lambda: delta.diff(None, NEW), RuntimeError),
    ],
    "patch": [
        lambda: bytes(delta.patch(OLD, GOOD)), lambda: delta.patch(OLD, b"\xf6"),
        failing(lambda: delta.patch(OLD, GOOD + b"\x05"), ValueError),  # copy without length
        failing(lambda: delta.patch(OLD, GOOD + b"\x19\x10\x00\x01"), ValueError),  # outside
        failing(lambda: delta.patch(OLD, GOOD + b"\x59\x04\x00abc"), ValueError),  # truncated
        failing(lambda: delta.patch(OLD, bytearray(GOOD)), TypeError),
        failing(lambda: delta.patch(OLD, None), RuntimeError),
    ],
    "PythonInBuf": [
        lambda: delta.PythonInBuf(os.urandom(1024)),
        failing(lambda: delta.PythonInBuf("text" * 256), TypeError),
        failing(lambda: delta.PythonInBuf(bytearray(1024)), TypeError),
    ],
}


def second_half_growth(cases):
    def run(n):
        for i in range(n):
            cases[i % len(cases)]()
    run(WARM_UP + CALLS // 2)
    middle = snapshot()
    run(CALLS // 2)
    return [end - mid for end, mid in zip(snapshot(), middle)]


def within_tolerance(growth):
    blocks, objects, rss = growth
    return objects <= OBJECTS and (UNDER_SANITIZER or (blocks <= BLOCKS and rss <= RSS))


@pytest.mark.parametrize("name", CASES)
def test_second_half_leaves_memory_flat(name):
    growth = second_half_growth(CASES[name])
    assert within_tolerance(growth), f"second half: {growth[0]:+} blocks, {growth[1]:+} objects, {growth[2]:+} B"


def test_measurement_sees_a_leak():
    kept = []
    growth = second_half_growth([lambda: kept.append([bytes(1024)])])
    assert not within_tolerance(growth)
    assert growth[1] > OBJECTS and (UNDER_SANITIZER or (growth[0] > BLOCKS and growth[2] > RSS))
