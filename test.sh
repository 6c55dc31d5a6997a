#!/usr/bin/env bash
# Builds and runs every test suite, in every configuration:
#   native     this machine, optimised, with debug info
#   sanitize   this machine, AddressSanitizer + UndefinedBehaviorSanitizer
#   ppc        32-bit big-endian PowerPC, tests run under qemu-user
# Usage: ./test.sh [CONFIG...]     (default: all of them)
# Installs missing Debian packages first when run as root.
set -uo pipefail
cd "$(dirname "$0")"

cmake/install-deps.sh || exit 1

jobs=$(nproc 2>/dev/null || echo 2)
werror=OFF
[ "${CI:-}" = true ] && werror=ON
configs=("$@")
[ ${#configs[@]} -eq 0 ] && configs=(native sanitize ppc)

total_passed=0
total_failed=0
summary=()
status=0

check_format() {
    local files
    files=$(git ls-files '*.cpp' '*.h' 2>/dev/null || find . -path ./build -prune -o \( -name '*.cpp' -o -name '*.h' \) -print)
    # shellcheck disable=SC2086
    if clang-format --dry-run --Werror $files >format.log 2>&1; then
        summary+=("format: PASS")
    else
        cat format.log
        summary+=("format: FAIL (clang-format)")
        status=1
    fi
    rm -f format.log
}

run_config() {
    local config=$1 log
    log=$(mktemp)
    if ! cmake --preset "$config" -DMUROX_WERROR=$werror >"$log" 2>&1; then
        cat "$log"; summary+=("$config: FAIL (configure)"); status=1; rm -f "$log"; return
    fi
    if ! cmake --build --preset "$config" -j "$jobs" >"$log" 2>&1; then
        grep -E -B2 -A8 'error|Error' "$log" | head -n 80
        summary+=("$config: FAIL (build)"); status=1; rm -f "$log"; return
    fi
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
    if clang-tidy --quiet -p build/native $files >tidy.log 2>&1; then
        summary+=("tidy: PASS")
    else
        cat tidy.log
        summary+=("tidy: FAIL (clang-tidy)")
        status=1
    fi
    rm -f tidy.log
}

check_format
for config in "${configs[@]}"; do
    run_config "$config"
    [ "$config" = native ] && [ -f build/native/compile_commands.json ] && check_tidy
done

echo
echo "==== summary ===="
printf '%s\n' "${summary[@]}"
echo "$total_passed passed, $total_failed failed"
exit $status
