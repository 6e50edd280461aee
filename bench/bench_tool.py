"""corvantis-delta against xdelta3 and zstd --patch-from on generated files.

Two cases: a large value with a few small edits, and a smaller value with
many. For each tool: wall time of encoding and decoding (best of N runs, each
a whole process, files in a temporary folder) and the delta size, with ratios
to corvantis-delta's default (compact) delta. Also the exact engine's checked
delta (--exact) and its cost over --raw.

    .venv/bin/python bench/bench_tool.py [--repeat N]
"""

import argparse
import random
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

TOOL = str(Path(sys.executable).parent / "corvantis-delta")


def edited(size, edits, seed):
    rng = random.Random(seed)
    old = rng.randbytes(size)
    new = bytearray(old)
    for _ in range(edits):
        at = rng.randrange(len(new) - 100)
        new[at : at + 10] = rng.randbytes(12)
    return old, bytes(new)


def best(cmd, repeat):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        times.append(time.perf_counter() - start)
    return min(times)


def peers(d):
    old, new, delta, out = d / "old", d / "new", d / "delta", d / "out"
    rows = [
        (
            "corvantis-delta",
            [TOOL, "-f", "diff", old, new, delta],
            [TOOL, "-f", "patch", old, delta, out],
        ),
        (
            "corvantis-delta --exact",
            [TOOL, "-f", "--exact", "diff", old, new, delta],
            [TOOL, "-f", "patch", old, delta, out],
        ),
        (
            "corvantis-delta --raw",
            [TOOL, "-f", "--raw", "diff", old, new, delta],
            [TOOL, "-f", "--raw", "patch", old, delta, out],
        ),
    ]
    if shutil.which("xdelta3"):
        rows.append(
            (
                "xdelta3",
                ["xdelta3", "-f", "-e", "-s", old, new, delta],
                ["xdelta3", "-f", "-d", "-s", old, delta, out],
            )
        )
    if shutil.which("zstd"):
        rows.append(
            (
                "zstd --patch-from",
                ["zstd", "-q", "-f", f"--patch-from={old}", new, "-o", delta],
                ["zstd", "-q", "-f", "-d", f"--patch-from={old}", delta, "-o", out],
            )
        )
    return rows


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeat", type=int, default=3)
    repeat = parser.parse_args().repeat
    cases = [
        ("64 MiB, 20 edits", *edited(64 << 20, 20, 1)),
        ("8 MiB, 5000 edits", *edited(8 << 20, 5000, 2)),
    ]
    with tempfile.TemporaryDirectory() as tmp:
        d = Path(tmp)
        for name, old, new in cases:
            (d / "old").write_bytes(old)
            (d / "new").write_bytes(new)
            print(f"{name}: old {len(old)} bytes, new {len(new)} bytes")
            print(
                f"  {'tool':24} {'encode s':>9} {'decode s':>9} {'delta B':>9}  "
                "ratios to corvantis-delta"
            )
            base = None
            for label, encode, decode in peers(d):
                t_enc = best(encode, repeat)
                size = (d / "delta").stat().st_size
                t_dec = best(decode, repeat)
                if (d / "out").read_bytes() != new:
                    sys.exit(f"{label}: decoded value differs")
                base = base or (t_enc, t_dec, size)
                print(
                    f"  {label:24} {t_enc:9.3f} {t_dec:9.3f} {size:9d}  "
                    f"encode {t_enc / base[0]:5.2f}x  decode {t_dec / base[1]:5.2f}x  "
                    f"size {size / base[2]:5.2f}x"
                )


if __name__ == "__main__":
    main()
