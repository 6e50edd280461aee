"""The corvantis-delta tool end to end: deltas against the module, refused deltas, outputs, the command line."""

import ctypes
import os
import struct
import subprocess
import sys
import tempfile
import tomllib
from pathlib import Path

import pytest

from corvantis_core.delta import diff, patch

# The installed tool by default; CORVANTIS_DELTA_TOOL points the suite at another build of it (a sanitizer build).
TOOL = Path(os.environ.get("CORVANTIS_DELTA_TOOL") or Path(sys.executable).parent / "corvantis-delta")
XXH3 = ctypes.CDLL("libxxhash.so.0").XXH3_64bits  # the checksum oracle: the xxHash library itself
XXH3.restype, XXH3.argtypes = ctypes.c_uint64, [ctypes.c_char_p, ctypes.c_size_t]


def checked(old, new, bare):
    """A checked delta built from its documented layout."""
    fields = [f(v) for v in (old, new, bare) for f in (len, lambda data: XXH3(data, len(data)))]
    head = b"\x89CVD\r\n\x1a\n" + struct.pack(">BBH6Q", 1, 0, 0, *fields)
    return head + struct.pack(">Q", XXH3(head, len(head))) + bare


def run(*args, stdin=b"", child=None, tool=TOOL):
    return subprocess.run([str(tool), *map(str, args)], input=stdin, capture_output=True, timeout=60, preexec_fn=child)


def files(directory, **contents):
    for name, data in contents.items():
        (directory / name).write_bytes(data)
    return [directory / name for name in contents]


def no_leftovers(directory):
    return not [p for p in Path(directory).iterdir() if p.name.startswith(".corvantis-delta")]


def one_error(r, status=1):
    lines = r.stderr.decode().splitlines()
    assert r.returncode == status and not r.stdout and lines and lines[0].startswith("corvantis-delta: "), r
    return lines if status == 2 else "\n".join(lines)


OLD = b"the old value, long enough to hold a copy or two"
NEW = b"the new value, long enough to hold a copy or two!"
BARE = bytes(diff(OLD, NEW))
GOOD = checked(OLD, NEW, BARE)
BASE = os.urandom(50000)


@pytest.mark.parametrize("old, new", [(b"", b""), (OLD, NEW), (BASE, BASE[:1000] + b"ins" + BASE[1100:])])
def test_diff_and_patch_agree_with_the_module(tmp_path, old, new):
    bare = bytes(diff(old, new))
    o, n, b, d = files(tmp_path, old=old, new=new, bare=bare, delta=(whole := checked(old, new, bare)))
    r = run("diff", o, n, tmp_path / "made")
    assert (r.returncode, r.stdout, r.stderr, (tmp_path / "made").read_bytes()) == (0, b"", b"", whole)
    assert run("patch", o, d, tmp_path / "out").returncode == 0 and (tmp_path / "out").read_bytes() == new
    # --raw is the module's format both ways; standard streams in every position.
    assert run("--raw", "diff", o, n, "-").stdout == bare
    assert run("patch", "--raw", o, b, "-").stdout == bytes(patch(old, bare)) == new
    assert run("diff", "-", n, "-", stdin=old).stdout == run("diff", o, "-", "-", stdin=new).stdout == whole
    assert run("patch", "-", d, "-", stdin=old).stdout == run("patch", o, "-", "-", stdin=whole).stdout == new
    assert no_leftovers(tmp_path)


@pytest.mark.parametrize("args, bad, message", [
    ("patch other good", None, "wrong old file 'other': its checksum differs"),
    ("patch old bad", GOOD[:68], f"truncated delta: 68 bytes of {len(GOOD)}"),
    ("patch old bad", b"", "empty file, not a delta"),
    ("patch old bad", GOOD[:20] + bytes([GOOD[20] ^ 1]) + GOOD[21:], "corrupt delta: header checksum mismatch"),
    ("patch old bad", GOOD[:70] + bytes([GOOD[70] ^ 1]) + GOOD[71:], "corrupt delta: checksum mismatch"),
    ("patch old bad", OLD, "not a corvantis-delta file (a bare delta needs --raw)"),
    # The delta is checked before the old value is opened: a FIFO nobody writes to would block forever.
    ("patch fifo bad", BARE, "not a corvantis-delta file"), ("diff nope new", None, "cannot open old value 'nope'"),
    ("--raw patch old bad", b"\x00\x18\x40", "malformed delta: copy outside the old value")])
