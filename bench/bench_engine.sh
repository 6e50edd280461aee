#!/usr/bin/env bash
# Builds the engine benchmark in Release and runs it against xdelta3 on:
#  (a) every standard-library .py file of CPython 3.9 that 3.10 also has and
#      that differs between them (pyenv installations);
#  (b) each version's whole tree of .py files as one uncompressed tar
#      (sorted names, fixed metadata: the same bytes on every run);
#  (c)-(e) generated values: identical 64 MiB, 16 MiB with 100 one-byte
#      edits, two unrelated random 1 MiB values.
# Usage: bench/bench_engine.sh [--repeat N]
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="$ROOT/build/bench"
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DCORVANTIS_BUILD_PYTHON=OFF -DCORVANTIS_BUILD_TESTS=OFF \
      -DCORVANTIS_BUILD_TOOLS=OFF -DCORVANTIS_BUILD_BENCH=ON >/dev/null
cmake --build "$BUILD" -j2 --target bench_engine >/dev/null

PY="$(pyenv prefix 3.12)/bin/python3.12"
OLD_LIB="$(pyenv prefix 3.9)/lib/python3.9"
NEW_LIB="$(pyenv prefix 3.10)/lib/python3.10"
WORK="$(mktemp -d /tmp/bench_engine_inputs.XXXXXX)"
trap 'rm -rf "$WORK"' EXIT

# The same inputs as bench_fast.py, built by its own helpers.
"$PY" - "$ROOT/bench" "$OLD_LIB" "$NEW_LIB" "$WORK" <<'PYEOF'
import os, sys
sys.path.insert(0, sys.argv[1])
from bench_fast import py_files, write_tar

old_lib, new_lib, work = sys.argv[2:5]
old_files, new_files = py_files(old_lib), py_files(new_lib)
with open(os.path.join(work, "pairs.txt"), "w") as out:
    for rel in sorted(old_files & new_files):
        a, b = os.path.join(old_lib, rel), os.path.join(new_lib, rel)
        with open(a, "rb") as fa, open(b, "rb") as fb:
            if fa.read() != fb.read():
                out.write(f"{a}\t{b}\n")
write_tar(old_lib, old_files, os.path.join(work, "lib39.tar"))
write_tar(new_lib, new_files, os.path.join(work, "lib310.tar"))
PYEOF

echo "inputs: $(wc -l < "$WORK/pairs.txt") differing .py pairs;" \
     "tars $(stat -c %s "$WORK/lib39.tar") and $(stat -c %s "$WORK/lib310.tar") bytes"
"$BUILD/bench/bench_engine" --pairs "$WORK/pairs.txt" --tar "$WORK/lib39.tar" "$WORK/lib310.tar" --synthetic "$@"
