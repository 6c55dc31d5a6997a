# shellcheck shell=bash disable=SC2154
# Helpers of the end-to-end scripts, sourced by each. The script sets
# `murox` (an array: the emulator first where there is one, then the
# program) and `tmp` (a scratch directory); every failed check counts into
# `failed`, and `report` ends the script with it.
failed=0

# fail WHAT: counts one failed check.
fail() {
    echo "FAIL: $1"
    failed=$((failed + 1))
}

# The five lines of one library in the listing.
entry() { printf '%s\n   Path:   %s\n   Web:    %s\n   Load:   %s\n   Status: %s\n' "$@"; }

# run ARGS...: the program with its stdin empty; sets rc, out and err.
run() {
    "${murox[@]}" "$@" </dev/null >"$tmp/out" 2>"$tmp/err"
    rc=$?
    collect
}
collect() {
    out=$(cat "$tmp/out"; echo x) && out=${out%x}
    # A coverage build run as another user cannot write its counters, and
    # says so: that is the build's, not the program's.
    err=$(grep -v '^profiling:.*\.gcda:' "$tmp/err")
}

# check NAME STATUS EXPECTED_STDOUT [EXPECTED_STDERR]: standard error is
# compared too when it is given (without its last newline).
check() {
    if [ "$rc" != "$2" ] || [ "$out" != "$3" ] || { [ $# -gt 3 ] && [ "$err" != "$4" ]; }; then
        fail "$1 (exit $rc, expected $2)"
        diff <(printf '%s' "$3") <(printf '%s' "$out") | head -n 40
        [ -n "$err" ] && echo "stderr: $err"
    else
        echo "ok: $1"
    fi
}

# A session fed through a pipe: `begin ARGS...` starts the program, `say`
# sends lines, `await TEXT [TENTHS]` waits for text on standard output (a
# minute by default; a text that never comes is a failure), `finish`
# closes the input and waits for the exit.
begin() {
    rm -f "$tmp/in" && mkfifo "$tmp/in"
    "${murox[@]}" "$@" <"$tmp/in" >"$tmp/out" 2>"$tmp/err" &
    pid=$!
    exec 3>"$tmp/in"
}
say() { printf '%s\n' "$@" >&3; }
await() {
    for _ in $(seq "${2:-600}"); do
        grep -qF -- "$1" "$tmp/out" && return 0
        sleep 0.1
    done
    fail "timed out waiting for: $1"
    return 1
}
finish() {
    exec 3>&-
    wait "$pid"
    rc=$?
    pid=
    collect
}

# The count of failed checks, and the script's exit status.
report() {
    echo "$failed failed"
    [ "$failed" -eq 0 ]
}
