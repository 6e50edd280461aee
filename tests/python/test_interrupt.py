"""Ctrl-C during a long call: KeyboardInterrupt from inside the call, soon after the signal."""

import signal
import subprocess
import sys
import time

import pytest

# The child keeps one call busy for seconds, says "ready" just before it, "interrupted" once it
# raised KeyboardInterrupt, and "released" once its arguments are let go: a bytearray can't grow
# while held, and a step of zstd left to end on a job may hold the old value a little longer.
CHILD = """
import os, signal, time
from corvantis_core import cbor, delta

# Started in the background, a child inherits SIGINT ignored, and Python then sets no handler.
signal.signal(signal.SIGINT, signal.default_int_handler)
# Four letters: many short matches, slow to weigh.
text = os.urandom(32 << 20).translate(bytes(0x20 | i & 0x41 for i in range(256)))
old, new, held = text[: 4 << 20], text[16 << 20 :], bytearray(text[: 16 << 20])
{call}
size = len(held)
print("ready", flush=True)
try:
    call()
except KeyboardInterrupt:
    print("interrupted", flush=True)
    while len(held) == size:
        try:
            held.append(0)
        except BufferError:
            time.sleep(0.01)
    print("released", flush=True)
"""
COPIES = "d = b'\\x00\\x01' * 160_000_000; "
CALLS = {
    "diff": "mid = text[4 << 20 : 8 << 20]; call = lambda: delta.diff(old, mid)",
    "diff_fast": "call = lambda: delta.diff_fast(held, new)",
    "diff_compact": "call = lambda: delta.diff_compact(held, new)",
    # At any level zstd indexes a large old value in one call (512 MB: most of a second); calls
    # one after the other, so the signal finds one however fast they run.
    "diff_compact_3": (
        "held *= 32\ndef call():\n    while True:\n        delta.diff_compact(held, new[: 1 << 15])"
    ),
    "patch": COPIES + "call = lambda: delta.patch(old, d)",
    "apply": COPIES + "call = lambda: delta.apply(held, d)",
    "dumps": "value = [[1] * 100_000] * 3_000; call = lambda: cbor.dumps(value)",
    "loads": "data = cbor.dumps([[1] * 100_000] * 1_000); call = lambda: cbor.loads(data)",
}
SIGNAL_AFTER = {"diff_compact_3": 1.2}


@pytest.mark.parametrize("name", CALLS)
def test_sigint_interrupts_the_call(name):
    child = subprocess.Popen(
        [sys.executable, "-c", CHILD.format(call=CALLS[name])],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        bufsize=0,  # unbuffered: readline takes no more than its line
    )
    try:
        assert child.stdout.readline() == b"ready\n", child.stderr.read()
        time.sleep(SIGNAL_AFTER.get(name, 0.3))
        child.send_signal(signal.SIGINT)
        sent = time.monotonic()
        line = child.stdout.readline()
        waited = time.monotonic() - sent
        out, err = child.communicate(timeout=60)
    finally:
        child.kill()
        child.wait()
    assert (line, out) == (b"interrupted\n", b"released\n"), err
    assert waited < 2, f"{name} went on for {waited:.1f} s after the signal"
