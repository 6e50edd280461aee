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
    (path := tmp_path / f"value{len(list(tmp_path.iterdir()))}").write_bytes(value)
    with open(path, "rb") as f:
        return mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)


@pytest.mark.parametrize("convert", [
    bytearray, memoryview, lambda v: memoryview(b"xx" + v + b"yy")[2:-2], as_mmap, delta.PythonInBuf,
    lambda v: delta.patch(b"", bytes(delta.diff(b"", v))),
], ids=["bytearray", "memoryview", "memoryview-slice", "mmap", "PythonInBuf", "PythonOutBuf"])
def test_any_contiguous_byte_buffer(convert, tmp_path):
    one = (lambda v: as_mmap(v, tmp_path)) if convert is as_mmap else convert
    assert len(EXPECTED) < 100 and bytes(delta.patch(OLD, EXPECTED)) == NEW
    assert bytes(delta.diff_fast(one(OLD), one(NEW))) == EXPECTED


@pytest.mark.parametrize("value,error,message", [
    ("text", TypeError, "bytes-like object is required, not 'str'"), (None, TypeError, "not 'NoneType'"),
    (array.array("i", [1, 2, 3]), TypeError, "items of 4 bytes"), (memoryview(b"abcdef")[::2], ValueError, "C-contiguous"),
    (delta.PythonInBuf.__new__(delta.PythonInBuf), TypeError, "PythonInBuf was never initialised"),
], ids=["str", "None", "int-array", "strided", "empty-PythonInBuf"])
def test_refuses_other_objects(value, error, message):
    for args, name in (((b"abc", value), "new_value"), ((value, b"abc"), "old_value")):
        with pytest.raises(error, match=f"^{name}: .*{message}"):
            delta.diff_fast(*args)


def test_held_buffer_cannot_be_resized_and_others_run_meanwhile():
    old = bytearray(random.Random(9).randbytes(24 << 20))
    new = bytes(old[1000:]) + bytes(old[:1000])
    calling, results, progress, resize = [], [], 0, None
    workers = [threading.Thread(target=lambda: calling.append(1) or results.append(bytes(delta.diff_fast(old, new))))
               for _ in range(2)]  # two calls at once, on the same buffers
    for worker in workers:
        worker.start()
    while len(results) < len(workers):
        progress += bool(calling)
        if resize is None and calling:
            try:
                old.extend(b"x")
                resize = "allowed"
            except BufferError:
                resize = "refused"
    assert progress > 1000 and resize == "refused" and results[0] == results[1]
    assert bytes(delta.patch(bytes(old), results[0])) == new
