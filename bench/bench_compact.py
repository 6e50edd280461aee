"""Compact deltas (delta.diff_compact) against the delta tools a user would pick instead.

    .venv/bin/pip install -r requirements-bench.txt
    .venv/bin/python bench/bench_compact.py [--levels 3,1,19] [--classes NAME,...]
                                            [--engines NAME,...]
                                            [--chart docs/compact-bench.png | --no-chart]

Classes (the corpus of bench_fast.py: pyenv's CPython 3.9 and 3.10 installs):
- edited .py: every standard-library .py file of 3.9 that 3.10 has and that differs;
- little-changed .py: those of them whose bytes between the common prefix and the
  common suffix are under 1 % of the new file (one small, local edit);
- Lib tar: each version's .py tree as one uncompressed tar;
- shared libraries: libpython and the _decimal extension module;
- identical 64 MiB, 16 MiB with 100 one-byte edits, unrelated random 4 MiB values.

Engines: ours (diff_compact at each level asked for, diff_fast for reference), the
in-process Python peers (hdiffpatch with its zstd compression, bsdiff4, zstandard with
the old value as a raw-content dictionary, long-distance matching, level 19) and the
command-line peers (`xdelta3 -e -9 -S none`, `zstd -19 --patch-from`). Each in-process
engine runs in a child process per class: the time is that of the calls, peak memory the
growth of the resident set beyond the loaded inputs. Command-line peers run one process
per pair, timed as wall time, memory as the largest process's resident set (inputs
included). Every delta is applied and compared outside the timing; the apply column is
that pass (ours: delta.apply, checks included).

Printed per class: delta size as % of the new bytes, MB/s of new bytes, apply MB/s,
peak MiB, and each engine's size against hdiffpatch+zstd, bsdiff4 and xdelta3 and its
speed against hdiffpatch+zstd. The chart plots size against speed, one panel per class.
"""

import argparse
import json
import math
import os
import random
import subprocess
import sys
import tempfile
import time

import bench_fast

LITTLE = 0.01  # the changed span of a little-changed pair, as a share of its new length


def changed_span(old, new):
    """Bytes between the common prefix and the common suffix."""
    limit = min(len(old), len(new))
    prefix = len(os.path.commonprefix([old, new]))
    suffix = 0
    while suffix < limit - prefix and old[-1 - suffix] == new[-1 - suffix]:
        suffix += 1
    return max(len(old), len(new)) - prefix - suffix


def build_classes(work):
    old_prefix, new_prefix = bench_fast.pyenv_prefix("3.9"), bench_fast.pyenv_prefix("3.10")
    old_lib, new_lib = f"{old_prefix}/lib/python3.9", f"{new_prefix}/lib/python3.10"
    old_files, new_files = bench_fast.py_files(old_lib), bench_fast.py_files(new_lib)
    edited, little = [], []
    for rel in sorted(old_files & new_files):
        a, b = os.path.join(old_lib, rel), os.path.join(new_lib, rel)
        with open(a, "rb") as fa, open(b, "rb") as fb:
            old, new = fa.read(), fb.read()
        if old != new:
            edited.append((a, b))
            if changed_span(old, new) < LITTLE * len(new):
                little.append((a, b))
    tars = os.path.join(work, "lib39.tar"), os.path.join(work, "lib310.tar")
    bench_fast.write_tar(old_lib, old_files, tars[0])
    bench_fast.write_tar(new_lib, new_files, tars[1])
    dynload = "lib-dynload/_decimal.cpython-{}-x86_64-linux-gnu.so"
    classes = [
        ("edited .py", edited),
        ("little-changed .py", little),
        ("Lib tar", [tars]),
        (
            "shared libraries",
            [
                (f"{old_prefix}/lib/libpython3.9.so.1.0", f"{new_prefix}/lib/libpython3.10.so.1.0"),
                (f"{old_lib}/{dynload.format(39)}", f"{new_lib}/{dynload.format(310)}"),
            ],
        ),
    ]
    rng = random.Random(2026)

    def generated(name, old, new):
        paths = os.path.join(work, name + ".old"), os.path.join(work, name + ".new")
        for path, data in zip(paths, (old, new), strict=True):
            with open(path, "wb") as f:
                f.write(data)
        classes.append((name, [paths]))

    same = rng.randbytes(64 << 20)
    generated("identical 64 MiB", same, same)
    base = rng.randbytes(16 << 20)
    edits = bytearray(base)
    for _ in range(100):
        edits[rng.randrange(len(edits))] ^= 0x5A
    generated("16 MiB, 100 edits", base, bytes(edits))
    generated("unrelated 4 MiB", rng.randbytes(4 << 20), rng.randbytes(4 << 20))
    return classes


