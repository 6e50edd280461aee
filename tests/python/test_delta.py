"""corvantis_core.delta from Python: surface, conversions, exact deltas,
malformed deltas, round trips against cbor2 and reference counts."""

import gc
import io
import random
import sys
from pathlib import Path

import cbor2
import pytest

import corvantis_core
from corvantis_core import delta
from corvantis_core.delta import PythonInBuf, PythonOutBuf, diff, patch

MODULE_DOC = (
    "\n"
    "        Corvantis Delta\n"
    "        -----------------------\n"
    "\n"
    "        .. currentmodule:: corvantis_delta\n"
    "\n"
    "        .. autosummary::\n"
    "           :toctree: _generate\n"
    "\n"
    "           diff\n"
    "    "
)
IN = "corvantis_core.delta.PythonInBuf"
OUT = "corvantis_core.delta.PythonOutBuf"


def out(result):
    assert type(result) is PythonOutBuf
    return bytes(result)


def cbor_items(data):
    """Every item of a CBOR sequence, decoded by cbor2."""
    stream = io.BytesIO(data)
    decoder = cbor2.CBORDecoder(stream)
    items = []
    while stream.tell() < len(data):
        items.append(decoder.decode())
    return items


def reference_apply(old, delta_bytes):
    """Applies an edit delta (copies and byte-string inserts) decoded by cbor2."""
    items = cbor_items(delta_bytes)
    result = bytearray()
    i = 0
    while i < len(items):
        item = items[i]
        if isinstance(item, bytes):
            result += item
            i += 1
        else:
            offset, length = item, items[i + 1]
            assert isinstance(offset, int) and isinstance(length, int) and offset >= 0 and length >= 0
            assert offset + length <= len(old)
            result += old[offset : offset + length]
            i += 2
    return bytes(result)


# ---------------------------------------------------------------- surface


def test_module_attributes():
    assert delta.__doc__ == MODULE_DOC
    assert delta.__version__ == "dev"
    assert corvantis_core.delta is sys.modules["corvantis_core.delta"]
    public = {name for name in vars(delta) if not name.startswith("_")}
    assert public == {"diff", "patch", "PythonInBuf", "PythonOutBuf"}


@pytest.mark.parametrize(
    "function, signature, doc",
    [
        (
            diff,
            f"diff(old_value: {IN}, new_value: {IN}) -> {OUT}",
            "\n    Diff between 'old_value' and 'new_value'\n    ",
        ),
        (patch, f"patch(old_value: {IN}, diff: {IN}) -> {OUT}", "\n    Apply 'diff' to 'old_value'\n    "),
    ],
)
def test_function_docstrings(function, signature, doc):
    # The binding layer puts the signature line and a blank line before the
    # docstring and a line feed after it.
    assert function.__doc__ == signature + "\n\n" + doc + "\n"


def test_in_buf_constructor_signature():
    assert PythonInBuf.__init__.__doc__.startswith(f"__init__(self: {IN}, arg0: bytes) -> None")


KW_OLD, KW_NEW = b"abcdefghijkl", b"abcdefXhijkl"
KW_DELTA = bytes(diff(KW_OLD, KW_NEW))


@pytest.mark.parametrize(
    "call, expected",
    [
        (lambda: diff(old_value=KW_OLD, new_value=KW_NEW), KW_DELTA),
        (lambda: diff(new_value=KW_NEW, old_value=KW_OLD), KW_DELTA),
        (lambda: diff(KW_OLD, new_value=KW_NEW), KW_DELTA),
        (lambda: patch(old_value=KW_OLD, diff=KW_DELTA), KW_NEW),
        (lambda: patch(diff=KW_DELTA, old_value=KW_OLD), KW_NEW),
        (lambda: patch(KW_OLD, diff=KW_DELTA), KW_NEW),
    ],
)
def test_keyword_calls(call, expected):
    assert out(call()) == expected


