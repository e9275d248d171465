#!/usr/bin/env bash
# Configures and builds out of tree: scripts/build.sh [BUILD_DIR] [extra cmake args...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
shift || true
gen=()
command -v ninja >/dev/null && gen=(-G Ninja)
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" "${gen[@]}" "$@"
elif [ "$#" -gt 0 ]; then
  cmake "$build" "$@"
fi
cmake --build "$build" -j "$(nproc)"
