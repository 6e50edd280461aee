import ctypes
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import textwrap
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pytest

import corvantis_core
from corvantis_core import cbor, delta


def test_module_and_submodules():
    standard = set(vars(type(sys)("probe"))) | {"__file__"}
    assert set(vars(corvantis_core)) - standard == {"cbor", "delta"}
    for name, submodule in (("cbor", cbor), ("delta", delta)):
        assert sys.modules[f"corvantis_core.{name}"] is submodule and submodule.__name__ == f"corvantis_core.{name}"
        assert submodule.__version__ == "dev"
    assert {n for n in vars(delta) if not n.startswith("_")} == {"diff", "diff_fast", "patch", "PythonInBuf", "PythonOutBuf"}


def test_declared_c_api_is_exported():
    names = []
    for header in (Path(__file__).resolve().parents[2] / "src/main/core").glob("*.h"):
        text = re.sub(r"/\*.*?\*/|//[^\n]*", " ", header.read_text(), flags=re.S)
        text = re.sub(r"^\s*#.*$", " ", text, flags=re.M)  # the macro's own definition
        names += [re.findall(r"\w+", m)[-1] for m in re.findall(r"\bCORVANTIS_API\b([^;{(]*)\(", text)]
        names += re.findall(r"\bCORVANTIS_API\s+extern\b[^;(]*?(\w+)\s*(?:\[[^\]]*\])?\s*;", text)
    library = ctypes.CDLL(corvantis_core.__file__)
    assert {"buf_create", "hexdump_buf", "list_debug", "cbor_jump_table"} <= set(names)
    assert [n for n in names if not hasattr(library, n)] == []


def test_calls_from_many_threads_agree():
    old = os.urandom(3000)
    new, value = old[:1000] + b"changed" + old[1200:], {"k": [1, 2.5, None, b"x" * 100, "y" * 100]}

    def work(_):
        d = bytes(delta.diff(old, new))
        return d, cbor.dumps(value), bytes(delta.patch(old, d))

    with ThreadPoolExecutor(4) as pool:
        assert set(pool.map(work, range(200))) == {work(0)} and work(0)[2] == new


def run_with_shim(tmp_path, shim_source, **env):
    """Imports the module in a fresh interpreter with a C shim preloaded over libpython."""
    compiler = shutil.which(os.environ.get("CC", "cc")) or shutil.which("gcc")
    if not sysconfig.get_config_var("Py_ENABLE_SHARED") or compiler is None:
        pytest.skip("needs a shared libpython and a C compiler")
    (tmp_path / "shim.c").write_text(textwrap.dedent(shim_source))
    library = tmp_path / "shim.so"
    subprocess.run([compiler, "-shared", "-fPIC", "-I", sysconfig.get_paths()["include"], "-o", str(library),
                    str(tmp_path / "shim.c"), "-ldl"], check=True)
    preload = " ".join(filter(None, [os.environ.get("LD_PRELOAD"), str(library)]))  # a sanitizer runtime stays first
    result = subprocess.run([sys.executable, "-c", IMPORT], capture_output=True, text=True, timeout=60,
                            env={**os.environ, "LD_PRELOAD": preload, **env})
    assert result.returncode == 0, result.stderr
    return result.stdout.strip()


IMPORT = textwrap.dedent("""
    import sys
    try:
        import corvantis_core
    except ImportError as error:
        print(f"{error}|{type(error.__cause__).__name__} {error.__cause__}|{'corvantis_core' in sys.modules}")
    else:
        print("loaded", corvantis_core.cbor.dumps([1]).hex())
""")


@pytest.mark.parametrize("version,loads", [("3.12.4 (main) [GCC 12]", True), ("3.12", True), ("3.13.0", False),
                                           ("3.11.9 (main)", False), ("3.120.1", False), ("3.1", False)])
def test_interpreter_version_check(tmp_path, version, loads):
    shim = '#include <stdlib.h>\nconst char *Py_GetVersion(void) { return getenv("SHIM_PY_VERSION"); }\n'
    assert run_with_shim(tmp_path, shim, SHIM_PY_VERSION=version) == ("loaded 9f01ff" if loads else (
        "Python version mismatch: module was compiled for Python 3.12, "
        f"but the interpreter version is incompatible: {version}.|NoneType None|False"))


def test_failing_initialiser_becomes_import_error(tmp_path):
    assert run_with_shim(tmp_path, """
        #include <Python.h>
        #include <dlfcn.h>
        #include <string.h>
        PyObject *PyImport_AddModule(const char *name) {
            if (strcmp(name, "corvantis_core.cbor") == 0) {
                PyErr_SetString(PyExc_LookupError, "refused by the test");
                return NULL;
            }
            return ((PyObject *(*)(const char *))dlsym(RTLD_NEXT, "PyImport_AddModule"))(name);
        }
    """) == "initialization failed|LookupError refused by the test|False"