# In-process engines: name -> (make, apply) built inside the child, so that an engine
# that cannot be imported fails only its own rows.
def in_process_engine(name):
    if name.startswith("compact L"):
        from corvantis_core import delta

        level = int(name[len("compact L") :])
        apply = getattr(delta, "apply", None) or (lambda old, d: delta.patch(old, bytes(d)))
        return (lambda old, new: delta.diff_compact(old, new, level=level)), apply
    if name == "diff_fast":
        from corvantis_core import delta

        return delta.diff_fast, lambda old, d: delta.patch(old, bytes(d))
    if name == "hdiffpatch+zstd":
        import hdiffpatch

        return (
            lambda old, new: hdiffpatch.diff(old, new, compression="zstd", validate=False)
        ), hdiffpatch.apply
    if name == "bsdiff4":
        import bsdiff4

        return bsdiff4.diff, bsdiff4.patch
    if name == "zstandard":
        import zstandard

        def make(old, new):
            # As zstd --patch-from sets them: a window that holds the dictionary and the new
            # value, and a chain as long, else level 19's binary tree reaches back over only
            # part of a large old value.
            window = max(10, math.ceil(math.log2(len(old) + len(new) + 1)))
            params = zstandard.ZstdCompressionParameters.from_level(
                19,
                source_size=len(new),
                dict_size=len(old),
                enable_ldm=True,
                window_log=window,
                chain_log=min(30, max(window, 24)),
            )
            dictionary = zstandard.ZstdCompressionDict(
                old, dict_type=zstandard.DICT_TYPE_RAWCONTENT
            )
            return zstandard.ZstdCompressor(
                dict_data=dictionary, compression_params=params
            ).compress(new)

        def apply(old, d):
            dictionary = zstandard.ZstdCompressionDict(
                old, dict_type=zstandard.DICT_TYPE_RAWCONTENT
            )
            return zstandard.ZstdDecompressor(
                dict_data=dictionary, max_window_size=1 << 31
            ).decompress(d)

        return make, apply
    raise KeyError(name)


def child(name, list_path):
    """Runs one in-process engine over the pairs listed; prints a JSON result."""
    make, apply = in_process_engine(name)
    with open(list_path) as f:
        pairs = [line.rstrip("\n").split("\t") for line in f]
    values = []
    for a, b in pairs:
        with open(a, "rb") as fa, open(b, "rb") as fb:
            values.append((fa.read(), fb.read()))
    base = bench_fast.high_water_kb()
    seconds, deltas = 0.0, []
    for old, new in values:
        start = time.perf_counter()
        d = make(old, new)
        seconds += time.perf_counter() - start
        deltas.append(bytes(d))
        del d
    peak = bench_fast.high_water_kb() - base
    apply_seconds = 0.0
    for (old, new), d in zip(values, deltas, strict=True):
        start = time.perf_counter()
        rebuilt = apply(old, d)
        apply_seconds += time.perf_counter() - start
        if bytes(rebuilt) != new:
            raise SystemExit(f"{name}: round trip failed")
    print(
        json.dumps(
            {
                "seconds": seconds,
                "apply": apply_seconds,
                "delta": sum(map(len, deltas)),
                "peak_kb": peak,
            }
        )
    )


def run_in_process(name, pairs, work):
    list_path = os.path.join(work, "pairs.txt")
    with open(list_path, "w") as f:
        f.writelines(f"{a}\t{b}\n" for a, b in pairs)
    out = subprocess.run(
        [sys.executable, __file__, "--child", name, list_path], capture_output=True, text=True
    )
    if out.returncode != 0:
        return None, out.stderr.strip().splitlines()[
            -1
        ] if out.stderr.strip() else f"exit {out.returncode}"
    return json.loads(out.stdout), None


def timed(command, rss_path):
    """Wall time of one process and its own peak resident set (not a forked parent's).

    The peak comes from /usr/bin/time.
    """
    start = time.perf_counter()
    status = subprocess.run(
        ["/usr/bin/time", "-f", "%M", "-o", rss_path] + command,
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
    ).returncode
    seconds = time.perf_counter() - start
    if status != 0:
        raise RuntimeError(f"{command[0]} exited with {status}")
    with open(rss_path) as f:
        return seconds, int(f.read().split()[-1])


