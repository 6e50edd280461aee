"""Messages and helpers shared by the Python tests."""

CAST_MESSAGE = (
    "Unable to cast Python instance to C++ type (#define PYBIND11_DETAILED_ERROR_MESSAGES "
    "or compile in debug mode for details)"
)
RANGE_MESSAGE = "dumps received an integer out of range for both int64_t and uint64_t"
LIST_CHANGED, DICT_CHANGED = "list changed size during iteration", "dictionary changed size during iteration"
COPY_WITHOUT_LENGTH = "malformed delta: copy offset without a length"
COPY_OUT_OF_RANGE = "malformed delta: copy outside the old value"
UNREADABLE = "malformed delta: truncated or unreadable item"


def h(text):
    return bytes.fromhex(text.replace(" ", ""))


def hooked(**hooks):
    """An object of a fresh class whose special methods are the given callables (without self)."""
    return type("Hooked", (), {name: (lambda f: lambda self, *a: f(*a))(f) for name, f in hooks.items()})()


def fail(*_):
    raise ArithmeticError("hook failed")


def int_with(value, **methods):
    """An int subclass instance with the given methods (taking self)."""
    return type("IntWith", (int,), {"__hash__": int.__hash__, **methods})(value)
