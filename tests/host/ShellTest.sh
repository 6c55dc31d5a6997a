#!/usr/bin/env bash
# End-to-end tests of the murox shell on a copy of the default configuration: a transcript of
# command lines and what each must print, then what a transcript cannot say (a full standard
# output, another user, a terminal, a second murox, a private /dev).
# Usage: ShellTest.sh DEFAULT_CONFIG SAMPLE_DIR [EMULATOR...] MUROX
set -u
template=$1 ext=$2
shift 2
murox=("$@")
tmp=$(mktemp -d) pid='' failed=0
trap 'kill "$pid" 2>/dev/null; rm -rf "$tmp"' EXIT
conf=$tmp/murox.conf
# The crash guard's files, the test's own.
export STATE_DIRECTORY=$tmp/state

fail() {
    echo "FAIL: $1"
    failed=$((failed + 1))
}
# run ARGS...: the program, given 30 s at most, its output $tmp/out unless `to` names another
# file; sets rc, out and err.
run() {
    timeout -k 5 30 "${murox[@]}" "$@" >"${to:-$tmp/out}" 2>"$tmp/err"
    rc=$?
    out=$(cat "$tmp/out"; echo x) && out=${out%x}
    # A coverage build run as another user cannot write its counters, and
    # says so: that is the build's, not the program's.
    err=$(grep -v '^profiling:.*\.gcda:' "$tmp/err")
}
# expect NAME STATUS STDOUT STDERR: the last run's, compared exactly.
expect() {
    if [ "$rc" = "$2" ] && [ "$out" = "$3" ] && [ "$err" = "$4" ]; then
        echo "ok: $1"
    else
        fail "$1 (exit $rc, expected $2)"
        diff <(printf '%s' "$3") <(printf '%s' "$out") | head -n 40
        diff <(printf '%s\n' "$4") <(printf '%s\n' "$err") | head -n 10
    fi
}
# transcript: from standard input, cases of a line "$ ARGS" (murox's arguments, quoted as in
# bash) and what follows it: its input ("< LINE"), its standard output, its standard error
# ("! LINE"), its status ("? N", else 0). "% COMMAND" runs a command of this script's between.
# The input comes through a pipe.
transcript() {
    local line args='' input='' output='' errors='' status=0 more=0
    while [ "$more" = 0 ]; do
        IFS= read -r line || more=1
        if [ "$more" = 1 ] || [[ $line == '$ '* || $line == '% '* ]]; then
            if [ -n "$args" ]; then
                eval "run $args" < <(printf '%s' "$input")
                expect "murox $args" "$status" "$output" "${errors%$'\n'}"
            fi
            args='' input='' output='' errors='' status=0
            [[ $line == '% '* ]] && eval "${line#% }"
            [[ $line == '$ '* ]] && args=${line#\$ }
        elif [[ $line == '< '* ]]; then
            input+=${line#< }$'\n'
        elif [[ $line == '! '* ]]; then
            errors+=${line#! }$'\n'
        elif [[ $line == '? '* ]]; then
            status=${line#? }
        else
            output+=$line$'\n'
        fi
    done
}
exec </dev/null

# The five lines of one library in the listing.
entry() { printf '%s\n   Path:   %s\n   Web:    %s\n   Load:   %s\n   Status: %s\n' "$@"; }
hello=$ext/libmurox_ext_hello.so broken=$ext/libmurox_ext_broken.so
missing=$ext/libmurox_ext_missing.so idle=$ext/libmurox_ext_idle.so
start="hello: init
broken: init refuses on purpose, a sample of a library that cannot start
extension library 'broken' not loaded: MuroxExtInit of $broken reported failure
extension library 'missing' not loaded: cannot read $missing: No such file or directory"
# The listing's first three libraries as the default configuration leaves them.
started=$(entry hello "$hello" /hello 1 LOADED
    entry broken "$broken" /broken 1 "FAILED TO INITIALIZE/REGISTER"
    entry missing "$missing" "" 1 "FAILED TO LOAD")
listing=$started$'\n'$(entry idle "$idle" /idle 0 "NOT LOADED")
fresh() { cp "$template" "$conf"; }
unchanged='"loaded":[],"unloaded":[],"failed":[],"added":[],"deleted":[],"updated":[]}'

fresh
transcript <<EOF
$ --config $conf -e xdll
$start
$listing
hello: term
$ -e xdll
$start
$listing
hello: term
$ --config $conf -e 'xdll -l idle' -e 'xdll -f idle' -e 'xdll -u idle' -e 'xdll -u idle' -e 'xdll -l idle' -e xdll -e 'xdll -u hello'
$start
idle: init
idle: term
idle: init
idle: term
idle: init
$started
$(entry idle "$idle" /idle 0 LOADED)
hello: term
idle: term
$ --config $conf
< xdll -a extra $idle /extra
< quit
< xdll
$start
idle: init
idle: term
hello: term
$ --config $conf -e xdll
$start
idle: init
$listing
$(entry extra "$idle" /extra 1 LOADED)
idle: term
hello: term
$ --config $conf -e 'xdll -d hello' -e 'xdll -d extra'
$start
idle: init
hello: term
idle: term
% fresh
$ --config $conf -e 'xdll -l nosuch' -e frobnicate -e 'help xdll'
? 3
$start
xdll [ [ -l | -u | -d | -f ] <name> | -r | -a <name> <path> [<web>] ]
Extension DLL admin 
 xdll                            list loaded ext dlls
 xdll -l <name>                  load ext dll
 xdll -u <name>                  unload ext dll 
 xdll -f <name>                  re-load ext dll 
 xdll -r                         re-read config and load/unload ext dlls 
 xdll -a <name> <path> [<web>]   add ext dll to configu and try to load
 xdll -d <name>                  unload and remove ext dll from config
hello: term
! No such ext DLL
! murox: line 1 failed: xdll -l nosuch
! Unknown command 'frobnicate'; "help" lists the commands
! murox: line 2 failed: frobnicate
$ --config $conf --json -e 'xdll -l idle' -e 'xdll -l nosuché' -e 'xdll -l idle'
? 3
{"murox_json":1,"line":"xdll -l idle","ok":true,"changed":true,"reasons":[],"answer":"","events":["idle: init"],"loaded":["idle"],"unloaded":[],"failed":[],"added":[],"deleted":[],"updated":[]}
{"murox_json":1,"line":"xdll -l nosuch\\u00e9","ok":false,"changed":false,"reasons":["No such ext DLL"],"answer":"No such ext DLL\n","events":[],$unchanged
{"murox_json":1,"line":"xdll -l idle","ok":true,"changed":false,"reasons":[],"answer":"","events":[],$unchanged
$(sed 's/^/! /' <<<"$start")
! idle: term
! hello: term
$ -V
murox $MUROX_TEST_VERSION
$ --version
murox $MUROX_TEST_VERSION
$ --check --config $conf
? 1
! murox: $conf:$(grep -n "^path = $missing\$" "$template" | cut -d: -f1): section [extdll missing]: cannot read $missing: No such file or directory
% sed '/^\[extdll broken\]/,\$d' "$template" >"$conf"
$ --check --config=$conf
! murox: $conf: no problems found
% printf '[murox]\nextension_dirs = %s\n# a\n\n; b\n[extdll a]\npath = %s\nlaod = 0\n\n  # c\n[extdll a]\n' "$ext" "$idle" >"$conf"
$ --config $conf -e xdll
? 2
! murox: malformed '$conf', line 11: section [extdll a] repeated
% sed -i '\$d' "$conf" && printf 'x\e[2J = 1\n' >>"$conf"
$ --config $conf
idle: init
idle: term
! murox: warning: $conf:8: section [extdll a]: unknown key 'laod' (a library's keys are path, web, load); ignored
! murox: warning: $conf:11: section [extdll a]: unknown key 'x\x1b[2J' (a library's keys are path, web, load); ignored
% mkfifo "$tmp/fifo"
$ --config $tmp/fifo -e xdll
? 2
! murox: cannot read '$tmp/fifo': not a regular file
EOF

# The samples that fail on purpose say so in the comment above their sections.
for name in broken missing; do
    above=$(grep -B1 -x "\[extdll $name\]" "$template" | head -n 1)
    [[ $above == "#"*"on purpose"* ]] || fail "the comment above [extdll $name] is '$above'"
done
# A write error on standard output is reported: status 1, whatever was written.
fresh
for args in "--config $conf -e xdll" --help --version; do
    # shellcheck disable=SC2086
    to=/dev/full run $args
    [ "$rc" = 1 ] && [ "$err" = "murox: cannot write to standard output: No space left on device" ] ||
        fail "a full standard output for murox $args (exit $rc): $err"
done

# Without XDG_RUNTIME_DIR a user's lock is in its own state directory, where a stranger's
# /tmp/murox-UID is in no one's way (a uid no real user has). Its crash guard is there too.
if [ "$(id -u)" = 0 ]; then
    lonely=$((3000000000 + $$ % 1000000)) && home=$tmp/lonely && stranger=/tmp/murox-$lonely
    mkdir "$home" "$stranger" && chown "$lonely" "$home" && chown nobody "$stranger" && chmod 755 "$tmp"
    cp "$MUROX_TEST_FAULTY/libmurox_test_aborts.so" "$home"
    printf '[extdll aborts]\npath = %s\n' "$home/libmurox_test_aborts.so" >"$home/murox.conf"
    for status in 134 0; do
        env -u XDG_RUNTIME_DIR -u STATE_DIRECTORY HOME="$home" XDG_STATE_HOME=relative setpriv \
            --reuid="$lonely" --regid="$lonely" --clear-groups "${murox[@]}" --config "$home/murox.conf" \
            -e status </dev/null >"$tmp/out" 2>"$tmp/err"
        [ "$?" = "$status" ] || fail "a library that aborts, run $status: $(cat "$tmp/out" "$tmp/err")"
    done
    [[ $(head -n 1 "$tmp/out") == "extension library 'aborts' not loaded: it ended murox pid "*" while it loaded (a crash,"* ]] &&
        grep -qx "libraries_set_aside: aborts" "$tmp/out" || fail "the next start kept it: $(cat "$tmp/out")"
    state=$home/.local/state/murox
    [[ "$(stat -c '%u %a' "$state" "$state"/locks | paste -sd' ')" == "$lonely 700 $lonely 750" &&
        -z "$(ls -A "$state/locks")" ]] || fail "no lock in $state: $(ls -lR "$home")"
    rm -rf "$stranger"
    chmod 700 "$tmp"
fi

# What the configuration holds reaches a terminal as text, a pipe byte for byte.
evil=$'/x\ec\b\b\e]0;owned\a\u202eos.so'
shown='/x\x1bc\x08\x08\x1b]0;owned\x07\xe2\x80\xaeos.so'
printf '[extdll evil]\npath = %s\n' "$evil" >"$conf"
# script runs the line with $SHELL, which may be a shell without $'...'
# quoting (CI runs with /bin/sh): printf %q needs bash to read it back.
terminal() { SHELL=$BASH script -qfec "$(printf '%q ' "${murox[@]}" "$@")" /dev/null </dev/null | tr -d '\r'; }
out=$(terminal --config "$conf" -e xdll -e 'xdll -l nosuch' -e $'frob\e]0;t\a'; echo x) && out=${out%x}
[[ "$out" == *$'\e'* || "$out" == *$'\b'* || "$out" == *$'\u202e'* || "$out" == *$'\a'* ]] &&
    fail "raw control characters reached the terminal: $(printf '%q' "$out")"
[[ "$out" == *"   Path:   $shown"* && "$out" == *"No such ext DLL"* &&
    "$out" == *"Unknown command 'frob\x1b]0;t\x07'"* ]] ||
    fail "the listing on a terminal: $(printf '%q' "$out")"
run --config "$conf" -e xdll
[[ "$out" == *"   Path:   $evil"$'\n'* ]] || fail "the listing through a pipe: $(printf '%q' "$out")"
out=$(terminal --config "$conf" --json)
[[ $out == "murox: --json takes lines given with -e or piped in, not typed on a terminal (try murox --help)"* ]] ||
    fail "--json on a terminal: $out"
run --check --config "$conf"
expect "--check shows a path as text" 1 "" \
    "murox: $conf:2: section [extdll evil]: cannot read $shown: No such file or directory"

# One murox per configuration: a second is refused while the first runs.
fresh
mkfifo "$tmp/session"
"${murox[@]}" --config "$conf" <"$tmp/session" >"$tmp/first" 2>&1 &
pid=$!
exec 3>"$tmp/session"
echo xdll >&3
for _ in $(seq 600); do grep -q "Status: NOT LOADED" "$tmp/first" && break; sleep 0.1; done
run --config "$conf" -e xdll
expect "a second murox on the configuration" 1 "" "murox: $conf is in use by murox pid $pid"
exec 3>&-
wait "$pid"

# A bad command line or configuration: exit 2 and one line that says why, ending in SUFFIX.
refused() {
    local suffix=$1
    shift
    run "$@"
    if [ "$rc" != 2 ] || [ -n "$out" ] || [[ "$err" != "murox: "*"$suffix" || "$err" == *$'\n'* ]]; then
        fail "murox $* (exit $rc, stderr '$err')"
    else
        echo "ok: murox $*: $err"
    fi
}
bad() { refused " (try murox --help)" "$@"; }
# Unknown options, a missing argument, a stray word, then options that do not go together.
for args in --bogus "--config $conf -e" "--config $conf stray" "--daemon --remote" \
    "--check --remote" --follow "--remote --follow -e xdll" "--daemon -e xdll" \
    "--remote --config $conf" "--socket $tmp/s" "--socket-group root" "--daemon --socket=" \
    "--remote --socket-group=root" --syslog=yes "--daemon --syslog=yes" "--daemon --json" "--check --json"; do
    # shellcheck disable=SC2086
    bad $args
done
bad --daemon --socket ''
refused "" --daemon --socket-group no-such-group
refused "" --config "$tmp/none.conf"
printf '[extdll a]\nweb = /a\n' >"$tmp/nopath.conf"
refused "" --config "$tmp/nopath.conf"
printf 'key = v\n' >"$tmp/bad.conf"
refused "" --config "$tmp/bad.conf"
run --help
[ "$rc" = 0 ] && [[ "$out" == "usage: murox "* ]] || fail "--help"

# --syslog warns once when the system log cannot be reached (a private /dev is ours to make).
syslogged() {
    unshare --mount --propagation private -- "$BASH" -c '
        mount -t tmpfs none /dev || exit 99
        [ "$1" = absent ] && { shift; exec "$@"; }
        shift
        exec python3 -c "import socket, subprocess, sys
log = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
log.bind(\"/dev/log\")
status = subprocess.call(sys.argv[1:])
log.setblocking(False)
try:
    while True:
        print(log.recv(4096).decode().split(\"]: \", 1)[1], end=\"\")
except BlockingIOError:
    sys.exit(status)" "$@"' _ "$1" "${murox[@]}" --config "$conf" --syslog -e "xdll -u hello" \
        </dev/null >"$tmp/out" 2>"$tmp/err"
    rc=$?
    out=$(cat "$tmp/out")
    err=$(cat "$tmp/err")
}
fresh
syslogged absent
if [ "$rc" = 99 ]; then
    echo "skipped: --syslog and /dev/log (no private mount namespace here)"
else
    expect "--syslog without a system log warns once" 0 "" \
        "murox: the system log cannot be reached at /dev/log (No such file or directory): its records will be lost"
    syslogged bound
    expect "--syslog with a system log warns of nothing" 0 "$start"$'\n'"hello: term" ""
fi

echo "$failed failed"
[ "$failed" -eq 0 ]
