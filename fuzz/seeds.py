"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

The seeds are the byte examples the components are specified and tested
with (CBOR heads at every width, the floats at the width boundaries, the
delta examples, LEB128 boundaries) laid out in each harness's input format.
Run it again after changing a harness's input format:
    .venv/bin/python fuzz/seeds.py
"""

import hashlib
import math
import struct
from pathlib import Path

CORPUS = Path(__file__).resolve().parent / "corpus"


def write(target, seeds):
    out = CORPUS / target
    out.mkdir(parents=True, exist_ok=True)
    for old in out.iterdir():
        old.unlink()
    for name, data in seeds:
        digest = hashlib.sha1(data).hexdigest()[:8]
        (out / f"{name}-{digest}").write_bytes(data)


def h(text):
    return bytes.fromhex(text)


def cbor_parser_seeds():
    items = [
        "00", "17", "1818", "190100", "1b0000000100000000", "18",
        "20", "37", "3818", "3b7fffffffffffffff", "3bffffffffffffffff", "38",
        "40", "436162", "63616263", "820102", "9f01ff", "a0", "bfff",
        "f4f5f6f7", "f93c00", "f90001", "f98000", "f97bff", "f97c00", "f9fc00", "f97e00",
        "fa47800000", "fa7f800000", "fa7ffc0000", "fb3ff199999999999a",
        "e0", "f810", "c24101", "d820", "1c", "ff", "5c5d5e5f7f",
        "5b00000000000000ff41", "7bffffffffffffffff", "9bffffffffffffffff",
        "000a425859 0a0a1707".replace(" ", ""),
    ]
    return [(f"item{i:02d}", h(x)) for i, x in enumerate(items)] + [
        ("allheads", bytes(range(256))),
    ]


def cbor_float_seeds():
    values = [0.0, -0.0, 1.0, 1.5, -4.0, 65504.0, 2.0**-14, 65519.0, 65536.0, 100000.0,
              2.0**-24, 2.0**-149, 3.4028234663852886e38, 1.1, 1e300, float("inf"),
              float("-inf"), float("nan"), 5e-324, 2.0**-1074 * 3, 65505.0, 2.0**-15]
    seeds = [(f"double{i:02d}", struct.pack("<d", v)) for i, v in enumerate(values)]
    seeds.append(("all", b"".join(struct.pack("<d", v) for v in values)))
    # NaNs with payloads and signs, a signalling NaN, and the largest double.
    for i, bits in enumerate([0x7FF0000000000001, 0xFFF8000000000000, 0x7FF4000000000000,
                              0x7FEFFFFFFFFFFFFF, 0x47EFFFFFE0000000, 0x3E70000000000000]):
        seeds.append((f"bits{i}", struct.pack("<Q", bits)))
    assert not math.isnan(values[0])
    return seeds


def old_and(old, rest):
    """fuzz_delta_apply layout: old length (2 bytes, big-endian), old, delta."""
    return struct.pack(">H", len(old)) + old + rest


def delta_apply_seeds():
    alpha = b"abcdefghijklmnopqrstuvwxyz0123"
    cases = [
        (alpha, h("000a4258590a0a1707")),
        (b"xxabc", h("0203")),
        (b"abc", h("4461626364")),
        (b"abc", h("f6")),
        (b"abc", b""),
        (b"abc", h("05")),
        (b"abc", h("0541")),
        (b"abc", h("4361626364") + h("45616263")),
        (b"abc", h("63616263")),
        (b"abc", h("0003") + h("9f0001ff") + h("c24178")),
        (b"abc", h("0004")),
        (b"abc", h("1b00000000000000001bffffffffffffffff")),
        (b"abc", h("5f4161417aff") + h("7f6178ff")),
        (b"abc", h("e0f8f91c01")),
        (b"", h("40")),
    ]
    return [(f"delta{i:02d}", old_and(o, d)) for i, (o, d) in enumerate(cases)]


def pair(selector, old, new):
    """fuzz_diff_roundtrip layout: selector, old length (2 bytes), old, new."""
    return bytes([selector]) + struct.pack(">H", len(old)) + old + new


def roundtrip_seeds():
    alpha = b"abcdefghijklmnopqrstuvwxyz0123"
    pairs = [
        (alpha, b"abcdefghijXYklmnopqrstxyz0123"),
        (b"xxabc", b"abc"), (b"abc", b"abcd"), (b"abcdef", b"abXdef"),
        (b"abcabba", b"cbabac"), (b"ab", b"b"), (b"", b""), (b"a", b"a"), (b"same", b"same"),
        (b"", b"new"), (b"old", b""), (bytes(range(256)) * 4, bytes(range(255, -1, -1)) * 4),
        (b"0123456789" * 40, b"0123456789" * 20 + b"!" + b"0123456789" * 20),
    ]
    seeds = []
    for i, (o, n) in enumerate(pairs):
        for sel in (0, 0x13, 0x85):
            seeds.append((f"pair{i:02d}-{sel:02x}", pair(sel, o, n)))
    return seeds


def fast_roundtrip_seeds():
    """fuzz_fast_roundtrip: the round-trip pairs, and values long enough for
    the block index, plain and rotated (selector low bit)."""
    seeds = [(f"pair{i:02d}", pair(0, o, n)) for i, (o, n) in enumerate(
        [(b"xxabc", b"abc"), (b"", b"new"), (b"a", b"a"), (b"same", b"same"), (b"old", b"")])]
    block = bytes((i * 151 + (i >> 8) * 7) & 0xFF for i in range(3000))
    seeds.append(("rotated", pair(0x81, block, b"tail")))
    seeds.append(("reversed", pair(0, block, block[1500:] + block[:1500][::-1])))
    seeds.append(("run", pair(0, b"a" * 2500, b"a" * 1200 + b"b" + b"a" * 1300)))
    return seeds


def engine(quality, limit_sel, storage_sel, stop_after, window, old, new, starts=(0, 0, 0, 0)):
    """fuzz_engine layout: quality, limit selector, storage selector, stop-after,
    window mode, four 16-bit window numbers, old length (2 bytes), old, new."""
    head = bytes([quality, limit_sel, storage_sel, stop_after, window])
    head += b"".join(struct.pack(">H", s) for s in starts)
    return head + struct.pack(">H", len(old)) + old + new


def engine_seeds():
    pairs = [
        (b"abcXYZdef", b"abcQdef"), (b"abcdef", b"abXdef"), (b"abcabba", b"cbabac"),
        (b"ab", b"b"), (b"", b""), (b"", b"xyz"), (b"xyz", b""), (b"same", b"same"),
        (b"abcdefghijklmnopqrstuvwxyz0123", b"abcdefghijXYklmnopqrstxyz0123"),
        (bytes(range(200)), bytes(range(0, 200, 3)) + bytes(range(1, 200, 3))),
    ]
    seeds = []
    for i, (o, n) in enumerate(pairs):
        for q in range(6):
            seeds.append((f"q{q}-pair{i:02d}", engine(q, 7, 0, 0, 0, o, n)))
        seeds.append((f"limit1-pair{i:02d}", engine(0, 3, 0, 0, 0, o, n)))
        seeds.append((f"storage-pair{i:02d}", engine(0, 7, 9, 0, 0, o, n)))
        seeds.append((f"stop-pair{i:02d}", engine(0, 7, 0, 3, 0, o, n)))
    seeds.append(("window", engine(0, 7, 0, 0, 1, b"0123456789abcdef", b"01234xx789abcdef", (2, 10, 1, 12))))
    seeds.append(("badwindow", engine(0, 7, 0, 0, 2, b"abc", b"abd", (0xFFFF, 0xFFFF, 0, 3))))
    return seeds


def leb(v):
    out = bytearray()
    while v >= 0x80:
        out.append((v & 0x7F) | 0x80)
        v >>= 7
    out.append(v)
    return bytes(out)


def buf_enc_seeds():
    values = [0, 127, 128, 300, 16383, 16384, 2**32 - 1, 2**64 - 1]
    seeds = []
    for op in range(6):
        stream = b"".join(bytes([op]) + leb(v) for v in values)
        seeds.append((f"op{op}", stream))
    seeds.append(("overlong32", b"\x00" + h("8080808080")))
    seeds.append(("overlong64", b"\x01" + h("80") * 10))
    seeds.append(("string", b"\x02" + h("03616263") + b"\x0a" + h("00")))
    seeds.append(("bool", b"\x04\x00\x04\x01\x04\x02\x0c\x07"))
    seeds.append(("writers", b"\xf0" + bytes(range(1, 40))))
    seeds.append(("nonshortest", b"\x00" + h("8000") + b"\x01" + h("ffffffffffffffffff01")))
    return seeds


if __name__ == "__main__":
    write("fuzz_cbor_parser", cbor_parser_seeds())
    write("fuzz_cbor_float", cbor_float_seeds())
    write("fuzz_delta_apply", delta_apply_seeds())
    write("fuzz_diff_roundtrip", roundtrip_seeds())
    write("fuzz_fast_roundtrip", fast_roundtrip_seeds())
    write("fuzz_engine", engine_seeds())
    write("fuzz_buf_enc", buf_enc_seeds())
