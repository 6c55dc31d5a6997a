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
set(patch ${CMAKE_MATCH_3})

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
# Every package setting that holds the version is set again by the packaging script, the host's too
# (not built here): what is not would keep the version CPack read before the entry.
file(STRINGS ${build}/CPackConfig.cmake held
     REGEX "^set\\(CPACK_(DEBIAN_|PACKAGE_FILE)[^ ]* \"[^\"]*${version}")
file(READ ${build}/MuroxDebControl.cmake again)
foreach(line IN LISTS held)
    string(REGEX MATCH "^set\\([^ ]+ " setting "${line}")
    string(FIND "${again}" "\n${setting}" at)
    if(at EQUAL -1)
        message(
            FATAL_ERROR "the packaging script does not set again what holds the version:\n${line}")
    endif()
endforeach()
if(NOT held MATCHES "CPACK_DEBIAN_HOST_PACKAGE_DEPENDS")
    message(FATAL_ERROR "no host package's Depends in CPack's configuration:\n${held}")
endif()

# cpack_alone(ARG...): cpack -G DEB ARGs in the folder, bounded (a packaging script that configures
# and never builds would configure for ever); sets rc, said (its output, blanks folded as CMake
# folds long messages) and debs, the packages in the folder after it: the last pack's are gone.
macro(cpack_alone)
    execute_process(
        COMMAND ${CPACK} -G DEB ${ARGN}
        WORKING_DIRECTORY ${build}
        TIMEOUT 120
        RESULT_VARIABLE rc
        OUTPUT_VARIABLE said
        ERROR_VARIABLE said)
    string(REGEX REPLACE "[ \n]+" " " said "${said}")
    file(GLOB debs ${build}/*.deb)
endmacro()

# entry_packs(): with one more patch level's entry on top of the checked-in changelog, a plain
# `cpack -G DEB` gives packages all of that version, with a Debian revision (so changelog.Debian.gz),
# holding the library of that version, the headers depending on the library at exactly it.
macro(entry_packs)
    math(EXPR patch "${patch} + 1")
    set(next ${major}.${minor}.${patch})
    file(
        WRITE ${changelog}
        "murox (${next}-1) unstable; urgency=medium\n\n"
        "  * An entry on top, packed by the first cpack after it.\n\n"
        " -- libMUROX developers <murox-dev@murox.example>  Sun, 06 Dec 2026 00:00:00 +0000\n\n"
        "${checked_in}")
endmacro()
function(packs)
    cpack_alone()
    set(got "")
    foreach(deb IN LISTS debs)
        run("dpkg-deb --field ${deb}" ${DPKG_DEB} --field ${deb} Package Version Depends)
        string(APPEND got "${output}")
        run("dpkg-deb --contents ${deb}" ${DPKG_DEB} --contents ${deb})
        string(REGEX MATCHALL "/(libMUROX\\.so\\.[0-9.]+|doc/[^\n]*)\n" files "${output}")
        string(APPEND got ${files})
    endforeach()
    set(v "${major}\\.${minor}\\.${patch}")
    # Taken out what is of this version, nothing is left of another, nor a native package's changelog.
    string(REGEX REPLACE "Version: ${v}-1\n|/libMUROX\\.so\\.${v}\n" "" other "${got}")
    set(wanted
        "Package: libmurox${major}\nVersion: ${v}-1\n"
        "/libMUROX\\.so\\.${v}\n"
        "Package: libmurox-dev\nVersion: ${v}-1\nDepends: ([^\n]*, )?libmurox${major} \\(= ${v}-1\\)"
        "/doc/libmurox${major}/changelog\\.Debian\\.gz\n")
    foreach(one IN LISTS wanted)
        if(NOT got MATCHES "${one}" OR other MATCHES
                                       "Version: |libMUROX\\.so\\.[0-9.]+\n|/changelog\\.gz\n")
            message(
                FATAL_ERROR "cpack (${rc}) after the entry ${next}-1 packed, not '${one}' alone:\n"
                            "${got}\n${said}")
        endif()
    endforeach()
    message(STATUS "after the entry ${next}-1, cpack packed:\n${got}")
endfunction()

# The packager's entry, then cpack alone.
entry_packs()
packs()
# An entry in a file older than the build (time kept): the content counts, not the time.
entry_packs()
run("touch" touch -d "2000-01-01 00:00:00" ${changelog})
packs()
# A plain build after an entry builds its version: configuring depends on the changelog.
entry_packs()
run("building after the entry ${next}-1" ${CMAKE_COMMAND} --build ${build})
if(NOT EXISTS ${build}/libMUROX.so.${next})
    message(FATAL_ERROR "after the entry ${next}-1, cmake --build made no libMUROX.so.${next}")
endif()
# A folder configured but not built (its library gone) is built by cpack alone, once.
file(GLOB libraries ${build}/libMUROX.so*)
file(REMOVE ${libraries})
packs()

# refused(EXPECTED): the last cpack failed, packed nothing and said EXPECTED.
function(refused expected)
    string(FIND "${said}" "${expected}" at)
    if(rc EQUAL 0 OR debs OR at EQUAL -1)
        message(
            FATAL_ERROR "cpack: exit ${rc}, packed '${debs}', not saying '${expected}':\n${said}")
    endif()
endfunction()
# Without dpkg-dev, cpack names it: programs are looked for where the folder given says: none.
cpack_alone(-D CMAKE_FIND_USE_CMAKE_SYSTEM_PATH=OFF -D CMAKE_FIND_USE_SYSTEM_ENVIRONMENT_PATH=OFF
            -D CMAKE_PROGRAM_PATH=${WORK_DIR})
refused("missing dpkg-shlibdeps (the packages' dependencies): apt-get install dpkg-dev")
# A changelog that cannot be built packs nothing, not the version before.
file(WRITE ${changelog} "murox version next\n\n${checked_in}")
cpack_alone()
refused("failed: nothing packed")
