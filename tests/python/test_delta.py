"""corvantis_core.delta from Python: surface, conversions, exact deltas,
malformed deltas, round trips against cbor2 and reference counts."""

import gc
import io
import random
import sys
from pathlib import Path

import cbor2
import pytest

from corvantis_core import delta
from corvantis_core.delta import PythonInBuf, PythonOutBuf, diff, patch

IN, OUT = "corvantis_core.delta.PythonInBuf", "corvantis_core.delta.PythonOutBuf"


def out(result):
    assert type(result) is PythonOutBuf
    return bytes(result)


def reference_apply(old, delta_bytes):
    """Applies an edit delta (copies and byte-string inserts) decoded by cbor2."""
    stream = io.BytesIO(delta_bytes)
    decoder, result = cbor2.CBORDecoder(stream), bytearray()
    while stream.tell() < len(delta_bytes):
        item = decoder.decode()
        if isinstance(item, bytes):
            result += item
        else:
            offset, length = item, decoder.decode()
            assert isinstance(length, int) and 0 <= offset and 0 <= length and offset + length <= len(old)
            result += old[offset:offset + length]
    return bytes(result)


def test_module_surface():
    assert delta.__doc__ == (
        "\n        Corvantis Delta\n        -----------------------\n\n        .. currentmodule:: corvantis_delta\n"
        "\n        .. autosummary::\n           :toctree: _generate\n\n           diff\n    ")
    assert {name for name in vars(delta) if not name.startswith("_")} == {"diff", "diff_fast", "patch", "PythonInBuf", "PythonOutBuf"}
    # The binding layer puts the signature and a blank line before the docstring, a line feed after it.
    assert diff.__doc__ == (f"diff(old_value: {IN}, new_value: {IN}) -> {OUT}\n\n"
                            "\n    Diff between 'old_value' and 'new_value'\n    \n")
    assert patch.__doc__ == f"patch(old_value: {IN}, diff: {IN}) -> {OUT}\n\n\n    Apply 'diff' to 'old_value'\n    \n"
    assert PythonInBuf.__init__.__doc__.startswith(f"__init__(self: {IN}, arg0: bytes) -> None")


KW_OLD, KW_NEW = b"abcdefghijkl", b"abcdefXhijkl"
KW_DELTA = bytes(diff(KW_OLD, KW_NEW))


def test_argument_lists():
    assert out(diff(new_value=KW_NEW, old_value=KW_OLD)) == out(diff(KW_OLD, new_value=KW_NEW)) == KW_DELTA
    assert out(patch(diff=KW_DELTA, old_value=KW_OLD)) == out(patch(KW_OLD, diff=KW_DELTA)) == KW_NEW
    for call in [lambda: diff(old=b"a", new=b"b"), lambda: diff(b"a", b"b", b"c"), lambda: diff(b"a"),
                 lambda: patch(old_value=b"a", delta=b"b"), lambda: patch(b"a", new_value=b"b")]:
        with pytest.raises(TypeError, match="incompatible function arguments"):
            call()


class BytesSub(bytes):
    pass


@pytest.mark.parametrize("make", [bytes, BytesSub, PythonInBuf, lambda b: PythonInBuf(BytesSub(b))],
                         ids=["bytes", "subclass", "inbuf", "inbuf-sub"])
@pytest.mark.parametrize("position", [0, 1])
def test_accepted_inputs_give_identical_results(make, position):
    old, new = b"the quick brown fox jumps", b"the quick red fox jumped"
    args = [old, new]
    args[position] = make(args[position])
    d = out(diff(*args))
    assert d == out(diff(old, new))
    args = [old, d]
    args[position] = make(args[position])
    assert out(patch(*args)) == new


@pytest.mark.parametrize("value, error", [
    (bytearray(b"abc"), TypeError), (memoryview(b"abc"), TypeError), ("abc", TypeError), (3, TypeError),
    ([97, 98], TypeError), (diff(b"ab", b"ab"), TypeError), (None, RuntimeError),
], ids=["bytearray", "memoryview", "str", "int", "list", "outbuf", "None"])
@pytest.mark.parametrize("function", [diff, patch])
@pytest.mark.parametrize("position", [0, 1])
def test_rejected_inputs(function, position, value, error):
    args = [b"abc", b"abd"]
    args[position] = value
    with pytest.raises(error):
        function(*args)


