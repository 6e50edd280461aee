"""corvantis-delta end to end: deltas against the module, refused deltas, outputs, command line."""

import ctypes
import os
import random
import re
import select
import struct
import subprocess
import sys
import tempfile
import tomllib
from pathlib import Path

import pytest
from corvantis_core.delta import diff, diff_compact, diff_fast

TOOL = Path(
    os.environ.get("CORVANTIS_DELTA_TOOL") or Path(sys.executable).parent / "corvantis-delta"
)
XXH3 = ctypes.CDLL("libxxhash.so.0").XXH3_64bits  # the checksum oracle: the xxHash library itself
XXH3.restype, XXH3.argtypes = ctypes.c_uint64, [ctypes.c_char_p, ctypes.c_size_t]
PRCTL, PR_CAPBSET_DROP, CAP_FOWNER = ctypes.CDLL(None).prctl, 24, 3


def checked(old, new, bare, version=1, engine=0):
    """A checked delta built from its documented layout."""
    fields = [f(v) for v in (old, new, bare) for f in (len, lambda data: XXH3(data, len(data)))]
    head = b"\x89CVD\r\n\x1a\n" + struct.pack(">BBH6Q", version, engine, 0, *fields)
    return head + struct.pack(">Q", XXH3(head, len(head))) + bare


def run(*args, stdin=b"", child=None, tool=TOOL):
    return subprocess.run(
        [str(tool), *map(str, args)], input=stdin, capture_output=True, timeout=60, preexec_fn=child
    )


def files(directory, **contents):
    for name, data in contents.items():
        (directory / name).write_bytes(data)
    return [directory / name for name in contents]


def one_error(r, status=1):
    lines = r.stderr.decode().splitlines() or [""]
    assert (r.returncode, bool(r.stdout), lines[0][:17]) == (status, False, "corvantis-delta: "), r
    return lines if status == 2 else "\n".join(lines)


def flip(data, at):
    return data[:at] + bytes([data[at] ^ 1]) + data[at + 1 :]


OLD = b"the old value, long enough to hold a copy or two"
NEW = b"the new value, long enough to hold a copy or two!"
BARE = bytes(diff(OLD, NEW))
GOOD = checked(OLD, NEW, BARE)
WRONG_NEW = checked(OLD, NEW.upper(), BARE)
COMPACT = bytes(diff_compact(OLD, NEW))
BASE = os.urandom(50000)
_words = [random.Random(n).randbytes(6).hex().encode() for n in range(300)]
# Values on which the levels give different deltas.
WORDS = [b" ".join(random.Random(seed).choices(_words, k=300)) for seed in (2, 3)]


@pytest.mark.parametrize(
    "old, new", [(b"", b""), (OLD, NEW), (BASE, BASE[:1000] + b"ins" + BASE[1100:]), WORDS]
)
def test_diff_and_patch_agree_with_the_module(tmp_path, old, new):
    bare = bytes(diff(old, new))
    fast = bytes(diff_fast(old, new))
    compact = bytes(diff_compact(old, new))
    o, n, b = files(tmp_path, old=old, new=new, bare=b"\xf8" + bare)
    whole = checked(old, new, bare)
    # A new file takes the umask.
    r = run("diff", o, n, made := tmp_path / "made", child=lambda: os.umask(0o077))
    assert (r.returncode, r.stdout + r.stderr) == (0, b"")
    assert (made.read_bytes(), made.stat().st_mode & 0o777) == (compact, 0o600)
    levels = {level: run("-L", level, "diff", o, n, "-").stdout for level in (1, 19)}
    assert levels == {level: bytes(diff_compact(old, new, level=level)) for level in levels}
    assert run("--fast", "diff", o, n, "-").stdout == checked(old, new, fast, engine=1)
    # --raw is the module's format both ways; the parser's message on F8 (skipped) stays hidden.
    r = run("patch", "--raw", o, b, "-")
    assert run("--raw", "diff", o, n, "-").stdout == bare and (r.stdout, r.stderr) == (new, b"")
    assert run("--exact", "diff", o, "-", "-", stdin=new).stdout == whole
    # patch tells the formats apart.
    for delta in [whole, compact, *levels.values()]:
        assert run("patch", o, "-", "-", stdin=delta).stdout == new
    assert not list(tmp_path.glob(".corvantis-delta*"))


