# Builds the Debian packages of the build tree with CPack and checks each
# one's control fields and contents, and that the architecture it claims is
# the one the library was compiled for.

string(REPLACE "|" ";" HOST_FILES "${HOST_FILES}")
string(REGEX MATCH "^[0-9]+" major "${VERSION}")
file(REMOVE_RECURSE ${WORK_DIR})

include(${CMAKE_CURRENT_LIST_DIR}/Run.cmake)

# Packages what the build produced, without building: CTest runs after the
# build, alongside other tests. A Makefile build would first make its
# "preinstall" target (all of the tree); CPack runs no such step for Ninja,
# and installing needs no generator.
run("cpack" ${CPACK} --config ${BUILD_DIR}/CPackConfig.cmake -G DEB -B ${WORK_DIR}
    -D CPACK_CMAKE_GENERATOR=Ninja)

# The target's architecture, read from the machine the library is built for.
set(machines "Advanced Micro Devices X86-64=amd64" "Intel 80386=i386" "AArch64=arm64"
             "ARM=armhf" "PowerPC=powerpc" "PowerPC64=ppc64")
run("readelf" ${READELF} -h ${LIBRARY})
string(REGEX MATCH "Machine: +([^\n]*)" ignored "${output}")
set(machine "${CMAKE_MATCH_1}")
set(arch "")
foreach(pair IN LISTS machines)
    if(pair MATCHES "^(.*)=(.*)$" AND CMAKE_MATCH_1 STREQUAL machine)
        set(arch ${CMAKE_MATCH_2})
    endif()
endforeach()
if(NOT arch)
    message(FATAL_ERROR "no Debian architecture known for machine '${machine}'")
endif()

set(failures "")
# check_deb(NAME DEPENDS regex HAS path... LACKS regex...)
function(check_deb name)
    cmake_parse_arguments(ARG "" "DEPENDS" "HAS;LACKS" ${ARGN})
    file(GLOB debs ${WORK_DIR}/${name}_*.deb)
    list(LENGTH debs count)
    if(NOT count EQUAL 1)
        string(APPEND failures "expected one package ${name}_*.deb, found ${count}: ${debs}\n")
        set(failures "${failures}" PARENT_SCOPE)
        return()
    endif()
    run("dpkg-deb --info ${name}" ${DPKG_DEB} --info ${debs})
    set(info "${output}")
    run("dpkg-deb --contents ${name}" ${DPKG_DEB} --contents ${debs})
    # One "./path" or "./path -> target" per line, after the listing columns.
    string(REGEX REPLACE "[^\n]* \\./" "" contents "${output}")

    foreach(field "Package: ${name}" "Version: ${VERSION}" "Architecture: ${arch}")
        if(NOT info MATCHES "\n ${field}\n")
            string(APPEND failures "${name}: control lacks '${field}'\n")
        endif()
    endforeach()
    if(NOT info MATCHES "\n Depends: ([^\n]*)")
        string(APPEND failures "${name}: no Depends field\n")
    elseif(NOT CMAKE_MATCH_1 MATCHES "${ARG_DEPENDS}")
        string(APPEND failures "${name}: Depends '${CMAKE_MATCH_1}' does not match '${ARG_DEPENDS}'\n")
    endif()
    foreach(path IN LISTS ARG_HAS)
        string(REGEX REPLACE "([][+.*()^$?|\\\\])" "\\\\\\1" pattern "${path}")
        if(NOT "\n${contents}\n" MATCHES "\n${pattern}\n")
            string(APPEND failures "${name}: lacks ${path}\n")
        endif()
    endforeach()
    foreach(pattern IN LISTS ARG_LACKS)
        if("\n${contents}\n" MATCHES "\n(${pattern})")
            string(APPEND failures "${name}: should not hold ${CMAKE_MATCH_1}\n")
        endif()
    endforeach()
    set(failures "${failures}" PARENT_SCOPE)
    message(STATUS "${name} (${arch}):\n${contents}")
endfunction()

set(runtime libmurox${major})
check_deb(${runtime}
          DEPENDS "libc6"
          HAS "${LIBDIR}/libMUROX.so.${VERSION}"
              "${LIBDIR}/libMUROX.so.${major} -> libMUROX.so.${VERSION}"
          LACKS "usr/include/" "[^\n]*/libMUROX\\.so -> " "[^\n]*\\.pc\n" "[^\n]*libkaf")
check_deb(libmurox-dev
          DEPENDS "(^|, )${runtime} \\(= ${VERSION}\\)"
          HAS "${LIBDIR}/libMUROX.so -> libMUROX.so.${major}"
              "${INCLUDEDIR}/xdll/MuroxEntry.h"
              "${INCLUDEDIR}/xdll/MuroxExport.h"
              "${INCLUDEDIR}/hostapi/BString.h"
              "${INCLUDEDIR}/hostapi/DLLExtAgents.h"
              "${LIBDIR}/pkgconfig/murox.pc"
              "${LIBDIR}/cmake/MUROX/MUROXConfig.cmake"
              "${LIBDIR}/cmake/MUROX/MUROXConfigVersion.cmake"
              "${LIBDIR}/cmake/MUROX/MUROXTargets.cmake"
          LACKS "[^\n]*/libMUROX\\.so\\.[0-9]" "[^\n]*libkaf")
if(HOST_FILES)
    check_deb(murox-host
              DEPENDS "(^|, )${runtime} \\(= ${VERSION}\\)"
              HAS ${HOST_FILES}
              LACKS "[^\n]*/libMUROX\\.so" "usr/include/")
endif()

# The default configuration names the installed samples, not the build tree.
if(HOST_FILES MATCHES "[^|;]*/murox\\.conf")
    set(config ${CMAKE_MATCH_0})
    file(GLOB host ${WORK_DIR}/murox-host_*.deb)
    run("reading ${config}" ${DPKG_DEB} --fsys-tarfile ${host} COMMAND tar -xO ./${config})
    string(FIND "${output}" "${BUILD_DIR}" at)
    if(NOT at EQUAL -1 OR NOT output MATCHES "\n *path *= */usr/")
        string(APPEND failures "murox-host: ${config} does not name installed paths:\n${output}")
    endif()
endif()

if(failures)
    message(FATAL_ERROR "${failures}")
endif()
