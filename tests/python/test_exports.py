"""The core's C API is exported from the installed module and usable from ctypes."""

import ctypes
import re
from pathlib import Path

import pytest

import corvantis_core

CORE_DIR = Path(__file__).resolve().parents[2] / "src" / "main" / "core"
LIB = ctypes.CDLL(corvantis_core.__file__)


def _declared_api_functions():
    names = []
    for header in sorted(CORE_DIR.glob("*.h")):
        text = header.read_text()
        text = re.sub(r"/\*.*?\*/", " ", text, flags=re.S)
        text = re.sub(r"//[^\n]*", " ", text)
        text = re.sub(r"^\s*#.*$", " ", text, flags=re.M)  # the macro's own definition
        for match in re.finditer(r"\bCORVANTIS_API\b([^;{(]*)\(", text):
            names.append((header.name, re.findall(r"\w+", match.group(1))[-1]))
        # Exported tables: `CORVANTIS_API extern <type> name[...];`
        for match in re.finditer(r"\bCORVANTIS_API\s+extern\b[^;(]*?(\w+)\s*(?:\[[^\]]*\])?\s*;", text):
            names.append((header.name, match.group(1)))
    return names


DECLARED = _declared_api_functions()


def test_headers_declare_the_api():
    names = {name for _, name in DECLARED}
    assert {"buf_create", "hexdump_buf", "buf_sprintf", "list_debug"} <= names


@pytest.mark.parametrize(("header", "name"), DECLARED, ids=[f"{h}:{n}" for h, n in DECLARED])
def test_declared_symbol_is_exported(header, name):
    assert hasattr(LIB, name), f"{name} from {header} is not exported"


class Buf(ctypes.Structure):
    _fields_ = [
        ("data", ctypes.POINTER(ctypes.c_uint8)),
        ("length", ctypes.c_uint64),
        ("capacity", ctypes.c_uint64),
    ]


class ListNode(ctypes.Structure):
    pass


ListNode._fields_ = [
    ("prev", ctypes.POINTER(ListNode)),
    ("next", ctypes.POINTER(ListNode)),
    ("data", ctypes.c_void_p),
]


class List(ctypes.Structure):
    _fields_ = [("first", ctypes.POINTER(ListNode)), ("last", ctypes.POINTER(ListNode))]


def _prototypes():
    buf_p, list_p = ctypes.POINTER(Buf), ctypes.POINTER(List)
    LIB.buf_create.restype = buf_p
    LIB.buf_create.argtypes = []
    LIB.buf_write_bytes.restype = None
    LIB.buf_write_bytes.argtypes = [buf_p, ctypes.c_void_p, ctypes.c_uint64]
    LIB.buf_write_uint32_enc.restype = None
    LIB.buf_write_uint32_enc.argtypes = [buf_p, ctypes.c_uint32]
    LIB.buf_free.restype = None
    LIB.buf_free.argtypes = [buf_p]
    LIB.list_create.restype = list_p
    LIB.list_create.argtypes = []
    LIB.list_append_last.restype = None
    LIB.list_append_last.argtypes = [list_p, ctypes.c_void_p]
    LIB.list_get_size.restype = ctypes.c_int32
    LIB.list_get_size.argtypes = [list_p]
    LIB.list_get_data_indexed.restype = ctypes.c_void_p
    LIB.list_get_data_indexed.argtypes = [list_p, ctypes.c_int32]
    LIB.list_free.restype = None
    LIB.list_free.argtypes = [list_p, ctypes.c_void_p]


_prototypes()


@pytest.mark.parametrize("payload", [b"", b"\x00", b"hello\x00world", bytes(range(256)) * 3])
def test_buf_round_trip_through_ctypes(payload):
    b = LIB.buf_create()
    assert b
    try:
        LIB.buf_write_bytes(b, payload, len(payload))
        LIB.buf_write_uint32_enc(b, 300)
        record = b.contents
        assert record.length == len(payload) + 2
        assert record.capacity >= record.length
        assert ctypes.string_at(record.data, record.length) == payload + b"\xac\x02"
    finally:
        LIB.buf_free(b)


def test_list_round_trip_through_ctypes():
    values = [ctypes.c_int(v) for v in (10, 20, 30)]
    addresses = [ctypes.addressof(v) for v in values]
    l = LIB.list_create()
    assert l
    try:
        assert LIB.list_get_size(l) == 0
        for address in addresses:
            LIB.list_append_last(l, address)
        assert LIB.list_get_size(l) == 3
        assert [LIB.list_get_data_indexed(l, i) for i in range(3)] == addresses
        assert LIB.list_get_data_indexed(l, 3) is None
        assert ctypes.cast(l.contents.last.contents.data, ctypes.POINTER(ctypes.c_int)).contents.value == 30
        assert l.contents.first.contents.next.contents.prev.contents.data == addresses[0]
    finally:
        LIB.list_free(l, None)
