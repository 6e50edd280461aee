import ctypes
import os
import re
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

import corvantis_core
import pytest


def test_declared_c_api_is_exported():
    headers = (Path(__file__).resolve().parents[2] / "src/main/core").rglob("*.h")
    # A declaration starts with the macro; its name is the last word before "(" ("[" for a table).
    declaration = re.compile(r"^CORVANTIS_API\b[^;(]*?(\w+)\s*[(\[]", re.M)
    names = [n for h in headers for n in declaration.findall(h.read_text())]
    library = ctypes.CDLL(corvantis_core.__file__)
    assert {"buf_create", "hexdump_buf", "list_debug", "cbor_jump_table"} <= set(names)
    assert [n for n in names if not hasattr(library, n)] == []


IMPORT = """import sys
try:
    import corvantis_core as core
    print("loaded", core.cbor.dumps([1]).hex(), core.cbor.__version__, core.delta.__version__)
except ImportError as error:
    print(f"{error}|{error.__cause__!r}|{'corvantis_core' in sys.modules}")"""
FAILING_CBOR = """#include <Python.h>
#include <dlfcn.h>
#include <string.h>
PyObject *PyImport_AddModule(const char *name) {
    PyObject *(*next)(const char *) = dlsym(RTLD_NEXT, "PyImport_AddModule");
    if (strcmp(name, "corvantis_core.cbor") != 0) return next(name);
    PyErr_SetString(PyExc_LookupError, "refused by the test");
    return NULL;
}"""


# A fresh interpreter imports the module with a C shim preloaded over libpython: a submodule that
# cannot be added fails the import with its cause, and leaves no half-made module behind.
def test_a_failed_submodule_fails_the_import(tmp_path):
    compiler = shutil.which(os.environ.get("CC", "cc"))
    if not (sysconfig.get_config_var("Py_ENABLE_SHARED") and compiler):
        pytest.skip("needs a shared libpython and a C compiler")
    (source := tmp_path / "shim.c").write_text(FAILING_CBOR)
    include = "-I" + sysconfig.get_paths()["include"]
    build = [compiler, "-shared", "-fPIC", include, "-o", tmp_path / "shim.so", source, "-ldl"]
    subprocess.run(build, check=True)
    # The sanitizers' runtimes come first.
    preload = " ".join(filter(None, [os.environ.get("LD_PRELOAD"), str(tmp_path / "shim.so")]))
    env = {**os.environ, "LD_PRELOAD": preload}
    command = [sys.executable, "-c", IMPORT]
    result = subprocess.run(command, capture_output=True, text=True, timeout=60, env=env)
    expected = "initialization failed|LookupError('refused by the test')|False"
    assert (result.returncode, result.stdout.strip()) == (0, expected), result.stderr


BIG = [0] * 400_000  # its repr alone is 1.2 MB
DELTA_PARAMETERS = {
    "diff": ("old_value", "new_value"),
    "patch": ("old_value", "diff"),
    "diff_fast": ("old_value", "new_value"),
    "diff_compact": ("old_value", "new_value"),
    "apply": ("old_value", "delta"),
}
OutBuf = corvantis_core.delta.PythonOutBuf


def delta_call(name, wrong):
    arguments = {p: BIG if p == wrong else b"" for p in DELTA_PARAMETERS[name]}
    return lambda: getattr(corvantis_core.delta, name)(**arguments)


@pytest.mark.parametrize(
    "function,parameter,call",
    [
        ("dumps", "value", lambda: corvantis_core.cbor.dumps(set(range(200_000)))),
        ("dumps", "indefinite", lambda: corvantis_core.cbor.dumps(1, BIG)),
        ("dumps", "max_depth", lambda: corvantis_core.cbor.dumps(1, max_depth=BIG)),
        ("loads", "data", lambda: corvantis_core.cbor.loads(BIG)),
        ("loads", "max_depth", lambda: corvantis_core.cbor.loads(b"\x01", max_depth=BIG)),
        *((n, p, delta_call(n, p)) for n, ps in DELTA_PARAMETERS.items() for p in ps),
        ("diff_compact", "level", lambda: corvantis_core.delta.diff_compact(b"", b"", level=BIG)),
        ("PythonInBuf", "arg0", lambda: corvantis_core.delta.PythonInBuf(BIG)),
        ("PythonOutBuf.__len__", "self", lambda: OutBuf.__len__(BIG)),
        ("PythonOutBuf.__repr__", "self", lambda: OutBuf.__repr__(BIG)),
    ],
)
def test_a_wrong_argument_gives_a_short_message_naming_it(function, parameter, call):
    with pytest.raises(TypeError) as info:
        call()
    message = str(info.value)
    assert len(message) < 1024, message[:200]
    assert function in message and parameter in message
    assert ("'set'" if parameter == "value" else "'list'") in message


@pytest.mark.parametrize(
    "call,expected",
    [
        (
            lambda: corvantis_core.delta.diff_compact(BIG, BIG, 3),
            "diff_compact(): incompatible function arguments: too many positional arguments: 3",
        ),
        (
            lambda: corvantis_core.delta.diff(BIG),
            "diff(): incompatible function arguments: missing",
        ),
        (lambda: corvantis_core.delta.patch(BIG, old_value=BIG), "'old_value' given by position"),
        (lambda: corvantis_core.cbor.dumps(BIG, depth=BIG), "unexpected keyword argument 'depth'"),
        (lambda: corvantis_core.cbor.dumps(BIG, **{"\udc80": BIG}), "unexpected keyword argument"),
        (lambda: corvantis_core.delta.diff(type("x" * 300, (), {})(), b""), "x" * 200 + "...'"),
        (
            lambda: corvantis_core.delta.PythonInBuf(arg0=BIG),
            "PythonInBuf(): incompatible constructor",
        ),
        (
            lambda: corvantis_core.delta.diff(b"a", b"b").__len__(x=1),
            "PythonOutBuf.__len__(): incompatible function arguments: no keyword arguments taken",
        ),
    ],
)
def test_a_call_of_the_wrong_shape_gives_a_short_message(call, expected):
    with pytest.raises(TypeError, match=r"(?<![\w.])" + re.escape(expected)) as info:
        call()
    assert len(str(info.value)) < 1024
