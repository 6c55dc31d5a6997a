# Builds that measure or attack the library rather than ship it. Each has
# its own preset and build directory; at most one is meant to be on.
#
#   MUROX_BUILD_BENCH  Google Benchmark programs in bench/ (native only).
#   MUROX_BUILD_FUZZ   libFuzzer programs in fuzz/. Needs clang: everything
#                      of the project (library, framework, registry fake) is
#                      compiled with coverage feedback, ASan and UBSan.
#   MUROX_COVERAGE     gcc --coverage on every target, for gcovr.

option(MUROX_BUILD_BENCH "Build the benchmarks in bench/ (native only)" OFF)
option(MUROX_BUILD_FUZZ "Build the libFuzzer targets in fuzz/ (clang)" OFF)
option(MUROX_COVERAGE "Instrument every target for line and branch coverage (gcc)" OFF)

if(MUROX_BUILD_BENCH AND CMAKE_CROSSCOMPILING)
    message(STATUS "Benchmarks are measured natively only; MUROX_BUILD_BENCH ignored")
    set(MUROX_BUILD_BENCH OFF CACHE BOOL "" FORCE)
endif()

if(MUROX_BUILD_FUZZ)
    if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
        message(FATAL_ERROR "MUROX_BUILD_FUZZ needs clang (CC=clang CXX=clang++)")
    endif()
    if(MUROX_SANITIZE)
        message(FATAL_ERROR "MUROX_BUILD_FUZZ brings its own sanitizers; leave MUROX_SANITIZE off")
    endif()
    # fuzzer-no-link gives every object the coverage feedback; only the
    # fuzz programs link libFuzzer's main (see fuzz/CMakeLists.txt).
    # fuzz/coverage-ignore.txt names the code whose branches are not news.
    add_compile_options(
        -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all
        -fno-omit-frame-pointer
        -fsanitize-coverage-ignorelist=${PROJECT_SOURCE_DIR}/fuzz/coverage-ignore.txt)
    add_link_options(-fsanitize=address,undefined)
endif()

if(MUROX_COVERAGE)
    if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
        message(FATAL_ERROR "MUROX_COVERAGE expects gcc (gcov data for gcovr)")
    endif()
    # No optimisation: every source line keeps its own counters.
    add_compile_options(--coverage -O0)
    add_link_options(--coverage)
    # A test child that ends with _exit() writes no counts; with this it
    # can call __gcov_dump() first.
    add_compile_definitions(MUROX_COVERAGE_BUILD=1)
endif()
