"""The corvantis-delta tool end to end: checked and bare deltas against the
module, what patch refuses to apply, where the output goes and what is
refused there, and the command line."""

import ctypes
import os
import pty
import random
import shutil
import stat
import struct
import subprocess
import sys
import tempfile
import threading
import tomllib
from pathlib import Path

import pytest

from corvantis_core.delta import diff, patch

# The installed tool by default; CORVANTIS_DELTA_TOOL points the suite at
# another build of it (a sanitizer build, for instance).
TOOL = Path(os.environ.get("CORVANTIS_DELTA_TOOL") or Path(sys.executable).parent / "corvantis-delta")

# The checksum oracle: the xxHash library itself, called directly.
_XXH3 = ctypes.CDLL("libxxhash.so.0").XXH3_64bits
_XXH3.restype, _XXH3.argtypes = ctypes.c_uint64, [ctypes.c_char_p, ctypes.c_size_t]


def xxh3(data):
    return _XXH3(data, len(data))


def checked(old, new, bare, version=1, new_hash=None):
    """A checked delta built from its documented layout."""
    head = b"\x89CVD\r\n\x1a\n" + struct.pack(
        ">BBH6Q", version, 0, 0, len(old), xxh3(old), len(new), xxh3(new) if new_hash is None else new_hash,
        len(bare), xxh3(bare))
    return head + struct.pack(">Q", xxh3(head)) + bare


def run(*args, stdin=b"", umask=None, user=None, **kw):
    assert TOOL.exists(), f"{TOOL} is not installed next to the interpreter"

    def child():
        if umask is not None:
            os.umask(umask)
        if user is not None:
            os.setgroups([])
            os.setgid(user)
            os.setuid(user)

    kw.setdefault("stdout", subprocess.PIPE)
    return subprocess.run([str(TOOL), *map(str, args)], input=stdin, stderr=subprocess.PIPE, timeout=60,
                          preexec_fn=child, **kw)


def files(directory, **contents):
    for name, data in contents.items():
        (directory / name).write_bytes(data)


def leftovers(directory):
    return sorted(p.name for p in Path(directory).iterdir() if p.name.startswith(".corvantis-delta"))


def one_error(r, status=1):
    lines = r.stderr.decode().splitlines()
    assert r.returncode == status and r.stdout == b"" and lines and lines[0].startswith("corvantis-delta: "), r
    return lines


RNG = random.Random(5)
TEXT = Path(__file__).read_bytes()
BASE = RNG.randbytes(50000)


@pytest.mark.parametrize("old, new", [
    (b"", b""), (TEXT, TEXT), (TEXT, TEXT.replace(b"delta", b"DELTA", 5) + b"\n# appended\n"),
    (RNG.randbytes(3000), RNG.randbytes(2000)), (BASE, BASE[:1000] + b"inserted" + BASE[1000:30000] + BASE[30100:]),
], ids=["empty", "equal", "text-edit", "random", "binary-edit"])
def test_diff_and_patch_agree_with_the_module(tmp_path, old, new):
    bare = bytes(diff(old, new))
    whole = checked(old, new, bare)
    files(tmp_path, old=old, new=new, bare=bare)
    o, n = tmp_path / "old", tmp_path / "new"
    r = run("diff", o, n, tmp_path / "delta")
    assert (r.returncode, r.stdout, r.stderr) == (0, b"", b"")
    assert (tmp_path / "delta").read_bytes() == whole
    assert run("patch", o, tmp_path / "delta", tmp_path / "out").returncode == 0
    assert (tmp_path / "out").read_bytes() == new
    # --raw is the module's format both ways.
    assert run("--raw", "diff", o, n, "-").stdout == bare
    assert run("patch", "--raw", o, tmp_path / "bare", "-").stdout == bytes(patch(old, bare))
    # Standard streams in every position.
    assert run("diff", "-", n, "-", stdin=old).stdout == whole
    assert run("diff", o, "-", "-", stdin=new).stdout == whole
    assert run("patch", "-", tmp_path / "delta", "-", stdin=old).stdout == new
    assert run("patch", o, "-", "-", stdin=whole).stdout == new
    assert leftovers(tmp_path) == []


OLD = b"the old value, long enough to hold a copy or two"
NEW = b"the new value, long enough to hold a copy or two!"
BARE = bytes(diff(OLD, NEW))
GOOD = checked(OLD, NEW, BARE)


def flip(data, at):
    return data[:at] + bytes([data[at] ^ 0x10]) + data[at + 1:]