@pytest.mark.parametrize(
    "call",
    [
        lambda: diff(old=b"a", new=b"b"),
        lambda: diff(b"a", b"b", b"c"),
        lambda: diff(b"a"),
        lambda: patch(old_value=b"a", delta=b"b"),
        lambda: patch(b"a", new_value=b"b"),
    ],
)
def test_bad_argument_lists(call):
    with pytest.raises(TypeError, match="incompatible function arguments"):
        call()


# ---------------------------------------------------------------- conversions


class BytesSub(bytes):
    pass


@pytest.mark.parametrize(
    "make", [bytes, BytesSub, PythonInBuf, lambda b: PythonInBuf(BytesSub(b))], ids=["bytes", "subclass", "inbuf", "inbuf-sub"]
)
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


@pytest.mark.parametrize(
    "value, error",
    [
        (bytearray(b"abc"), TypeError),
        (memoryview(b"abc"), TypeError),
        ("abc", TypeError),
        (3, TypeError),
        ([97, 98], TypeError),
        (None, TypeError),
    ],
    ids=["bytearray", "memoryview", "str", "int", "list", "None"],
)
@pytest.mark.parametrize("function", [diff, patch])
@pytest.mark.parametrize("position", [0, 1])
def test_rejected_inputs(function, position, value, error):
    args = [b"abc", b"abd"]
    args[position] = value
    with pytest.raises(error):
        function(*args)


@pytest.mark.parametrize("function", [diff, patch])
def test_out_buf_is_not_an_input(function):
    produced = diff(b"abcdefgh", b"abcdefgh")
    with pytest.raises(TypeError, match="incompatible function arguments"):
        function(produced, b"abc")


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((bytearray(b"x"),), {}),
        ((memoryview(b"x"),), {}),
        (("x",), {}),
        ((None,), {}),
        ((), {}),
        ((b"x", b"y"), {}),
        ((), {"arg0": b"x"}),
        ((diff(b"xy", b"xy"),), {}),
    ],
    ids=["bytearray", "memoryview", "str", "None", "nothing", "two", "keyword", "outbuf"],
)
def test_in_buf_constructor_rejects(args, kwargs):
    with pytest.raises(TypeError, match="incompatible constructor arguments"):
        PythonInBuf(*args, **kwargs)


def test_out_buf_has_no_constructor():
    with pytest.raises(TypeError, match="No constructor defined"):
        PythonOutBuf()


# ---------------------------------------------------------------- buffer protocol


@pytest.mark.parametrize(
    "old, new", [(b"", b""), (b"abc", b"abcd"), (b"xxabc", b"abc"), (bytes(range(256)) * 4, bytes(range(256)) * 3)]
)
def test_out_buf_buffer_properties(old, new):
    result = diff(old, new)
    expected = bytes(result)
    view = memoryview(result)
    assert view.format == "b"
    assert view.itemsize == 1
    assert view.ndim == 1
    assert view.shape == (len(expected),)
    assert view.strides == (1,)
    assert not view.readonly
    assert view.c_contiguous
    assert view.nbytes == len(view) == len(expected)
    assert view.obj is result
    assert view.cast("B").tobytes() == expected


def test_out_buf_writes_in_place():
    result = patch(b"hello world", b"\x00\x05\x45there")
    view = memoryview(result)
    view[0] = ord("j")
    view[-1] = -1  # format "b": signed items
    assert bytes(result) == b"jellothere"[:-1] + b"\xff"
    assert bytes(memoryview(result)) == bytes(result)


def test_out_buf_without_data_refuses_a_buffer():
    # __new__ allocates the object without running any constructor: it holds
    # no buffer at all.
    empty = PythonOutBuf.__new__(PythonOutBuf)
    with pytest.raises(BufferError):
        memoryview(empty)
    with pytest.raises(BufferError):
        bytes(empty)
    del empty


