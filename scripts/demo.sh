#!/usr/bin/env bash
# Sets everything up and runs the main job on the sample data in examples/:
# a delta of a real document pair (from Python and with the corvantis-delta
# tool, verified by patching) and cbor.dumps of a real value, with sizes and
# times printed.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$ROOT/scripts/setup.sh"
exec "$ROOT/.venv/bin/python" "$ROOT/examples/demo.py" "$@"
