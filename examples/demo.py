"""Demonstration of corvantis_core on real inputs.

Diffs and patches the two editions of deltas_and_cbor.md, once from Python
and once with the corvantis-delta tool, and encodes sample_value.json with
cbor.dumps. Prints sizes and times, and exits non-zero if any rebuilt value
differs from the original or the tool fails."""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from corvantis_core import cbor, delta

HERE = Path(__file__).resolve().parent
OLD = HERE / "deltas_and_cbor.md"
NEW = HERE / "deltas_and_cbor.edited.md"
SAMPLE = HERE / "sample_value.json"

failures = []


def check(condition, what):
    print(f"  {'ok  ' if condition else 'FAIL'} {what}")
    if not condition:
        failures.append(what)


def best_time(fn, repeat=20):
    best = float("inf")
    result = None
    for _ in range(repeat):
        start = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - start)
    return result, best


def find_tool():
    beside = Path(sys.executable).parent / "corvantis-delta"
    if beside.exists():
        return str(beside)
    return shutil.which("corvantis-delta")


def python_delta(old, new):
    print(f"Delta from Python: {OLD.name} -> {NEW.name}")
    d, t_diff = best_time(lambda: delta.diff(old, new))
    d = bytes(d)
    rebuilt, t_patch = best_time(lambda: delta.patch(old, d))
    print(f"  old {len(old)} bytes, new {len(new)} bytes")
    print(f"  delta {len(d)} bytes = {100 * len(d) / len(new):.2f}% of new")
    print(f"  diff {t_diff * 1e3:.3f} ms, patch {t_patch * 1e6:.1f} us")
    check(bytes(rebuilt) == new, "patch(old, diff(old, new)) == new")
    check(len(d) < len(new), "the delta is shorter than the new value")
    fast, t_fast = best_time(lambda: delta.diff_fast(old, new))
    fast = bytes(fast)
    print(
        f"  diff_fast (block matching): delta {len(fast)} bytes = "
        f"{100 * len(fast) / len(new):.2f}% of new,"
        f" {t_fast * 1e3:.3f} ms"
    )
    check(bytes(delta.patch(old, fast)) == new, "patch(old, diff_fast(old, new)) == new")
    return d


def tool_delta(old, new, expected_delta):
    tool = find_tool()
    print("Delta with the corvantis-delta tool")
    if tool is None:
        check(False, "corvantis-delta is installed next to the interpreter or on PATH")
        return
    with tempfile.TemporaryDirectory() as tmp:
        d_path, out_path = os.path.join(tmp, "delta"), os.path.join(tmp, "rebuilt.md")
        start = time.perf_counter()
        r1 = subprocess.run(
            [tool, "--stats", "diff", str(OLD), str(NEW), d_path], capture_output=True, text=True
        )
        r2 = subprocess.run(
            [tool, "patch", str(OLD), d_path, out_path], capture_output=True, text=True
        )
        elapsed = time.perf_counter() - start
        check(
            r1.returncode == 0 and r2.returncode == 0,
            f"tool exit status ({r1.stderr.strip() or r2.stderr.strip() or 'no errors'})",
        )
        if r1.returncode or r2.returncode:
            return
        for line in r1.stdout.splitlines():
            print(f"  | {line}")
        produced = Path(d_path).read_bytes()
        print(
            f"  delta {len(produced)} bytes = {100 * len(produced) / len(new):.2f}% of new; "
            f"two processes took {elapsed * 1e3:.1f} ms"
        )
        raw = subprocess.run([tool, "--raw", "diff", str(OLD), str(NEW), "-"], capture_output=True)
        check(
            raw.returncode == 0 and raw.stdout == expected_delta,
            "the tool's --raw delta is the module's delta",
        )
        check(
            produced == bytes(delta.diff_compact(old, new)),
            "the tool's default delta is the module's compact delta",
        )
        check(
            Path(out_path).read_bytes() == new, "the tool's rebuilt file equals the edited document"
        )


def cbor_sample():
    print(f"cbor.dumps of {SAMPLE.name}")
    value = json.loads(SAMPLE.read_text(encoding="utf-8"))
    encoded, t_cbor = best_time(lambda: cbor.dumps(value))
    definite, _ = best_time(lambda: cbor.dumps(value, indefinite=False), repeat=3)
    text, t_json = best_time(
        lambda: json.dumps(value, separators=(",", ":"), ensure_ascii=False).encode()
    )
    print(
        f"  cbor (indefinite) {len(encoded)} bytes, cbor (definite) {len(definite)} bytes, "
        f"compact json {len(text)} bytes"
    )
    print(
        f"  cbor is {100 * len(encoded) / len(text):.1f}% of json; "
        f"dumps {t_cbor * 1e6:.0f} us, json.dumps {t_json * 1e6:.0f} us"
    )
    try:
        import cbor2
    except ImportError:
        print("  (cbor2 not installed: decoding check skipped)")
    else:
        check(
            cbor2.loads(encoded) == value, "cbor2 decodes the indefinite encoding to the JSON value"
        )
        check(
            cbor2.loads(definite) == value, "cbor2 decodes the definite encoding to the JSON value"
        )
    check(len(encoded) < len(text), "CBOR is smaller than compact JSON")


def main():
    old, new = OLD.read_bytes(), NEW.read_bytes()
    d = python_delta(old, new)
    tool_delta(old, new, d)
    cbor_sample()
    if failures:
        print(f"{len(failures)} check(s) failed", file=sys.stderr)
        return 1
    print("all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
