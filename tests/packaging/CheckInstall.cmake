# Installs under a fresh prefix as an operator or a daemon team would. The example extension builds
# against the library's development files alone, through find_package and through pkg-config. With
# the host: the installed murox runs on its run path and configuration alone and loads the example,
# and systemd reads the installed unit and finds the manual pages it names. Then a tiny daemon builds
# against the install through find_package and through pkg-config, and runs.

cmake_minimum_required(VERSION 3.20)

string(REPLACE "|" ";" EMULATOR "${EMULATOR}")
set(stage ${WORK_DIR}/stage)
file(REMOVE_RECURSE ${WORK_DIR})

include(${CMAKE_CURRENT_LIST_DIR}/Run.cmake)

if(TOOLCHAIN_FILE)
    # The build's toolchain with the stage as one more root, as a daemon's cross build its sysroot.
    file(WRITE ${WORK_DIR}/toolchain.cmake
         "include(${TOOLCHAIN_FILE})\nlist(APPEND CMAKE_FIND_ROOT_PATH ${stage})\n")
    set(toolchain -DCMAKE_TOOLCHAIN_FILE=${WORK_DIR}/toolchain.cmake)
else()
    set(toolchain -DCMAKE_CXX_COMPILER=${CXX_COMPILER})
endif()
# Only the stage is searched: no system copy can stand in for it.
set(only_stage PKG_CONFIG_LIBDIR=${stage}/${LIBDIR}/pkgconfig PKG_CONFIG_PATH=
               LD_LIBRARY_PATH=${stage}/${LIBDIR})
set(example ${WORK_DIR}/example)

# Under a umask that keeps everything private: what the install must make readable, it says so.
foreach(component runtime development host)
    run("installing component ${component}" sh -c "umask 077 && exec \"$@\"" sh ${CMAKE_COMMAND}
        --install ${BUILD_DIR} --prefix ${stage} --component ${component})
    if(NOT component STREQUAL development)
        continue()
    endif()
    # pkg-config's flags name the staged headers once; what is built exports the entry points alone.
    run("pkg-config murox-extension" ${CMAKE_COMMAND} -E env ${only_stage} ${PKG_CONFIG} --cflags
        murox-extension)
    string(REGEX MATCHALL "-I[^ \n]+" dirs "${output}")
    string(FIND "${dirs}" "-I${stage}/" at)
    if(NOT at EQUAL 0 OR dirs MATCHES ";" OR NOT output MATCHES "-fvisibility=hidden .*-fPIC")
        message(FATAL_ERROR "pkg-config --cflags murox-extension: ${output}")
    endif()
    run("configuring the example extension" ${CMAKE_COMMAND} -E env ${only_stage} ${CMAKE_COMMAND}
        -S ${EXAMPLE_DIR} -B ${example}/cmake -DCMAKE_PREFIX_PATH=${stage} ${toolchain})
    run("building the example extension" ${CMAKE_COMMAND} --build ${example}/cmake)
    file(MAKE_DIRECTORY ${example}/pkg-config)
    run("making the example extension" ${CMAKE_COMMAND} -E env ${only_stage} ${MAKE} -f
        ${EXAMPLE_DIR}/Makefile -C ${example}/pkg-config CXX=${CXX_COMPILER}
        PKG_CONFIG=${PKG_CONFIG})
    foreach(way cmake pkg-config)
        run("nm -D the example extension" ${NM} -D --defined-only ${example}/${way}/libexample.so)
        string(REGEX REPLACE "[^\n]* ([^ \n]+)\n" "\\1;" symbols "${output}")
        list(FILTER symbols EXCLUDE REGEX "^(_edata|_end|__bss_start|_init|_fini)?$")
        if(NOT symbols STREQUAL "MuroxExtInit;MuroxExtTerm")
            message(FATAL_ERROR "the ${way} example extension exports:\n${output}")
        endif()
    endforeach()
endforeach()

