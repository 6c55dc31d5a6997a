#!/usr/bin/env bash
# The console as an operator meets it, in tmux; every wait is bounded and a timeout fails.
# Usage: ConsoleTest.sh DEFAULT_CONFIG MUROX
set -u
config=$1 murox=$2
tmp=$(mktemp -d)
sessions=0
sock=$tmp/tmux0
daemon=
trap 'tmux -S "$sock" kill-server 2>/dev/null; [ -n "$daemon" ] && kill "$daemon"; rm -rf "$tmp"' EXIT
home=$tmp/home
mkdir "$home"
# A copy: whichever murox uses the configuration locks it.
cp "$config" "$tmp/murox.conf" || exit 1
config=$tmp/murox.conf
export STATE_DIRECTORY=$tmp/state # the crash guard's, not the machine's
history=$home/.murox_history
failed=0

screen() { tmux -S "$sock" capture-pane -p; }
keys() { tmux -S "$sock" send-keys "$@"; }
# The last line that is not blank (tmux drops trailing blanks), and the
# cursor's column.
last() { screen | grep -v '^$' | tail -n 1; }
column() { tmux -S "$sock" display -p '#{cursor_x}'; }
fail() {
    echo "FAIL: $1"
    screen | grep -v '^$' | tail -n 12 | sed 's/^/    | /'
    failed=$((failed + 1))
}
# await DESCRIPTION COMMAND...: until the command succeeds, for 10 s at most.
await() {
    local what=$1
    shift
    for _ in $(seq 200); do
        "$@" && { echo "ok: $what"; return 0; }
        sleep 0.05
    done
    fail "$what"
    return 1
}
# step 'KEY...' DESCRIPTION COMMAND...: the keys (quoted as for the shell) sent, then await.
step() { eval "keys -- $1"; await "${@:2}"; }
# check DESCRIPTION COMMAND...: the command succeeds now.
check() { if "${@:2}"; then echo "ok: $1"; else fail "$1"; fi; }
# The last line is the prompt with TEXT typed, the cursor at COLUMN.
typed() {
    local line="murox> $1"
    [ "$(last)" = "${line% }" ] && { [ -z "${2:-}" ] || [ "$(column)" = "$2" ]; }
}
shows() { screen | grep -qF -- "$1"; }
# Whether the daemon is stopped (by SIGSTOP), and whether one of its
# connections holds bytes it has not read.
stopped() { [ "$(sed 's/.*) //' "/proc/$daemon/stat" | cut -d ' ' -f 1)" = T ]; }
unread() { ss -xpH | grep -F "pid=$daemon," | awk '$2 == "ESTAB" && $3 > 0 { found = 1 } END { exit !found }'; }
ended() { shows "[exit 0]"; }

# launch COMMAND: a new terminal running it.
launch() {
    tmux -S "$sock" kill-server 2>/dev/null
    sessions=$((sessions + 1))
    sock=$tmp/tmux$sessions
    # tmux runs the line with $SHELL, which under CI may be /bin/sh.
    SHELL=$BASH tmux -S "$sock" -f /dev/null new-session -d -x 120 -y 40 "$1"
}
# A fresh murox in a new terminal of type TERM (screen), at HOME, its
# standard error into the file ERRORS if given; the pane stays when it ends.
start() {
    launch "env HOME='$home' TERM=${1:-screen} '$murox' --config '$config'${2:+ 2>'$2'}; echo \"[exit \$?]\"; sleep 600"
    await "session $sessions: the prompt" typed ""
}

# An older history of more lines than are kept.
{
    echo _HiStOrY_V2_
    seq -f 'old%g' 1100
} >"$history"

# Key bindings (a macro on Ctrl-G) from a file others may write are not obeyed, as none of another
# user's are; the user's own are.
(umask 0 && echo 'bind -s ^G Z' >"$home/.editrc")
start screen "$tmp/said"
step 'C-g x' "key bindings others may write are not obeyed, and said so, to a file too" \
    eval 'typed x && grep -qF "murox: key bindings $home/.editrc not read: others may write it" "$tmp/said"'