@pytest.mark.parametrize("args, extra, message", [
    (["patch", "other", "good"], {"other": OLD.upper()}, "wrong old file 'other': its checksum differs"),
    (["patch", "new", "good"], {}, "wrong old file 'new': 49 bytes, the delta was made from 48"),
    (["patch", "old", "bad"], {"bad": GOOD[:40]}, "truncated delta: 40 bytes, shorter than its header"),
    (["patch", "old", "bad"], {"bad": GOOD[:68]}, f"truncated delta: 68 bytes of {len(GOOD)}"),
    (["patch", "old", "bad"], {"bad": GOOD[:-2]}, "truncated delta"),  # cut before the last insert
    (["patch", "old", "bad"], {"bad": GOOD + b"\0"}, "corrupt delta: 1 bytes after its end"),
    (["patch", "old", "bad"], {"bad": flip(GOOD, 20)}, "corrupt delta: header checksum mismatch"),
    (["patch", "old", "bad"], {"bad": flip(GOOD, 70)}, "corrupt delta: checksum mismatch"),
    (["patch", "old", "bad"], {"bad": b""}, "empty file, not a delta"),
    (["patch", "old", "bad"], {"bad": TEXT}, "not a corvantis-delta file (a bare delta needs --raw)"),
    (["patch", "old", "bad"], {"bad": BARE}, "not a corvantis-delta file"),
    (["patch", "old", "bad"], {"bad": checked(OLD, NEW, BARE, version=2)}, "unsupported delta format version 2"),
    (["patch", "old", "bad"], {"bad": checked(OLD, NEW, BARE, new_hash=xxh3(NEW) ^ 1)},
     "the result does not match the checksum"),
    # The delta is checked before the old value is opened: a FIFO nobody
    # writes to would block the tool forever.
    (["patch", "fifo", "bad"], {"bad": BARE}, "not a corvantis-delta file"),
    (["--raw", "patch", "old", "bad"], {"bad": b"\x00\x41x"}, "copy offset without a length"),
    (["--raw", "patch", "old", "bad"], {"bad": b"\x00\x18\x40"}, "copy outside the old value"),
    (["--raw", "patch", "old", "bad"], {"bad": b"\x00\x03\x45ab"}, "truncated or unreadable item"),
    (["diff", "nope", "new"], {}, "cannot open old value 'nope'"),
    (["diff", "old", "nope"], {}, "cannot open new value 'nope'"),
    (["patch", "old", "nope"], {}, "cannot open delta 'nope'"),
    (["diff", ".", "new"], {}, "Is a directory"),
    (["diff", "huge", "new"], {}, "old value 'huge' is too large: 2147483648 bytes (at most 2147483647)"),
    (["diff", "old", "huge"], {}, "new value 'huge' is too large"),
])
@pytest.mark.parametrize("existing", [False, True], ids=["fresh", "existing"])
def test_failures_leave_no_output(tmp_path, monkeypatch, args, extra, message, existing):
    monkeypatch.chdir(tmp_path)
    files(tmp_path, old=OLD, new=NEW, good=GOOD, **extra)
    os.mkfifo("fifo")
    with open("huge", "wb") as f:
        f.truncate(2**31)  # sparse
    if existing:
        Path("target").write_bytes(b"keep me")
    r = run(*args[:-1], "-f", args[-1], "target")
    lines = one_error(r)
    assert len(lines) == 1 and message in lines[0], lines
    assert (Path("target").read_bytes() == b"keep me") if existing else not Path("target").exists()
    assert leftovers(tmp_path) == []


def test_library_diagnostics_stay_hidden(tmp_path):
    # F8 is an item the parser reports on standard error and then skips.
    files(tmp_path, old=OLD, bad=b"\xf8\x41z")
    r = run("--raw", "patch", tmp_path / "old", tmp_path / "bad", "-")
    assert (r.returncode, r.stdout, r.stderr) == (0, b"z", b"")


@pytest.mark.parametrize("force", [False, True])
def test_existing_files_and_links(tmp_path, force):
    files(tmp_path, old=OLD, new=NEW, target=b"keep me")
    (tmp_path / "target").chmod(0o640)
    (tmp_path / "link").symlink_to("target")
    (tmp_path / "dangling").symlink_to("made")
    for out in ("target", "link"):
        r = run(*["-f"] * force, "diff", tmp_path / "old", tmp_path / "new", tmp_path / out)
        if force:
            assert (r.returncode, r.stderr) == (0, b"")
        else:
            assert "already exists (use -f to overwrite it)" in one_error(r)[0]
    assert (tmp_path / "target").read_bytes() == (GOOD if force else b"keep me")
    assert stat.S_IMODE((tmp_path / "target").stat().st_mode) == 0o640
    assert run("diff", tmp_path / "old", tmp_path / "new", tmp_path / "dangling", umask=0o077).returncode == 0
    assert (tmp_path / "made").read_bytes() == GOOD and stat.S_IMODE((tmp_path / "made").stat().st_mode) == 0o600
    assert (tmp_path / "link").is_symlink() and (tmp_path / "dangling").is_symlink()
    assert leftovers(tmp_path) == []


