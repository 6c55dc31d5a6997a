#!/usr/bin/env bash
# The bash completion of murox offers what murox itself says it takes: the
# options of its usage (each also in the manual page), and in the line of
# -e the words the console completes: the command words of "help", the
# switches of "xdll", and after those that take a name the names of the
# configuration's extension libraries.
# Usage: CheckCompletion.sh MUROX CONFIG COMPLETION MANPAGE
set -uo pipefail
murox=$1 completion=$3 manpage=$4
# shellcheck source=Checks.sh
source "$(dirname "$0")/Checks.sh"
# A copy: the configuration is locked by whichever murox uses it, and other
# tests use the default one at the same time.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
config=$work/murox.conf
cp "$2" "$config" && mkdir "$work/run" || exit 1
export STATE_DIRECTORY=$work/state # the crash guard's, not the machine's

# shellcheck source=/dev/null
source "$completion" || die "cannot source $completion"

# completes STRIP WORD...: what Tab offers after "murox WORD...", each
# read back by the shell as readline inserts it (after the quote that the
# last word opened, which it then closes), without STRIP at its start,
# sorted, on one line. Whatever the shell would run on the way runs, in
# $work/run.
completes() {
    local strip=$1 last=${!#} quote='' reply
    shift
    COMP_WORDS=(murox "$@")
    COMP_CWORD=$#
    COMPREPLY=()
    _murox
    [[ $last == [\"\']* ]] && quote=${last:0:1}
    for reply in "${COMPREPLY[@]}"; do
        # shellcheck disable=SC2154 # word is assigned by the eval
        (cd "$work/run" && eval "word=$quote$reply$quote" && printf '%s\n' "$word")
    done | sed "/^\$/d; s/^$strip//" | sort | paste -sd' '
}
usage=$("$murox" --help) || die "murox --help"
options=$(grep -oE '(^|[[ ])(--[a-z-]+|-e)' <<<"$usage" | tr -d '[ ' | sort -u | paste -sd' ')
is "options" "$options" completes '' -
for option in $options; do
    grep -qF -- "$(sed 's/-/\\-/g' <<<"$option")" "$manpage" || bad "the manual page lacks $option"
done

help=$("$murox" --config "$config" -e help 2>/dev/null) || die "murox -e help"
# The help's entries: " WORD [ARGUMENT...]  what it does", indented by one.
commands=$(awk '/^ [a-z]/ { print $1 }' <<<"$help" | sort -u | paste -sd' ')
switches=$(awk '/^ xdll -/ { print $2 }' <<<"$help" | sort -u | paste -sd' ')
named=$(awk '/^ xdll -[a-z] <name>/ && !/<path>/ { print $2 }' <<<"$help" | sort -u | paste -sd' ')
names=$("$murox" --config "$config" -e xdll 2>/dev/null | awk '/^   Path:/ { print previous } { previous = $0 }' |
        sort | paste -sd' ')
[ -n "$commands" ] && [ -n "$switches" ] && [ -n "$named" ] && [ -n "$names" ] ||
    { echo "FAIL: murox's help or listing unreadable:"; echo "$help"; exit 1; }

is "command words" "$commands" completes '' -e ''
is "after help" "$commands" completes 'help ' -e 'help '
is "xdll switches" "$switches" completes 'xdll ' -e 'xdll '
for switch in -l -u -f -r -a -d; do
    wanted=$([[ " $named " == *" $switch "* ]] && echo "$names")
    is "after xdll $switch" "$wanted" completes "xdll $switch " --config "$config" -e "xdll $switch "
done

# Names a member may give: what the completion inserts is read back by the
# shell as it is, whatever quote the line opened; a name a terminal cannot
# show is not offered, nor one with "!" in double quotes, where bash would
# take it for history.
hostile=$work/hostile.conf
printf '[extdll %s]\npath = /x\n' 'h$(touch${IFS}FILE)' "it's" 'a"b\c`d' $'e\ex' 'bang!' >"$hostile"
for quote in '"' "'" ''; do
    for begun in h i a e b; do
        wanted=$(sed -n 's/^\[extdll \(.*\)\]$/\1/p' "$hostile" | grep -F -- "$begun" | grep -v $'\e' |
                 { [ "$quote" = '"' ] && grep -vF '!' || cat; } | grep "^$begun" | sort | paste -sd' ')
        typed=$quote'xdll -d '$begun
        [ -z "$quote" ] && typed='xdll\ -d\ '$begun
        is "after $typed" "$wanted" completes 'xdll -d ' --config "$hostile" -e "$typed"
    done
done
[ ! -e "$work/run/FILE" ] || bad "a name's command substitution ran"

[ "$failed" -eq 0 ]
