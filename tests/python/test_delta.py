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


@pytest.mark.parametrize("call", [
    lambda: diff(old=b"a", new=b"b"), lambda: diff(b"a", b"b", b"c"), lambda: patch(), lambda: diff(b"a", old_value=b"a"),
    *(lambda v=v, f=f, p=p: f(*([v, b"ab"] if p == 0 else [b"ab", v])) for v in
      (bytearray(b"ab"), memoryview(b"ab"), "ab", 3, diff(b"ab", b"ab")) for f in (diff, patch) for p in (0, 1)),
])
def test_argument_mismatch_is_type_error(call):
    with pytest.raises(TypeError, match="incompatible function arguments"):
        call()


@pytest.mark.parametrize("position", [0, 1])
@pytest.mark.parametrize("function", [diff, patch])
def test_none_and_uninitialised_buffers(function, position):
    for value, error, message in ((None, RuntimeError, "None is not a PythonInBuf"),
                                  (PythonInBuf.__new__(PythonInBuf), TypeError, "PythonInBuf was never initialised")):
        args = [b"abc", b"abd"]
        args[position] = value
        with pytest.raises(error, match=message):
            function(*args)


@pytest.mark.parametrize("args", [(bytearray(b"x"),), ("x",), (None,), (), (b"x", b"y"), (diff(b"x", b"x"),)])
def test_buffer_constructors(args):
    with pytest.raises(TypeError, match="incompatible constructor arguments"):
        PythonInBuf(*args)
    with pytest.raises(TypeError, match="No constructor defined"):
        PythonOutBuf(*args)


@pytest.mark.parametrize("d,message", [("05", "copy offset without a length"), ("00 18 1f", "copy outside the old value"),
                                       ("00 04 43 78", "truncated or unreadable item")])
def test_malformed_delta_is_value_error(d, message):
    with pytest.raises(ValueError) as info:
        patch(OLD, h(d))
    assert str(info.value) == "malformed delta: " + message


@pytest.mark.parametrize("size", [2**31, 2**32 + 3])
@pytest.mark.parametrize("position", [0, 1])
def test_values_beyond_32_bits_are_refused(size, position):
    try:
        big = bytes(size)  # calloc'd: pages are only touched if read
    except MemoryError:
        pytest.skip("cannot reserve the address space")
    args = [b"small", b"small!"]
    args[position] = big
    with pytest.raises(ValueError, match=f"{['old_value', 'new_value'][position]} is too large"):
        diff(*args)


def test_out_buf_buffer_protocol():
    result = patch(b"hello world", b"\x00\x05\x45there")
    view = memoryview(result)
    assert (view.format, view.itemsize, view.ndim, view.shape, view.strides) == ("b", 1, 1, (10,), (1,))
    assert not view.readonly and view.c_contiguous and view.obj is result
    view[0], view[-1] = ord("j"), -1  # format "b": signed items, written in place
    assert bytes(result) == b"jellother\xff"
    assert (len(result), repr(result)) == (10, "<PythonOutBuf of 10 bytes>")
    empty = PythonOutBuf.__new__(PythonOutBuf)  # no constructor ran: it holds no buffer
    assert (len(empty), repr(empty)) == (0, "<PythonOutBuf holding no data>")
    for convert in (memoryview, bytes):
        with pytest.raises(BufferError):
            convert(empty)