@pytest.mark.parametrize("function", [diff, patch])
@pytest.mark.parametrize("position", [0, 1])
def test_uninitialised_in_buf_is_refused(function, position):
    args = [b"abc", b"abd"]
    args[position] = PythonInBuf.__new__(PythonInBuf)
    with pytest.raises(TypeError, match="never initialised"):
        function(*args)


# ---------------------------------------------------------------- exact deltas

WORKED_OLD = b"abcdefghijklmnopqrstuvwxyz0123"
WORKED_NEW = b"abcdefghijXYklmnopqrstxyz0123"

EXACT = [
    ("equal-2", b"ab", b"ab", "f6"),
    ("equal-long", WORKED_OLD, WORKED_OLD, "f6"),
    ("equal-1", b"q", b"q", "4171"),
    ("both-empty", b"", b"", "40"),
    ("new-empty", b"abcdef", b"", "40"),
    ("old-empty", b"", b"xyz", "43 78 79 7a"),
    ("drop-prefix", b"xxabc", b"abc", "02 03"),
    ("worked", WORKED_OLD, WORKED_NEW, "00 0a 42 58 59 0a 0a 17 07"),
    ("append-one", b"abc", b"abcd", "44 61 62 63 64"),
    ("len-23", b"", b"a" * 23, "57" + "61" * 23),
    ("len-24", b"", b"a" * 24, "58 18" + "61" * 24),
    ("len-256", b"", bytes(256), "59 01 00" + "00" * 256),
]


@pytest.mark.parametrize("old, new, expected", [e[1:] for e in EXACT], ids=[e[0] for e in EXACT])
def test_exact_deltas(old, new, expected):
    d = out(diff(old, new))
    assert d == bytes.fromhex(expected)
    assert out(patch(old, d)) == new


def test_no_change_delta_applies_as_no_change():
    assert out(patch(b"anything at all", b"\xf6")) == b"anything at all"
    assert out(patch(b"", b"\xf6")) == b""


@pytest.mark.parametrize("old", [b"", b"a", b"some old value", bytes(1000)])
@pytest.mark.parametrize("new", [b"", b"z", b"a brand new value", bytes(range(256))])
def test_replacement_delta_applies_to_any_old_value(old, new):
    assert out(patch(old, cbor2.dumps(new))) == new


APPLY = [
    ("empty-delta", b"abc", "", b""),
    ("text-string", b"abc", "63 78 79 7a", b"xyz"),
    ("text-and-bytes", b"abc", "62 78 79 41 7a", b"xyz"),
    ("copy-and-insert", b"abcdef", "02 02 41 2d 00 02", b"cd-ab"),
    ("copy-whole", b"abcdef", "00 06", b"abcdef"),
    ("copy-empty-at-end", b"abcdef", "06 00", b""),
    ("wide-heads", b"abcdef", "18 01 19 00 02 5a 00 00 00 01 21", b"bc!"),
    ("array-head-skipped", b"abc", "80 41 78", b"x"),
    ("map-head-skipped", b"abc", "a0 41 78", b"x"),
    ("true-skipped", b"abc", "f5 41 78 f4", b"x"),
    ("negative-skipped", b"abc", "20 41 78", b"x"),
    ("tag-head-skipped", b"abc", "c0 41 78", b"x"),
    ("null-in-sequence", b"abc", "41 78 f6", b"x"),
]


@pytest.mark.parametrize("old, delta_hex, expected", [a[1:] for a in APPLY], ids=[a[0] for a in APPLY])
def test_apply_items(old, delta_hex, expected):
    assert out(patch(old, bytes.fromhex(delta_hex))) == expected


# ---------------------------------------------------------------- malformed deltas

