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
    # Every declaration starts its line with the macro; the name is the last word before "(" (or
    # "[" for the table).
    names = [
        n
        for h in headers
        for n in re.findall(r"^CORVANTIS_API\b[^;(]*?(\w+)\s*[(\[]", h.read_text(), re.M)
    ]
    library = ctypes.CDLL(corvantis_core.__file__)
    assert {"buf_create", "hexdump_buf", "list_debug", "cbor_jump_table"} <= set(names)
    assert [n for n in names if not hasattr(library, n)] == []


IMPORT = """import sys
try:
    import corvantis_core as core
    print("loaded", core.cbor.dumps([1]).hex(), core.cbor.__version__, core.delta.__version__)
except ImportError as error:
    print(f"{error}|{error.__cause__!r}|{'corvantis_core' in sys.modules}")"""
VERSION = (
    '#include <stdlib.h>\nconst char *Py_GetVersion(void) { return getenv("SHIM_PY_VERSION"); }\n'
)
FAILING_CBOR = """#include <Python.h>
#include <dlfcn.h>
#include <string.h>
PyObject *PyImport_AddModule(const char *name) {
    PyObject *(*next)(const char *) = dlsym(RTLD_NEXT, "PyImport_AddModule");
    if (strcmp(name, "corvantis_core.cbor") != 0) return next(name);
    PyErr_SetString(PyExc_LookupError, "refused by the test");
    return NULL;
}"""
REFUSED = (
    "Python version mismatch: module was compiled for Python 3.12, but the interpreter version "
    "is incompatible: "
)


# A fresh interpreter imports the module with a C shim preloaded over libpython.
@pytest.mark.parametrize(
    "shim,version,expected",
    [
        *((VERSION, v, "loaded 9f01ff dev dev") for v in ("3.12.4 (main) [GCC 12]", "3.12")),
        *(
            (VERSION, v, f"{REFUSED}{v}.|None|False")
            for v in ("3.13.0", "3.11.9 (main)", "3.120.1", "3.1")
        ),
        (FAILING_CBOR, "", "initialization failed|LookupError('refused by the test')|False"),
    ],
)
def test_import(tmp_path, shim, version, expected):
    if not sysconfig.get_config_var("Py_ENABLE_SHARED") or not (
        compiler := shutil.which(os.environ.get("CC", "cc"))
    ):
        pytest.skip("needs a shared libpython and a C compiler")
    (source := tmp_path / "shim.c").write_text(shim)
    include = sysconfig.get_paths()["include"]
    build = [
        compiler,
        "-shared",
        "-fPIC",
        "-I",
        include,
        "-o",
        tmp_path / "shim.so",
        source,
        "-ldl",
    ]
    subprocess.run(build, check=True)
    # The sanitizers' runtimes come first.
    preload = " ".join(filter(None, [os.environ.get("LD_PRELOAD"), str(tmp_path / "shim.so")]))
    result = subprocess.run(
        [sys.executable, "-c", IMPORT],
        capture_output=True,
        text=True,
        timeout=60,
        env={**os.environ, "LD_PRELOAD": preload, "SHIM_PY_VERSION": version},
    )
    assert (result.returncode, result.stdout.strip()) == (0, expected), result.stderr
