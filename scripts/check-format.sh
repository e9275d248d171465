#!/usr/bin/env bash
# Fails when a C or C++ file of the tree drifts from .clang-format: scripts/check-format.sh
# Run scripts/check-format.sh --fix to rewrite the drifting files in place.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
mapfile -t files < <(git ls-files '*.cpp' '*.h' '*.c')
if [ "${1:-}" = --fix ]; then
  clang-format -i "${files[@]}"
  exit 0
fi
mapfile -t drift < <(clang-format --dry-run "${files[@]}" 2>&1 |
  sed -n 's/^\([^:]*\):[0-9]*:[0-9]*: warning: code should be clang-formatted.*/\1/p' | sort -u)
if [ "${#drift[@]}" -gt 0 ]; then
  echo "These files drift from .clang-format (scripts/check-format.sh --fix mends them):" >&2
  printf '  %s\n' "${drift[@]}" >&2
  exit 1
fi
echo "All ${#files[@]} C and C++ files follow .clang-format."