@pytest.mark.parametrize(
    "args, bad, message",
    [
        ("patch alt ok", b"", "wrong old file 'alt': its checksum differs"),
        ("patch old -", b"", "cannot apply standard input: empty file, not a delta"),
        ("patch old bad", GOOD[:68], f"truncated delta: 68 bytes of {len(GOOD)}"),
        ("patch old bad", GOOD + b"\0", "corrupt delta: 1 bytes after its end"),
        ("patch old bad", flip(GOOD, 20), "corrupt delta: header checksum mismatch"),
        ("patch old bad", flip(GOOD, 70), "corrupt delta: checksum mismatch"),
        ("patch old bad", checked(OLD, NEW, BARE, version=2), "unsupported delta format version 2"),
        ("patch old bad", WRONG_NEW, "the result does not match the checksum in the delta"),
        ("patch alt bad", COMPACT, "wrong old file 'alt': compact delta: the old value's"),
        ("patch - bad", COMPACT, "wrong old file standard input: compact delta: the old value"),
        ("patch old bad", flip(COMPACT, -5), "cannot apply 'bad': compact delta: the result's"),
        # The delta is checked before the old value is opened: an idle FIFO would block forever.
        ("patch fifo bad", BARE, "not a corvantis-delta file (a bare delta needs --raw)"),
        ("diff nope new", b"", "cannot open old value 'nope'"),
        (
            "--exact diff old huge",
            b"",
            "new value 'huge' is too large: 2147483648 bytes (at most 2147483647); the exact "
            "engine takes no more: use --fast or the compact default (no --exact or --raw)",
        ),
        ("--raw patch old ok", b"", "(this looks like a checked delta; drop --raw)"),
    ],
)
@pytest.mark.parametrize("existing", [False, True], ids=["fresh", "existing"])
def test_failures_leave_no_output(tmp_path, monkeypatch, args, bad, message, existing):
    monkeypatch.chdir(tmp_path)
    kept = {"target": b"keep"} if existing else {}
    files(tmp_path, old=OLD, ok=GOOD, alt=OLD.upper(), bad=bad, huge=b"", **kept)
    os.mkfifo("fifo")
    os.truncate("huge", 2**31)  # sparse
    error = one_error(run(*args.split(), "-f", "target"))
    assert message in error and "\n" not in error, error
    assert (Path("target").read_bytes() == b"keep") if existing else not Path("target").exists()
    assert not list(tmp_path.glob(".corvantis-delta*"))


