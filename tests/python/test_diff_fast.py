"""What the binding of delta.diff_fast adds: buffers of any kind, held and read without the interpreter lock."""

import array
import mmap
import random
import threading

import pytest

from corvantis_core import delta

OLD = random.Random(4).randbytes(200_000)
NEW = OLD[120_000:] + b"new words" + OLD[:120_000]
EXPECTED = bytes(delta.diff_fast(OLD, NEW))


def as_mmap(value, tmp_path):
    path = tmp_path / f"value{len(list(tmp_path.iterdir()))}"
    path.write_bytes(value)
    with open(path, "rb") as f:
        return mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)


@pytest.mark.parametrize("convert", [
    bytearray, memoryview, lambda v, _: memoryview(b"xx" + v + b"yy")[2:-2], as_mmap, delta.PythonInBuf,
    lambda v, _: delta.patch(b"", bytes(delta.diff(b"", v))),
], ids=["bytearray", "memoryview", "memoryview-slice", "mmap", "PythonInBuf", "PythonOutBuf"])
def test_any_contiguous_byte_buffer(convert, tmp_path):
    one = convert if convert in (bytearray, memoryview, delta.PythonInBuf) else lambda v: convert(v, tmp_path)
    assert len(EXPECTED) < 100 and bytes(delta.patch(OLD, EXPECTED)) == NEW
    assert bytes(delta.diff_fast(one(OLD), one(NEW))) == EXPECTED


@pytest.mark.parametrize("value,error,message", [
    ("text", TypeError, "bytes-like object is required, not 'str'"), (None, TypeError, "not 'NoneType'"),
    (array.array("i", [1, 2, 3]), TypeError, "items of 4 bytes"), (memoryview(b"abcdef")[::2], ValueError, "C-contiguous"),
], ids=["str", "None", "int-array", "strided"])
def test_refuses_other_objects(value, error, message):
    for args in ((b"abc", value), (value, b"abc")):
        with pytest.raises(error, match=message):
            delta.diff_fast(*args)


def test_held_buffer_cannot_be_resized_and_others_run_meanwhile():
    old = bytearray(random.Random(9).randbytes(24 << 20))
    new = bytes(old[1000:]) + bytes(old[:1000])
    state = {"calling": False, "done": False, "progress": 0, "resize": None}

    def work():
        state["calling"] = True
        state["result"] = delta.diff_fast(old, new)
        state["done"] = True

    worker = threading.Thread(target=work)
    worker.start()
    while not state["done"]:
        if state["calling"]:
            state["progress"] += 1
            if state["resize"] is None:
                try:
                    old.extend(b"x")
                    state["resize"] = "allowed"
                except BufferError:
                    state["resize"] = "refused"
    worker.join()
    assert state["progress"] > 1000 and state["resize"] == "refused"
    assert bytes(delta.patch(bytes(old), bytes(state["result"]))) == new
