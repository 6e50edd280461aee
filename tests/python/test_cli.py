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
    def preexec():
        if umask is not None:
            os.umask(umask)

    assert TOOL.exists(), f"{TOOL} is not installed next to the interpreter"
    return subprocess.run([str(TOOL), *map(str, args)], input=stdin, capture_output=True, preexec_fn=preexec)


def leftovers(directory):
    return sorted(p.name for p in Path(directory).iterdir() if p.name.startswith(".corvantis-delta"))


def pairs():
    rng = random.Random(5)
    text = Path(__file__).read_bytes()
    yield "empty", b"", b""
    yield "equal", text, text
    yield "text-edit", text, text.replace(b"delta", b"DELTA", 5) + b"\n# appended\n"
    yield "random", rng.randbytes(3000), rng.randbytes(2000)
    base = rng.randbytes(50000)
    yield "binary-edit", base, base[:1000] + b"inserted" + base[1000:30000] + base[30100:]


PAIRS = list(pairs())


@pytest.mark.parametrize("old, new", [p[1:] for p in PAIRS], ids=[p[0] for p in PAIRS])
def test_diff_and_patch_files(tmp_path, old, new):
    (tmp_path / "old").write_bytes(old)
    (tmp_path / "new").write_bytes(new)
    r = run("diff", tmp_path / "old", tmp_path / "new", tmp_path / "delta")
    assert r.returncode == 0, r.stderr
    assert r.stdout == r.stderr == b""
    d = (tmp_path / "delta").read_bytes()
    assert d == bytes(diff(old, new))
    r = run("patch", tmp_path / "old", tmp_path / "delta", tmp_path / "out")
    assert r.returncode == 0, r.stderr
    assert (tmp_path / "out").read_bytes() == new
    assert leftovers(tmp_path) == []


@pytest.mark.parametrize("old, new", [p[1:] for p in PAIRS], ids=[p[0] for p in PAIRS])
def test_standard_streams(tmp_path, old, new):
    (tmp_path / "old").write_bytes(old)
    (tmp_path / "new").write_bytes(new)
    d = bytes(diff(old, new))
    assert run("diff", "-", tmp_path / "new", "-", stdin=old).stdout == d
    assert run("diff", tmp_path / "old", "-", "-", stdin=new).stdout == d
    (tmp_path / "delta").write_bytes(d)
    assert run("patch", "-", tmp_path / "delta", "-", stdin=old).stdout == new
    r = run("patch", tmp_path / "old", "-", tmp_path / "out", stdin=d)
    assert r.returncode == 0 and (tmp_path / "out").read_bytes() == new


def stats_of(text):
    lines = dict(line.split(":", 1) for line in text.decode().splitlines())
    return {k: v.strip() for k, v in lines.items()}


@pytest.mark.parametrize("to_stdout", [False, True])
@pytest.mark.parametrize("command", ["diff", "patch"])
def test_stats(tmp_path, command, to_stdout):
    old = Path(__file__).read_bytes()
    new = old.replace(b"assert", b"ASSERT", 3)
    d = bytes(diff(old, new))
    (tmp_path / "old").write_bytes(old)
    (tmp_path / "second").write_bytes(new if command == "diff" else d)
    target = "-" if to_stdout else tmp_path / "result"
    r = run("--stats", command, tmp_path / "old", tmp_path / "second", target)
    assert r.returncode == 0, r.stderr
    if to_stdout:
        assert r.stdout == (d if command == "diff" else new)
        report = r.stderr
    else:
        assert r.stderr == b""
        report = r.stdout
    fields = stats_of(report)
    assert fields["old"] == f"{len(old)} bytes"
    assert fields["new"] == f"{len(new)} bytes"
    assert fields["delta"] == f"{len(d)} bytes ({100 * len(d) / len(new):.2f}% of new)"
    assert fields["time"].endswith("s)") and fields["time"].split()[1] == "ms"


