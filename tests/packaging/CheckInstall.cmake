# Installs under a fresh prefix as an operator or a daemon team would. The example extension builds
# against the library's development files alone, through find_package and through pkg-config. With
# the host: the installed murox runs on its run path and configuration alone, lists the samples the
# configuration loads and loads the example, and systemd reads the installed unit and finds the
# manual pages it names. Then a tiny daemon builds against the install through find_package and
# through pkg-config, and runs.

cmake_minimum_required(VERSION 3.20)

string(REPLACE "|" ";" EMULATOR "${EMULATOR}")
set(stage ${WORK_DIR}/stage)
set(example ${WORK_DIR}/example)
string(REGEX MATCH "^[0-9]+" major "${VERSION}")
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
# Only the stage is searched: no system copy can stand in for it. murox, on its own run path.
set(only_stage ${CMAKE_COMMAND} -E env PKG_CONFIG_LIBDIR=${stage}/${LIBDIR}/pkgconfig
               PKG_CONFIG_PATH= LD_LIBRARY_PATH=${stage}/${LIBDIR})
set(murox ${CMAKE_COMMAND} -E env --unset=LD_LIBRARY_PATH --unset=QEMU_LD_PREFIX ${EMULATOR}
          ${stage}/bin/murox)

# Under a umask that keeps everything private: what the install must make readable, it says so.
foreach(component runtime development host)
    run("installing component ${component}" sh -c "umask 077 && exec \"$@\"" sh ${CMAKE_COMMAND}
        --install ${BUILD_DIR} --prefix ${stage} --component ${component})
    if(component STREQUAL development)
        # pkg-config's flags name the staged headers once; what is built exports the entry points alone.
        run("pkg-config murox-extension" ${only_stage} ${PKG_CONFIG} --cflags murox-extension)
        string(FIND "${output}" " -I${stage}/" at)
        if(at EQUAL -1 OR NOT output MATCHES "^-fvisibility=hidden [^\n]*-fPIC -I[^ ]+ *\n$")
            message(FATAL_ERROR "pkg-config --cflags murox-extension: ${output}")
        endif()
        run("configuring the example extension" ${only_stage} ${CMAKE_COMMAND} -S
            ${SOURCE_DIR}/examples/extension -B ${example}/cmake -DCMAKE_PREFIX_PATH=${stage}
            ${toolchain})
        run("building the example extension" ${CMAKE_COMMAND} --build ${example}/cmake)
        file(MAKE_DIRECTORY ${example}/pkg-config)
        run("making the example extension" ${only_stage} ${MAKE} -f
            ${SOURCE_DIR}/examples/extension/Makefile -C ${example}/pkg-config CXX=${CXX_COMPILER}
            PKG_CONFIG=${PKG_CONFIG})
        # Each links libMUROX (its package depends on libmurox1 through it) and exports its entry points
        # alone.
        foreach(way cmake pkg-config)
            run("readelf the example" ${READELF} -dW --dyn-syms ${example}/${way}/libexample.so)
            string(REGEX MATCHALL "\\[libMUROX[^]]*\\]|(GLOBAL|WEAK) +DEFAULT +[0-9]+ [^\n]*" found
                         "${output}")
            string(REGEX REPLACE "[^;]* " "" found "${found}")
            list(FILTER found EXCLUDE REGEX "^(_edata|_end|__bss_start|_init|_fini)$")
            list(SORT found)
            if(NOT found STREQUAL "MuroxExtInit;MuroxExtTerm;[libMUROX.so.${major}]")
                message(FATAL_ERROR "the ${way} example extension:\n${output}")
            endif()
        endforeach()
    endif()
endforeach()

