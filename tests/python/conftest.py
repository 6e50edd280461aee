import subprocess
import sys

from corvantis_core import cbor


def hooked(**hooks):
    """An object of a fresh class whose special methods are the given callables (without self)."""
    # Each method binds its own callable through the outer lambda's argument.
    methods = {name: (lambda f: lambda self, *a: f(*a))(f) for name, f in hooks.items()}  # noqa: B023
    return type("Hooked", (), methods)()


def int_with(value, **methods):
    return type("IntWith", (int,), {"__hash__": int.__hash__, **methods})(value)


def outcome(*args, **kwargs):
    try:
        return cbor.dumps(*args, **kwargs)
    except Exception as error:
        return type(error), str(error)


LIMITED = """import resource, sys
from corvantis_core import cbor
value = eval(sys.argv[1])
in_use = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (in_use + (int(sys.argv[2]) << 20), resource.RLIM_INFINITY))
"""


def run_limited(body, expression, headroom_mib):
    """Run body in a fresh interpreter, `value` from expression, address space +headroom_mib MiB."""
    command = [sys.executable, "-c", LIMITED + body, expression, str(headroom_mib)]
    return subprocess.run(command, capture_output=True, text=True, timeout=120)