MALFORMED = [
    ("offset-alone", b"abc", "05", "copy offset without a length"),
    ("offset-then-bytes", b"abcdef", "00 41 61", "copy offset without a length"),
    ("offset-then-text", b"abcdef", "00 61 61", "copy offset without a length"),
    ("offset-then-null", b"abcdef", "00 f6", "copy offset without a length"),
    ("offset-then-cut-string", b"abcdefgh", "05 41", "malformed delta"),
    ("offset-then-cut-head", b"abcdef", "00 18", "malformed delta"),
    ("second-copy-alone", b"abcdef", "00 02 03", "copy offset without a length"),
    ("copy-past-end", b"abc", "00 04", "copy outside the old value"),
    ("copy-offset-past-end", b"abc", "04 00", "copy outside the old value"),
    ("copy-from-empty", b"", "00 01", "copy outside the old value"),
    ("copy-huge-offset", b"abc", "1b ff ff ff ff ff ff ff ff 01", "copy outside the old value"),
    ("copy-wrapping-length", b"abc", "01 1b ff ff ff ff ff ff ff ff", "copy outside the old value"),
    ("cut-byte-string", b"abc", "45 61 62", "truncated or unreadable item"),
    ("cut-text-string", b"abc", "41 61 63 78", "truncated or unreadable item"),
    ("cut-uint-head", b"abc", "19 00", "truncated or unreadable item"),
    ("cut-length-head", b"abc", "5a 00 00", "truncated or unreadable item"),
    ("huge-string-length", b"abc", "5b ff ff ff ff ff ff ff f0 61", "truncated or unreadable item"),
    ("cut-after-good-items", b"abc", "00 03 43 78", "truncated or unreadable item"),
]


@pytest.mark.parametrize("old, delta_hex, message", [m[1:] for m in MALFORMED], ids=[m[0] for m in MALFORMED])
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
    name = ["old_value", "new_value"][position]
    with pytest.raises(ValueError, match=f"{name} is too large"):
        diff(*args)
    del big, args


# ---------------------------------------------------------------- round trips


def random_edit(rng, value, edits):
    value = bytearray(value)
    for _ in range(edits):
        kind = rng.randrange(4)
        pos = rng.randrange(len(value) + 1)
        if kind == 0:  # insert
            value[pos:pos] = rng.randbytes(rng.randrange(1, 40))
        elif kind == 1:  # delete
            del value[pos : pos + rng.randrange(1, 40)]
        elif kind == 2:  # overwrite
            value[pos : pos + 1] = rng.randbytes(1)
        else:  # move a block
            length = rng.randrange(1, 200)
            block = value[pos : pos + length]
            del value[pos : pos + length]
            dest = rng.randrange(len(value) + 1)
            value[dest:dest] = block
    return bytes(value)


def check_round_trip(old, new):
    d = out(diff(old, new))
    assert out(patch(old, d)) == new
    if d == b"\xf6":
        assert old == new and len(new) >= 2
    elif len(d) >= len(new):
        # Replacement: exactly one CBOR byte string with the whole new value,
        # head in its shortest form.
        assert d == cbor2.dumps(new)
        assert cbor_items(d) == [new]
    else:
        assert reference_apply(old, d) == new
    return d


@pytest.mark.parametrize("seed", range(40))
def test_round_trip_random_edits(seed):
    rng = random.Random(seed)
    old = rng.randbytes(rng.choice([0, 1, 2, 7, 100, 1000, 5000, 40000]))
    new = random_edit(rng, old, rng.randrange(0, 30))
    check_round_trip(old, new)
    check_round_trip(new, old)


@pytest.mark.parametrize("seed", range(20))
def test_round_trip_unrelated_random(seed):
    rng = random.Random(1000 + seed)
    old = rng.randbytes(rng.randrange(0, 3000))
    new = rng.randbytes(rng.randrange(0, 3000))
    check_round_trip(old, new)


@pytest.mark.parametrize("seed", range(20))
def test_round_trip_small_alphabet(seed):
    # Few distinct bytes make many short accidental matches.
    rng = random.Random(2000 + seed)
    old = bytes(rng.choice(b"ab") for _ in range(rng.randrange(0, 400)))
    new = bytes(rng.choice(b"ab") for _ in range(rng.randrange(0, 400)))
    check_round_trip(old, new)


