import subprocess
import sys


def test_stubtest_agrees_with_the_module(tmp_path):
    # Naming the package checks its submodules too.
    r = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "corvantis_core"],
        capture_output=True,
        text=True,
        cwd=tmp_path,
    )
    assert r.returncode == 0 and "in 3 modules" in r.stdout, r.stdout + r.stderr
