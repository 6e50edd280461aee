#!/usr/bin/env bash
# Builds every fuzz target into build/fuzz (clang, libFuzzer, ASan + UBSan)
# and runs each for SECONDS (default 10) on a fresh working copy of its seed
# corpus and regression inputs, one target per core at a time. Exits non-zero
# when any target reports a finding (crash, sanitizer report, leak, failed
# check, timeout); the input is kept in build/fuzz/artifacts/<target>/ and
# replayed once to show the report.
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]
#
# Environment: CORVANTIS_FUZZ_CXX (default clang++); CORVANTIS_FUZZ_SKIP_BUILD=1
# to reuse the existing build (for runs started side by side);
# CORVANTIS_FUZZ_BUILD_ONLY=1 to build and run nothing;
# CORVANTIS_FUZZ_KEEP_CORPUS=1 to keep growing the working corpus between runs;
# CORVANTIS_FUZZ_JOBS=N to run N targets at a time (default: the number of cores).
# Skips with exit 0 only when clang++ or the libFuzzer runtime is missing.
set -uo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
SECONDS_PER_TARGET="${1:-10}"
shift || true
BUILD="$ROOT/build/fuzz"
CXX="${CORVANTIS_FUZZ_CXX:-clang++}"

if ! command -v "$CXX" >/dev/null 2>&1; then
  echo "fuzz: skipped: $CXX not found (scripts/setup.sh installs clang)"
  exit 0
fi
probe_dir="$(mktemp -d)"
trap 'rm -rf "$probe_dir"' EXIT
printf 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char *, unsigned long) { return 0; }\n' \
  > "$probe_dir/probe.cpp"
if ! "$CXX" -fsanitize=fuzzer,address,undefined "$probe_dir/probe.cpp" -o "$probe_dir/probe" 2>"$probe_dir/err"; then
  echo "fuzz: skipped: $CXX cannot link libFuzzer with ASan/UBSan (install libclang-rt-14-dev):"
  sed 's/^/  /' "$probe_dir/err" | head -5
  exit 0
fi

if [ "${CORVANTIS_FUZZ_SKIP_BUILD:-0}" != 1 ]; then
  cmake -S "$ROOT/fuzz" -B "$BUILD" -DCMAKE_CXX_COMPILER="$CXX" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null \
    || { echo "fuzz: configure failed"; exit 1; }
  cmake --build "$BUILD" -j 2 >"$BUILD/build.log" 2>&1 \
    || { cat "$BUILD/build.log"; echo "fuzz: build failed"; exit 1; }
fi
[ "${CORVANTIS_FUZZ_BUILD_ONLY:-0}" = 1 ] && exit 0

if [ $# -gt 0 ]; then
  targets=("$@")
else
  mapfile -t targets < <(grep -v '^$' "$BUILD/targets.txt")
fi
if [ ${#targets[@]} -eq 0 ]; then
  echo "fuzz: no target could be built yet"
  exit 0
fi

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:allocator_may_return_null=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}"

# Runs one target and prints its report; the exit status says whether it found something.
run_target() {
  local target="$1"
  local exe="$BUILD/$target"
  [ -x "$exe" ] || { echo "fuzz: $target was not built"; return 1; }
  local work="$BUILD/corpus-work/$target"
  local artifacts="$BUILD/artifacts/$target"
  local log="$BUILD/logs/$target.log"
  if [ "${CORVANTIS_FUZZ_KEEP_CORPUS:-0}" != 1 ]; then rm -rf "$work"; fi
  rm -rf "$artifacts"
  mkdir -p "$work" "$artifacts" "$(dirname "$log")"
  cp "$ROOT/fuzz/corpus/$target/"* "$work/" 2>/dev/null || true
  if [ -d "$ROOT/fuzz/regressions/$target" ]; then
    find "$ROOT/fuzz/regressions/$target" -type f ! -name '.*' -exec cp {} "$work/" \;
  fi
  # The engine's cost grows with the product of the lengths: shorter inputs
  # give it many more executions per second (fuzz_roundtrip cuts its own).
  local max_len=8192
  case "$target" in
    fuzz_engine) max_len=2048 ;;
  esac
  # The parser writes a message to stderr for every unimplemented code it
  # meets; -close_fd_mask=2 silences the target's stderr (libFuzzer and the
  # sanitizers keep reporting on a duplicate of it).
  "$exe" -max_total_time="$SECONDS_PER_TARGET" -timeout=20 -rss_limit_mb=2048 -max_len=$max_len \
    -close_fd_mask=2 -print_final_stats=1 -artifact_prefix="$artifacts/" "$work" >"$log" 2>&1
  local rc=$?
  local execs cov ft corpus found
  execs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)"
  cov="$(grep -o 'cov: [0-9]*' "$log" | tail -1)"
  ft="$(grep -o 'ft: [0-9]*' "$log" | tail -1)"
  corpus="$(grep -o 'corp: [0-9]*/[0-9]*[a-zA-Z]*' "$log" | tail -1)"
  found="$(find "$artifacts" -type f | head -1)"
  if [ $rc -ne 0 ] || [ -n "$found" ]; then
    echo "fuzz: $target: FINDING (exit $rc) after ${execs:-?} executions, $cov; log $log"
    grep -E 'ERROR|SUMMARY|check failed|runtime error|Test unit written' "$log" | head -10 | sed 's/^/  /'
    if [ -n "$found" ]; then
      echo "  replay of $found:"
      "$exe" "$found" 2>&1 | grep -vE '^(INFO|Running|Executed)|^ *#[0-9]+ ' | head -12 | sed 's/^/    /'
    fi
    return 1
  fi
  echo "fuzz: $target: ok, ${execs:-?} executions in ${SECONDS_PER_TARGET}s, $cov, $ft, $corpus"
}

# One target per core at a time (each is single-threaded), so each still gets a core of its own
# for its SECONDS. Reports are printed whole and in the targets' order as soon as they are ready.
jobs="${CORVANTIS_FUZZ_JOBS:-$(nproc 2>/dev/null || echo 1)}"
reports="$BUILD/reports"
rm -rf "$reports"
mkdir -p "$reports"
printed=0
print_ready() {
  while [ "$printed" -lt ${#targets[@]} ] && [ -f "$reports/${targets[$printed]}.status" ]; do
    cat "$reports/${targets[$printed]}.txt"
    printed=$((printed + 1))
  done
}
running=0
for target in "${targets[@]}"; do
  if [ "$running" -ge "$jobs" ]; then
    wait -n || true
    running=$((running - 1))
    print_ready
  fi
  (
    run_target "$target" >"$reports/$target.txt" 2>&1
    echo $? >"$reports/$target.status"
  ) &
  running=$((running + 1))
done
wait
print_ready
status=0
for target in "${targets[@]}"; do
  [ "$(cat "$reports/$target.status")" = 0 ] || status=1
done
exit $status
