from collections.abc import Buffer
from typing import ClassVar, NoReturn, TypeAlias

__version__: str

class _Pybind11Type(type):
    """Metaclass of the binding layer's classes."""

class PythonInBuf(metaclass=_Pybind11Type):
    """A read-only view of a bytes object that keeps the object alive."""

    def __init__(self, arg0: bytes, /) -> None: ...

class PythonOutBuf(metaclass=_Pybind11Type):
    """Bytes produced by diff or patch, read through the buffer protocol
    (memoryview(result), bytes(result)). Equal to any bytes-like object with
    the same bytes; unhashable, since its bytes can be written in place."""

    # Not constructible from Python: diff and patch make these.
    def __init__(self, *args: object, **kwargs: object) -> NoReturn: ...
    def __buffer__(self, flags: int, /) -> memoryview: ...
    def __release_buffer__(self, buffer: memoryview, /) -> None: ...
    def __len__(self) -> int: ...
    def __eq__(self, other: object) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

# Where a PythonInBuf is expected, bytes (and bytes subclasses) convert
# implicitly without a copy.
_InValue: TypeAlias = PythonInBuf | bytes

def diff(old_value: _InValue, new_value: _InValue) -> PythonOutBuf:
    """Diff between 'old_value' and 'new_value'"""

def patch(old_value: _InValue, diff: _InValue) -> PythonOutBuf:
    """Apply 'diff' to 'old_value'"""

def diff_fast(old_value: Buffer | PythonInBuf, new_value: Buffer | PythonInBuf) -> PythonOutBuf:
    """Delta from 'old_value' to 'new_value' by block matching: finds moved,
    repeated and reordered blocks, in time linear in the input size.
    Accepts any C-contiguous buffer of bytes (bytes, bytearray, memoryview,
    mmap, PythonOutBuf) or a PythonInBuf without copying it, and releases
    the GIL while it runs. The delta is read by patch."""

def diff_compact(
    old_value: Buffer | PythonInBuf, new_value: Buffer | PythonInBuf, *, level: int = 3
) -> PythonOutBuf:
    """Compact, self-checking delta from 'old_value' to 'new_value', for storing
    or sending: copies from the old value and from the new bytes already
    written, approximate copies for moved code, and zstd-compressed streams,
    behind a header with the lengths and XXH3-64 checksums of both values.
    'level' runs from 1 (fastest) to 19 (smallest), as zstd's levels do;
    another level raises ValueError. Accepts any C-contiguous buffer of
    bytes or a PythonInBuf without copying it, and releases the GIL while it
    runs. Applied by apply or patch, which check the old value and the
    result."""

def apply(old_value: Buffer | PythonInBuf, delta: Buffer | PythonInBuf) -> PythonOutBuf:
    """Apply 'delta' (compact or bare) to 'old_value' and return the new value.
    Accepts any C-contiguous buffer of bytes for both (an mmap of a large
    old file is read in place) and releases the GIL while it works. A
    compact delta's checks (old value, truncation, damage, result) and a
    malformed bare delta raise ValueError naming what failed; MemoryError
    when memory runs out."""