step 'BSpace xd Tab' "Tab completes a command word" typed "xdll" 12
step '"-l he" Tab' "Tab completes an extension name" typed "xdll -l hello" 21
step 'Enter' "the line runs" eval '[ "$(screen | grep -c "^murox>")" = 2 ] && typed ""'
step 'Up' "Up recalls the line" typed "xdll -l hello"
# The terminal drops what it holds unread at Ctrl-C: type, wait, then hit it.
step 'C-u "xdll -u hello"' "Ctrl-U kills the line" typed "xdll -u hello" 20
step 'C-c' "Ctrl-C abandons the line" eval 'shows "murox> xdll -u hello^C" && typed ""'
step '"help quit" Enter' "the console goes on after Ctrl-C" shows "leave murox"
shows "hello: term" && fail "the abandoned line ran"
step 'C-d' "Ctrl-D on an empty line leaves" eval 'ended && shows "hello: term"'

await "the history file is private" eval '[ "$(stat -c %a "$history")" = 600 ]'
entries=$(tail -n +2 "$history") newest=$'xdll\\040-l\\040hello\\040\nhelp\\040quit'
check "the history keeps the newest 1000 lines entered, the abandoned one not" eval '[ "$(wc -l <<<"$entries")" = 1000 ] &&
    [ "$(head -n 1 <<<"$entries")" = old103 ] && [ "$(tail -n 2 <<<"$entries")" = "$newest" ]'

chmod 644 "$home/.editrc"
start
step 'C-g' "the user's own key bindings are obeyed" typed "Z"
step 'BSpace C-r "help q"' "Ctrl-R finds a line" eval 'last | grep -qF "help q"'
step 'Enter' "... and Enter runs it" eval 'shows "leave murox" && typed ""'
step 'Up' "the history survives a restart" typed "help quit"
step 'Up' "... all of it" typed "xdll -l hello"
step 'C-u quit Enter' "quit leaves" ended

# Suspended and resumed from the operator's shell: the line comes back, editable.
launch "env HOME='$home' TERM=screen PS1='$ ' bash --norc --noprofile -i"
await "a shell" eval '[ "$(last)" = "\$" ]'
step "\"'$murox' --config '$config'\" Enter" "murox started from it" typed ""
step '"xdll -l"' "... a line typed" typed "xdll -l"
step 'C-z' "Ctrl-Z suspends murox" shows "Stopped"
step 'fg Enter' "fg draws the line again" typed "xdll -l" 14
step '" he" Tab' "... and edits it" typed "xdll -l hello" 21
step 'C-u quit Enter' "... until quit" eval '[ "$(last)" = "\$" ]'

# A terminal that cannot edit: plain lines, no history; the end of input ends the prompt's line.
rm "$history"
start dumb
step '"help quit" Enter' "a dumb terminal reads plain lines" eval '[ "$(screen | grep -c "^murox>")" = 2 ]'
step 'C-d' "... and its end ends the prompt's line" eval 'ended && screen | grep -qx "hello: term"'
[ -e "$history" ] && fail "a dumb terminal keeps no history"

# Standard input from a pipe: the last line without '\n' is read too; no history is kept.
other=$tmp/other
mkdir "$other"
printf 'xdll -u hello\nhelp quit' | HOME=$other "$murox" --config "$config" >"$tmp/out" 2>&1
check "a session from a pipe keeps no history" \
    eval '[ ! -e "$other/.murox_history" ] && grep -q "leave murox" "$tmp/out"'

# A daemon's console: completion from its words; an event is shown above the typed line.
ctl=$tmp/run/murox.ctl
# (A name with a control character cannot be configured: the daemon
# refuses such a file, so none is offered.)
cat "$config" >"$tmp/daemon.conf"
# A listing longer than the console reads at once: its answer comes in pieces.
for i in $(seq 400); do printf '[extdll x%s]\npath = /nonexistent/x%s.so\nload = 0\n' "$i" "$i"; done >>"$tmp/daemon.conf"
# serve WHAT: a daemon on the copy; remote: a console to it in a new terminal.
serve() {
    "$murox" --daemon --config "$tmp/daemon.conf" --socket "$ctl" >"$tmp/daemon.log" 2>&1 &
    daemon=$!
    await "$1" grep -q "^listening on" "$tmp/daemon.log"
}
# remote WHAT [TERM]: a console to it in a new terminal, at its prompt.
remote() {
    launch "env HOME='$home' TERM=${2:-screen} '$murox' --remote --socket '$ctl'; echo \"[exit \$?]\"; sleep 600"
    await "$1" typed ""
}
serve "a daemon"
remote "a remote console"
step '"xdll -l he" Tab' "Tab completes the daemon's extension names" typed "xdll -l hello" 21
keys -- " x" BSpace BSpace
"$murox" --remote --socket "$ctl" -e "xdll -u hello" >/dev/null
await "another console's event shows above the typed line" \
    eval 'shows "hello: term" && typed "xdll -l hello" 21'
