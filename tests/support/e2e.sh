# Shared set-up of the whole-program tests in bash: a private folder, the processes the
# test starts (stopped by their ids when it ends), free loopback ports, waiting, and a
# private Xvfb. Sourced after setting e2e_name (the folder's and the failure shot's name).
#
#   fail TEXT             says why, keeps a screenshot (and e2e_on_fail's output), exits 1
#   missing PROGRAM PKG   under CI a failure, elsewhere a skip
#   e2e_tmpdir [MODE]     makes $tmp (mode 755 unless told) and the clean-up on exit
#   pids+=($!)            a process the clean-up stops
#   free_port, port_open PORT, wait_for SECONDS COMMAND...
#   e2e_xvfb              starts Xvfb on a free display and exports DISPLAY
# E2E_KEEP=1 keeps the folder for a look afterwards.

e2e_on_fail() { :; }

fail() {
    echo "FAIL: $*" >&2
    # What the screen showed, kept beside the test's other output.
    [ -n "${DISPLAY:-}" ] && [ -n "${tmp:-}" ] &&
        import -window root "${DW_TEST_TMP:-/tmp}/${e2e_name}-failed.png" 2>/dev/null
    e2e_on_fail >&2
    exit 1
}

missing() {
    if [ -n "${CI:-}" ] && [ "${CI}" != 0 ] && [ "${CI}" != false ]; then
        fail "$1 is not installed (Debian package $2)"
    fi
    echo "SKIP: $1 is not installed (Debian package $2)"
    exit 0
}

pids=()
e2e_cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
    for p in "${pids[@]}"; do
        for _ in $(seq 50); do kill -0 "$p" 2>/dev/null || break; sleep 0.1; done
        kill -9 "$p" 2>/dev/null
    done
    [ -n "${E2E_KEEP:-}" ] || [ -z "${tmp:-}" ] || rm -rf "$tmp"
}

e2e_tmpdir() {
    tmp=$(mktemp -d "${DW_TEST_TMP:-/tmp}/${e2e_name}.XXXXXX") || exit 1
    chmod "${1:-755}" "$tmp"
    trap e2e_cleanup EXIT
}

free_port() {
    local p
    for _ in $(seq 200); do
        p=$((20000 + RANDOM % 30000))
        (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null || { echo "$p"; return; }
    done
}

wait_for() { # seconds, command...
    local t=$1
    shift
    for _ in $(seq $((t * 10))); do "$@" && return 0; sleep 0.1; done
    return 1
}

port_open() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

e2e_xvfb() {
    Xvfb -displayfd 6 -screen 0 1280x1024x24 -nolisten tcp >"$tmp/xvfb.log" 2>&1 6>"$tmp/xvfb.display" &
    pids+=($!)
    wait_for 20 test -s "$tmp/xvfb.display" || fail "Xvfb did not start"
    export DISPLAY=:$(head -1 "$tmp/xvfb.display")
}
