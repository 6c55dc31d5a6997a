#!/usr/bin/env bash
# Builds and runs every test suite, in every configuration:
#   native     this machine, optimised, with debug info; also builds the
#              benchmarks and gives them a short smoke run (no timing kept)
#   sanitize   this machine, AddressSanitizer + UndefinedBehaviorSanitizer
#   ppc        32-bit big-endian PowerPC, tests run under qemu-user
#   coverage   this machine, gcc --coverage: the library's tests, then line
#              and branch coverage of the library (xdll/, eventlog/, vdirs/)
#              by gcovr
#   fuzz       clang + libFuzzer: each fuzz target for FUZZ_SECONDS (20);
#              the other configurations replay the fuzz corpora as tests
#   distro     this machine's packages installed, reloaded, upgraded and
#              purged in a minimal Debian bookworm booted under
#              systemd-nspawn (root and the Debian mirror needed; the
#              system is cached under build/distro)
# Usage: ./test.sh [CONFIG...]     (default: all of them)
# Installs missing Debian packages first when run as root; run by anyone
# else, names them in one line and fails. Each configuration turns on the
# tests (and native the benchmarks), so configuring fails too on anything
# missing, naming it.
set -uo pipefail
cd "$(dirname "$0")" || exit 1

cmake/install-deps.sh || exit 1