@pytest.mark.parametrize("args, kwargs", [
    ((bytearray(b"x"),), {}), ((memoryview(b"x"),), {}), (("x",), {}), ((None,), {}), ((), {}),
    ((b"x", b"y"), {}), ((), {"arg0": b"x"}), ((diff(b"xy", b"xy"),), {}),
], ids=["bytearray", "memoryview", "str", "None", "nothing", "two", "keyword", "outbuf"])
def test_in_buf_constructor_rejects(args, kwargs):
    with pytest.raises(TypeError, match="incompatible constructor arguments"):
        PythonInBuf(*args, **kwargs)
    with pytest.raises(TypeError, match="No constructor defined"):
        PythonOutBuf(*args, **kwargs)


@pytest.mark.parametrize("old, new", [(b"", b""), (b"abc", b"abcd"), (bytes(range(256)) * 4, bytes(range(256)) * 3)])
def test_out_buf_buffer_properties(old, new):
    result = diff(old, new)
    expected = bytes(result)
    view = memoryview(result)
    assert (view.format, view.itemsize, view.ndim, view.shape, view.strides) == ("b", 1, 1, (len(expected),), (1,))
    assert not view.readonly and view.c_contiguous and view.obj is result
    assert view.nbytes == len(view) == len(result) == len(expected) and view.cast("B").tobytes() == expected
    assert repr(result) == f"<PythonOutBuf of {len(expected)} bytes>"


def test_out_buf_writes_in_place():
    result = patch(b"hello world", b"\x00\x05\x45there")
    view = memoryview(result)
    view[0] = ord("j")
    view[-1] = -1  # format "b": signed items
    assert bytes(result) == bytes(memoryview(result)) == b"jellother\xff"


def test_objects_without_data_are_refused():
    # __new__ makes the object without running a constructor: it holds no buffer.
    empty = PythonOutBuf.__new__(PythonOutBuf)
    assert (len(empty), repr(empty)) == (0, "<PythonOutBuf holding no data>")
    for convert in (memoryview, bytes):
        with pytest.raises(BufferError):
            convert(empty)
    for function in (diff, patch):
        for args in ([PythonInBuf.__new__(PythonInBuf), b"abd"], [b"abc", PythonInBuf.__new__(PythonInBuf)]):
            with pytest.raises(TypeError, match="never initialised"):
                function(*args)


WORKED_OLD, WORKED_NEW = b"abcdefghijklmnopqrstuvwxyz0123", b"abcdefghijXYklmnopqrstxyz0123"


@pytest.mark.parametrize("old, new, expected", [
    (b"ab", b"ab", "f6"), (WORKED_OLD, WORKED_OLD, "f6"), (b"q", b"q", "4171"), (b"", b"", "40"),
    (b"abcdef", b"", "40"), (b"", b"xyz", "43 78 79 7a"), (b"xxabc", b"abc", "02 03"),
    (WORKED_OLD, WORKED_NEW, "00 0a 42 58 59 0a 0a 17 07"), (b"abc", b"abcd", "44 61 62 63 64"),
    (b"", b"a" * 23, "57" + "61" * 23), (b"", b"a" * 24, "58 18" + "61" * 24), (b"", bytes(256), "59 01 00" + "00" * 256),
])
def test_exact_deltas(old, new, expected):
    d = out(diff(old, new))
    assert d == bytes.fromhex(expected)
    assert out(patch(old, d)) == new


def test_replacement_applies_to_any_old_value():
    for old in [b"", b"a", b"some old value", bytes(1000)]:
        for new in [b"", b"z", b"a brand new value", bytes(range(256))]:
            assert out(patch(old, cbor2.dumps(new))) == new


