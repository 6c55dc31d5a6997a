# What configuring asks of the machine: a plain configure needs the host's libraries alone; what a
# configuration lacks is named in one line with its apt-get command. Each case in a fresh folder.

cmake_minimum_required(VERSION 3.20)

set(cases "")
set(failures "")

# configure(NAME EXPECT ARGS...): in a folder of its own; EXPECT "ok" or the line naming what lacks.
function(configure name expect)
    set(folder ${WORK_DIR}/${name})
    file(REMOVE_RECURSE ${folder})
    execute_process(
        COMMAND ${CMAKE_COMMAND} -E env PKG_CONFIG_LIBDIR=${PKG_CONFIG_LIBDIR} ${CMAKE_COMMAND} -S
                ${SOURCE_DIR} -B ${folder} -G ${GENERATOR} -DCMAKE_C_COMPILER=${C_COMPILER}
                -DCMAKE_CXX_COMPILER=${CXX_COMPILER} ${ARGN}
        RESULT_VARIABLE rc
        OUTPUT_VARIABLE out
        ERROR_VARIABLE err)
    if(expect STREQUAL "ok")
        if(NOT rc EQUAL 0)
            string(APPEND failures "${name}: configuring failed (${rc}):\n${out}${err}\n")
        endif()
    else()
        string(REGEX MATCHALL "[^\n]*apt-get install[^\n]*" lines "${err}")
        string(STRIP "${lines}" lines)
        if(rc EQUAL 0 OR NOT lines STREQUAL expect)
            string(APPEND failures "${name}: exit ${rc}, the lines naming what to install are "
                   "'${lines}', not '${expect}':\n${err}\n")
        endif()
    endif()
    set(failures "${failures}" PARENT_SCOPE)
endfunction()

# pkg-config that finds no library, for libedit's absence.
set(PKG_CONFIG_LIBDIR ${WORK_DIR}/no-pkgconfig)
file(MAKE_DIRECTORY ${PKG_CONFIG_LIBDIR})

# Nothing of tests or benchmarks is looked for unless asked; no line editing needs no libedit.
configure(plain ok -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON
          -DMUROX_LINE_EDITING=OFF)
# So does the preset that ./murox.sh configures.
configure(host-preset ok --preset host -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON
          -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON -DMUROX_LINE_EDITING=OFF)
configure(
    tests
    "missing GoogleTest and GoogleMock (the tests, MUROX_BUILD_TESTS): apt-get install libgtest-dev libgmock-dev"
    -DMUROX_BUILD_TESTS=ON
    -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON
    -DMUROX_LINE_EDITING=OFF)
configure(
    bench
    "missing Google Benchmark (the benchmarks, MUROX_BUILD_BENCH): apt-get install libbenchmark-dev"
    -DMUROX_BUILD_BENCH=ON -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON -DMUROX_LINE_EDITING=OFF)
# Without pkg-config too (without libedit alone: build.scripts, through murox.sh).
configure(
    pkg-config
    "missing libedit, the console's line editing (-DMUROX_LINE_EDITING=OFF reads plain lines): apt-get install libedit-dev pkg-config"
    -DPKG_CONFIG_EXECUTABLE=${WORK_DIR}/no-such-pkg-config)

configure(json
          "missing nlohmann-json 3 (the host's JSON output): apt-get install nlohmann-json3-dev"
          -DCMAKE_DISABLE_FIND_PACKAGE_nlohmann_json=ON -DMUROX_LINE_EDITING=OFF)

# Programs looked for only where pointed: compilers, make, GoogleTest, nlohmann-json and, one case
# on, abidiff.
set(nowhere
    -DCMAKE_FIND_USE_SYSTEM_ENVIRONMENT_PATH=OFF -DCMAKE_FIND_USE_CMAKE_SYSTEM_PATH=OFF
    -DCMAKE_MAKE_PROGRAM=${MAKE_PROGRAM} -DMUROX_LINE_EDITING=OFF -Dnlohmann_json_DIR=${JSON_DIR})
configure(abidiff
          "missing abidiff (the ABI check, MUROX_BUILD_TESTS): apt-get install abigail-tools"
          ${nowhere} -DMUROX_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo)
configure(checker "missing dpkg-gensymbols (the symbols check): apt-get install dpkg-dev"
          ${nowhere} -DMUROX_BUILD_TESTS=ON -DMUROX_ABIDIFF=${ABIDIFF} -DGTest_DIR=${GTEST_DIR})
configure(
    cross
    "missing the PowerPC cross compiler or emulator: apt-get install g++-powerpc-linux-gnu qemu-user"
    ${nowhere}
    -DCMAKE_TOOLCHAIN_FILE=${SOURCE_DIR}/cmake/powerpc-linux-gnu.cmake)

if(failures)
    message(FATAL_ERROR "${failures}")
endif()
