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


KINDS = [bytearray, memoryview, lambda v: memoryview(b"xx" + v + b"yy")[2:-2], delta.PythonInBuf,
         lambda v: delta.patch(b"", bytes(delta.diff(b"", v)))]  # the last a PythonOutBuf


def test_any_contiguous_byte_buffer(tmp_path):
    assert len(EXPECTED) < 100 and bytes(delta.patch(OLD, EXPECTED)) == NEW
    (tmp_path / "old").write_bytes(OLD)
    with open(tmp_path / "old", "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as mapped:
        for old, new in [(kind(OLD), kind(NEW)) for kind in KINDS] + [(mapped, NEW)]:
            assert bytes(delta.diff_fast(old, new)) == EXPECTED


@pytest.mark.parametrize("value,error,message", [
    ("text", TypeError, "bytes-like object is required, not 'str'"), (None, TypeError, "not 'NoneType'"),
    (array.array("i", [1, 2, 3]), TypeError, "items of 4 bytes"), (memoryview(b"abcdef")[::2], ValueError, "C-contiguous"),
    (delta.PythonInBuf.__new__(delta.PythonInBuf), TypeError, "PythonInBuf was never initialised"),
])
def test_refuses_other_objects(value, error, message):
    for args, name in (((b"abc", value), "new_value"), ((value, b"abc"), "old_value")):
        with pytest.raises(error, match=f"^{name}: .*{message}"):
            delta.diff_fast(*args)


def test_held_buffer_cannot_be_resized_and_others_run_meanwhile():
    old = bytearray(random.Random(9).randbytes(24 << 20))
    new = bytes(old[1000:]) + bytes(old[:1000])
    calling, results, progress, refused = [], [], 0, None
    for _ in range(2):  # two calls at once, on the same buffers
        threading.Thread(target=lambda: calling.append(1) or results.append(bytes(delta.diff_fast(old, new)))).start()
    while len(results) < 2:
        progress += bool(calling)
        try:
            if calling and not refused:
                old.extend(b"x")
        except BufferError as error:
            refused = error
    assert progress > 1000 and refused and results[0] == results[1]
    assert bytes(delta.patch(bytes(old), results[0])) == new