@pytest.mark.parametrize("old, delta_hex, expected", [
    (b"abc", "", b""), (b"abc", "63 78 79 7a", b"xyz"), (b"abc", "62 78 79 41 7a", b"xyz"),
    (b"abcdef", "02 02 41 2d 00 02", b"cd-ab"), (b"abcdef", "00 06", b"abcdef"), (b"abcdef", "06 00", b""),
    (b"abcdef", "18 01 19 00 02 5a 00 00 00 01 21", b"bc!"),
    # The no-change delta alone gives the old value back, not an empty one.
    (b"anything at all", "f6", b"anything at all"), (b"", "f6", b""),
    # Items other than integers and strings are skipped.
    (b"abc", "80 41 78", b"x"), (b"abc", "a0 41 78", b"x"), (b"abc", "f5 41 78 f4", b"x"),
    (b"abc", "20 41 78", b"x"), (b"abc", "c0 41 78", b"x"), (b"abc", "41 78 f6", b"x"),
])
def test_apply_items(old, delta_hex, expected):
    assert out(patch(old, bytes.fromhex(delta_hex))) == expected


OFFSET_ALONE, MALFORMED, OUTSIDE, UNREADABLE = (
    "copy offset without a length", "malformed delta", "copy outside the old value", "truncated or unreadable item")


@pytest.mark.parametrize("old, delta_hex, message", [
    (b"abc", "05", OFFSET_ALONE), (b"abcdef", "00 41 61", OFFSET_ALONE), (b"abcdef", "00 61 61", OFFSET_ALONE),
    (b"abcdef", "00 f6", OFFSET_ALONE), (b"abcdef", "00 02 03", OFFSET_ALONE),
    (b"abcdefgh", "05 41", MALFORMED), (b"abcdef", "00 18", MALFORMED),
    (b"abc", "00 04", OUTSIDE), (b"abc", "04 00", OUTSIDE), (b"", "00 01", OUTSIDE),
    (b"abc", "1b ff ff ff ff ff ff ff ff 01", OUTSIDE), (b"abc", "01 1b ff ff ff ff ff ff ff ff", OUTSIDE),
    (b"abc", "45 61 62", UNREADABLE), (b"abc", "19 00", UNREADABLE), (b"abc", "5a 00 00", UNREADABLE),
    (b"abc", "5b ff ff ff ff ff ff ff f0 61", UNREADABLE), (b"abc", "00 03 43 78", UNREADABLE),
])
def test_malformed_deltas_raise(old, delta_hex, message):
    with pytest.raises(ValueError, match=message):
        patch(old, bytes.fromhex(delta_hex))


@pytest.mark.parametrize("size", [2**31, 2**32 + 3])
@pytest.mark.parametrize("position", [0, 1])
def test_diff_refuses_values_beyond_32_bits(size, position):
    try:
        big = bytes(size)  # calloc'd: pages are only touched if read
    except MemoryError:
        pytest.skip("cannot reserve the address space for the large value")
    args = [b"small", b"small!"]
    args[position] = big
    with pytest.raises(ValueError, match=f"{['old_value', 'new_value'][position]} is too large"):
        diff(*args)


def random_edit(rng, value, edits):
    value = bytearray(value)
    for _ in range(edits):
        kind, pos = rng.randrange(4), rng.randrange(len(value) + 1)
        if kind == 0:
            value[pos:pos] = rng.randbytes(rng.randrange(1, 40))
        elif kind == 1:
            del value[pos:pos + rng.randrange(1, 40)]
        elif kind == 2:
            value[pos:pos + 1] = rng.randbytes(1)
        else:  # move a block
            block = value[pos:pos + rng.randrange(1, 200)]
            del value[pos:pos + len(block)]
            dest = rng.randrange(len(value) + 1)
            value[dest:dest] = block
    return bytes(value)


def check_round_trip(old, new):
    d = out(diff(old, new))
    assert out(patch(old, d)) == new
    if d == b"\xf6":
        assert old == new and len(new) >= 2
    elif len(d) >= len(new):
        # Replacement: one byte string, head in its shortest form.
        assert d == cbor2.dumps(new)
    else:
        assert reference_apply(old, d) == new
    return d


