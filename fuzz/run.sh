#!/usr/bin/env bash
# Fuzzes one target for a while under AddressSanitizer and UndefinedBehaviorSanitizer
# (both halting on the first error), starting from its committed seed corpus:
#   fuzz/run.sh TARGET [SECONDS] [BUILD_DIR] [extra libFuzzer flags...]
# SECONDS defaults to 300, BUILD_DIR to build-fuzz (configured with clang and
# DIALWISE_FUZZ when missing; only the target is built). New inputs go to a work folder
# (build-fuzz/fuzz-work/TARGET/corpus), never into the committed corpus; a crash leaves
# its input in build-fuzz/fuzz-work/TARGET/. Prints libFuzzer's final figures.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
target=${1:?usage: fuzz/run.sh TARGET [SECONDS] [BUILD_DIR] [libFuzzer flags...]}
seconds=${2:-300}
build=$(realpath -m "${3:-$root/build-fuzz}")
shift $(($# < 3 ? $# : 3))

if [ ! -f "$build/CMakeCache.txt" ]; then
    gen=()
    command -v ninja >/dev/null && gen=(-G Ninja)
    CC=clang CXX=clang++ cmake -S "$root" -B "$build" "${gen[@]}" -DDIALWISE_FUZZ=ON -DDIALWISE_TESTS=OFF
fi
cmake --build "$build" --target "$target"
exe=$(find "$build/fuzz" -type f -name "$target" -perm -u+x | head -n1)
[ -n "$exe" ] || { echo "run: no fuzz target $target in $build" >&2; exit 1; }
area=$(basename "$(dirname "$exe")")
seeds=$root/fuzz/$area/corpus/$target
dict=$root/fuzz/$area/$target.dict

work=$build/fuzz-work/$target
mkdir -p "$work/corpus"
flags=(-max_total_time="$seconds" -print_final_stats=1 -timeout=30 -rss_limit_mb=4096
    -artifact_prefix="$work/")
[ -f "$dict" ] && flags+=(-dict="$dict")
export ASAN_OPTIONS=${ASAN_OPTIONS:-halt_on_error=1:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}
dirs=("$work/corpus")
[ -d "$seeds" ] && dirs+=("$seeds")
cd "$work"
exec "$exe" "${flags[@]}" "$@" "${dirs[@]}"
