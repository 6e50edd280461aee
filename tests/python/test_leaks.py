"""No leaks across 10^5 calls, error paths included.

Each operation runs 10^5 times, cycling through its successful calls and
every way it can fail. After a warm-up the run is measured in two halves:
the second half must leave the live Python objects (GC-tracked objects and
the interpreter's allocated memory blocks) and the process's resident memory
where the first half left them, within a small fixed tolerance. The values
are large enough (1 KiB) that one leaked buffer, record or reference per call
would grow the process by far more than the tolerance over 5 x 10^4 calls.
"""

import gc
import os
import sys

import pytest

from corvantis_core import cbor, delta

CALLS = 100_000
WARM_UP = 2_000
BLOCK_TOLERANCE = 500  # interpreter memory blocks
OBJECT_TOLERANCE = 100  # GC-tracked objects
RSS_TOLERANCE = 1 << 20  # bytes of resident memory
PAGE = os.sysconf("SC_PAGE_SIZE")
# Under AddressSanitizer freed memory sits in a quarantine for a while, so the
# resident size grows with any allocation churn; there only the object counts
# are compared (ASan itself reports the rest).
UNDER_SANITIZER = bool(os.environ.get("CORVANTIS_UNDER_SANITIZER"))


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


def snapshot():
    gc.collect()
    return sys.getallocatedblocks(), len(gc.get_objects()), resident_bytes()


def swallow(call, *exceptions):
    try:
        return call()
    except exceptions:
        return None


class EqRaises(int):
    def __eq__(self, other):
        raise ArithmeticError("eq")

    __hash__ = int.__hash__


class BoolRaises:
    def __bool__(self):
        raise ArithmeticError("bool")


OLD = bytes(range(256)) * 4
# A few local edits: the engine finds them quickly, so the run measures the
# calls rather than the search.
NEW = OLD[:300] + b"inserted" + OLD[310:900] + b"\x00\x01" + OLD[905:]
GOOD_DELTA = bytes(delta.diff(OLD, NEW))
NESTED = {"a": [1, -2, 2**63, 1.5, 1.1, None, True, "text", b"bytes" * 50], "b": (1, {"c": []})}


def dumps_cases():
    deep = [[[[1]]]]
    return [
        lambda: cbor.dumps(NESTED),
        lambda: cbor.dumps(NESTED, indefinite=False, max_depth=10),
        lambda: cbor.dumps(bytes(1024)),
        lambda: swallow(lambda: cbor.dumps([2**64]), RuntimeError),  # out of range
        lambda: swallow(lambda: cbor.dumps(-(2**63) - 1), RuntimeError),
        lambda: swallow(lambda: cbor.dumps([EqRaises(3)]), RuntimeError),  # comparison fails
        lambda: swallow(lambda: cbor.dumps(deep, max_depth=2), RuntimeError),  # too deep
        lambda: swallow(lambda: cbor.dumps([{1, 2}]), RuntimeError),  # cast failure
        lambda: swallow(lambda: cbor.dumps({"k": [BoolRaises()]}), RuntimeError),
        lambda: swallow(lambda: cbor.dumps(["\ud800" * 300]), RuntimeError),
        lambda: swallow(lambda: cbor.dumps({1, 2}), TypeError),
        lambda: swallow(lambda: cbor.dumps(1, max_depth=-1), TypeError),
    ]


def diff_cases():
    return [
        lambda: bytes(delta.diff(OLD, NEW)),
        lambda: memoryview(delta.diff(NEW, OLD)).tobytes(),
        lambda: delta.diff(OLD, bytes(OLD)),  # no change
        lambda: delta.diff(b"", NEW),  # replacement
        lambda: delta.diff(delta.PythonInBuf(OLD), delta.PythonInBuf(OLD[:500] + b"changed" + OLD[507:])),
        lambda: swallow(lambda: delta.diff(OLD, "text"), TypeError),
        lambda: swallow(lambda: delta.diff(None, NEW), RuntimeError, TypeError),
        lambda: swallow(lambda: delta.diff(old=OLD, new=NEW), TypeError),
    ]