@pytest.mark.parametrize("existing", [False, True], ids=["fresh", "existing"])
def test_failures_leave_no_output(tmp_path, monkeypatch, args, bad, message, existing):
    monkeypatch.chdir(tmp_path)
    files(tmp_path, old=OLD, new=NEW, good=GOOD, other=OLD.upper(), bad=bad or b"",
          **({"target": b"keep"} if existing else {}))
    os.mkfifo("fifo")
    error = one_error(run(*args.split(), "-f", "target"))
    assert message in error and "\n" not in error, error
    assert (Path("target").read_bytes() == b"keep") if existing else not Path("target").exists()
    assert no_leftovers(tmp_path)


@pytest.mark.parametrize("force", [False, True])
def test_outputs(force):
    # Root passes every permission check: a copy of the tool runs as nobody.
    child = (lambda: (os.setgroups([]), os.setgid(65534), os.setuid(65534))) if os.getuid() == 0 else None
    f = ["-f"] * force
    with tempfile.TemporaryDirectory() as name:  # not under tmp_path, whose parents may be closed to nobody
        (top := Path(name)).chmod(0o755)
        o, n, target, tool = files(top, old=OLD, new=NEW, target=b"keep me", tool=TOOL.read_bytes())
        tool.chmod(0o755)
        (top / "link").symlink_to("target")
        for out in (target, top / "link"):
            r = run(*f, "diff", o, n, out)
            assert r.returncode == 0 if force else "already exists (use -f to overwrite it)" in one_error(r)
        assert target.read_bytes() == (GOOD if force else b"keep me") and (top / "link").is_symlink()
        # Devices and FIFOs are written through, never replaced; a reader there first lets the tool's write through.
        assert run(*f, "diff", o, n, "/dev/null").returncode == 0 and Path("/dev/null").is_char_device()
        os.mkfifo(fifo := top / "fifo")
        reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
        assert run(*f, "diff", o, n, fifo).returncode == 0 and os.read(reader, 1000) == GOOD
        os.close(reader)
        (top / "ro").mkdir(mode=0o555)
        r = run(*f, "diff", o, n, top / "ro" / "out", child=child, tool=tool)
        assert "cannot create a temporary file next to" in one_error(r) and "Permission denied" in r.stderr.decode()
        assert fifo.is_fifo() and list((top / "ro").iterdir()) == [] and no_leftovers(top)


@pytest.mark.parametrize("command,second,result", [("diff", NEW, GOOD), ("patch", GOOD, NEW)])
def test_stats(tmp_path, command, second, result):
    old, second = files(tmp_path, old=OLD, second=second)
    to_stdout, to_file = (run("--stats", command, old, second, out) for out in ("-", tmp_path / "out"))
    assert to_stdout.stdout == (tmp_path / "out").read_bytes() == result
    for report in (to_stdout.stderr.decode(), to_file.stdout.decode()):  # on stderr when the output is stdout
        assert report.startswith(f"old:    {len(OLD)} bytes\nnew:    {len(NEW)} bytes\ndelta:  {len(GOOD)} bytes "
                                 f"({100 * len(GOOD) / len(NEW):.2f}% of new)\n{'engine: exact' * (command == 'diff')}")
        assert f" ms ({command}" in report.splitlines()[-1]


@pytest.mark.parametrize("args, reason", [
    ("", "missing command (diff or patch)"), ("foo", "unknown command 'foo' (expected diff or patch)"),
    ("diff a", "diff: missing NEW DELTA"), ("patch a b", "patch: missing OUT"),
    ("diff a b c d", "diff: unexpected argument 'd'"), ("diff --quick a b c", "unknown option '--quick'"),
    ("diff - - c", "diff: only one input can be standard input"),
    ("--fast patch a b c", "patch: option --fast applies to diff only"),
    ("-- --raw diff a b", "unknown command '--raw' (expected diff or patch)"),  # no options after --
])
def test_usage_errors_name_the_reason(args, reason):
    lines = one_error(run(*args.split()), status=2)
    assert lines[0] == f"corvantis-delta: {reason}" and lines[1].startswith("usage: corvantis-delta")


def test_help_and_version():
    for r in (run("diff", "-h"), run("--help")):
        assert r.returncode == 0 and r.stdout.startswith(b"usage: corvantis-delta") and b"0 success, 1 fail" in r.stdout
    version = tomllib.loads(Path(__file__).parents[2].joinpath("pyproject.toml").read_text())["project"]["version"]
    assert run("--version").stdout.decode() == f"corvantis-delta {version} (checked delta format 1)\n"
