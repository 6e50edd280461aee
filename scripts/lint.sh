#!/usr/bin/env bash
# Checks the layout rules no compiler checks: C++ formatted by .clang-format, Python by ruff
# (format and lint, [tool.ruff] in pyproject.toml), and includes that follow the layer table of
# docs/architecture.md. `scripts/lint.sh --fix` rewrites the files instead of failing on their
# layout; what the fixers cannot settle (a long string, a lint rule) is still reported.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
PY="$ROOT/.venv/bin/python"
fix=0
[ "${1:-}" = "--fix" ] && fix=1
command -v clang-format >/dev/null 2>&1 || { echo "lint: clang-format not found (scripts/setup.sh)"; exit 1; }
"$PY" -m ruff --version >/dev/null 2>&1 || { echo "lint: ruff not in .venv (scripts/setup.sh)"; exit 1; }

# Fuzz corpora and regression inputs are data, whatever their names.
mapfile -t cxx < <(git ls-files '*.cpp' '*.h' | grep -v -E '/(corpus|regressions)/')
mapfile -t py < <(git ls-files '*.py' '*.pyi')
status=0
if [ "$fix" = 1 ]; then
  clang-format -i "${cxx[@]}"
  "$PY" -m ruff format -q "${py[@]}"
  "$PY" -m ruff check -q --fix --output-format concise "${py[@]}" || status=1
else
  clang-format --dry-run --Werror "${cxx[@]}" \
    || { echo "lint: C++ not formatted (scripts/lint.sh --fix)"; status=1; }
  "$PY" -m ruff format -q --check "${py[@]}" \
    || { echo "lint: Python not formatted (scripts/lint.sh --fix)"; status=1; }
  "$PY" -m ruff check -q --output-format concise "${py[@]}" || status=1
fi
"$PY" scripts/check_layers.py "$ROOT" >/dev/null || { "$PY" scripts/check_layers.py "$ROOT"; status=1; }
exit "$status"
