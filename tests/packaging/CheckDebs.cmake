# Builds the Debian packages of the build tree with CPack and checks each
# one's control fields and contents, that the architecture it claims is the
# one the library was compiled for, that its Depends name the package of
# every library its binaries need, the library's symbols and shlibs, the
# host's conffile, service unit and run path; then lintian, where it runs.

cmake_minimum_required(VERSION 3.20)

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

# The Debian package of each library a packaged binary may need.
set(library_packages libc.so.6=libc6 libm.so.6=libc6 libstdc++.so.6=libstdc++6
                     libgcc_s.so.1=libgcc-s1 libMUROX.so.${major}=libmurox${major}
                     libedit.so.2=libedit2)

# check_needed(NAME DEPENDS): every library that a binary of package NAME
# needs is shipped by NAME itself or named in DEPENDS; and, the packages
# being installed under /usr, no binary carries a run path of its own.
function(check_needed name depends)
    file(GLOB_RECURSE files LIST_DIRECTORIES false ${WORK_DIR}/root/${name}/*)
    set(shipped "")
    set(needed "")
    foreach(file IN LISTS files)
        if(IS_SYMLINK ${file})
            continue()
        endif()
        get_filename_component(base ${file} NAME)
        list(APPEND shipped ${base})
        execute_process(COMMAND ${READELF} -d ${file} RESULT_VARIABLE rc
                        OUTPUT_VARIABLE dynamic ERROR_QUIET)
        if(NOT rc EQUAL 0)
            continue()
        endif()
        if(dynamic MATCHES "\\((RPATH|RUNPATH)\\)[^\n]*")
            string(APPEND failures "${name}: ${file} carries a run path: ${CMAKE_MATCH_0}\n")
        endif()
        string(REGEX MATCHALL "\\(NEEDED\\)[^\n]*\\[[^]]*\\]" lines "${dynamic}")
        foreach(line IN LISTS lines)
            string(REGEX REPLACE ".*\\[(.*)\\]" "\\1" soname "${line}")
            list(APPEND needed ${soname})
        endforeach()
    endforeach()
    list(REMOVE_DUPLICATES needed)
    foreach(soname IN LISTS needed)
        if(soname IN_LIST shipped)
            continue()
        endif()
        set(package "")
        foreach(pair IN LISTS library_packages)
            if(pair MATCHES "^(.*)=(.*)$" AND CMAKE_MATCH_1 STREQUAL soname)
                set(package ${CMAKE_MATCH_2})
            endif()
        endforeach()
        if(NOT package)
            string(APPEND failures "${name}: no package known for the library ${soname} it needs\n")
        else()
            # Package names hold '+', so no regular expression.
            string(REPLACE " (" "," listed ", ${depends},")
            string(FIND "${listed}" ", ${package}," at)
            if(at EQUAL -1)
                string(APPEND failures "${name}: needs ${soname}, but Depends '${depends}' lacks ${package}\n")
            endif()
        endif()
    endforeach()
    set(failures "${failures}" PARENT_SCOPE)
endfunction()

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
    file(REMOVE_RECURSE ${WORK_DIR}/root/${name} ${WORK_DIR}/control/${name})
    file(MAKE_DIRECTORY ${WORK_DIR}/root ${WORK_DIR}/control)
    run("dpkg-deb --extract ${name}" ${DPKG_DEB} --extract ${debs} ${WORK_DIR}/root/${name})
    run("dpkg-deb --control ${name}" ${DPKG_DEB} --control ${debs} ${WORK_DIR}/control/${name})
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
    else()
        set(depends "${CMAKE_MATCH_1}")
        if(NOT depends MATCHES "${ARG_DEPENDS}")
            string(APPEND failures "${name}: Depends '${depends}' does not match '${ARG_DEPENDS}'\n")
        endif()
        check_needed(${name} "${depends}")
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
              "${INCLUDEDIR}/murox/MuroxExport.h"
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

# The library's symbols as checked in, and shlibs for packages that link it.
set(control ${WORK_DIR}/control/${runtime})
if(NOT EXISTS ${control}/symbols)
    string(APPEND failures "${runtime}: no symbols control file\n")
else()
    file(READ ${control}/symbols symbols)
    file(READ ${SYMBOLS} expected)
    if(NOT symbols STREQUAL expected)
        string(APPEND failures "${runtime}: its symbols file is not ${SYMBOLS}\n")
    endif()
endif()
set(shlibs "")
if(EXISTS ${control}/shlibs)
    file(READ ${control}/shlibs shlibs)
endif()
if(NOT shlibs STREQUAL "libMUROX ${major} ${runtime} (>= ${VERSION})\n")
    string(APPEND failures "${runtime}: shlibs is '${shlibs}', not 'libMUROX ${major} ${runtime} (>= ${VERSION})'\n")
endif()
if(NOT EXISTS ${control}/triggers)
    string(APPEND failures "${runtime}: no ldconfig trigger\n")
endif()

# The host's configuration is a conffile, and its unit runs the daemon.
if(HOST_FILES MATCHES "etc/murox/murox\\.conf")
    set(conffiles "")
    if(EXISTS ${WORK_DIR}/control/murox-host/conffiles)
        file(READ ${WORK_DIR}/control/murox-host/conffiles conffiles)
    endif()
    if(NOT conffiles STREQUAL "/etc/murox/murox.conf\n")
        string(APPEND failures "murox-host: conffiles is '${conffiles}', not /etc/murox/murox.conf\n")
    endif()
endif()
set(unit ${WORK_DIR}/root/murox-host/lib/systemd/system/murox.service)
if(HOST_FILES MATCHES "murox\\.service" AND EXISTS ${unit})
    file(READ ${unit} text)
    foreach(line "ExecStart=/usr/bin/murox --daemon --config /etc/murox/murox.conf --syslog"
                 "ExecReload=/bin/kill -HUP $MAINPID" "RuntimeDirectory=murox"
                 "RuntimeDirectoryMode=0750" "ReadWritePaths=/etc/murox")
        string(FIND "\n${text}" "\n${line}\n" at)
        if(at EQUAL -1)
            string(APPEND failures "murox-host: murox.service lacks '${line}'\n")
        endif()
    endforeach()
endif()

if(failures)
    message(FATAL_ERROR "${failures}")
endif()

# Debian's own checker: any error fails.
file(GLOB debs ${WORK_DIR}/*.deb)
execute_process(COMMAND ${LINTIAN} --fail-on error ${debs}
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "lintian found errors (${rc}):\n${out}${err}")
endif()
message(STATUS "lintian: no error; warnings:\n${out}")
