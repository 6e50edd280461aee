"""The installed type stubs match the module and type-check real use."""

import subprocess
import sys
import textwrap

import pytest


def mypy(*args, cwd=None):
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True, cwd=cwd)


def test_stubtest_agrees_with_the_module(tmp_path):
    # Naming the package checks its submodules too; naming them again as well
    # makes mypy see each stub file twice.
    r = mypy("mypy.stubtest", "corvantis_core", cwd=tmp_path)
    assert r.returncode == 0, r.stdout + r.stderr
    assert "in 3 modules" in r.stdout


GOOD = """
    from corvantis_core import cbor, delta
    from corvantis_core.delta import PythonInBuf, PythonOutBuf

    old = b"abc"
    d: PythonOutBuf = delta.diff(old, b"abcd")
    rebuilt: bytes = bytes(delta.patch(PythonInBuf(old), diff=bytes(d)))
    view: memoryview = memoryview(d)
    encoded: bytes = cbor.dumps({"a": [1, 2.5, None, b"x", (True,)]}, indefinite=False, max_depth=8)
    version: str = delta.__version__ + cbor.__version__
"""

BAD = [
    ("str-input", "delta.diff('abc', b'abd')"),
    ("outbuf-input", "delta.patch(b'abc', delta.diff(b'a', b'b'))"),
    ("bytearray-inbuf", "delta.PythonInBuf(bytearray(b'x'))"),
    ("keyword-inbuf", "delta.PythonInBuf(arg0=b'x')"),
    ("wrong-keyword", "delta.diff(old=b'a', new=b'b')"),
    ("dumps-result", "x: str = cbor.dumps(1)"),
    ("dumps-flag", "cbor.dumps(1, indefinite='yes')"),
]


def check(tmp_path, source):
    (tmp_path / "use.py").write_text(textwrap.dedent(source))
    return mypy("mypy", "--strict", "--no-incremental", "use.py", cwd=tmp_path)


def test_stubs_accept_real_use(tmp_path):
    r = check(tmp_path, GOOD)
    assert r.returncode == 0, r.stdout + r.stderr


@pytest.mark.parametrize("line", [b[1] for b in BAD], ids=[b[0] for b in BAD])
def test_stubs_reject_misuse(tmp_path, line):
    r = check(tmp_path, "from corvantis_core import cbor, delta\n" + line + "\n")
    assert r.returncode == 1 and "error:" in r.stdout, r.stdout + r.stderr
