#!/usr/bin/env bash
# Sets everything up and runs every test: the include-layer check, the
# GoogleTest suites in a normal and in an AddressSanitizer +
# UndefinedBehaviorSanitizer build, the pytest suite against the installed
# module, and a short run of every fuzz target.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
# Development builds treat warnings as errors; a user's `pip install .` does not.
export SKBUILD_CMAKE_DEFINE="CORVANTIS_WERROR=ON${SKBUILD_CMAKE_DEFINE:+;$SKBUILD_CMAKE_DEFINE}"
"$ROOT/scripts/setup.sh"
JOBS="$(nproc 2>/dev/null || echo 2)"

echo "== Include layers"
"$ROOT/.venv/bin/python" "$ROOT/scripts/check_layers.py" "$ROOT"

run_ctest() {
  local dir="$1"; shift
  cmake -S "$ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVANTIS_BUILD_PYTHON=OFF \
        -DCORVANTIS_BUILD_TESTS=ON -DCORVANTIS_BUILD_TOOLS=OFF -DCORVANTIS_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j "$JOBS"
  ctest --test-dir "$dir" --output-on-failure -j "$JOBS"
}

echo "== C++ tests (normal build)"
run_ctest "$ROOT/build/tests"
echo "== C++ tests (ASan + UBSan build)"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  run_ctest "$ROOT/build/tests-asan" -DCORVANTIS_SANITIZE=ON

echo "== Python tests"
"$ROOT/.venv/bin/python" -m pytest -q "$ROOT/tests/python"

# A short run of each target here; long runs on demand (scripts/fuzz.sh SECONDS).
if [ -x "$ROOT/scripts/fuzz.sh" ]; then
  echo "== Fuzz targets (short run)"
  "$ROOT/scripts/fuzz.sh" "${CORVANTIS_FUZZ_SECONDS:-10}"
fi
echo "== all tests passed"
