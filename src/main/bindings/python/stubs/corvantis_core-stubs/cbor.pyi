from typing import Any, SupportsIndex, TypeAlias

# What dumps encodes: plain values, and lists, tuples and dicts of them to any
# depth. bytearray is written as a text string of its raw bytes; objects with
# __index__ as integers.
_DumpsValue: TypeAlias = (
    bool
    | int
    | float
    | str
    | bytes
    | bytearray
    | None
    | SupportsIndex
    | list[Any]
    | tuple[Any, ...]
    | dict[Any, Any]
)

__version__: str

def dumps(value: _DumpsValue, indefinite: bool = True, max_depth: int = 0) -> bytes:
    """Dump a Python object to cbor"""
