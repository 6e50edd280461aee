#!/usr/bin/env bash
# Sets everything up and runs every test: lint (layout, ruff's rules, include
# layers), the GoogleTest suites in a normal and in an AddressSanitizer +
# UndefinedBehaviorSanitizer build, the pytest suite against the installed
# module, and a short run of every fuzz target.
#
# Steps that share nothing overlap to save time on a small machine: the normal
# build runs while the venv and the module are set up, and the fuzz targets are
# built while pytest runs. A step run alongside prints its output whole once
# it is done; every header shows the seconds since the start.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
# Development builds treat warnings as errors; a user's `pip install .` does not.
export SKBUILD_CMAKE_DEFINE="CORVANTIS_WERROR=ON${SKBUILD_CMAKE_DEFINE:+;$SKBUILD_CMAKE_DEFINE}"
export JOBS="$(nproc 2>/dev/null || echo 2)"
export ROOT
LOGS="$ROOT/build/test-logs"
mkdir -p "$LOGS"

step() { echo "== $1 [${SECONDS} s]"; }

run_ctest() {
  local dir="$1"; shift
  cmake -S "$ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVANTIS_BUILD_PYTHON=OFF \
        -DCORVANTIS_BUILD_TESTS=ON -DCORVANTIS_BUILD_TOOLS=OFF -DCORVANTIS_WERROR=ON "$@" >/dev/null &&
  cmake --build "$dir" -j "$JOBS" &&
  ctest --test-dir "$dir" --output-on-failure -j "$JOBS"
}
export -f run_ctest

# Runs a command alongside, in its own process group (stopped with this script
# on failure), its output kept in build/test-logs/NAME.log.
declare -A alongside=()
start_alongside() {
  local name="$1"; shift
  setsid bash -c '"$@"; rc=$?; echo "(${SECONDS} s)"; exit $rc' _ "$@" >"$LOGS/$name.log" 2>&1 &
  alongside[$name]=$!
}
finish_alongside() {
  local name="$1" rc=0
  wait "${alongside[$name]}" || rc=$?
  unset "alongside[$name]"
  cat "$LOGS/$name.log"
  return $rc
}
stop_alongside() {
  local pid
  for pid in "${alongside[@]}"; do kill -- "-$pid" 2>/dev/null || true; done
}
trap stop_alongside EXIT

step "Set-up: system packages"
"$ROOT/scripts/setup.sh" system
# The normal build needs nothing from Python.
start_alongside normal run_ctest "$ROOT/build/tests"
step "Set-up: venv and test requirements (normal C++ build alongside)"
"$ROOT/scripts/setup.sh" python

step "Lint"
"$ROOT/scripts/lint.sh"

step "Set-up: module install (normal C++ build alongside)"
"$ROOT/scripts/setup.sh" module

step "C++ tests (normal build, ran alongside)"
finish_alongside normal
step "C++ tests (ASan + UBSan build)"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  run_ctest "$ROOT/build/tests-asan" -DCORVANTIS_SANITIZE=ON

# A short run of each target here; long runs on demand (scripts/fuzz.sh SECONDS).
fuzz=0
[ -x "$ROOT/scripts/fuzz.sh" ] && fuzz=1
if [ "$fuzz" = 1 ]; then
  start_alongside fuzz-build env CORVANTIS_FUZZ_BUILD_ONLY=1 "$ROOT/scripts/fuzz.sh"
fi
step "Python tests$([ "$fuzz" = 1 ] && echo " (fuzz build alongside)")"
"$ROOT/.venv/bin/python" -m pytest -q "$ROOT/tests/python"

if [ "$fuzz" = 1 ]; then
  step "Fuzz targets: build (ran alongside)"
  finish_alongside fuzz-build
  step "Fuzz targets (short run)"
  CORVANTIS_FUZZ_SKIP_BUILD=1 "$ROOT/scripts/fuzz.sh" "${CORVANTIS_FUZZ_SECONDS:-10}"
fi
step "all tests passed"