def command_line_peer(name, old, new, delta, rebuilt):
    if name == "xdelta3":
        window = 512 << 10
        while window < os.path.getsize(old):
            window <<= 1
        return (
            ["xdelta3", "-e", "-9", "-S", "none", "-B", str(window), "-f", "-s", old, new, delta],
            ["xdelta3", "-d", "-B", str(window), "-f", "-s", old, delta, rebuilt],
        )
    return (
        ["zstd", "-q", "-f", "-19", f"--patch-from={old}", new, "-o", delta],
        ["zstd", "-q", "-f", "-d", "--long=31", f"--patch-from={old}", delta, "-o", rebuilt],
    )


def run_command_line(name, pairs, work):
    result = {"seconds": 0.0, "apply": 0.0, "delta": 0, "peak_kb": 0}
    delta, rebuilt, rss = (
        os.path.join(work, n) for n in ("peer.delta", "peer.rebuilt", "peer.rss")
    )
    try:
        for old, new in pairs:
            encode, decode = command_line_peer(name, old, new, delta, rebuilt)
            seconds, peak = timed(encode, rss)
            result["seconds"] += seconds
            result["peak_kb"] = max(result["peak_kb"], peak)
            result["delta"] += os.path.getsize(delta)
            result["apply"] += timed(decode, rss)[0]
            with open(new, "rb") as a, open(rebuilt, "rb") as b:
                if a.read() != b.read():
                    return None, f"{name}: round trip failed"
    except (OSError, RuntimeError) as e:
        return None, str(e)
    return result, None


PEERS = ["hdiffpatch+zstd", "bsdiff4", "zstandard", "xdelta3", "zstd --patch-from"]
COMMAND_LINE = {"xdelta3": "xdelta3", "zstd --patch-from": "zstd"}
BASELINES = [("hdp", "hdiffpatch+zstd"), ("bsd", "bsdiff4"), ("xd3", "xdelta3")]


def compact_available():
    from corvantis_core import delta

    return hasattr(delta, "diff_compact")


def ratio(v):
    return f"{v:8.3f}" if v < 10 else f"{v:8.1f}" if v < 1000 else f"{v:8.0f}"


def print_class(name, pairs, rows, failures):
    new_bytes = sum(os.path.getsize(b) for _, b in pairs)
    budget = max(os.path.getsize(a) / 4 + os.path.getsize(b) / 4 + (32 << 20) for a, b in pairs) / (
        1 << 20
    )
    print(
        f"\n== {name}: {len(pairs)} pair(s), {new_bytes / 1e6:.1f} MB new; "
        f"writer memory budget {budget:.0f} MiB"
    )
    print(
        f"{'engine':18} {'size %':>9} {'MB/s':>9} {'apply MB/s':>10} {'peak MiB':>9} "
        + " ".join(f"{'size/' + short:>9}" for short, _ in BASELINES)
        + f" {'speed/hdp':>9}"
    )
    for engine, r in rows.items():
        percent = 100 * r["delta"] / new_bytes
        line = f"{engine:18} {percent:9.3f}" if percent >= 0.01 else f"{engine:18} {percent:9.2e}"
        line += f" {new_bytes / r['seconds'] / 1e6:9.1f} {new_bytes / r['apply'] / 1e6:10.1f}"
        line += f" {r['peak_kb'] / 1024:9.1f}"
        for _, peer in BASELINES:
            line += f" {ratio(r['delta'] / rows[peer]['delta'])}x" if peer in rows else f" {'-':>9}"
        hdp = rows.get("hdiffpatch+zstd")
        line += f" {ratio(hdp['seconds'] / r['seconds'])}x" if hdp else f" {'-':>9}"
        print(line, flush=True)
    for engine, why in failures.items():
        print(f"{engine:18} not run: {why}")


def tar_apply_speeds(pairs):
    """delta.patch (bytes in) and delta.apply of one compact delta of the tar.

    Checks included, best of 3.
    """
    from corvantis_core import delta

    ((a, b),) = pairs
    with open(a, "rb") as fa, open(b, "rb") as fb:
        old, new = fa.read(), fb.read()
    d = bytes(delta.diff_compact(old, new))
    speeds = {}
    for label, call in (
        ("delta.patch", delta.patch),
        ("delta.apply", getattr(delta, "apply", None)),
    ):
        if call is None:
            continue
        best = math.inf
        for _ in range(3):
            start = time.perf_counter()
            rebuilt = call(old, d)
            best = min(best, time.perf_counter() - start)
            if bytes(rebuilt) != new:
                raise SystemExit(f"{label}: round trip failed")
        speeds[label] = len(new) / best / 1e6
    print(
        "compact delta of the Lib tar, applied with checks: "
        + ", ".join(f"{k} {v:.0f} MB/s" for k, v in speeds.items())
    )


