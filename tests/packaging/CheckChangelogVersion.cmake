# A packager's changelog entry takes at once: `cpack -G DEB` alone in a built folder gives packages
# of the new version holding the matching library. The folder (library only) is kept between runs.

cmake_minimum_required(VERSION 3.20)

include(${CMAKE_CURRENT_LIST_DIR}/Run.cmake)

set(changelog ${WORK_DIR}/changelog)
set(build ${WORK_DIR}/build)
file(READ ${SOURCE_DIR}/cmake/debian/changelog checked_in)
if(NOT checked_in MATCHES "^murox \\(([0-9]+)\\.([0-9]+)\\.([0-9]+)[-)]")
    message(FATAL_ERROR "the checked-in changelog names no version")
endif()
set(version ${CMAKE_MATCH_1}.${CMAKE_MATCH_2}.${CMAKE_MATCH_3})
set(major ${CMAKE_MATCH_1})
set(minor ${CMAKE_MATCH_2})
math(EXPR patch "${CMAKE_MATCH_3} + 1")
set(next ${major}.${minor}.${patch})
set(next_deb ${next}-1)

# The folder built at the checked-in version; no earlier run's library is taken for this one's.
file(MAKE_DIRECTORY ${WORK_DIR})
file(GLOB libraries ${build}/libMUROX.so*)
if(libraries)
    file(REMOVE ${libraries})
