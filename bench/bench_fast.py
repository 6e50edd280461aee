"""Benchmark of the two delta engines (diff, diff_fast) against xdelta3 and zstd.

    .venv/bin/python bench/bench_fast.py [--exact-max-mb N] [--huge]

Sets: every standard-library .py file of CPython 3.9 that 3.10 also has and
that differs (pyenv installations); each version's .py tree as one
uncompressed tar (sorted names, fixed metadata); libpython and the _decimal
extension module of the same two versions; generated values (identical
64 MiB, 16 MiB with 100 one-byte edits, 1 MiB with 20, unrelated random
1 MiB values).

Printed per set and engine: total delta as % of the new bytes, MB/s of new
bytes, and peak memory (ours: growth of the resident set during the calls,
beyond the loaded inputs; peers: the largest process's resident set,
inputs included). Our engines run in one child
process per set (time of the calls only; every delta is applied with patch
and compared, outside the timing). The peers run as one process per pair,
`xdelta3 -e -9 -S none -B N` (N = old size rounded up to a power of two, at
least 512 KiB) and `zstd -19 --patch-from`, timed as wall time of the
process; their peak memory is the largest child's resident set.

--exact-max-mb skips `diff` on sets with a new value larger than that (the
exact engine takes minutes on the tars; default 2). --huge adds a run of diff_fast over
two sparse files above 4 GiB through memory maps.
"""

import argparse
import io
import json
import mmap
import os
import random
import resource
import subprocess
import sys
import tarfile
import tempfile
import time

PYENV = os.path.expanduser("~/.pyenv/versions")


def pyenv_prefix(version):
    return subprocess.run(
        ["pyenv", "prefix", version], capture_output=True, text=True, check=True
    ).stdout.strip()


def py_files(root):
    found = set()
    for directory, dirs, files in os.walk(root):
        dirs[:] = sorted(d for d in dirs if d not in ("site-packages", "__pycache__"))
        for name in files:
            if name.endswith(".py"):
                found.add(os.path.relpath(os.path.join(directory, name), root))
    return found


def write_tar(root, files, path):
    with tarfile.open(path, "w", format=tarfile.USTAR_FORMAT) as tar:
        for rel in sorted(files):
            with open(os.path.join(root, rel), "rb") as f:
                data = f.read()
            info = tarfile.TarInfo("Lib/" + rel)
            info.size, info.mtime, info.mode = len(data), 0, 0o644
            info.uid = info.gid = 0
            info.uname = info.gname = ""
            tar.addfile(info, io.BytesIO(data))


def build_sets(work):
    old_prefix, new_prefix = pyenv_prefix("3.9"), pyenv_prefix("3.10")
    old_lib, new_lib = f"{old_prefix}/lib/python3.9", f"{new_prefix}/lib/python3.10"
    old_files, new_files = py_files(old_lib), py_files(new_lib)
    pairs = []
    for rel in sorted(old_files & new_files):
        a, b = os.path.join(old_lib, rel), os.path.join(new_lib, rel)
        with open(a, "rb") as fa, open(b, "rb") as fb:
            if fa.read() != fb.read():
                pairs.append((a, b))
    write_tar(old_lib, old_files, os.path.join(work, "lib39.tar"))
    write_tar(new_lib, new_files, os.path.join(work, "lib310.tar"))
    sets = [
        (f"stdlib .py pairs ({len(pairs)})", pairs),
        (
            "Lib tars 3.9 -> 3.10",
            [(os.path.join(work, "lib39.tar"), os.path.join(work, "lib310.tar"))],
        ),
        (
            "libpython 3.9 -> 3.10",
            [(f"{old_prefix}/lib/libpython3.9.so.1.0", f"{new_prefix}/lib/libpython3.10.so.1.0")],
        ),
        (
            "_decimal .so 3.9 -> 3.10",
            [
                (
                    f"{old_lib}/lib-dynload/_decimal.cpython-39-x86_64-linux-gnu.so",
                    f"{new_lib}/lib-dynload/_decimal.cpython-310-x86_64-linux-gnu.so",
                )
            ],
        ),
    ]
    rng = random.Random(2026)

    def generated(name, old, new):
        a, b = os.path.join(work, name + ".old"), os.path.join(work, name + ".new")
        with open(a, "wb") as f:
            f.write(old)
        with open(b, "wb") as f:
            f.write(new)
        sets.append((name, [(a, b)]))

    same = rng.randbytes(64 << 20)
    generated("identical 64 MiB", same, same)
    base = rng.randbytes(16 << 20)
    edited = bytearray(base)
    for _ in range(100):
        edited[rng.randrange(len(edited))] ^= 0x5A
    generated("16 MiB, 100 one-byte edits", base, bytes(edited))
    small = rng.randbytes(1 << 20)
    edited = bytearray(small)
    for _ in range(20):
        edited[rng.randrange(len(edited))] ^= 0x5A
    generated("1 MiB, 20 one-byte edits", small, bytes(edited))
    generated("unrelated random 1 MiB", rng.randbytes(1 << 20), rng.randbytes(1 << 20))
    return sets