def test_devices_fifos_and_terminals(tmp_path):
    files(tmp_path, old=OLD, new=NEW)
    o, n = tmp_path / "old", tmp_path / "new"
    assert run("diff", o, n, "/dev/null").returncode == 0
    assert "cannot write '/dev/full': No space left on device" in one_error(run("diff", o, n, "/dev/full"))[0]
    assert stat.S_ISCHR(os.stat("/dev/null").st_mode) and stat.S_ISCHR(os.stat("/dev/full").st_mode)

    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    received = []
    reader = threading.Thread(target=lambda: received.append(fifo.read_bytes()))
    reader.start()
    r = run("diff", o, n, fifo)
    reader.join(60)
    assert r.returncode == 0 and received == [GOOD] and stat.S_ISFIFO(fifo.stat().st_mode)

    master, slave = pty.openpty()
    try:
        refused = [run("diff", o, n, "-", stdout=slave), run("diff", o, n, os.ttyname(slave))]
        for r in refused:
            assert r.returncode == 1 and b"refusing to write binary data to" in r.stderr
        assert run("-f", "diff", o, n, "-", stdout=slave).returncode == 0
    finally:
        os.close(master)
        os.close(slave)


def test_permissions_are_those_of_the_user():
    # Root passes every permission check, so as root the tool runs as nobody.
    user = 65534 if os.getuid() == 0 else None
    top = Path(tempfile.mkdtemp())
    try:
        top.chmod(0o777)  # world-writable: a rename there needs no right to the file it replaces
        files(top, old=OLD, new=NEW, roots=b"keep me")
        (top / "roots").chmod(0o444)
        (top / "ro").mkdir(mode=0o555)
        r = run("diff", top / "old", top / "new", top / "ro" / "out", user=user)
        assert "cannot create a temporary file next to" in one_error(r)[0] and "Permission denied" in r.stderr.decode()
        if user is not None:
            r = run("-f", "diff", top / "old", top / "new", top / "roots", user=user)
            assert "cannot overwrite" in one_error(r)[0] and (top / "roots").read_bytes() == b"keep me"
        assert list((top / "ro").iterdir()) == [] and leftovers(top) == []
    finally:
        shutil.rmtree(top)


@pytest.mark.parametrize("to_stdout", [False, True])
@pytest.mark.parametrize("command", ["diff", "patch"])
def test_stats(tmp_path, command, to_stdout):
    files(tmp_path, old=OLD, second=NEW if command == "diff" else GOOD)
    r = run("--stats", command, tmp_path / "old", tmp_path / "second", "-" if to_stdout else tmp_path / "result")
    assert r.returncode == 0, r.stderr
    assert (r.stdout if to_stdout else (tmp_path / "result").read_bytes()) == (GOOD if command == "diff" else NEW)
    report = r.stderr if to_stdout else r.stdout
    fields = {k: v.strip() for k, v in (line.split(":", 1) for line in report.decode().splitlines())}
    assert fields["old"] == f"{len(OLD)} bytes" and fields["new"] == f"{len(NEW)} bytes"
    assert fields["delta"] == f"{len(GOOD)} bytes ({100 * len(GOOD) / len(NEW):.2f}% of new)"
    assert fields.get("engine") == ("exact" if command == "diff" else None)
    assert fields["time"].split()[1] == "ms" and f"ms ({command}" in fields["time"]


@pytest.mark.parametrize("args, reason", [
    ([], "missing command (diff or patch)"),
    (["foo"], "unknown command 'foo' (expected diff or patch)"),
    (["diff", "a"], "diff: missing NEW DELTA"),
    (["patch", "a", "b"], "patch: missing OUT"),
    (["diff", "a", "b", "c", "d"], "diff: unexpected argument 'd'"),
    (["diff", "--quick", "a", "b", "c"], "unknown option '--quick'"),
    (["diff", "-", "-", "c"], "diff: only one input can be standard input"),
    (["--", "--raw", "diff", "a", "b"], "unknown command '--raw' (expected diff or patch)"),
])
def test_usage_errors_name_the_reason(args, reason):
    lines = one_error(run(*args), status=2)
    assert lines[0] == f"corvantis-delta: {reason}" and lines[1].startswith("usage: corvantis-delta")


def test_help_version_and_end_of_options(tmp_path, monkeypatch):
    for flag in ("-h", "--help"):
        r = run("diff", flag)
        assert r.returncode == 0 and r.stdout.startswith(b"usage: corvantis-delta")
        assert b"2147483647" in r.stdout and b"0 success, 1 failure" in r.stdout and b"2 usage" in r.stdout
    version = tomllib.loads(Path(__file__).parents[2].joinpath("pyproject.toml").read_text())["project"]["version"]
    assert run("--version").stdout.decode() == f"corvantis-delta {version} (checked delta format 1)\n"
    monkeypatch.chdir(tmp_path)
    files(tmp_path, **{"-old": OLD, "new": NEW})
    assert run("--", "diff", "-old", "new", "-f").returncode == 0 and Path("-f").read_bytes() == GOOD