if(HOST)
    # Anyone may read the configuration: it holds no secret, and only root may change it.
    run("the modes of the configuration" stat -c "%a %n" ${stage}/etc/murox
        ${stage}/etc/murox/murox.conf)
    if(NOT output STREQUAL "755 ${stage}/etc/murox\n644 ${stage}/etc/murox/murox.conf\n")
        message(FATAL_ERROR "installed under umask 077:\n${output}")
    endif()
    # No library path from outside: the run path alone finds the libraries, murox its configuration,
    # which loads the installed hello, leaves idle unloaded and the failing samples commented out.
    run("running the installed murox" ${murox} -e xdll)
    string(REPLACE "${stage}/${LIBDIR}/murox/" "" listed "${output}")
    set(hello "hello\n +Path: +libmurox_ext_hello.so\n[^S]*Status: LOADED\n")
    set(idle "idle\n +Path: +libmurox_ext_idle.so\n[^S]*Status: NOT LOADED\n")
    if(NOT listed MATCHES "^hello: init\n${hello}${idle}hello: term\n$")
        message(FATAL_ERROR "the installed murox and its configuration:\n${output}")
    endif()
    # It loads both examples from a configuration naming them, root only from the directories
    # [murox] names. Each says so at load and unload.
    file(
        WRITE ${example}/murox.conf
        "[murox]\nextension_dirs = ${example}/cmake:${example}/pkg-config\n"
        "[extdll example]\npath = ${example}/cmake/libexample.so\n"
        "[extdll example-pc]\npath = ${example}/pkg-config/libexample.so\n")
    run("loading the example extension" ${murox} --config ${example}/murox.conf -e xdll)
    set(listed "example: init\nexample: init\nexample\n.* LOADED\nexample-pc\n.* LOADED\n")
    if(NOT output MATCHES "^${listed}example: term\nexample: term\n$")
        message(FATAL_ERROR "the installed murox and the example extension:\n${output}")
    endif()

    # What murox the installed unit runs, and its lines that systemd's rating leaves out and only a
    # booted system would show: ready when it says, watched (a hung loop is killed), not restarted
    # when refused, its lock kept between runs, its state root's alone, nothing it makes for all, a
    # system call refused rather than the daemon killed.
    set(unit ${stage}/lib/systemd/system/murox.service)
    set(keys Type WatchdogSec RestartPreventExitStatus ExecStart RuntimeDirectoryPreserve
             StateDirectoryMode UMask SystemCallErrorNumber)
    string(REPLACE ";" "|" keys "${keys}")
    file(STRINGS ${unit} lines REGEX "^(${keys})=")
    set(exec
        "${stage}/bin/murox --daemon --config ${stage}/etc/murox/murox.conf --socket-group murox")
    set(wanted Type=notify WatchdogSec=30s RestartPreventExitStatus=2 "ExecStart=${exec}")
    list(APPEND wanted RuntimeDirectoryPreserve=yes StateDirectoryMode=0700 UMask=0027
         SystemCallErrorNumber=EPERM)
    if(NOT lines STREQUAL "${wanted}")
        message(FATAL_ERROR "the installed unit's lines:\n${lines}")
    endif()
    # systemd's own reading of the unit, finding the manual pages its Documentation= names: any
    # complaint fails.
    run("systemd-analyze verify" ${CMAKE_COMMAND} -E env MANPATH=${stage}/share/man
        ${SYSTEMD_ANALYZE} verify ${unit})
    if(NOT "${output}${errors}" STREQUAL "")
        message(FATAL_ERROR "systemd-analyze verify ${unit}:\n${output}${errors}")
    endif()
endif()

# The daemon links its own framework: the installed one, or the build's when the host is not built.
if(NOT FRAMEWORK)
    set(FRAMEWORK ${stage}/${LIBDIR}/murox/libkaf.so)
endif()
# (That murox.pc suits a daemon too, the example's Makefile shows.)
run("configuring the consumer" ${only_stage} ${CMAKE_COMMAND} -S ${CMAKE_CURRENT_LIST_DIR}/consumer
    -B ${WORK_DIR}/consumer -DCMAKE_PREFIX_PATH=${stage} -DMUROX_FRAMEWORK=${FRAMEWORK}
    -DMUROX_EXPECTED_VERSION=${VERSION} ${toolchain})
run("building the consumer" ${CMAKE_COMMAND} --build ${WORK_DIR}/consumer)
run("running the consumer" ${only_stage} ${EMULATOR} ${WORK_DIR}/consumer/daemon)
# The daemon names the file its libMUROX came from: the staged one, by its SONAME.
string(FIND "${output}" "libMUROX from ${stage}/${LIBDIR}/libMUROX.so.${major}\n" at)
if(at EQUAL -1)
    message(FATAL_ERROR "the consumer did not load the staged libMUROX.so.${major}:\n${output}")
endif()
