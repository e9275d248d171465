#!/usr/bin/env bash
# Installs what is needed, builds, starts the local demo world and runs Dialwise in it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/install-deps.sh"
bash "$root/scripts/build.sh" "$root/build"
exec bash "$root/scripts/demo-world.sh" "$root/build" "$@"
