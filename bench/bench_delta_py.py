"""Throughput of corvantis_core.delta.diff and patch called from Python, and
the fixed cost of one call on small values.

Inputs (the same families as the engine's own benchmark):
  - stdlib: every top-level .py module present in both the pyenv 3.9 and 3.10
    installs, diffed old -> new file by file;
  - identical: two equal 64 MiB values;
  - edits: 16 MiB of random bytes and a copy with 100 one-byte changes;
  - unrelated: two independent 1 MiB random values.

Throughput is MB (10^6 bytes) of the new value per second for diff, and of
the rebuilt output per second for patch; the best of several runs is shown.
The per-call cost is the median over many calls on two 100-byte values.

Usage: .venv/bin/python bench/bench_delta_py.py [--quick]
"""

import argparse
import random
import statistics
import subprocess
import sys
import time
from pathlib import Path

from corvantis_core.delta import PythonInBuf, diff, patch

MiB = 1 << 20
PATCH_TARGET_GBPS = 3.0
SMALL_CALL_TARGET_US = 2.0


def pyenv_stdlib(version):
    try:
        prefix = subprocess.run(
            ["pyenv", "prefix", version], capture_output=True, text=True, check=True
        ).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return None
    lib = Path(prefix) / "lib" / f"python{version}"
    return lib if lib.is_dir() else None


def stdlib_pairs():
    old_lib, new_lib = pyenv_stdlib("3.9"), pyenv_stdlib("3.10")
    if old_lib is None or new_lib is None:
        return []
    pairs = []
    for old_path in sorted(old_lib.glob("*.py")):
        new_path = new_lib / old_path.name
        if new_path.exists():
            pairs.append((old_path.read_bytes(), new_path.read_bytes()))
    return pairs


def edited(rng, value, count):
    out = bytearray(value)
    for pos in rng.sample(range(len(out)), count):
        out[pos] ^= 1 + rng.randrange(255)
    return bytes(out)


def best_of(fn, repeat):
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def run_case(name, pairs, repeat):
    deltas = [bytes(diff(old, new)) for old, new in pairs]
    for (old, new), d in zip(pairs, deltas, strict=True):
        if bytes(patch(old, d)) != new:
            raise SystemExit(f"{name}: patch did not rebuild the new value")
    new_total = sum(len(new) for _, new in pairs)
    delta_total = sum(len(d) for d in deltas)

    def all_diffs():
        for old, new in pairs:
            diff(old, new)

    def all_patches():
        for (old, _), d in zip(pairs, deltas, strict=True):
            patch(old, d)

    t_diff = best_of(all_diffs, repeat)
    t_patch = best_of(all_patches, repeat)
    diff_mbs = new_total / t_diff / 1e6
    patch_mbs = new_total / t_patch / 1e6
    print(
        f"{name:<10} {len(pairs):>5} {new_total / MiB:>9.2f} "
        f"{100 * delta_total / max(new_total, 1):>8.2f}% "
        f"{diff_mbs:>11.1f} {patch_mbs:>12.1f}"
    )
    return diff_mbs, patch_mbs


def median_call_us(fn, calls, rounds=15):
    samples = []
    for _ in range(rounds):
        start = time.perf_counter_ns()
        for _ in range(calls):
            fn()
        samples.append((time.perf_counter_ns() - start) / calls / 1e3)
    return statistics.median(samples)


def small_calls(calls):
    rng = random.Random(3)
    old = rng.randbytes(100)
    new = edited(rng, old, 1)
    d = bytes(diff(old, new))
    in_old, in_new, in_d = PythonInBuf(old), PythonInBuf(new), PythonInBuf(d)

    def nothing():
        pass

    baseline = median_call_us(nothing, calls)
    results = {
        "diff(bytes, bytes)": median_call_us(lambda: diff(old, new), calls),
        "patch(bytes, bytes)": median_call_us(lambda: patch(old, d), calls),
        "diff(InBuf, InBuf)": median_call_us(lambda: diff(in_old, in_new), calls),
        "patch(InBuf, InBuf)": median_call_us(lambda: patch(in_old, in_d), calls),
    }
    print(f"\nPer call on two 100-byte values (median of {calls} calls x 15; delta {len(d)} bytes)")
    print(f"  loop + lambda overhead      {baseline:6.3f} us (included below)")
    for name, us in results.items():
        print(f"  {name:<26}  {us:6.3f} us")
    return results


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer repetitions")
    args = parser.parse_args()
    repeat = 2 if args.quick else 5
    rng = random.Random(1)

    print(f"Python {sys.version.split()[0]}; best of {repeat} runs")
    print(
        f"{'input':<10} {'pairs':>5} {'new MiB':>9} {'delta':>9} "
        f"{'diff MB/s':>11} {'patch MB/s':>12}"
    )

    pairs = stdlib_pairs()
    if pairs:
        run_case("stdlib", pairs, repeat)
    else:
        print("stdlib     (pyenv 3.9 and 3.10 not found: skipped)")

    big = rng.randbytes(64 * MiB)
    _, identical_patch = run_case("identical", [(big, bytes(bytearray(big)))], repeat)
    del big

    base = rng.randbytes(16 * MiB)
    _, edits_patch = run_case("edits", [(base, edited(rng, base, 100))], repeat)
    del base

    run_case("unrelated", [(rng.randbytes(MiB), rng.randbytes(MiB))], repeat)

    small = small_calls(20_000 if args.quick else 100_000)

    print("\nTargets")
    patch_gbps = edits_patch / 1e3
    print(
        f"  patch of a copy-made delta (edits): {patch_gbps:.2f} GB/s "
        f"[target >= {PATCH_TARGET_GBPS} GB/s: "
        f"{'met' if patch_gbps >= PATCH_TARGET_GBPS else 'NOT met'}]"
    )
    print(f"  (identical values apply as no change: {identical_patch / 1e3:.2f} GB/s)")
    worst = max(small["diff(bytes, bytes)"], small["patch(bytes, bytes)"])
    print(
        f"  slowest call on 100-byte values: {worst:.3f} us "
        f"[target < {SMALL_CALL_TARGET_US} us: "
        f"{'met' if worst < SMALL_CALL_TARGET_US else 'NOT met'}]"
    )


if __name__ == "__main__":
    main()
