"""Time corvantis_core.cbor.dumps against other serialisers on JSON documents.

Usage: python bench/bench_dumps.py [DATA_DIR] [--repeat N]

Every *.json document of DATA_DIR (default /work/shared/bench-data) is loaded
with json first; each serialiser then encodes the loaded value. Three
synthetic values follow: a list of 10^6 floats, a list of 10^6 small ints and
a dict of 10^5 short str keys. The median of N timed runs is printed per
value, with each peer's time as a ratio to ours (a ratio above 1 means the
peer is slower).
"""

import argparse
import json
import pathlib
import random
import statistics
import sys
import time

import cbor2
import msgpack
import orjson
from corvantis_core import cbor

DEFAULT_DATA = pathlib.Path("/work/shared/bench-data")

SERIALISERS = {
    "corvantis dumps": cbor.dumps,
    "corvantis dumps (definite)": lambda v: cbor.dumps(v, indefinite=False),
    "cbor2.dumps": cbor2.dumps,
    "msgpack.packb": msgpack.packb,
    "orjson.dumps": orjson.dumps,
    "json.dumps": json.dumps,
}
OURS = "corvantis dumps"


def median_seconds(value, repeat):
    """Median time of each serialiser. The serialisers take turns within each
    round, so load from other processes falls on all of them alike."""
    for function in SERIALISERS.values():
        function(value)  # warm caches (str UTF-8 forms, allocator arenas)
    times = {name: [] for name in SERIALISERS}
    for _ in range(repeat):
        for name, function in SERIALISERS.items():
            start = time.perf_counter()
            function(value)
            times[name].append(time.perf_counter() - start)
    return {name: statistics.median(samples) for name, samples in times.items()}


def synthetic_values():
    rng = random.Random(9)
    return {
        "10^6 floats": [rng.uniform(-1e6, 1e6) for _ in range(10**6)],
        "10^6 small ints": [rng.randrange(-1000, 1000) for _ in range(10**6)],
        "10^5 short str keys": {f"k{i:05d}": i for i in range(10**5)},
    }


def benchmark_values(data_dir):
    """The JSON documents in data_dir, by a label with their size, then the synthetic values."""
    documents = sorted(data_dir.glob("*.json"))
    if not documents:
        sys.exit(f"no *.json documents in {data_dir}")
    values = {
        f"{path.name} ({path.stat().st_size} bytes of JSON)": json.loads(
            path.read_text(encoding="utf-8")
        )
        for path in documents
    }
    values.update(synthetic_values())
    return values


def report(times, worst, ours=OURS):
    """Prints each peer's time and its ratio to ours, and keeps each one's smallest ratio."""
    for name, seconds in times.items():
        ratio = seconds / times[ours]
        print(f"  {name:30} {seconds * 1e3:9.3f} ms   {ratio:6.2f}x")
        worst[name] = min(worst.get(name, ratio), ratio)


def report_worst(worst, ours=OURS):
    print("\nSmallest peer/ours ratio over all values:")
    for name, ratio in worst.items():
        if name != ours:
            print(f"  {name:30} {ratio:6.2f}x")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("data_dir", nargs="?", type=pathlib.Path, default=DEFAULT_DATA)
    parser.add_argument("--repeat", type=int, default=21)
    args = parser.parse_args()

    if type(cbor2.dumps).__name__ != "builtin_function_or_method":
        print("warning: cbor2's C extension is not in use; its figures are for pure Python")
    values = benchmark_values(args.data_dir)
    worst = {}
    for label, value in values.items():
        times = median_seconds(value, args.repeat)
        print(f"\n{label}, {len(cbor.dumps(value))} bytes of CBOR, median of {args.repeat}")
        report(times, worst)
    report_worst(worst)


if __name__ == "__main__":
    main()
