#!/usr/bin/env bash
# Runs every input of a committed corpus once through a fuzz target (no fuzzing):
#   fuzz/replay.sh TARGET_EXECUTABLE CORPUS_DIR
# Fails when an input crashes, leaks, hangs or trips UndefinedBehaviorSanitizer, and when
# the corpus is missing or empty (every target keeps a seed corpus).
set -euo pipefail
target=$1
corpus=$2
name=$(basename "$target")
if [ ! -d "$corpus" ]; then
    echo "replay: $name has no seed corpus; add one at $corpus (see fuzz/README.md)" >&2
    exit 1
fi
mapfile -d '' inputs < <(find "$corpus" -type f -print0 | sort -z)
if [ "${#inputs[@]}" -eq 0 ]; then
    echo "replay: the corpus $corpus of $name is empty" >&2
    exit 1
fi
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
export ASAN_OPTIONS=${ASAN_OPTIONS:-halt_on_error=1:detect_leaks=1}
# libFuzzer runs the files given as arguments one by one and writes nothing.
log=$(mktemp)
trap 'rm -f "$log"' EXIT
rc=0
"$target" -timeout=60 -rss_limit_mb=4096 "${inputs[@]}" >"$log" 2>&1 || rc=$?
if [ "$rc" -ne 0 ]; then
    # The last "Running:" line names the input that failed.
    cat "$log" >&2
    echo "replay: $name failed (exit $rc) on an input of $corpus" >&2
    exit "$rc"
fi
echo "replay: $name ran ${#inputs[@]} inputs of $corpus"
