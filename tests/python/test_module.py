import importlib
import os
import shutil
import subprocess
import sys
import sysconfig
import textwrap

import pytest

import corvantis_core
from corvantis_core import cbor

CBOR_DOC = (
    "\n"
    "            Corvantis cbor\n"
    "            -----------------------\n"
    "\n"
    "            .. currentmodule:: corvantis_cbor\n"
    "\n"
    "            .. autosummary::\n"
    "               :toctree: _generate\n"
    "\n"
    "               dumps\n"
    "        "
)
SUBMODULES = {"cbor", "delta"}


def test_top_level_has_only_submodules():
    standard = set(vars(type(sys)("probe"))) | {"__file__"}
    own = set(vars(corvantis_core)) - standard
    assert "cbor" in own
    assert own <= SUBMODULES
    assert not hasattr(corvantis_core, "__version__")
    assert corvantis_core.__doc__ is None


def test_cbor_submodule_attributes():
    assert cbor.__name__ == "corvantis_core.cbor"
    assert cbor.__version__ == "dev"
    assert cbor.__doc__ == CBOR_DOC
    # Set in this order after the interpreter's own module attributes.
    assert [name for name in vars(cbor) if not name.startswith("__") or name == "__version__"] \
        == ["dumps", "__version__"]


def test_dumps_docstring_and_signature():
    doc = cbor.dumps.__doc__
    assert doc.startswith("dumps(value: ")
    assert "indefinite: bool = True, max_depth: int = 0) -> bytes" in doc
    # The generated signature comes first, then the docstring text.
    assert doc.index(") -> bytes\n") < doc.index("\n        Dump a Python object to cbor\n        ")


@pytest.mark.parametrize("name", sorted(SUBMODULES))
def test_submodules_registered_and_bound(name):
    if not hasattr(corvantis_core, name):
        pytest.skip(f"{name} is not part of this build")
    dotted = f"corvantis_core.{name}"
    submodule = getattr(corvantis_core, name)
    assert sys.modules[dotted] is submodule
    assert importlib.import_module(dotted) is submodule
    assert submodule.__name__ == dotted
    assert submodule.__version__ == "dev"


def run_python(code, env=None, check=True):
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                            text=True, timeout=60, env={**os.environ, **(env or {})})
    if check:
        assert result.returncode == 0, result.stderr
    return result


def test_fresh_import_order_and_identity():
    result = run_python("""
        import sys
        assert "corvantis_core" not in sys.modules
        import corvantis_core.cbor as by_name
        import corvantis_core
        assert by_name is corvantis_core.cbor
        import importlib
        assert importlib.import_module("corvantis_core") is corvantis_core
        print(" ".join(n for n in sys.modules if n.startswith("corvantis_core")))
        print(" ".join(n for n in ("cbor", "delta") if hasattr(corvantis_core, n)))
    """)
    registered, present = result.stdout.splitlines()
    # Submodules enter the module table as their initialisers run, cbor first;
    # the import machinery adds the parent once the entry returns.
    assert registered.split() == [f"corvantis_core.{n}" for n in present.split()] + ["corvantis_core"]


def compile_shim(tmp_path, source):
    compiler = shutil.which(os.environ.get("CC", "cc")) or shutil.which("gcc")
    if compiler is None:
        pytest.skip("no C compiler")
    c_file = tmp_path / "shim.c"
    c_file.write_text(textwrap.dedent(source))
    library = tmp_path / "shim.so"
    subprocess.run([compiler, "-shared", "-fPIC", "-I", sysconfig.get_paths()["include"],
                    "-o", str(library), str(c_file), "-ldl"], check=True)
    return library


def preload(library):
    # A sanitizer runtime already preloaded has to stay first.
    return " ".join(filter(None, [os.environ.get("LD_PRELOAD"), str(library)]))


def needs_interposable_libpython():
    if not sysconfig.get_config_var("Py_ENABLE_SHARED"):
        pytest.skip("the interpreter is linked statically; its functions cannot be interposed")


VERSION_SHIM = """
    #include <stdlib.h>
    const char *Py_GetVersion(void) { return getenv("SHIM_PY_VERSION"); }
"""


@pytest.mark.parametrize("version,loads", [
    ("3.12.4 (main, Jun  1 2024) [GCC 12]", True),
    ("3.12", True),
    ("3.12+", True),
    ("3.13.0 (main) [GCC 12]", False),
    ("3.11.9 (main) [GCC 12]", False),
    ("3.120.1", False),
    ("3.1", False),
])
def test_interpreter_version_check(tmp_path, version, loads):
    needs_interposable_libpython()
    shim = compile_shim(tmp_path, VERSION_SHIM)
    result = run_python("""
        try:
            import corvantis_core
        except ImportError as error:
            print("ImportError:" + str(error))
        else:
            print("loaded", corvantis_core.cbor.dumps([1]).hex())
    """, env={"LD_PRELOAD": preload(shim), "SHIM_PY_VERSION": version})
    if loads:
        assert result.stdout.strip() == "loaded 9f01ff"
    else:
        assert result.stdout.strip() == (
            "ImportError:Python version mismatch: module was compiled for Python 3.12, "
            f"but the interpreter version is incompatible: {version}.")


FAILING_SUBMODULE_SHIM = """
    #include <Python.h>
    #include <dlfcn.h>
    #include <stdlib.h>
    #include <string.h>
    PyObject *PyImport_AddModule(const char *name) {
        const char *refused = getenv("SHIM_REFUSED_MODULE");
        if (refused != NULL && strcmp(name, refused) == 0) {
            PyErr_SetString(PyExc_LookupError, "refused by the test");
            return NULL;
        }
        PyObject *(*real)(const char *) =
            (PyObject *(*)(const char *))dlsym(RTLD_NEXT, "PyImport_AddModule");
        return real(name);
    }
"""


def test_failing_initialiser_becomes_import_error(tmp_path):
    needs_interposable_libpython()
    shim = compile_shim(tmp_path, FAILING_SUBMODULE_SHIM)
    result = run_python("""
        import sys
        try:
            import corvantis_core
        except ImportError as error:
            print(str(error))
            print(type(error.__cause__).__name__, error.__cause__)
            print(error.__context__ is error.__cause__)
            print("corvantis_core" in sys.modules)
        else:
            print("loaded")
    """, env={"LD_PRELOAD": preload(shim), "SHIM_REFUSED_MODULE": "corvantis_core.cbor"})
    assert result.stdout.splitlines() == [
        "initialization failed", "LookupError refused by the test", "True", "False"]