if(HOST)
    # Anyone may read the configuration: it holds no secret, and only root may change it.
    run("the modes of the configuration" stat -c "%a %n" ${stage}/etc/murox
        ${stage}/etc/murox/murox.conf)
    if(NOT output STREQUAL "755 ${stage}/etc/murox\n644 ${stage}/etc/murox/murox.conf\n")
        message(FATAL_ERROR "installed under umask 077:\n${output}")
    endif()
    # No library path from outside: the run path alone finds the libraries, murox its configuration.
    run("running the installed murox" ${CMAKE_COMMAND} -E env --unset=LD_LIBRARY_PATH
        --unset=QEMU_LD_PREFIX ${EMULATOR} ${stage}/bin/murox -e xdll)
    # (That the configuration names the installed samples, packaging.debs checks.)
    if(NOT output MATCHES "hello\n +Path: [^\n]*\n +Web: [^\n]*\n +Load: +1\n +Status: LOADED")
        message(
            FATAL_ERROR "the installed murox did not load the installed hello sample:\n${output}")
    endif()
    # It loads both examples from a configuration naming them, root only from the directories
    # [murox] names. Each says so at load and unload.
    file(
        WRITE ${example}/murox.conf
        "[murox]\nextension_dirs = ${example}/cmake:${example}/pkg-config\n"
        "[extdll example]\npath = ${example}/cmake/libexample.so\n"
        "[extdll example-pc]\npath = ${example}/pkg-config/libexample.so\n")
    run("loading the example extension" ${CMAKE_COMMAND} -E env --unset=LD_LIBRARY_PATH
        --unset=QEMU_LD_PREFIX ${EMULATOR} ${stage}/bin/murox --config ${example}/murox.conf -e
        xdll)
    set(listed "example: init\nexample: init\nexample\n.* LOADED\nexample-pc\n.* LOADED\n")
    if(NOT output MATCHES "^${listed}example: term\nexample: term\n$")
        message(FATAL_ERROR "the installed murox and the example extension:\n${output}")
    endif()

    # systemd's own reading of the unit, finding the manual pages its Documentation= names: any
    # complaint fails.
    set(unit ${stage}/lib/systemd/system/murox.service)
    file(STRINGS ${unit} exec REGEX "^ExecStart=")
    set(wanted "${stage}/bin/murox --daemon --config ${stage}/etc/murox/murox.conf")
    if(NOT exec STREQUAL "ExecStart=${wanted} --socket-group murox")
        message(FATAL_ERROR "the installed unit runs '${exec}'")
    endif()
    execute_process(
        COMMAND ${CMAKE_COMMAND} -E env MANPATH=${stage}/share/man ${SYSTEMD_ANALYZE} verify ${unit}
        RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(NOT rc EQUAL 0 OR NOT "${out}${err}" STREQUAL "")
        message(FATAL_ERROR "systemd-analyze verify ${unit} (${rc}):\n${out}${err}")
    endif()
endif()

# The daemon links its own framework: the installed one, or the build's when the host is not built.
if(NOT FRAMEWORK)
    set(FRAMEWORK ${stage}/${LIBDIR}/murox/libkaf.so)
endif()
set(common -DMUROX_FRAMEWORK=${FRAMEWORK} -DMUROX_EXPECTED_VERSION=${VERSION} ${toolchain})
string(REGEX MATCH "^[0-9]+" major "${VERSION}")

foreach(way cmake pkg-config)
    set(build ${WORK_DIR}/${way})
    run("configuring the ${way} consumer" ${CMAKE_COMMAND} -E env ${only_stage} ${CMAKE_COMMAND} -S
        ${CONSUMER_DIR} -B ${build} -DMUROX_CONSUME=${way} -DCMAKE_PREFIX_PATH=${stage}
        -DPKG_CONFIG_EXECUTABLE=${PKG_CONFIG} ${common})
    run("building the ${way} consumer" ${CMAKE_COMMAND} --build ${build})
    run("running the ${way} consumer" ${CMAKE_COMMAND} -E env ${only_stage} ${EMULATOR}
        ${build}/daemon)
    # The daemon names the file its libMUROX came from: the staged one, by its SONAME.
    string(FIND "${output}" "libMUROX from ${stage}/${LIBDIR}/libMUROX.so.${major}\n" at)
    if(at EQUAL -1)
        message(FATAL_ERROR "the ${way} consumer did not load the staged libMUROX.so.${major}:\n"
                            "${output}")
    endif()
endforeach()
message(STATUS "installed under ${stage}")