def high_water_kb():
    """Peak resident set of this process image. ru_maxrss would carry the
    forking parent's peak across exec; VmHWM belongs to this image alone."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def child(engine, list_path):
    """Runs one of our engines over the pairs listed; prints a JSON result."""
    from corvantis_core import delta

    function = {"diff": delta.diff, "diff_fast": delta.diff_fast}[engine]
    with open(list_path) as f:
        pairs = [line.rstrip("\n").split("\t") for line in f]
    values = []
    for a, b in pairs:
        with open(a, "rb") as fa, open(b, "rb") as fb:
            values.append((fa.read(), fb.read()))
    base_rss = high_water_kb()
    seconds, total, new_bytes, deltas = 0.0, 0, 0, []
    for old, new in values:
        start = time.perf_counter()
        d = function(old, new)
        seconds += time.perf_counter() - start
        total += len(memoryview(d))
        new_bytes += len(new)
        deltas.append(d)
        del d
    peak = high_water_kb()
    for (old, new), d in zip(values, deltas, strict=True):
        if bytes(delta.patch(old, bytes(d))) != new:
            raise SystemExit(f"{engine}: round trip failed")
    print(
        json.dumps(
            {"seconds": seconds, "delta": total, "new": new_bytes, "peak_kb": peak - base_rss}
        )
    )


def run_ours(engine, pairs, work):
    list_path = os.path.join(work, "pairs.txt")
    with open(list_path, "w") as f:
        for a, b in pairs:
            f.write(f"{a}\t{b}\n")
    out = subprocess.run(
        [sys.executable, __file__, "--child", engine, list_path], capture_output=True, text=True
    )
    if out.returncode != 0:
        raise SystemExit(out.stderr)
    r = json.loads(out.stdout)
    return r["seconds"], r["delta"], r["new"], r["peak_kb"]


def run_peer(name, pairs, work):
    seconds, total, new_bytes, peak = 0.0, 0, 0, 0
    out_path, rss_path = os.path.join(work, "peer.out"), os.path.join(work, "peer.rss")
    for a, b in pairs:
        size = os.path.getsize(a)
        if name == "xdelta3":
            window = 512 << 10
            while window < size:
                window <<= 1
            command = [
                "xdelta3",
                "-e",
                "-9",
                "-S",
                "none",
                "-B",
                str(window),
                "-f",
                "-s",
                a,
                b,
                out_path,
            ]
        else:
            command = ["zstd", "-q", "-f", "-19", f"--patch-from={a}", b, "-o", out_path]
        # The child's own peak: a forked Python parent's pages would count
        # in a peak taken with wait4, so /usr/bin/time reports it instead.
        command = ["/usr/bin/time", "-f", "%M", "-o", rss_path] + command
        start = time.perf_counter()
        status = subprocess.run(
            command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL
        ).returncode
        seconds += time.perf_counter() - start
        if status != 0:
            raise SystemExit(f"{command} failed")
        total += os.path.getsize(out_path)
        new_bytes += os.path.getsize(b)
        with open(rss_path) as f:
            peak = max(peak, int(f.read().split()[-1]))
    return seconds, total, new_bytes, peak


def huge(work):
    """diff_fast over two sparse files above 4 GiB, read through memory maps."""
    from corvantis_core import delta

    size = (4 << 30) + (256 << 20)
    rng = random.Random(7)
    blocks = {offset: rng.randbytes(1 << 20) for offset in (0, 2 << 30, (4 << 30) + (64 << 20))}
    paths = [os.path.join(work, "huge.old"), os.path.join(work, "huge.new")]
    for path, moves in zip(paths, (False, True), strict=True):
        with open(path, "wb") as f:
            f.truncate(size)
            for offset, block in blocks.items():
                # The new value carries each block 4 KiB further on.
                f.seek(offset + (4096 if moves else 0))
                f.write(block)
    with open(paths[0], "rb") as fo, open(paths[1], "rb") as fn:
        old = mmap.mmap(fo.fileno(), 0, access=mmap.ACCESS_READ)
        new = mmap.mmap(fn.fileno(), 0, access=mmap.ACCESS_READ)
        start = time.perf_counter()
        d = bytes(delta.diff_fast(old, new))
        seconds = time.perf_counter() - start
        # Check the delta against the new value piece by piece: a rebuild
        # would need 4.5 GiB of memory.
        pos, at, copies_past_4g = 0, 0, 0

        def head():
            nonlocal pos
            initial = d[pos]
            pos += 1
            info = initial & 31
            if info < 24:
                return initial >> 5, info
            width = 1 << (info - 24)
            value = int.from_bytes(d[pos : pos + width], "big")
            pos += width
            return initial >> 5, value

        while pos < len(d):
            major, value = head()
            if major == 0:
                _, length = head()
                assert old[value : value + length] == new[at : at + length]
                copies_past_4g += value + length > 1 << 32
                at += length
            else:
                assert major == 2 and d[pos : pos + value] == new[at : at + value]
                pos += value
                at += value
        assert at == size
        old.close()
        new.close()
    for path in paths:
        os.unlink(path)
    print(
        f"huge: {size} bytes each, delta {len(d)} bytes, "
        f"{copies_past_4g} copies reaching past 4 GiB, "
        f"{seconds:.1f} s ({size / seconds / 1e6:.0f} MB/s); verified"
    )


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--child", nargs=2, help=argparse.SUPPRESS)
    parser.add_argument("--exact-max-mb", type=float, default=2.0)
    parser.add_argument("--huge", action="store_true")
    args = parser.parse_args()
    if args.child:
        child(*args.child)
        return
    with tempfile.TemporaryDirectory(prefix="bench_fast.") as work:
        if args.huge:
            huge(work)
            return
        sets = build_sets(work)
        print(f"{'set':32} {'engine':10} {'delta %':>9} {'MB/s':>9} {'peak MiB':>9}")
        for name, pairs in sets:
            rows = {}
            for engine in ("diff", "diff_fast", "xdelta3", "zstd"):
                largest = max(os.path.getsize(b) for _, b in pairs)
                if engine == "diff" and largest > args.exact_max_mb * 1e6:
                    print(f"{name:32} {engine:10} {'skipped':>9}")
                    continue
                if engine in ("diff", "diff_fast"):
                    seconds, total, new_bytes, peak_kb = run_ours(engine, pairs, work)
                else:
                    seconds, total, new_bytes, peak_kb = run_peer(engine, pairs, work)
                rows[engine] = (seconds, total)
                print(
                    f"{name:32} {engine:10} {100 * total / new_bytes:9.3f} "
                    f"{new_bytes / seconds / 1e6:9.1f} "
                    f"{peak_kb / 1024:9.1f}",
                    flush=True,
                )
            fast, xd = rows["diff_fast"], rows["xdelta3"]
            print(
                f"{'':32} diff_fast/xdelta3: size {fast[1] / max(xd[1], 1):.2f}x, "
                f"speed {xd[0] / fast[0]:.1f}x"
                + (
                    f"; diff_fast/diff size {fast[1] / max(rows['diff'][1], 1):.2f}x"
                    if "diff" in rows
                    else ""
                )
            )


if __name__ == "__main__":
    main()