endif()
file(WRITE ${changelog} "${checked_in}")
run("configuring the folder" ${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${build} -DMUROX_BUILD_HOST=OFF
    -DMUROX_BUILD_TESTS=OFF -DMUROX_CHANGELOG=${changelog} -DCMAKE_BUILD_TYPE=
    -DCMAKE_C_COMPILER=${C_COMPILER} -DCMAKE_CXX_COMPILER=${CXX_COMPILER})
run("building the folder" ${CMAKE_COMMAND} --build ${build})
if(NOT EXISTS ${build}/libMUROX.so.${version})
    message(FATAL_ERROR "the folder, built from the checked-in changelog, has no "
                        "libMUROX.so.${version}")
endif()

# packs(VERSION DEB_VERSION): cpack alone gives packages all DEB_VERSION with libMUROX.so.VERSION.
function(packs next next_deb)
    file(GLOB old ${build}/*.deb)
    if(old)
        file(REMOVE ${old})
    endif()
    # Bounded: a packaging script that configures and never builds would configure for ever.
    execute_process(
        COMMAND ${CPACK} -G DEB
        WORKING_DIRECTORY ${build}
        TIMEOUT 120
        RESULT_VARIABLE rc
        OUTPUT_VARIABLE out
        ERROR_VARIABLE err)
    if(NOT rc EQUAL 0)
        message(
            FATAL_ERROR "cpack -G DEB after the entry ${next_deb} failed (${rc}):\n${out}${err}")
    endif()
    file(GLOB debs ${build}/*.deb)
    set(library "")
    set(labels "")
    set(wrong_depends "")
    foreach(deb IN LISTS debs)
        run("dpkg-deb --contents ${deb}" ${DPKG_DEB} --contents ${deb})
        if(output MATCHES "/libMUROX\\.so\\.([0-9]+\\.[0-9]+\\.[0-9]+)\n")
            set(library ${CMAKE_MATCH_1})
        endif()
        run("dpkg-deb --field ${deb}" ${DPKG_DEB} --field ${deb} Package Version)
        if(NOT output MATCHES "Package: ([^\n]*)\nVersion: ([^\n]*)")
            message(FATAL_ERROR "${deb} has no package name and version:\n${output}")
        endif()
        set(package ${CMAKE_MATCH_1})
        list(APPEND labels "${CMAKE_MATCH_1} ${CMAKE_MATCH_2}")
        # The headers and the host go with the library of their own version.
        if(NOT package STREQUAL "libmurox${major}")
            run("dpkg-deb --field ${deb} Depends" ${DPKG_DEB} --field ${deb} Depends)
            string(FIND "${output}" "libmurox${major} (= ${next_deb})" at)
            if(at EQUAL -1)
                list(APPEND wrong_depends "${package} depends on '${output}'")
            endif()
        endif()
    endforeach()
    list(LENGTH debs count)
    if(count LESS 2 OR NOT library)
        message(
            FATAL_ERROR "cpack gave ${count} packages (${labels}), no library among them:\n${out}")
    endif()
    if(NOT library STREQUAL next)
        message(FATAL_ERROR "the packages hold libMUROX.so.${library}, not the entry's ${next}")
    endif()
    set(failures "")
    foreach(label IN LISTS labels)
        if(NOT label MATCHES " ${next_deb}$")
            string(APPEND failures "  ${label}, holding libMUROX.so.${library}\n")
        endif()
    endforeach()
    if(failures)
        message(FATAL_ERROR "the first cpack after the entry ${next_deb} labelled:\n${failures}")
    endif()
    if(NOT labels MATCHES "(^|;)libmurox-dev " OR wrong_depends)
        message(FATAL_ERROR "after the entry ${next_deb}, not libmurox${major} (= ${next_deb}): "
                            "${wrong_depends} (packed ${labels})")
    endif()
    message(STATUS "after the entry ${next_deb}, cpack gave ${labels} with libMUROX.so.${library}")
endfunction()

# entry(DEB_VERSION): the changelog with an entry DEB_VERSION on top of the checked-in one.
function(entry deb_version)
    file(
        WRITE ${changelog}
        "murox (${deb_version}) unstable; urgency=medium\n\n"
        "  * An entry on top, packed by the first cpack after it.\n\n"
        " -- libMUROX developers <murox-dev@murox.example>  Sun, 06 Dec 2026 00:00:00 +0000\n\n"
        "${checked_in}")
endfunction()

# The packager's entry, then cpack alone.
entry(${next_deb})
packs(${next} ${next_deb})
# An entry in a file older than the build (time kept): the content counts, not the time.
math(EXPR patch "${patch} + 1")
set(later ${major}.${minor}.${patch})
entry(${later}-1)
run("touch" touch -d "2000-01-01 00:00:00" ${changelog})
packs(${later} ${later}-1)

# A plain build after an entry builds its version: configuring depends on the changelog.
math(EXPR patch "${patch} + 1")
set(built ${major}.${minor}.${patch})
entry(${built}-1)
run("building after the entry ${built}-1" ${CMAKE_COMMAND} --build ${build})
if(NOT EXISTS ${build}/libMUROX.so.${built})
    message(FATAL_ERROR "after the entry ${built}-1, cmake --build made no libMUROX.so.${built}")
endif()
# A folder configured but not built (its library gone) is built by cpack alone, once.
file(GLOB libraries ${build}/libMUROX.so*)
file(REMOVE ${libraries})
packs(${built} ${built}-1)

# cpack_fails(WHAT EXPECTED ARG...): cpack given ARGs must fail, pack nothing, and say EXPECTED.
function(cpack_fails what expected)
    file(GLOB old ${build}/*.deb)
    if(old)
        file(REMOVE ${old})
    endif()
    execute_process(
        COMMAND ${CPACK} -G DEB ${ARGN}
        WORKING_DIRECTORY ${build}
        RESULT_VARIABLE rc
        OUTPUT_VARIABLE out
        ERROR_VARIABLE err)
    file(GLOB debs ${build}/*.deb)
    # CMake folds long messages: blanks and line ends count as one blank.
    string(REGEX REPLACE "[ \n]+" " " said "${out}${err}")
    string(FIND "${said}" "${expected}" at)
    if(rc EQUAL 0 OR debs OR at EQUAL -1)
        message(FATAL_ERROR "cpack ${what}: exit ${rc}, packed '${debs}', "
                            "not saying '${expected}':\n${out}${err}")
    endif()
endfunction()

# Without dpkg-dev, cpack names it: programs are looked for where the folder given says: none.
cpack_fails(
    "without dpkg-shlibdeps"
    "missing dpkg-shlibdeps (the packages' dependencies): apt-get install dpkg-dev"
    -D
    CMAKE_FIND_USE_CMAKE_SYSTEM_PATH=OFF
    -D
    CMAKE_FIND_USE_SYSTEM_ENVIRONMENT_PATH=OFF
    -D
    CMAKE_PROGRAM_PATH=${WORK_DIR})
# A changelog that cannot be built packs nothing, not the version before.
file(WRITE ${changelog} "murox version next\n\n${checked_in}")
cpack_fails("after a malformed entry" "failed: nothing packed")