jobs=$(nproc 2>/dev/null || echo 2)
werror=OFF
[ "${CI:-}" = true ] && werror=ON
configs=("$@")
[ ${#configs[@]} -eq 0 ] && configs=(native sanitize ppc coverage fuzz distro)
fuzz_seconds=${FUZZ_SECONDS:-20}

total_passed=0
total_failed=0
summary=()
status=0

# check NAME PASS-NOTE FAIL-NOTE COMMAND...: one check, whose output is
# shown only when it fails.
check() {
    local name=$1 passed=$2 failed=$3 log start=$SECONDS
    shift 3
    log=$(mktemp)
    if "$@" >"$log" 2>&1; then
        summary+=("$name: PASS$passed, $((SECONDS - start)) s")
    else
        cat "$log"
        summary+=("$name: FAIL ($failed)")
        status=1
    fi
    rm -f "$log"
}

check_format() {
    local files
    files=$(git ls-files '*.cpp' '*.h' 2>/dev/null || find . -path ./build -prune -o \( -name '*.cpp' -o -name '*.h' \) -print)
    # shellcheck disable=SC2086
    check format "" clang-format clang-format --dry-run --Werror $files
    files=$(git ls-files 'CMakeLists.txt' '*/CMakeLists.txt' '*.cmake' 2>/dev/null ||
        find . -path ./build -prune -o \( -name CMakeLists.txt -o -name '*.cmake' \) -print)
    # shellcheck disable=SC2086
    check "cmake format" "" cmake-format cmake-format --check $files
}

# counts JUNIT: "TESTS FAILED SKIPPED" from the first testsuite element
# of ctest's JUnit report, or nothing when there is no report.
counts() {
    local suite
    suite=$({ tr '\n\t' '  ' <"$1"; } 2>/dev/null | grep -m1 -o '<testsuite [^>]*>') || return
    for attr in tests failures skipped; do
        sed -E "s/.* $attr=\"([0-9]+)\".*/\1/;t;s/.*/0/" <<<"$suite"
    done | paste -sd' '
}

# Configures, builds and runs CTest for one configuration; the fuzz one
# runs each fuzz program for FUZZ_SECONDS as its tests. Pass or fail is
# ctest's exit status; the counts come from its JUnit report. Under CI a
# skipped test fails the configuration: there every test can run (as root,
# the system log test gets its private mount namespace). Sets `built`.
run_config() {
    local config=$1 log junit=$PWD/build/$1/junit.xml rc tests failed skipped
    local extra=() start=$SECONDS
    [ "$config" = fuzz ] && extra=(-DMUROX_FUZZ_SECONDS="$fuzz_seconds")
    built=false
    log=$(mktemp)
    if ! cmake --preset "$config" -DMUROX_WERROR=$werror "${extra[@]}" >"$log" 2>&1; then
        cat "$log"; summary+=("$config: FAIL (configure)"); status=1; rm -f "$log"; return 1
    fi
    if ! cmake --build --preset "$config" -j "$jobs" >"$log" 2>&1; then
        grep -E -B2 -A8 'error|Error' "$log" | head -n 80
        summary+=("$config: FAIL (build)"); status=1; rm -f "$log"; return 1
    fi
    rm -f "$log" "$junit"
    built=true
    ctest --preset "$config" -j "$jobs" --output-junit "$junit"
    rc=$?
    read -r tests failed skipped < <(counts "$junit")
    tests=${tests:-0} failed=${failed:-0} skipped=${skipped:-0}
    total_passed=$((total_passed + tests - failed - skipped))
    total_failed=$((total_failed + failed))
    local note="$((tests - failed - skipped)) passed, $failed failed, $skipped skipped of $tests"
    note+="; $((SECONDS - start)) s to build and run"
    if [ "$rc" -ne 0 ] || [ ! -s "$junit" ]; then
        summary+=("$config: FAIL (ctest exit $rc; $note)"); status=1
    elif [ "$skipped" -ne 0 ] && [ "${CI:-}" = true ]; then
        total_failed=$((total_failed + skipped))
        summary+=("$config: FAIL ($note; CI runs every test)"); status=1
    else
        summary+=("$config: PASS ($note)")
    fi
}

# clang-tidy on each file given, as many at once as there are processors.
tidy_all() {
    printf '%s\n' "$@" | xargs -P "$jobs" -n 4 clang-tidy --quiet -p build/native/tidy
}

# The library's and the host's sources against .clang-tidy, with the native
# build's compile commands; the host faces untrusted peers as much as the
# library does.
check_tidy() {
    local files
    files=$(git ls-files 'xdll/*.cpp' 'eventlog/*.cpp' 'vdirs/*.cpp' 'host/*.cpp')
    # clang reads gcc's commands: a gcc-only flag (the ABI baselines'
    # -femit-class-debug-always) would be an error to it.
    mkdir -p build/native/tidy
    sed 's/ -femit-class-debug-always//g' build/native/compile_commands.json \
        >build/native/tidy/compile_commands.json
    # shellcheck disable=SC2086
    check tidy "" clang-tidy tidy_all $files
}

# Every benchmark once, briefly: they still build and run. Timings from a
# shared CI machine mean nothing; BENCHMARKS.md says how to measure.
smoke_bench() {
    local bench=build/native/bench/murox_bench
    [ -x "$bench" ] || return
    check bench " (smoke run, timings not kept)" "smoke run" \
        "$bench" --benchmark_min_time=0.002 --benchmark_color=false
}

# Line and branch coverage of the library by the native tests. Branches
# that only the compiler's exception handling makes are left out.
report_coverage() {
    local args=(--root . --object-directory build/coverage
                --filter 'xdll/' --filter 'eventlog/' --filter 'vdirs/'
                --exclude-throw-branches --exclude-unreachable-branches)
    echo "==== coverage: lines ===="
    gcovr "${args[@]}" --txt || { summary+=("coverage: FAIL (gcovr)"); status=1; return; }
    echo "==== coverage: branches ===="
    gcovr "${args[@]}" --txt --branches
    # gcovr replaces the file it writes, so the report goes to a file of
    # the build's own: given /dev/null, it would replace the device.
    summary+=("coverage report: $(gcovr "${args[@]}" --print-summary \
                                      --txt build/coverage/summary.txt |
                                   tr '\n' ' ' | sed -E 's/ +/ /g')")
}

# The distribution's test waits on the network, the booted system and its
# services more than it computes: run beside the other configurations, it
# costs the run little more than its share of the processors. Its output,
# summary and counts join the rest at the end.
distro_apart=false
if [ ${#configs[@]} -gt 1 ] && [[ " ${configs[*]} " == *" distro "* ]]; then
    distro_apart=true
    # A summary an earlier run left is no verdict on this one.
    mkdir -p build && rm -f build/distro-apart.summary
    (
        summary=() total_passed=0 total_failed=0 status=0
        run_config distro
        printf '%s\n' "$total_passed $total_failed $status" "${summary[@]}" >build/distro-apart.summary
    ) >build/distro-apart.log 2>&1 &
    distro_pid=$!
fi

check_format
for config in "${configs[@]}"; do
    [ "$config" = distro ] && $distro_apart && continue
    # Counts from an earlier run would add up with this one's.
    [ "$config" = coverage ] && [ -d build/coverage ] && find build/coverage -name '*.gcda' -delete
    run_config "$config"
    [ "$config" = native ] && [ -f build/native/compile_commands.json ] && check_tidy
    [ "$config" = native ] && $built && smoke_bench
    # A failing test still leaves counts worth seeing; a failed build not.
    [ "$config" = coverage ] && $built && report_coverage
done

if $distro_apart; then
    wait "$distro_pid"
    echo "==== distro (run beside the others) ===="
    cat build/distro-apart.log
    { read -r passed failed failing && mapfile -t lines; } <build/distro-apart.summary ||
        { passed=0 failed=0 failing=1 lines=("distro: FAIL (no summary)"); }
    total_passed=$((total_passed + passed)) total_failed=$((total_failed + failed))
    [ "$failing" -ne 0 ] && status=1
    summary+=("${lines[@]}")
fi

echo
echo "==== summary ===="
printf '%s\n' "${summary[@]}"
echo "$total_passed passed, $total_failed failed, in $SECONDS s"
exit $status
