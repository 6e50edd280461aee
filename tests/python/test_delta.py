"""What the delta binding adds to the engines: arguments, errors, buffers, the interpreter lock."""

import array
import random
import threading
from concurrent.futures import ThreadPoolExecutor

import pytest
from corvantis_core.delta import (
    PythonInBuf,
    PythonOutBuf,
    apply,
    diff,
    diff_compact,
    diff_fast,
    patch,
)

OLD, NEW = b"abcdefghijklmnopqrstuvwxyz0123", b"abcdefghijXYklmnopqrstxyz0123"
DELTA = bytes.fromhex("00 0a 42 58 59 0a 0a 17 07")
BytesSub = type("BytesSub", (bytes,), {})


def test_arguments_and_results():
    for result in (diff(OLD, NEW), diff(new_value=NEW, old_value=OLD)):
        assert type(result) is PythonOutBuf and bytes(result) == DELTA
    for result in (patch(OLD, DELTA), patch(BytesSub(OLD), PythonInBuf(DELTA))):
        assert type(result) is PythonOutBuf and bytes(result) == NEW
    view = memoryview(result)
    assert (view.format, view.itemsize, view.shape, view.strides) == ("b", 1, (29,), (1,))
    assert view.obj is result
    view[0], view[-1] = ord("j"), -1  # writable, signed items, written in place
    assert bytes(result) == b"j" + NEW[1:-1] + b"\xff"
    assert (len(result), repr(result)) == (29, "<PythonOutBuf of 29 bytes>")
    empty = PythonOutBuf.__new__(PythonOutBuf)  # no constructor ran: it holds no buffer
    assert (len(empty), repr(empty)) == (0, "<PythonOutBuf holding no data>")
    assert empty == b"" and empty == bytearray() and empty != b"x"


def test_out_buf_equals_bytes_like_objects_of_the_same_bytes():
    result = diff(b"", bytes(range(256)))  # every byte value, as the signed items of its view show
    raw = bytes(result)
    for same in (raw, bytearray(raw), memoryview(raw), diff(b"", bytes(range(256)))):
        assert result == same and not result != same
    assert raw == result and bytearray(raw) == result  # a memoryview compares its own items
    for other in (raw[:-1], raw[:-1] + b"\x00", bytearray(), "text", None, 3, memoryview(raw)[::2]):
        assert result != other and other != result and not result == other
    with pytest.raises(TypeError, match="unhashable"):
        hash(result)


def with_arg(function, position, value):
    args = [b"small", b"small!"]
    args[position] = value
    return lambda: function(*args)


NAMES, MISMATCH = ("old_value", "new_value"), (TypeError, "incompatible function arguments")
UNSET = PythonInBuf.__new__(PythonInBuf)  # no constructor ran
BAD_ARGUMENTS = [
    (v, *MISMATCH) for v in (bytearray(b"ab"), memoryview(b"ab"), "ab", 3, diff(b"", b""))
] + [(None, RuntimeError, "None is not a PythonInBuf"), (UNSET, TypeError, "never initialised")]
BAD_BUFFERS = [
    ("text", TypeError, "bytes-like object is required, not 'str'"),
    (array.array("i", [1, 2, 3]), TypeError, "of bytes is required, not of items of 4 bytes"),
    (memoryview(b"abcdef")[::2], ValueError, "must be C-contiguous"),
    (UNSET, TypeError, "never initialised"),
]


@pytest.mark.parametrize(
    "call,error,message",
    [
        *(
            (with_arg(f, p, v), e, m)
            for v, e, m in BAD_ARGUMENTS
            for f in (diff, patch)
            for p in (0, 1)
        ),
        *(
            (with_arg(diff_fast, p, v), e, f"^{NAMES[p]}: .*{m}")
            for v, e, m in BAD_BUFFERS
            for p in (0, 1)
        ),
        # Too long for the exact engine (calloc'd, untouched); a 32-bit cut would pass 2**32 + 3.
        *(
            (
                lambda p=p, n=n: with_arg(diff, p, bytes(n))(),
                ValueError,
                f"^{NAMES[p]} is too large for a delta: {n} bytes",
            )
            for p, n in [(0, 2**31), (1, 2**32 + 3)]
        ),
        # the other malformed deltas' messages: fuzz_apply against its reference applier
        (
            lambda: patch(OLD, b"\x05"),
            ValueError,
            "^malformed delta: copy offset without a length$",
        ),
        (lambda: PythonInBuf(bytearray(b"x")), TypeError, "incompatible constructor arguments"),
        (lambda: PythonOutBuf(b"x"), TypeError, "No constructor defined"),
        (lambda: memoryview(PythonOutBuf.__new__(PythonOutBuf)), BufferError, None),
        *(
            (
                lambda n=n: diff_compact(OLD, NEW, level=n),
                ValueError,
                f"^level must be from 1 to 19, not {n}$",
            )
            for n in (0, 20)
        ),
        (lambda: apply(OLD, None), TypeError, "^delta: a bytes-like object is required"),
        (
            lambda: apply(OLD + b"!", diff_compact(OLD, NEW)),
            ValueError,
            "^compact delta: the old value has the wrong length$",
        ),
    ],
)
def test_refused_arguments(call, error, message):
    with pytest.raises(error, match=message):
        call()


def test_diff_fast_holds_its_buffers_and_lets_other_threads_run():
    old = bytearray(random.Random(9).randbytes(24 << 20))
    new = bytes(old[1000:]) + bytes(old[:1000])
    calling, results, progress = [], [], 0
    for _ in range(2):  # two calls at once, on the same buffers
        threading.Thread(
            target=lambda: calling.append(1) or results.append(bytes(diff_fast(old, new)))
        ).start()
    while len(results) < 2:
        progress += bool(calling)
        if progress == 1000:  # a call is under way
            with pytest.raises(BufferError):
                old.extend(b"x")
    assert progress > 1000 and results[0] == results[1]
    assert bytes(patch(bytes(old), results[0])) == new


def test_compact_deltas_applied_by_apply_and_patch():
    old = random.Random(5).randbytes(100_000)
    new = old[60_000:] + b"inserted" + old[:60_000]
    delta = bytes(diff_compact(old, new))
    assert delta[:7] == b"\x1aCVDC\x41\x01" and len(delta) < 200
    # 3 is the default level; diff_fast and apply read their arguments through the same view.
    for kind in (bytearray, lambda v: memoryview(b"xx" + v + b"yy")[2:-2], PythonInBuf):
        assert bytes(diff_compact(kind(old), kind(new), level=3)) == delta
    assert bytes(patch(old, delta)) == bytes(patch(old, PythonInBuf(delta))) == new
    assert bytes(apply(OLD, DELTA)) == NEW  # a bare delta, as patch applies it
    # Two writers at once share no state.
    with ThreadPoolExecutor(2) as pool:
        results = list(pool.map(lambda _: bytes(diff_compact(old, new, level=9)), "ab"))
    assert results[0] == results[1] and bytes(apply(old, results[0])) == new
