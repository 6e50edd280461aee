"""The core's C API is exported from the installed module and usable from ctypes."""

import ctypes
import re
from pathlib import Path

import pytest

import corvantis_core

CORE_DIR = Path(__file__).resolve().parents[2] / "src" / "main" / "core"
LIB = ctypes.CDLL(corvantis_core.__file__)


def declared_api():
    names = []
    for header in sorted(CORE_DIR.glob("*.h")):
        text = re.sub(r"/\*.*?\*/|//[^\n]*", " ", header.read_text(), flags=re.S)
        text = re.sub(r"^\s*#.*$", " ", text, flags=re.M)  # the macro's own definition
        for match in re.finditer(r"\bCORVANTIS_API\b([^;{(]*)\(", text):
            names.append((header.name, re.findall(r"\w+", match.group(1))[-1]))
        # Exported tables: `CORVANTIS_API extern <type> name[...];`
        for match in re.finditer(r"\bCORVANTIS_API\s+extern\b[^;(]*?(\w+)\s*(?:\[[^\]]*\])?\s*;", text):
            names.append((header.name, match.group(1)))
    return names


DECLARED = declared_api()


def test_headers_declare_the_api():
    assert {"buf_create", "hexdump_buf", "buf_sprintf", "list_debug"} <= {name for _, name in DECLARED}


@pytest.mark.parametrize(("header", "name"), DECLARED, ids=[f"{h}:{n}" for h, n in DECLARED])
def test_declared_symbol_is_exported(header, name):
    assert hasattr(LIB, name), f"{name} from {header} is not exported"


class Buf(ctypes.Structure):
    _fields_ = [("data", ctypes.POINTER(ctypes.c_uint8)), ("length", ctypes.c_uint64), ("capacity", ctypes.c_uint64)]


def prototype(name, restype, *argtypes):
    function = getattr(LIB, name)
    function.restype, function.argtypes = restype, list(argtypes)
    return function


BUF_P = ctypes.POINTER(Buf)
buf_create = prototype("buf_create", BUF_P)
buf_write_bytes = prototype("buf_write_bytes", None, BUF_P, ctypes.c_void_p, ctypes.c_uint64)
buf_write_uint32_enc = prototype("buf_write_uint32_enc", None, BUF_P, ctypes.c_uint32)
buf_free = prototype("buf_free", None, BUF_P)


@pytest.mark.parametrize("payload", [b"", b"hello\x00world", bytes(range(256)) * 3])
def test_buf_through_ctypes(payload):
    b = buf_create()
    assert b
    try:
        buf_write_bytes(b, payload, len(payload))
        buf_write_uint32_enc(b, 300)
        record = b.contents
        assert record.length == len(payload) + 2 and record.capacity >= record.length
        assert ctypes.string_at(record.data, record.length) == payload + b"\xac\x02"
    finally:
        buf_free(b)
