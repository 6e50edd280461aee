from collections.abc import Buffer
from typing import Any, Literal, SupportsIndex, TypeAlias

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

class CBORDecodeError(ValueError):
    """Raised by loads for input that is not one well-formed CBOR item."""

class Tag:
    """A tagged item without a Python type of its own: .tag is the tag number, .value the item."""

    tag: int
    value: Any
    def __init__(self, tag: int, value: Any) -> None: ...
    def __eq__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...

class Simple:
    """A simple value without a Python counterpart (0 to 19, 24 to 31 reserved, 32 to 255)."""

    value: int
    def __init__(self, value: int) -> None: ...
    def __eq__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...

class UndefinedType:
    """The type of undefined, which loads returns for the CBOR undefined value (F7)."""

    def __bool__(self) -> Literal[False]: ...

undefined: UndefinedType

def loads(data: Buffer, *, max_depth: int = 0) -> Any:
    """Decode the one CBOR item that fills data, a C-contiguous buffer of bytes."""
