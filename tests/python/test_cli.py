"""The corvantis-delta tool end to end: files and standard streams, --stats,
and bad input that must fail cleanly without leaving a partial output."""

import os
import random
import stat
import subprocess
import sys
from pathlib import Path

import pytest

from corvantis_core.delta import diff

# The installed tool by default; CORVANTIS_DELTA_TOOL points the suite at
# another build of it (a sanitizer build, for instance).
TOOL = Path(os.environ.get("CORVANTIS_DELTA_TOOL") or Path(sys.executable).parent / "corvantis-delta")


def run(*args, stdin=b"", umask=None):
    assert TOOL.exists(), f"{TOOL} is not installed next to the interpreter"
    return subprocess.run([str(TOOL), *map(str, args)], input=stdin, capture_output=True,
                          preexec_fn=None if umask is None else lambda: os.umask(umask))


def files(directory, **contents):
    for name, data in contents.items():
        (directory / name).write_bytes(data)


def leftovers(directory):
    return sorted(p.name for p in Path(directory).iterdir() if p.name.startswith(".corvantis-delta"))


RNG = random.Random(5)
TEXT = Path(__file__).read_bytes()
BASE = RNG.randbytes(50000)


@pytest.mark.parametrize("old, new", [
    (b"", b""), (TEXT, TEXT), (TEXT, TEXT.replace(b"delta", b"DELTA", 5) + b"\n# appended\n"),
    (RNG.randbytes(3000), RNG.randbytes(2000)), (BASE, BASE[:1000] + b"inserted" + BASE[1000:30000] + BASE[30100:]),
], ids=["empty", "equal", "text-edit", "random", "binary-edit"])
def test_diff_and_patch(tmp_path, old, new):
    d = bytes(diff(old, new))
    files(tmp_path, old=old, new=new)
    r = run("diff", tmp_path / "old", tmp_path / "new", tmp_path / "delta")
    assert (r.returncode, r.stdout, r.stderr) == (0, b"", b"")
    assert (tmp_path / "delta").read_bytes() == d
    r = run("patch", tmp_path / "old", tmp_path / "delta", tmp_path / "out")
    assert r.returncode == 0, r.stderr
    assert (tmp_path / "out").read_bytes() == new
    # Standard streams in every position.
    assert run("diff", "-", tmp_path / "new", "-", stdin=old).stdout == d
    assert run("diff", tmp_path / "old", "-", "-", stdin=new).stdout == d
    assert run("patch", "-", tmp_path / "delta", "-", stdin=old).stdout == new
    (tmp_path / "out").unlink()
    assert run("patch", tmp_path / "old", "-", tmp_path / "out", stdin=d).returncode == 0
    assert (tmp_path / "out").read_bytes() == new
    assert leftovers(tmp_path) == []


@pytest.mark.parametrize("to_stdout", [False, True])
@pytest.mark.parametrize("command", ["diff", "patch"])
def test_stats(tmp_path, command, to_stdout):
    old, new = TEXT, TEXT.replace(b"assert", b"ASSERT", 3)
    d = bytes(diff(old, new))
    files(tmp_path, old=old, second=new if command == "diff" else d)
    r = run("--stats", command, tmp_path / "old", tmp_path / "second", "-" if to_stdout else tmp_path / "result")
    assert r.returncode == 0, r.stderr
    if to_stdout:
        assert r.stdout == (d if command == "diff" else new)
        report = r.stderr
    else:
        assert r.stderr == b""
        report = r.stdout
    fields = {k: v.strip() for k, v in (line.split(":", 1) for line in report.decode().splitlines())}
    assert fields["old"] == f"{len(old)} bytes"
    assert fields["new"] == f"{len(new)} bytes"
    assert fields["delta"] == f"{len(d)} bytes ({100 * len(d) / len(new):.2f}% of new)"
    assert fields["time"].endswith("s)") and fields["time"].split()[1] == "ms"


def test_output_mode_and_replacement(tmp_path):
    files(tmp_path, old=b"abcdef", new=b"abcxyzdef")
    for mask, mode in [(0o022, 0o644), (0o077, 0o600), (0o002, 0o664)]:
        target = tmp_path / f"delta-{mask:o}"
        assert run("diff", tmp_path / "old", tmp_path / "new", target, umask=mask).returncode == 0
        assert stat.S_IMODE(target.stat().st_mode) == mode
    files(tmp_path, delta=bytes(diff(b"abcdef", b"abcdXf")), out=b"previous content, longer than the result")
    assert run("patch", tmp_path / "old", tmp_path / "delta", tmp_path / "out").returncode == 0
    assert (tmp_path / "out").read_bytes() == b"abcdXf"


@pytest.mark.parametrize("args, message", [
    (["diff", "{d}/nope", "{d}/new", "{d}/target"], "cannot open old value"),
    (["diff", "{d}/old", "{d}/nope", "{d}/target"], "cannot open new value"),
    (["patch", "{d}/old", "{d}/nope", "{d}/target"], "cannot open delta"),
    (["diff", "{d}", "{d}/new", "{d}/target"], "Is a directory"),
    (["patch", "{d}/old", "{d}/bad-offset", "{d}/target"], "copy offset without a length"),
    (["patch", "{d}/old", "{d}/bad-copy", "{d}/target"], "copy outside the old value"),
    (["patch", "{d}/old", "{d}/bad-cut", "{d}/target"], "truncated or unreadable item"),
    (["diff", "{d}/huge", "{d}/new", "{d}/target"], "too large"),
    (["diff", "{d}/old", "{d}/huge", "{d}/target"], "too large"),
    (["diff", "{d}/old", "{d}/new", "{d}/missing-dir/target"], "cannot create a temporary file"),
    (["diff", "-", "-", "{d}/target"], "only one input"),
])
@pytest.mark.parametrize("existing", [False, True], ids=["fresh", "existing"])
def test_bad_input_fails_cleanly(tmp_path, args, message, existing):
    files(tmp_path, old=b"the old value", new=b"the new value", **{
        "bad-offset": b"\x00\x41x", "bad-copy": b"\x00\x18\x40", "bad-cut": b"\x00\x03\x45ab"})
    with open(tmp_path / "huge", "wb") as f:
        f.truncate(2**31)  # sparse
    target = tmp_path / "target"
    if existing:
        target.write_bytes(b"keep me")
    r = run(*[a.format(d=tmp_path) for a in args])
    assert r.returncode == 1 and r.stdout == b""
    lines = r.stderr.decode().splitlines()
    assert len(lines) == 1 and lines[0].startswith("corvantis-delta: ") and message in lines[0], r.stderr
    assert (target.read_bytes() == b"keep me") if existing else not target.exists()
    assert leftovers(tmp_path) == []


@pytest.mark.parametrize("args", [
    [], ["diff"], ["diff", "a", "b"], ["merge", "a", "b", "c"], ["diff", "a", "b", "c", "d"], ["--fast", "diff", "a", "b", "c"],
])
def test_usage_errors(args):
    r = run(*args)
    assert r.returncode == 2 and b"usage: corvantis-delta" in r.stderr and r.stdout == b""
    r = run("--help")
    assert r.returncode == 0 and r.stdout.startswith(b"usage: corvantis-delta")