def realistic_pairs():
    text = Path(__file__).read_bytes()
    lines = text.splitlines(keepends=True)
    yield "source-edited", text, text.replace(b"assert", b"assert  ", 7).replace(b"pytest", b"PYTEST", 3)
    yield "lines-moved", text, b"".join(lines[40:] + lines[:40])
    yield "lines-deleted", text, b"".join(lines[::2])
    yield "appended", text, text + b"# one more line\n"
    yield "prepended", text, b"#!/usr/bin/env python3\n" + text
    doc = cbor2.dumps({"users": [{"id": i, "name": f"user{i}", "tags": ["a", "b"]} for i in range(300)]})
    doc2 = cbor2.dumps({"users": [{"id": i, "name": f"user{i}", "tags": ["a", "b", "c"][: 2 + (i % 7 == 0)]} for i in range(300)]})
    yield "cbor-document", doc, doc2


@pytest.mark.parametrize("name, old, new", list(realistic_pairs()), ids=[p[0] for p in realistic_pairs()])
def test_round_trip_realistic(name, old, new):
    d = check_round_trip(old, new)
    # A real edit of a sizeable value is a genuine edit delta, much smaller
    # than the new value.
    assert len(d) < len(new) // 4, name


# ---------------------------------------------------------------- reference counts and leaks


def test_in_buf_holds_one_reference():
    value = bytes(bytearray(b"refcounted value"))
    base = sys.getrefcount(value)
    held = PythonInBuf(value)
    assert sys.getrefcount(value) == base + 1
    second = PythonInBuf(value)
    assert sys.getrefcount(value) == base + 2
    del held, second
    assert sys.getrefcount(value) == base


@pytest.mark.parametrize("function, second", [(diff, b"abcdefghijklmnoP"), (patch, b"\x00\x10")])
def test_calls_leave_reference_counts_unchanged(function, second):
    old = bytes(bytearray(b"abcdefghijklmnop"))
    arg = bytes(bytearray(second))
    in_old = PythonInBuf(old)
    counts = (sys.getrefcount(old), sys.getrefcount(arg), sys.getrefcount(in_old))
    for _ in range(10):
        function(old, arg)
        function(in_old, arg)
    assert (sys.getrefcount(old), sys.getrefcount(arg), sys.getrefcount(in_old)) == counts


def test_in_buf_keeps_its_bytes_alive():
    source = bytearray(random.Random(7).randbytes(5000))
    held = PythonInBuf(bytes(source))  # the only reference to the bytes is inside
    gc.collect()
    churn = [bytes(bytearray(random.Random(i).randbytes(5000))) for i in range(50)]
    assert out(patch(held, b"\x00\x19\x13\x88")) == bytes(source)
    assert out(diff(held, bytes(source))) == b"\xf6"
    del churn


def test_out_buf_outlives_its_views():
    result = diff(b"", b"some bytes to keep")
    base = sys.getrefcount(result)
    view = memoryview(result)
    assert sys.getrefcount(result) == base + 1
    del result
    assert bytes(view) == cbor2.dumps(b"some bytes to keep")
    view.release()


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


def test_no_leak_over_many_calls():
    rng = random.Random(99)
    pairs = []
    for _ in range(8):
        old = rng.randbytes(2000)
        new = random_edit(rng, old, 5)
        pairs.append((old, new, bytes(diff(old, new))))
    calls = 100_000
    half = calls // 4  # iterations per half; each does one diff and one patch

    def run(iterations):
        for i in range(iterations):
            old, new, d = pairs[i & 7]
            diff(old, new)
            patch(old, d)

    run(half)
    gc.collect()
    blocks, objects, rss = sys.getallocatedblocks(), len(gc.get_objects()), resident_bytes()
    run(half)
    gc.collect()
    assert sys.getallocatedblocks() - blocks < 64
    assert len(gc.get_objects()) - objects < 16
    # A leaked record per call would be well over a megabyte here.
    assert resident_bytes() - rss < 1 << 20
