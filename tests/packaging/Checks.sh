# shellcheck shell=bash
# Helpers of the packaging checks in shell, sourced by each: a check prints "ok: WHAT" or
# "FAIL: WHAT" (after $label, if the script sets one) and counts into `passed` or `failed`.
passed=0 failed=0
ok() {
    echo "ok: ${label-}$*"
    passed=$((passed + 1))
}
bad() {
    echo "FAIL: ${label-}$*"
    failed=$((failed + 1))
}
die() {
    bad "$*"
    exit 1
}
indent() { sed 's/^/    /'; }

# check WHAT COMMAND...: the command succeeds; else its output is shown and the status is 1.
check() {
    local what=$1 shown
    shift
    shown=$("$@" 2>&1) && ok "$what" && return
    bad "$what"
    indent <<<"$shown"
    return 1
}
# is WHAT WANTED COMMAND...: the command prints WANTED; else the status is 1.
is() {
    local what=$1 wanted=$2 got
    shift 2
    got=$("$@" 2>&1)
    [ "$got" = "$wanted" ] && ok "$what" && return
    bad "$what: '$got', not '$wanted'"
    return 1
}
# poll COMMAND...: the command succeeds within 10 s; await WHAT COMMAND...: a check of that.
poll() {
    local i
    for ((i = 0; i < 50; i++)); do
        "$@" >/dev/null 2>&1 && return 0
        sleep 0.2
    done
    return 1
}
await() {
    local what=$1
    shift
    poll "$@" && ok "$what" || bad "$what"
}
# statuses: from a listing on stdin, "NAME=STATUS" for each library, comma-separated.
statuses() { awk '/^[^ ]/ { n = $0 } /^ +Status:/ { sub(/ *Status: +/, ""); printf "%s%s=%s", s, n, $0; s = "," }'; }
