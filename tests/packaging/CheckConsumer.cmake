# Stages an install and builds a tiny daemon against it through find_package and pkg-config, then
# runs it. Fails on the first missing file, naming it.

string(REPLACE "|" ";" EMULATOR "${EMULATOR}")
set(stage ${WORK_DIR}/stage)
file(REMOVE_RECURSE ${WORK_DIR})

include(${CMAKE_CURRENT_LIST_DIR}/Run.cmake)

function(expect_file path)
    if(NOT EXISTS ${stage}/${path})
        message(FATAL_ERROR "the install lacks ${path}")
    endif()
endfunction()

function(expect_link path target)
    if(NOT IS_SYMLINK ${stage}/${path})
        message(FATAL_ERROR "the install lacks the link ${path}")
    endif()
    file(READ_SYMLINK ${stage}/${path} points)
    if(NOT points STREQUAL target)
        message(FATAL_ERROR "${path} points to '${points}', not to ${target}")
    endif()
endfunction()

foreach(component runtime development host)
    run("installing component ${component}" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix
        ${stage} --component ${component})
endforeach()

# The library's links, which consumers would not miss; package files and headers they need.
string(REGEX MATCH "^[0-9]+" major "${VERSION}")
expect_file(${LIBDIR}/libMUROX.so.${VERSION})
expect_link(${LIBDIR}/libMUROX.so.${major} libMUROX.so.${VERSION})
expect_link(${LIBDIR}/libMUROX.so libMUROX.so.${major})
# The consumers compile every staged header; the library's internal ones must not be staged.
foreach(header xdll/XDllLine.h vdirs/VirtualDirsLayout.h)
    if(EXISTS ${stage}/${INCLUDEDIR}/${header})
        message(FATAL_ERROR "the install ships the internal header ${header}")
    endif()
endforeach()

if(NOT FRAMEWORK)
    set(FRAMEWORK ${stage}/${LIBDIR}/murox/libkaf.so)
    expect_file(${LIBDIR}/murox/libkaf.so)
endif()

set(common -DMUROX_FRAMEWORK=${FRAMEWORK} -DMUROX_EXPECTED_VERSION=${VERSION})
if(TOOLCHAIN_FILE)
    # The build's toolchain with the stage as one more root, as a daemon's cross build its sysroot.
    file(WRITE ${WORK_DIR}/toolchain.cmake
         "include(${TOOLCHAIN_FILE})\nlist(APPEND CMAKE_FIND_ROOT_PATH ${stage})\n")
    list(APPEND common -DCMAKE_TOOLCHAIN_FILE=${WORK_DIR}/toolchain.cmake)
else()
    list(APPEND common -DCMAKE_CXX_COMPILER=${CXX_COMPILER})
endif()

foreach(way cmake pkg-config)
    set(build ${WORK_DIR}/${way})
    # Only the stage is searched: no system copy can stand in for it.
    run("configuring the ${way} consumer"
        ${CMAKE_COMMAND}
        -E
        env
        PKG_CONFIG_LIBDIR=${stage}/${LIBDIR}/pkgconfig
        PKG_CONFIG_PATH=
        ${CMAKE_COMMAND}
        -S
        ${CONSUMER_DIR}
        -B
        ${build}
        -DMUROX_CONSUME=${way}
        -DCMAKE_PREFIX_PATH=${stage}
        -DPKG_CONFIG_EXECUTABLE=${PKG_CONFIG}
        ${common})
    run("building the ${way} consumer" ${CMAKE_COMMAND} --build ${build})
    run("running the ${way} consumer" ${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${stage}/${LIBDIR}
        ${EMULATOR} ${build}/daemon)
    # The daemon names the file its libMUROX came from: the staged one, by its SONAME.
    if(NOT output MATCHES "libMUROX from ([^\n]*)\n")
        message(FATAL_ERROR "the ${way} consumer did not report its library:\n${output}")
    endif()
    if(NOT CMAKE_MATCH_1 STREQUAL "${stage}/${LIBDIR}/libMUROX.so.${major}")
        message(FATAL_ERROR "the ${way} consumer loaded ${CMAKE_MATCH_1}, "
                            "not ${stage}/${LIBDIR}/libMUROX.so.${major}")
    endif()
    message(STATUS "${way} consumer: ${output}")
endforeach()
