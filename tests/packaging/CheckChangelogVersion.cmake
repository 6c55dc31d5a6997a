# A packager's changelog entry takes at once: in a build folder that is
# built, a new entry goes on top of the changelog it was configured with,
# and `cpack -G DEB` alone, run in the folder as a packager runs it, must
# give packages whose version is the new entry's and matches the library
# they hold. The folder (library only: no host, no tests) is kept from one
# run to the next; each run starts it at the checked-in version again.

cmake_minimum_required(VERSION 3.20)

include(${CMAKE_CURRENT_LIST_DIR}/Run.cmake)

set(changelog ${WORK_DIR}/changelog)
set(build ${WORK_DIR}/build)
file(READ ${SOURCE_DIR}/cmake/debian/changelog checked_in)
if(NOT checked_in MATCHES "^murox \\(([0-9]+)\\.([0-9]+)\\.([0-9]+)[-)]")
    message(FATAL_ERROR "the checked-in changelog names no version")
endif()
set(version ${CMAKE_MATCH_1}.${CMAKE_MATCH_2}.${CMAKE_MATCH_3})
math(EXPR patch "${CMAKE_MATCH_3} + 1")
set(next ${CMAKE_MATCH_1}.${CMAKE_MATCH_2}.${patch})
set(next_deb ${next}-1)

# The existing folder, built at the checked-in version.
file(MAKE_DIRECTORY ${WORK_DIR})
file(WRITE ${changelog} "${checked_in}")
run("configuring the folder" ${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${build} -DMUROX_BUILD_HOST=OFF
    -DMUROX_BUILD_TESTS=OFF -DMUROX_CHANGELOG=${changelog} -DCMAKE_BUILD_TYPE=
    -DCMAKE_C_COMPILER=${C_COMPILER} -DCMAKE_CXX_COMPILER=${CXX_COMPILER})
run("building the folder" ${CMAKE_COMMAND} --build ${build})
if(NOT EXISTS ${build}/libMUROX.so.${version})
    message(FATAL_ERROR "the folder, built from the checked-in changelog, has no "
                        "libMUROX.so.${version}")
endif()

# The packager's entry, then cpack alone.
file(
    WRITE ${changelog}
    "murox (${next_deb}) unstable; urgency=medium\n\n"
    "  * An entry on top, packed by the first cpack after it.\n\n"
    " -- libMUROX developers <murox-dev@murox.example>  Sun, 06 Dec 2026 00:00:00 +0000\n\n"
    "${checked_in}")
file(GLOB old ${build}/*.deb)
if(old)
    file(REMOVE ${old})
endif()
execute_process(
    COMMAND ${CPACK} -G DEB
    WORKING_DIRECTORY ${build}
    RESULT_VARIABLE rc
    OUTPUT_VARIABLE out
    ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "cpack -G DEB after the new entry failed (${rc}):\n${out}${err}")
endif()

# Every package against the library's file name in the library's package.
file(GLOB debs ${build}/*.deb)
set(library "")
set(labels "")
foreach(deb IN LISTS debs)
    run("dpkg-deb --contents ${deb}" ${DPKG_DEB} --contents ${deb})
    if(output MATCHES "/libMUROX\\.so\\.([0-9]+\\.[0-9]+\\.[0-9]+)\n")
        set(library ${CMAKE_MATCH_1})
    endif()
    run("dpkg-deb --field ${deb}" ${DPKG_DEB} --field ${deb} Package Version)
    if(NOT output MATCHES "Package: ([^\n]*)\nVersion: ([^\n]*)")
        message(FATAL_ERROR "${deb} has no package name and version:\n${output}")
    endif()
    list(APPEND labels "${CMAKE_MATCH_1} ${CMAKE_MATCH_2}")
endforeach()
list(LENGTH debs count)
if(count LESS 2 OR NOT library)
    message(FATAL_ERROR "cpack gave ${count} packages (${labels}), no library among them:\n${out}")
endif()
if(NOT library STREQUAL next)
    message(FATAL_ERROR "the packages hold libMUROX.so.${library}, not the new entry's ${next}")
endif()
set(failures "")
foreach(label IN LISTS labels)
    if(NOT label MATCHES " ${next_deb}$")
        string(APPEND failures "  ${label}, holding libMUROX.so.${library}\n")
    endif()
endforeach()
if(failures)
    message(FATAL_ERROR "the first cpack after the new entry ${next_deb} labelled:\n${failures}")
endif()
message(STATUS "after the entry ${next_deb}, cpack gave ${labels} with libMUROX.so.${library}")