@pytest.mark.parametrize("force", [False, True])
def test_outputs(force):
    # Root passes every permission check: a copy of the tool runs as nobody.
    child = None if os.getuid() else lambda: (os.setgroups([]), os.setgid(65534), os.setuid(65534))
    f = ["-f"] * force
    # Not under tmp_path, whose parents may be closed to nobody.
    with tempfile.TemporaryDirectory() as name:
        (top := Path(name)).chmod(0o755)
        o, n, target, kept, tool = files(
            top, old=OLD, new=NEW, target=b"keep", kept=b"keep", tool=TOOL.read_bytes()
        )
        for path, mode in ((target, 0o640), (kept, 0o444), (tool, 0o755)):
            path.chmod(mode)
        (top / "link").symlink_to("target")
        for out in (target, top / "link"):
            r = run(*f, "--exact", "diff", o, n, out)
            assert force or "already exists (use -f to overwrite it)" in one_error(r)
            assert r.returncode == 1 - force
        assert target.read_bytes() == (GOOD if force else b"keep")
        assert target.stat().st_mode & 0o777 == 0o640
        if not os.getuid():  # given away, by a root that then cannot set its mode: no temporary
            os.chown(target, 65534, 65534)
            r = run("-f", "diff", o, n, target, child=lambda: PRCTL(PR_CAPBSET_DROP, CAP_FOWNER))
            assert "cannot set the mode of" in one_error(r)
        r = run("-f", "--exact", "diff", o, n, kept, child=child, tool=tool)
        assert "cannot overwrite" in one_error(r)
        # Devices and FIFOs are written through, never replaced (a waiting reader lets it through).
        error = one_error(run(*f, "diff", o, n, "/dev/full"))
        assert "cannot write '/dev/full': No space left on device" in error
        master, terminal = os.openpty()  # binary output goes to a terminal only when forced
        r = run(*f, "diff", o, n, os.ttyname(terminal))
        assert force or "refusing to write binary data to the terminal" in one_error(r, 2)[0]
        assert r.returncode == 2 - 2 * force
        os.mkfifo(fifo := top / "fifo")
        reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
        assert run(*f, "--exact", "diff", o, n, fifo).returncode == 0
        assert os.read(reader, 1000) == GOOD
        for fd in (master, terminal, reader):
            os.close(fd)
        (top / "ro").mkdir(mode=0o555)
        error = one_error(run(*f, "diff", o, n, top / "ro" / "out", child=child, tool=tool))
        assert "cannot create a temporary file next to" in error and "Permission denied" in error
        assert (top / "link").is_symlink() and fifo.is_fifo() and kept.read_bytes() == b"keep"
        assert not list((top / "ro").iterdir()) and not list(top.glob(".corvantis-delta*"))


@pytest.mark.parametrize(
    "command,second,result,engine",
    [
        ("--exact diff", NEW, GOOD, "exact"),
        ("diff", NEW, COMPACT, "compact (level 3)"),
        ("patch", GOOD, NEW, ""),
    ],
)
def test_stats(tmp_path, command, second, result, engine):
    old, second = files(tmp_path, old=OLD, second=second)
    to_stdout, to_file = (
        run("--stats", *command.split(), old, second, out) for out in ("-", tmp_path / "out")
    )
    assert to_stdout.stdout == (tmp_path / "out").read_bytes() == result
    size = len(GOOD if engine != "compact (level 3)" else COMPACT)
    # The report goes to stderr when the output is stdout.
    for report in (to_stdout.stderr.decode(), to_file.stdout.decode()):
        assert report.startswith(
            f"old:    {len(OLD)} bytes\nnew:    {len(NEW)} bytes\ndelta:  {size} bytes "
            f"({100 * size / len(NEW):.2f}% of new)\n{f'engine: {engine}' * bool(engine)}"
        )
        assert f" ms ({command.split()[-1]}" in report.splitlines()[-1]


LEVEL = "the level is a whole number from 1 to 19, not"


@pytest.mark.parametrize(
    "args, reason",
    [
        ("", "missing command (diff or patch)"),
        ("diff a", "diff: missing NEW DELTA"),
        ("diff a b c d", "diff: unexpected argument 'd'"),
        ("diff --quick a b c", "unknown option '--quick'"),
        ("diff - - c", "diff: only one input can be standard input"),
        ("--fast patch a b c", "patch: option --fast applies to diff only"),
        ("diff a b c -L", "option -L needs a level (1 to 19)"),
        ("-L 0 diff a b c", f"option -L: {LEVEL} '0'"),
        ("-L x diff a b c", f"option -L: {LEVEL} 'x'"),
        ("--level=20 diff a b c", f"option --level: {LEVEL} '20'"),
        (
            "--fast -L4 diff a b c",
            "option -L sets the level of a compact delta; --fast writes a bare one",
        ),
        # no option after --
        ("-- --raw diff a b", "unknown command '--raw' (expected diff or patch)"),
    ],
)
def test_usage_errors_name_the_reason(args, reason):
    lines = one_error(run(*args.split()), status=2)
    assert lines[0] == f"corvantis-delta: {reason}"
    assert lines[1].startswith("usage: corvantis-delta")


