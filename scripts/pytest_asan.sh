#!/usr/bin/env bash
# Runs the whole pytest suite against an AddressSanitizer + UndefinedBehavior-
# Sanitizer build of the module. The module is built with CORVANTIS_SANITIZE=ON
# into build/py-asan (not installed into .venv) and put first on PYTHONPATH;
# the uninstrumented interpreter gets the ASan runtime (and the C++ runtime)
# through LD_PRELOAD and
# allocates with plain malloc (PYTHONMALLOC=malloc) so that ASan sees every
# Python object too. Leak detection is off: the interpreter itself keeps
# memory at exit by design (tests/python/test_leaks.py checks the module's
# leaks, the fuzz targets the core's).
#
#   scripts/pytest_asan.sh [pytest arguments]
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
PY="$ROOT/.venv/bin/python"
[ -x "$PY" ] || "$ROOT/scripts/setup.sh"
OUT="$ROOT/build/py-asan"
CXX_BIN="${CXX:-g++}"

rm -rf "$OUT/site"
"$PY" -m pip install -q --no-build-isolation --no-deps --target "$OUT/site" \
  -C build-dir="$OUT/build" -C cmake.build-type=RelWithDebInfo \
  -C cmake.define.CORVANTIS_SANITIZE=ON -C cmake.define.CORVANTIS_WERROR=ON -C cmake.define.CORVANTIS_BUILD_TOOLS=OFF "$ROOT"

ASAN_RT="$("$CXX_BIN" -print-file-name=libasan.so)"
[ -f "$ASAN_RT" ] || { echo "no ASan runtime found for $CXX_BIN" >&2; exit 1; }
# The C++ runtime is preloaded too: the interpreter does not link it, and
# ASan resolves the real __cxa_throw when it starts, before the module (and
# with it libstdc++) is loaded; without it the first C++ exception aborts.
CXX_RT="$("$CXX_BIN" -print-file-name=libstdc++.so.6)"
module="$(ls "$OUT"/site/corvantis_core*.so)"
ldd "$module" | grep -q libasan || { echo "$module is not instrumented" >&2; exit 1; }

echo "== pytest under ASan + UBSan ($module)"
cd "$ROOT"
env PYTHONPATH="$OUT/site" LD_PRELOAD="$ASAN_RT $CXX_RT" PYTHONMALLOC=malloc CORVANTIS_UNDER_SANITIZER=1 \
  ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:strict_init_order=1:check_initialization_order=1" \
  UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1" \
  "$PY" -m pytest -q -p no:cacheprovider "$ROOT/tests/python" "$@"
