import importlib
import os
import shutil
import subprocess
import sys
import sysconfig
import textwrap
from pathlib import Path

import pytest

import corvantis_core
from corvantis_core import cbor


def test_top_level_module():
    # The suite runs against the installed module, not the source tree.
    assert not corvantis_core.__file__.startswith(str(Path(__file__).parents[2] / "src"))
    standard = set(vars(type(sys)("probe"))) | {"__file__"}
    assert set(vars(corvantis_core)) - standard == {"cbor", "delta"}
    assert not hasattr(corvantis_core, "__version__")
    assert corvantis_core.__doc__ is None


def test_cbor_submodule_attributes():
    assert cbor.__doc__ == (
        "\n            Corvantis cbor\n            -----------------------\n\n"
        "            .. currentmodule:: corvantis_cbor\n\n            .. autosummary::\n"
        "               :toctree: _generate\n\n               dumps\n        ")
    # Set in this order after the interpreter's own module attributes.
    assert [name for name in vars(cbor) if not name.startswith("__") or name == "__version__"] \
        == ["dumps", "__version__"]
    doc = cbor.dumps.__doc__
    assert doc.startswith("dumps(value: ")
    assert "indefinite: bool = True, max_depth: int = 0) -> bytes" in doc
    # The generated signature comes first, then the docstring text.
    assert doc.index(") -> bytes\n") < doc.index("\n        Dump a Python object to cbor\n        ")


@pytest.mark.parametrize("name", ["cbor", "delta"])
def test_submodules_registered_and_bound(name):
    dotted = f"corvantis_core.{name}"
    submodule = getattr(corvantis_core, name)
    assert sys.modules[dotted] is submodule
    assert importlib.import_module(dotted) is submodule
    assert submodule.__name__ == dotted
    assert submodule.__version__ == "dev"


def run_python(code, env=None):
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                            text=True, timeout=60, env={**os.environ, **(env or {})})
    assert result.returncode == 0, result.stderr
    return result.stdout


def test_fresh_import_order_and_identity():
    output = run_python("""
        import sys
        assert "corvantis_core" not in sys.modules
        import corvantis_core.delta as by_name
        import corvantis_core
        assert by_name is corvantis_core.delta
        print(" ".join(n for n in sys.modules if n.startswith("corvantis_core")))
    """)
    # Submodules enter the module table as their initialisers run, cbor first;
    # the import machinery adds the parent once the entry returns.
    assert output.split() == ["corvantis_core.cbor", "corvantis_core.delta", "corvantis_core"]


def run_with_shim(tmp_path, shim_source, code, **env):
    """Runs `code` in a fresh interpreter with a C shim preloaded over libpython."""
    if not sysconfig.get_config_var("Py_ENABLE_SHARED"):
        pytest.skip("the interpreter is linked statically; its functions cannot be interposed")
    compiler = shutil.which(os.environ.get("CC", "cc")) or shutil.which("gcc")
    if compiler is None:
        pytest.skip("no C compiler")
    (tmp_path / "shim.c").write_text(textwrap.dedent(shim_source))
    library = tmp_path / "shim.so"
    subprocess.run([compiler, "-shared", "-fPIC", "-I", sysconfig.get_paths()["include"],
                    "-o", str(library), str(tmp_path / "shim.c"), "-ldl"], check=True)
    # A sanitizer runtime already preloaded has to stay first.
    preload = " ".join(filter(None, [os.environ.get("LD_PRELOAD"), str(library)]))
    return run_python(code, env={"LD_PRELOAD": preload, **env})


VERSION_SHIM = """
    #include <stdlib.h>
    const char *Py_GetVersion(void) { return getenv("SHIM_PY_VERSION"); }
"""


@pytest.mark.parametrize("version,loads", [
    ("3.12.4 (main, Jun  1 2024) [GCC 12]", True), ("3.12", True), ("3.12+", True),
    ("3.13.0 (main) [GCC 12]", False), ("3.11.9 (main) [GCC 12]", False), ("3.120.1", False), ("3.1", False),
])
def test_interpreter_version_check(tmp_path, version, loads):
    output = run_with_shim(tmp_path, VERSION_SHIM, """
        try:
            import corvantis_core
        except ImportError as error:
            print("ImportError:" + str(error))
        else:
            print("loaded", corvantis_core.cbor.dumps([1]).hex())
    """, SHIM_PY_VERSION=version)
    assert output.strip() == ("loaded 9f01ff" if loads else (
        "ImportError:Python version mismatch: module was compiled for Python 3.12, "
        f"but the interpreter version is incompatible: {version}."))


FAILING_SUBMODULE_SHIM = """
    #include <Python.h>
    #include <dlfcn.h>
    #include <string.h>
    PyObject *PyImport_AddModule(const char *name) {
        if (strcmp(name, "corvantis_core.cbor") == 0) {
            PyErr_SetString(PyExc_LookupError, "refused by the test");
            return NULL;
        }
        PyObject *(*real)(const char *) =
            (PyObject *(*)(const char *))dlsym(RTLD_NEXT, "PyImport_AddModule");
        return real(name);
    }
"""


def test_failing_initialiser_becomes_import_error(tmp_path):
    output = run_with_shim(tmp_path, FAILING_SUBMODULE_SHIM, """
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
    """)
    assert output.splitlines() == ["initialization failed", "LookupError refused by the test", "True", "False"]