def test_help_and_version():
    for r in (run("diff", "-h"), run("--help")):
        assert r.returncode == 0 and r.stdout.startswith(b"usage: corvantis-delta"), r
        assert b"0 success, 1 fail" in r.stdout
    pyproject = Path(__file__).parents[2] / "pyproject.toml"
    version = tomllib.loads(pyproject.read_text())["project"]["version"]
    expected = f"corvantis-delta {version} (checked delta format 1)\n"
    assert run("--version").stdout.decode() == expected


def test_progress_line_only_on_a_terminal(tmp_path):
    old, new, small, delta = files(tmp_path, old=b"", new=b"", small=b"", delta=b"")
    for path, size in ((old, (65 << 20) + 1), (new, (65 << 20) + 1), (small, 64 << 20)):
        os.truncate(path, size)  # sparse: just above the 64 MiB threshold, and at it
    with new.open("r+b") as f:
        f.seek(1 << 20)
        f.write(b"edit")
    master, terminal = os.openpty()

    def on_terminal(*args):
        p, seen = subprocess.Popen([str(TOOL), "-f", *map(str, args)], stderr=terminal), b""
        # Drained as it runs: a full pty blocks.
        while p.poll() is None or select.select([master], [], [], 0)[0]:
            seen += os.read(master, 1 << 16) if select.select([master], [], [], 0.05)[0] else b""
        assert p.returncode == 0
        return seen.decode()

    clear = "\r\x1b[K"
    line = r"corvantis-delta: diff: [\d.]+ of 65\.0 MiB \(\d+%\)(, [\d.]+ MB/s, \d+ s left)?"
    shown = on_terminal("diff", old, new, delta)
    assert re.fullmatch(f"({re.escape(clear)}{line})+{re.escape(clear)}", shown), shown
    patching = on_terminal("patch", old, delta, out := tmp_path / "out")
    assert patching.startswith(clear + "corvantis-delta: patch: applying")
    assert out.read_bytes() == new.read_bytes()
    assert on_terminal("-q", "diff", old, new, delta) == ""
    assert on_terminal("diff", small, small, delta) == ""
    assert run("diff", "-f", old, new, delta).stderr == b""  # standard error a pipe
    os.close(master)
    os.close(terminal)


def test_short_deltas_and_stdin_at_its_end(tmp_path):
    old, new, empty, page = files(tmp_path, old=OLD, new=NEW, empty=b"", page=os.urandom(4096))
    # Shorter than the magic: a prefix of it is a truncated delta, anything else is not a delta.
    for bad, message in (
        (GOOD[:5], "shorter than its header"),
        (b"\x89CW", "not a corvantis-delta file"),
    ):
        assert message in one_error(run("patch", old, "-", "-", stdin=bad))
    # A redirected input read from its end, a page boundary, is empty.
    with page.open("rb") as stdin:
        stdin.seek(4096)
        r = subprocess.run(
            [str(TOOL), "diff", "-", new, "-"], stdin=stdin, capture_output=True, timeout=60
        )
    assert (r.returncode, r.stdout) == (0, run("diff", empty, new, "-").stdout)


@pytest.mark.parametrize(
    "args, stream, message",
    [
        ("diff - new out", "stdin", "read the old value from a terminal; give a file or pipe"),
        ("patch old delta -", "stdout", "write binary data to a terminal; give an output file or"),
    ],
)
def test_a_terminal_is_refused_as_input_or_output(tmp_path, args, stream, message):
    files(tmp_path, old=OLD, new=NEW, delta=GOOD)
    master, terminal = os.openpty()
    streams = {"stdin": subprocess.DEVNULL, "stdout": subprocess.PIPE, stream: terminal}
    command = [str(TOOL), *args.split()]
    r = subprocess.run(command, cwd=tmp_path, stderr=subprocess.PIPE, timeout=10, **streams)
    os.close(master)
    os.close(terminal)
    assert one_error(r, 2)[0].startswith(f"corvantis-delta: refusing to {message}")
    assert not (tmp_path / "out").exists()
