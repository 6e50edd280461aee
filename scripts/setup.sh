#!/usr/bin/env bash
# Shared set-up for the project's commands: system packages, a Python 3.12
# venv in .venv with the test requirements, and the module installed into it.
# Safe to run again: each step is skipped or incremental when already done.
#
#   scripts/setup.sh [system] [python] [module]   # the steps named; all three by default
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="$ROOT/.venv"

setup_system() {
  local need_apt=()
  command -v cmake >/dev/null 2>&1 || need_apt+=(cmake)
  command -v g++ >/dev/null 2>&1 || need_apt+=(g++)
  [ -f /usr/include/gtest/gtest.h ] || need_apt+=(libgtest-dev)
  command -v xdelta3 >/dev/null 2>&1 || need_apt+=(xdelta3)
  [ -f /usr/include/xxhash.h ] || need_apt+=(libxxhash-dev)
  [ -f /usr/include/zstd.h ] || need_apt+=(libzstd-dev)
  command -v clang++ >/dev/null 2>&1 || need_apt+=(clang)
  command -v clang-format >/dev/null 2>&1 || need_apt+=(clang-format)
  ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 \
    || ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-*.a >/dev/null 2>&1 \
    || need_apt+=(libclang-rt-14-dev)
  if [ ${#need_apt[@]} -gt 0 ]; then
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${need_apt[@]}"
  fi
}

find_python() {
  if command -v pyenv >/dev/null 2>&1 && pyenv prefix 3.12 >/dev/null 2>&1; then
    echo "$(pyenv prefix 3.12)/bin/python3.12"; return
  fi
  for p in "$HOME"/.pyenv/versions/3.12*/bin/python3.12 python3.12; do
    if command -v "$p" >/dev/null 2>&1; then command -v "$p"; return; fi
  done
  echo "no Python 3.12 interpreter found (pyenv prefix 3.12 / python3.12)" >&2
  exit 1
}

setup_python() {
  if [ ! -x "$VENV/bin/python" ] || ! "$VENV/bin/python" -c 'import sys; assert sys.version_info[:2] == (3, 12)' 2>/dev/null; then
    rm -rf "$VENV"
    "$(find_python)" -m venv "$VENV"
  fi
  "$VENV/bin/python" -m pip install -q --upgrade pip
  "$VENV/bin/python" -m pip install -q -r "$ROOT/requirements-test.txt"
}

setup_module() {
  # The build requirements are in the venv, so the build can reuse its
  # incremental build directory instead of starting from scratch.
  "$VENV/bin/python" -m pip install -q --no-build-isolation "$ROOT"
}

steps=("$@")
[ ${#steps[@]} -gt 0 ] || steps=(system python module)
for step in "${steps[@]}"; do
  case "$step" in
    system|python|module) "setup_$step" ;;
    *) echo "setup.sh: unknown step '$step' (system, python or module)" >&2; exit 2 ;;
  esac
done
