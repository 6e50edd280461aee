"""What the delta binding adds to the engine: argument conversion, exceptions, the buffer classes."""

import pytest
from conftest import h

from corvantis_core.delta import PythonInBuf, PythonOutBuf, diff, patch

OLD, NEW = b"abcdefghijklmnopqrstuvwxyz0123", b"abcdefghijXYklmnopqrstxyz0123"
DELTA = h("00 0a 42 58 59 0a 0a 17 07")
BytesSub = type("BytesSub", (bytes,), {})


def test_worked_example_and_keywords():
    for result in (diff(OLD, NEW), diff(new_value=NEW, old_value=OLD), diff(PythonInBuf(OLD), BytesSub(NEW))):
        assert type(result) is PythonOutBuf and bytes(result) == DELTA
    for result in (patch(OLD, DELTA), patch(diff=DELTA, old_value=OLD), patch(BytesSub(OLD), PythonInBuf(DELTA))):
        assert type(result) is PythonOutBuf and bytes(result) == NEW


def with_arg(function, position, value):
    args = [b"small", b"small!"]
    args[position] = value
    return lambda: function(*args)


MISMATCH = TypeError, "incompatible function arguments"
BAD_ARGUMENTS = [(v, *MISMATCH) for v in (bytearray(b"ab"), memoryview(b"ab"), "ab", 3, diff(b"", b""))] + [
    (None, RuntimeError, "None is not a PythonInBuf"), (PythonInBuf.__new__(PythonInBuf), TypeError, "never initialised")]


@pytest.mark.parametrize("call,error,message", [
    (lambda: diff(old=b"a", new=b"b"), *MISMATCH), (lambda: diff(b"a", b"b", b"c"), *MISMATCH), (patch, *MISMATCH),
    (lambda: diff(b"a", old_value=b"a"), *MISMATCH),
    *((with_arg(f, p, v), e, m) for v, e, m in BAD_ARGUMENTS for f in (diff, patch) for p in (0, 1)),
    *((lambda d=d: patch(OLD, h(d)), ValueError, f"^malformed delta: {m}$") for d, m in [
        ("05", "copy offset without a length"), ("00 18 1f", "copy outside the old value"),
        ("00 04 43 78", "truncated or unreadable item")]),
    *((lambda a=a: PythonInBuf(*a), TypeError, "incompatible constructor arguments")
      for a in [(bytearray(b"x"),), ("x",), (None,), (), (b"x", b"y"), (diff(b"x", b"x"),)]),
    (lambda: PythonOutBuf(b"x"), TypeError, "No constructor defined"),
    *((lambda c=c: c(PythonOutBuf.__new__(PythonOutBuf)), BufferError, None) for c in (memoryview, bytes)),
])
def test_refused_arguments(call, error, message):
    with pytest.raises(error, match=message):
        call()


@pytest.mark.parametrize("size,position", [(2**31, 0), (2**32 + 3, 1)])
def test_values_beyond_32_bits_are_refused(size, position):
    try:
        big = bytes(size)  # calloc'd: pages are only touched if read
    except MemoryError:
        pytest.skip("cannot reserve the address space")
    with pytest.raises(ValueError, match=f"{['old_value', 'new_value'][position]} is too large"):
        with_arg(diff, position, big)()


def test_out_buf_buffer_protocol():
    result = patch(b"hello world", b"\x00\x05\x45there")
    view = memoryview(result)
    assert (view.format, view.itemsize, view.shape, view.strides, view.obj) == ("b", 1, (10,), (1,), result)
    view[0], view[-1] = ord("j"), -1  # writable, signed items, written in place
    assert (bytes(result), len(result), repr(result)) == (b"jellother\xff", 10, "<PythonOutBuf of 10 bytes>")
    empty = PythonOutBuf.__new__(PythonOutBuf)  # no constructor ran: it holds no buffer
    assert (len(empty), repr(empty)) == (0, "<PythonOutBuf holding no data>")