@pytest.mark.parametrize("seed", range(60))
def test_round_trip_random(seed):
    rng = random.Random(seed)
    if seed % 3 == 0:
        old = rng.randbytes(rng.choice([0, 1, 2, 7, 100, 1000, 5000, 40000]))
        new = random_edit(rng, old, rng.randrange(0, 30))
    elif seed % 3 == 1:
        old, new = rng.randbytes(rng.randrange(0, 3000)), rng.randbytes(rng.randrange(0, 3000))
    else:  # few distinct bytes make many short accidental matches
        old, new = (bytes(rng.choice(b"ab") for _ in range(rng.randrange(0, 400))) for _ in range(2))
    check_round_trip(old, new)
    check_round_trip(new, old)


TEXT = Path(__file__).read_bytes()
LINES = TEXT.splitlines(keepends=True)
DOC, DOC2 = (cbor2.dumps({"users": [{"id": i, "name": f"user{i}", "tags": ["a", "b", "c"][:2 + extra(i)]}
                                    for i in range(300)]}) for extra in (lambda i: 0, lambda i: i % 7 == 0))


@pytest.mark.parametrize("old, new", [
    (TEXT, TEXT.replace(b"assert", b"assert  ", 7).replace(b"pytest", b"PYTEST", 3)),
    (TEXT, b"".join(LINES[40:] + LINES[:40])), (TEXT, b"".join(LINES[::2])), (TEXT, TEXT + b"# one more line\n"),
    (TEXT, b"#!/usr/bin/env python3\n" + TEXT), (DOC, DOC2),
], ids=["edited", "lines-moved", "lines-deleted", "appended", "prepended", "cbor-document"])
def test_round_trip_realistic(old, new):
    # A real edit of a sizeable value is a genuine edit delta, much smaller than the value.
    assert len(check_round_trip(old, new)) < len(new) // 4


def test_reference_counts():
    value = bytes(bytearray(b"refcounted value"))
    base = sys.getrefcount(value)
    held, second = PythonInBuf(value), PythonInBuf(value)
    assert sys.getrefcount(value) == base + 2
    del held, second
    assert sys.getrefcount(value) == base
    for function, arg in [(diff, bytes(bytearray(b"abcdefghijklmnoP"))), (patch, bytes(bytearray(b"\x00\x10")))]:
        old = bytes(bytearray(b"abcdefghijklmnop"))
        in_old = PythonInBuf(old)
        counts = (sys.getrefcount(old), sys.getrefcount(arg), sys.getrefcount(in_old))
        for _ in range(10):
            function(old, arg)
            function(in_old, arg)
        assert (sys.getrefcount(old), sys.getrefcount(arg), sys.getrefcount(in_old)) == counts


def test_buffers_keep_their_bytes_alive():
    source = bytearray(random.Random(7).randbytes(5000))
    held = PythonInBuf(bytes(source))  # the only reference to the bytes is inside
    gc.collect()
    churn = [bytes(bytearray(random.Random(i).randbytes(5000))) for i in range(50)]
    assert out(patch(held, b"\x00\x19\x13\x88")) == bytes(source)
    assert out(diff(held, bytes(source))) == b"\xf6"
    del churn
    result = diff(b"", b"some bytes to keep")
    view = memoryview(result)
    del result
    assert bytes(view) == cbor2.dumps(b"some bytes to keep")
    view.release()


def test_no_leak_over_many_calls():
    def resident_bytes():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * 4096

    rng = random.Random(99)
    olds = [rng.randbytes(2000) for _ in range(8)]
    pairs = [(old, new, bytes(diff(old, new))) for old in olds for new in [random_edit(rng, old, 5)]]

    def run(iterations):
        for i in range(iterations):
            old, new, d = pairs[i & 7]
            diff(old, new)
            patch(old, d)

    run(10000)
    gc.collect()
    blocks, objects, rss = sys.getallocatedblocks(), len(gc.get_objects()), resident_bytes()
    run(10000)
    gc.collect()
    assert sys.getallocatedblocks() - blocks < 64
    assert len(gc.get_objects()) - objects < 16
    # A leaked record per call would be well over a megabyte here.
    assert resident_bytes() - rss < 1 << 20
