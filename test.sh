#!/usr/bin/env bash
# Builds and runs every test suite, in every configuration:
#   native     this machine, optimised, with debug info; also builds the
#              benchmarks and gives them a short smoke run (no timing kept)
#   sanitize   this machine, AddressSanitizer + UndefinedBehaviorSanitizer
#   ppc        32-bit big-endian PowerPC, tests run under qemu-user
#   coverage   this machine, gcc --coverage: the tests, then line and branch
#              coverage of the library (xdll/, eventlog/, vdirs/) by gcovr;
#              the export check is left out there, as gcov's runtime adds
#              symbols to the library
#   fuzz       clang + libFuzzer: each fuzz target for FUZZ_SECONDS (60)
# Usage: ./test.sh [CONFIG...]     (default: all of them)
# Installs missing Debian packages first when run as root.
set -uo pipefail
cd "$(dirname "$0")"

cmake/install-deps.sh || exit 1

jobs=$(nproc 2>/dev/null || echo 2)
werror=OFF
[ "${CI:-}" = true ] && werror=ON
configs=("$@")
[ ${#configs[@]} -eq 0 ] && configs=(native sanitize ppc coverage fuzz)
fuzz_seconds=${FUZZ_SECONDS:-60}

total_passed=0
total_failed=0
summary=()
status=0

# check NAME PASS-NOTE FAIL-NOTE COMMAND...: one check, whose output is
# shown only when it fails.
check() {
    local name=$1 passed=$2 failed=$3 log
    shift 3
    log=$(mktemp)
    if "$@" >"$log" 2>&1; then
        summary+=("$name: PASS$passed")
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
}

# Sets `built` to whether the configuration built; returns nonzero on any
# failure.
run_config() {
    local config=$1 log
    built=false
    log=$(mktemp)
    if ! cmake --preset "$config" -DMUROX_WERROR=$werror >"$log" 2>&1; then
        cat "$log"; summary+=("$config: FAIL (configure)"); status=1; rm -f "$log"; return 1
    fi
    if ! cmake --build --preset "$config" -j "$jobs" >"$log" 2>&1; then
        grep -E -B2 -A8 'error|Error' "$log" | head -n 80
        summary+=("$config: FAIL (build)"); status=1; rm -f "$log"; return 1
    fi
    built=true
    ctest --preset "$config" -j "$jobs" 2>&1 | tee "$log"
    local rc=${PIPESTATUS[0]} line total failed
    line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
    rm -f "$log"
    total=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line")
    failed=$(sed -E 's/.*passed, ([0-9]+) tests? failed.*/\1/' <<<"$line")
    total=${total:-0}
    failed=${failed:-0}
    total_passed=$((total_passed + total - failed))
    total_failed=$((total_failed + failed))
    if [ "$rc" -ne 0 ] || [ "$total" -eq 0 ]; then
        summary+=("$config: FAIL ($((total - failed)) passed, $failed failed of $total)"); status=1
        return 1
    else
        summary+=("$config: PASS ($total tests)")
    fi
}

# The library's own sources against .clang-tidy, with the native build's
# compile commands.
check_tidy() {
    local files
    files=$(git ls-files 'xdll/*.cpp' 'eventlog/*.cpp' 'vdirs/*.cpp')
    # shellcheck disable=SC2086
    check tidy "" clang-tidy clang-tidy --quiet -p build/native $files
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

# Builds the libFuzzer targets with clang and runs each for a bounded time
# on a scratch copy of its checked-in corpus; any crash, leak or broken
# rule fails the step and leaves the input under build/fuzz/.
run_fuzz() {
    local log target corpus
    log=$(mktemp)
    if ! cmake --preset fuzz -DMUROX_WERROR=$werror >"$log" 2>&1 ||
       ! cmake --build --preset fuzz -j "$jobs" >"$log" 2>&1; then
        grep -E -B2 -A8 'error|Error' "$log" | head -n 80
        summary+=("fuzz: FAIL (build)"); status=1; rm -f "$log"; return
    fi
    for target in xdll vdirs; do
        corpus=$(mktemp -d)
        local dict=()
        [ -f "fuzz/$target.dict" ] && dict=(-dict="fuzz/$target.dict")
        if build/fuzz/fuzz/fuzz_$target "${dict[@]}" -max_total_time="$fuzz_seconds" \
               -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
               -artifact_prefix=build/fuzz/ "$corpus" "fuzz/corpus/$target" >"$log" 2>&1; then
            summary+=("fuzz $target: PASS ($(grep -E -o 'Done [0-9]+ runs' "$log" | tail -n 1))")
        else
            tail -n 60 "$log"
            summary+=("fuzz $target: FAIL"); status=1
        fi
        rm -rf "$corpus"
    done
    rm -f "$log"
}

check_format
for config in "${configs[@]}"; do
    if [ "$config" = fuzz ]; then
        run_fuzz
        continue
    fi
    # Counts from an earlier run would add up with this one's.
    [ "$config" = coverage ] && [ -d build/coverage ] && find build/coverage -name '*.gcda' -delete
    run_config "$config"
    [ "$config" = native ] && [ -f build/native/compile_commands.json ] && check_tidy
    [ "$config" = native ] && $built && smoke_bench
    # A failing test still leaves counts worth seeing; a failed build not.
    [ "$config" = coverage ] && $built && report_coverage
done

echo
echo "==== summary ===="
printf '%s\n' "${summary[@]}"
echo "$total_passed passed, $total_failed failed"
exit $status