def chart(results, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.ticker import FuncFormatter, LogLocator, NullFormatter

    columns = 4
    rows_n = math.ceil(len(results) / columns)
    fig, axes = plt.subplots(rows_n, columns, figsize=(4.2 * columns, 3.6 * rows_n), squeeze=False)
    engines = list(
        dict.fromkeys(e for _, rows, _ in results for e in rows)
    )  # in the order they ran
    # More markers than engines: the spare ones go unused.
    markers = dict(zip(engines, "os^vD<>p*hX", strict=False))
    colours = {e: plt.cm.tab10(i % 10) for i, e in enumerate(engines)}
    # The grid's last row may have more axes than results left.
    for ax, (name, rows, new_bytes) in zip(axes.flat, results, strict=False):
        points = {
            e: (new_bytes / r["seconds"] / 1e6, 100 * r["delta"] / new_bytes)
            for e, r in rows.items()
        }
        for engine, (x, y) in points.items():
            ax.scatter(
                x,
                y,
                marker=markers[engine],
                color=colours[engine],
                s=60 if engine.startswith("compact") else 36,
                label=engine,
            )
        # A log scale only where the values span enough to need it (sizes of unrelated values
        # do not).
        for axis, values, scale in (
            (ax.xaxis, [p[0] for p in points.values()], ax.set_xscale),
            (ax.yaxis, [p[1] for p in points.values()], ax.set_yscale),
        ):
            if values and max(values) > 3 * min(values):
                scale("log")
                axis.set_major_locator(
                    LogLocator(subs=(1.0, 2.0, 5.0) if max(values) < 1000 * min(values) else (1.0,))
                )
                axis.set_minor_formatter(NullFormatter())
            axis.set_major_formatter(FuncFormatter(lambda v, _: f"{v:.7g}"))
        ax.set_title(name, fontsize=10)
        ax.set_xlabel("MB/s of new bytes (right is faster)", fontsize=8)
        ax.set_ylabel("delta, % of new (down is smaller)", fontsize=8)
        ax.grid(True, which="major", alpha=0.3)
        ax.tick_params(labelsize=7)
    for ax in axes.flat[len(results) :]:
        ax.axis("off")
    handles = [
        plt.Line2D([], [], linestyle="", marker=markers[e], color=colours[e], label=e)
        for e in engines
    ]
    spare = axes.flat[len(results)] if len(results) < axes.size else None
    (spare or fig).legend(handles=handles, loc="center" if spare else "lower right", fontsize=9)
    fig.suptitle("Delta size against speed per class (one run, 2-core machine)")
    fig.tight_layout()
    fig.savefig(path, dpi=90)
    print(f"\nchart: {path}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--child", nargs=2, help=argparse.SUPPRESS)
    parser.add_argument(
        "--levels", default="3,1,19", help="diff_compact levels, the first one is compared"
    )
    parser.add_argument("--classes", help="comma-separated class names (default: all)")
    parser.add_argument("--engines", help="comma-separated engine names (default: all)")
    parser.add_argument(
        "--chart",
        default=os.path.join(os.path.dirname(__file__), "..", "docs", "compact-bench.png"),
    )
    parser.add_argument("--no-chart", action="store_true")
    parser.add_argument("--json", help="also write the measurements to this file")
    args = parser.parse_args()
    if args.child:
        child(*args.child)
        return
    ours = [f"compact L{level}" for level in args.levels.split(",")] if compact_available() else []
    if not ours:
        print(
            "delta.diff_compact is not in this build of corvantis_core: "
            "only diff_fast and the peers run"
        )
    engines = ours + ["diff_fast"] + PEERS
    if args.engines:
        engines = [e for e in engines if e in args.engines.split(",")]
    results = []
    with tempfile.TemporaryDirectory(prefix="bench_compact.") as work:
        classes = build_classes(work)
        if args.classes:
            classes = [c for c in classes if c[0] in args.classes.split(",")]
        for name, pairs in classes:
            rows, failures = {}, {}
            for engine in engines:
                if engine in COMMAND_LINE:
                    r, why = run_command_line(COMMAND_LINE[engine], pairs, work)
                else:
                    r, why = run_in_process(engine, pairs, work)
                if r is None:
                    failures[engine] = why
                else:
                    rows[engine] = r
            print_class(name, pairs, rows, failures)
            results.append((name, rows, sum(os.path.getsize(b) for _, b in pairs)))
            if name == "Lib tar" and ours:
                tar_apply_speeds(pairs)
    if args.json:
        with open(args.json, "w") as f:
            json.dump(
                [{"class": n, "new_bytes": b, "engines": rows} for n, rows, b in results],
                f,
                indent=1,
            )
    if not args.no_chart:
        chart(results, os.path.normpath(args.chart))


if __name__ == "__main__":
    main()