def patch_cases():
    return [
        lambda: bytes(delta.patch(OLD, GOOD_DELTA)),
        lambda: delta.patch(OLD, b"\xf6"),
        lambda: delta.patch(OLD, bytes(delta.diff(b"", NEW))),
        lambda: swallow(lambda: delta.patch(OLD, GOOD_DELTA + b"\x05"), ValueError),  # copy without length
        lambda: swallow(lambda: delta.patch(OLD, GOOD_DELTA + b"\x19\x10\x00\x01"), ValueError),  # outside
        lambda: swallow(lambda: delta.patch(OLD, GOOD_DELTA + b"\x59\x04\x00abc"), ValueError),  # truncated
        lambda: swallow(lambda: delta.patch(OLD, b"\x41x" * 200 + b"\x1c"), ValueError),  # reserved
        lambda: swallow(lambda: delta.patch(OLD, bytearray(GOOD_DELTA)), TypeError),
        lambda: swallow(lambda: delta.patch(OLD, None), RuntimeError, TypeError),
    ]


def inbuf_cases():
    return [
        lambda: delta.PythonInBuf(bytes(1024)),
        lambda: delta.PythonInBuf(os.urandom(1024)),
        lambda: swallow(lambda: delta.PythonInBuf("text" * 256), TypeError),
        lambda: swallow(lambda: delta.PythonInBuf(bytearray(1024)), TypeError),
        lambda: swallow(lambda: delta.PythonOutBuf(), TypeError),
    ]


def run(cases, n):
    count = len(cases)
    for i in range(n):
        cases[i % count]()


@pytest.mark.parametrize("make_cases", [dumps_cases, diff_cases, patch_cases, inbuf_cases],
                         ids=["dumps", "diff", "patch", "PythonInBuf"])
def test_second_half_leaves_memory_flat(make_cases):
    cases = make_cases()
    run(cases, WARM_UP)
    blocks0, objects0, rss0 = snapshot()
    run(cases, CALLS // 2)
    blocks1, objects1, rss1 = snapshot()
    run(cases, CALLS // 2)
    blocks2, objects2, rss2 = snapshot()
    report = (f"first half: {blocks1 - blocks0:+} blocks, {objects1 - objects0:+} objects, {rss1 - rss0:+} B; "
              f"second half: {blocks2 - blocks1:+} blocks, {objects2 - objects1:+} objects, {rss2 - rss1:+} B")
    assert blocks2 - blocks1 <= BLOCK_TOLERANCE, report
    assert objects2 - objects1 <= OBJECT_TOLERANCE, report
    if not UNDER_SANITIZER:
        assert rss2 - rss1 <= RSS_TOLERANCE, report


def test_measurement_sees_a_leak():
    """The check above can fail: a deliberate leak of one small object per
    call over half the run is far outside the tolerances."""
    kept = []
    blocks0, objects0, _ = snapshot()
    run([lambda: kept.append([None])], CALLS // 2)
    blocks1, objects1, _ = snapshot()
    assert objects1 - objects0 > OBJECT_TOLERANCE
    if not UNDER_SANITIZER:  # PYTHONMALLOC=malloc there: no interpreter blocks to count
        assert blocks1 - blocks0 > BLOCK_TOLERANCE


@pytest.mark.skipif(UNDER_SANITIZER, reason="resident size is not compared under a sanitizer")
def test_measurement_sees_a_native_leak():
    """A leaked 1 KiB buffer of the core per call, made through the module's
    exported C API, is far outside the resident-memory tolerance."""
    import ctypes

    import corvantis_core

    lib = ctypes.CDLL(corvantis_core.__file__)
    lib.buf_create.restype = ctypes.c_void_p
    lib.buf_write_bytes.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_uint64]
    payload = bytes(1024)

    def leak():
        lib.buf_write_bytes(lib.buf_create(), payload, len(payload))

    _, _, rss0 = snapshot()
    run([leak], CALLS // 2)
    _, _, rss1 = snapshot()
    assert rss1 - rss0 > RSS_TOLERANCE