def test_output_mode_follows_umask(tmp_path):
    (tmp_path / "old").write_bytes(b"abcdef")
    (tmp_path / "new").write_bytes(b"abcxyzdef")
    for mask, mode in [(0o022, 0o644), (0o077, 0o600), (0o002, 0o664)]:
        target = tmp_path / f"delta-{mask:o}"
        assert run("diff", tmp_path / "old", tmp_path / "new", target, umask=mask).returncode == 0
        assert stat.S_IMODE(target.stat().st_mode) == mode


def test_patch_replaces_an_existing_output(tmp_path):
    (tmp_path / "old").write_bytes(b"abcdef")
    (tmp_path / "delta").write_bytes(bytes(diff(b"abcdef", b"abcdXf")))
    (tmp_path / "out").write_bytes(b"previous content, longer than the result")
    assert run("patch", tmp_path / "old", tmp_path / "delta", tmp_path / "out").returncode == 0
    assert (tmp_path / "out").read_bytes() == b"abcdXf"


def sparse(path, size):
    with open(path, "wb") as f:
        f.truncate(size)
    return path


BAD = [
    ("missing-old", ["diff", "{d}/nope", "{d}/new", "{d}/target"], "cannot open old value"),
    ("missing-new", ["diff", "{d}/old", "{d}/nope", "{d}/target"], "cannot open new value"),
    ("missing-delta", ["patch", "{d}/old", "{d}/nope", "{d}/target"], "cannot open delta"),
    ("directory-input", ["diff", "{d}", "{d}/new", "{d}/target"], "Is a directory"),
    ("malformed-delta", ["patch", "{d}/old", "{d}/bad-offset", "{d}/target"], "copy offset without a length"),
    ("copy-outside", ["patch", "{d}/old", "{d}/bad-copy", "{d}/target"], "copy outside the old value"),
    ("truncated-delta", ["patch", "{d}/old", "{d}/bad-cut", "{d}/target"], "truncated or unreadable item"),
    ("old-too-large", ["diff", "{d}/huge", "{d}/new", "{d}/target"], "too large"),
    ("new-too-large", ["diff", "{d}/old", "{d}/huge", "{d}/target"], "too large"),
    ("no-output-dir", ["diff", "{d}/old", "{d}/new", "{d}/missing-dir/target"], "cannot create a temporary file"),
    ("two-stdin", ["diff", "-", "-", "{d}/target"], "only one input"),
]


@pytest.mark.parametrize("args, message", [b[1:] for b in BAD], ids=[b[0] for b in BAD])
@pytest.mark.parametrize("existing", [False, True], ids=["fresh", "existing"])
def test_bad_input_fails_cleanly(tmp_path, args, message, existing):
    (tmp_path / "old").write_bytes(b"the old value")
    (tmp_path / "new").write_bytes(b"the new value")
    (tmp_path / "bad-offset").write_bytes(b"\x00\x41x")
    (tmp_path / "bad-copy").write_bytes(b"\x00\x18\x40")
    (tmp_path / "bad-cut").write_bytes(b"\x00\x03\x45ab")
    sparse(tmp_path / "huge", 2**31)
    target = tmp_path / "target"
    if existing:
        target.write_bytes(b"keep me")
    r = run(*[a.format(d=tmp_path) for a in args])
    assert r.returncode == 1
    assert r.stdout == b""
    lines = r.stderr.decode().splitlines()
    assert len(lines) == 1 and lines[0].startswith("corvantis-delta: ") and message in lines[0], r.stderr
    assert (target.read_bytes() == b"keep me") if existing else not target.exists()
    assert leftovers(tmp_path) == []


@pytest.mark.parametrize(
    "args", [[], ["diff"], ["diff", "a", "b"], ["merge", "a", "b", "c"], ["diff", "a", "b", "c", "d"], ["--fast", "diff", "a", "b", "c"]]
)
def test_usage_errors(args):
    r = run(*args)
    assert r.returncode == 2
    assert b"usage: corvantis-delta" in r.stderr and r.stdout == b""


def test_help():
    r = run("--help")
    assert r.returncode == 0 and r.stdout.startswith(b"usage: corvantis-delta")