[ "$(screen | grep -c "^murox>")" = 1 ] || fail "... drawn once"
step 'Enter' "the line then runs in the daemon" eval 'shows "hello: init" && typed ""'
step 'C-d' "the end of input leaves the console" ended

# What the daemon sends reaches a terminal with its control characters shown as text.
remote "another remote console"
evil=$'/x/\e[7m/x.so'
# (That console's line fails: the reason goes to its standard error.)
"$murox" --remote --socket "$ctl" -e "xdll -a evil $evil" >"$tmp/piped-out" 2>"$tmp/piped"
[ -s "$tmp/piped-out" ] && fail "a failed line's reason is not on standard output"
await "an event's escape sequence shows as text" shows 'cannot read /x/\x1b[7m/x.so'
grep -qF 'cannot read /x/\x1b[7m/x.so' "$tmp/piped" ||
    fail "... and the daemon's record shows it as text through a pipe too"
step 'xdll Enter' "... an answer's too" eval "shows 'Path:   /x/\\x1b[7m/x.so'"
# "evil" came with another console's line: the words it changed came too.
step '"xdll -l e" Tab' "a name with a control character is not offered" typed "xdll -l evil"
# Tab completes from the words the console holds: a stopped daemon holds up no key.
kill -STOP "$daemon"
step 'C-u "xdll -l h" Tab' "... Tab completes while the daemon is stopped" typed "xdll -l hello" 21
kill -CONT "$daemon"

# A daemon that does not answer: Ctrl-C abandons the wait, and its answer is never shown.
# Ctrl-C waits until the line is unread in the daemon's socket, else it would drop the line.
# A terminal that cannot edit: the console reads what is typed while it waits.
remote "a remote console on a terminal that cannot edit" dumb
kill -STOP "$daemon"
await "the daemon is stopped" stopped
unread && fail "the stopped daemon holds bytes unread before the line"
step 'xdll Enter' "a line the stopped daemon does not answer" eval '[ "$(last)" = "murox> xdll" ]'
await "... the console sent it" unread
# A line typed ahead that the console read (the terminal no longer holds it) goes with the answer.
# (The console: murox, the child of the pane's shell. Each process read in turn: one may end
# while the others are read.)
shell=$(tmux -S "$sock" display -p '#{pane_pid}') console=
for stat in /proc/[0-9]*/stat; do
    read -r line <"$stat" 2>/dev/null || continue
    read -r -a fields <<<"${line##*) }"
    [[ $line == *" (murox) "* && ${fields[1]} == "$shell" ]] && console=${stat//[!0-9]/}
done
taken() { awk -v least="$1" '$1 == "rchar:" { exit !($2 >= least) }' "/proc/$console/io"; }
before=$(awk '$1 == "rchar:" { print $2 }' "/proc/$console/io")
step '"xdll -u hello" Enter' "... a line typed ahead is read" taken $((before + 14))
step 'C-c' "... Ctrl-C abandons the wait" eval 'shows "murox: answer abandoned" && typed ""'
kill -CONT "$daemon"
step '"help quit" Enter' "... the next line is answered" shows "leave murox"
shows "Status:" && fail "... the abandoned answer is not shown, in any of its pieces"
shows "hello: term" && fail "... nor the line typed ahead run"
step 'quit Enter' "quit leaves the console with status 0" ended
kill -TERM "$daemon" && wait "$daemon" || fail "the daemon stops on SIGTERM with status 0"
daemon=

# A restart under an operator's console keeps the typed line.
greetings() { [ "$(screen | grep -c "^murox: connected to the daemon at $ctl, pid ")" = "$1" ]; }
serve "a daemon again"
remote "a console to it"
greetings 1 || fail "... greeted once"
step '"help qu"' "... a line being typed" typed "help qu" 14
kill -TERM "$daemon" && wait "$daemon" || fail "the daemon stops on SIGTERM"
daemon=
await "the console says the daemon went away" \
    shows "murox: waiting for the daemon to come back (Ctrl-C gives up)"
serve "the daemon restarted"
await "... the console greets it, the line still typed" eval 'greetings 2 && typed "help qu" 14'
step 'it Enter' "... and the line runs in it" eval 'shows "leave murox" && typed ""'
# (Ctrl-C giving up the wait for a daemon that does not come back is the session's unit tests'.)

echo "$failed failed"
[ "$failed" -eq 0 ]
