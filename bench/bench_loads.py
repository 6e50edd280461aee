"""Time corvantis_core.cbor.loads against other deserialisers on JSON documents.

Usage: python bench/bench_loads.py [DATA_DIR] [--repeat N]

Every *.json document of DATA_DIR (default /work/shared/bench-data) is loaded
with json first, then each peer encodes it with its own encoder (cbor.dumps
for us, in both framings) and the time to decode that encoding is measured.
The synthetic values of bench_dumps.py follow. The fastest of N timed runs is
printed per value (on a machine shared with other work the fastest run is the
one least disturbed; the median moves with the load), with each peer's time
as a ratio to ours (a ratio above 1 means the peer is slower). Only the call
is timed: freeing the result is not.
"""

import argparse
import json
import pathlib
import sys
import time

import cbor2
import msgpack
import orjson
from bench_dumps import DEFAULT_DATA, benchmark_values, report, report_worst
from corvantis_core import cbor

# name: (encoder, decoder)
DESERIALISERS = {
    "corvantis loads": (lambda v: cbor.dumps(v, indefinite=False), cbor.loads),
    "corvantis loads (indefinite)": (cbor.dumps, cbor.loads),
    "cbor2.loads": (cbor2.dumps, cbor2.loads),
    "msgpack.unpackb": (msgpack.packb, msgpack.unpackb),
    "orjson.loads": (orjson.dumps, orjson.loads),
    "json.loads": (json.dumps, json.loads),
}
OURS = "corvantis loads"


def fastest_seconds(value, repeat):
    """Fastest decoding time of each peer over its own encoding. The peers take
    turns within each round, so load from other processes falls on all alike."""
    encoded = {name: encode(value) for name, (encode, _) in DESERIALISERS.items()}
    for name, (_, decode) in DESERIALISERS.items():
        if decode(encoded[name]) != value and name != "json.loads":
            sys.exit(f"{name} does not give the value back")
    times = {name: [] for name in DESERIALISERS}
    for _ in range(repeat):
        for name, (_, decode) in DESERIALISERS.items():
            data = encoded[name]
            start = time.perf_counter()
            result = decode(data)
            times[name].append(time.perf_counter() - start)
            del result  # freeing the value is not part of decoding it
    return {name: min(samples) for name, samples in times.items()}, len(encoded[OURS])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("data_dir", nargs="?", type=pathlib.Path, default=DEFAULT_DATA)
    parser.add_argument("--repeat", type=int, default=21)
    args = parser.parse_args()

    values = benchmark_values(args.data_dir)
    worst = {}
    for label, value in values.items():
        times, size = fastest_seconds(value, args.repeat)
        print(f"\n{label}, {size} bytes of CBOR, fastest of {args.repeat}")
        report(times, worst, OURS)
    report_worst(worst, OURS)


if __name__ == "__main__":
    main()
