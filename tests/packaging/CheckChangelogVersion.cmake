# A packager's changelog entry takes at once: `cpack -G DEB` alone in a built folder gives packages
# of the new version holding the matching library, and none of the version before. The folder
# (library only) is kept between runs.

cmake_minimum_required(VERSION 3.20)
include(${CMAKE_CURRENT_LIST_DIR}/Run.cmake)

set(changelog ${WORK_DIR}/changelog)
set(build ${WORK_DIR}/build)
file(READ ${SOURCE_DIR}/cmake/debian/changelog checked_in)
string(REGEX MATCH "^murox \\((([0-9]+)\\.[0-9]+\\.)([0-9]+)[-)]" version "${checked_in}")
set(major ${CMAKE_MATCH_2})
set(patch ${CMAKE_MATCH_3})
set(version ${CMAKE_MATCH_1}${patch})

# cpack_alone(): cpack -G DEB in the folder, bounded (a packaging script that configures and never
# builds would configure for ever); sets rc, said (its output, blanks folded as CMake folds long
# messages) and debs, the packages in the folder after it.
macro(cpack_alone)
    execute_process(
        COMMAND ${CPACK} -G DEB
        WORKING_DIRECTORY ${build}
        TIMEOUT 120
        RESULT_VARIABLE rc
        OUTPUT_VARIABLE said
        ERROR_VARIABLE said)
    string(REGEX REPLACE "[ \n]+" " " said "${said}")
    file(GLOB debs ${build}/*.deb)
endmacro()

# The folder built at the checked-in version. Its library gone (no earlier run's is taken for this
# one's), cpack alone builds it and packs.
file(WRITE ${changelog} "${checked_in}")
run("configuring the folder" ${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${build} -DMUROX_BUILD_HOST=OFF
    -DMUROX_BUILD_TESTS=OFF -DMUROX_CHANGELOG=${changelog} -DCMAKE_BUILD_TYPE=
    -DCMAKE_C_COMPILER=${C_COMPILER} -DCMAKE_CXX_COMPILER=${CXX_COMPILER})
run("building the folder" ${CMAKE_COMMAND} --build ${build})
file(GLOB libraries ${build}/libMUROX.so*)
file(REMOVE ${libraries})
cpack_alone()
if(NOT rc EQUAL 0 OR NOT debs OR NOT EXISTS ${build}/libMUROX.so.${version})
    message(
        FATAL_ERROR "cpack (${rc}) in the folder without its library packed '${debs}':\n${said}")
endif()

# Every package setting that holds the version is set again by the packaging script, the host's too
# (not built here): what is not would keep the version CPack read before the entry.
file(STRINGS ${build}/CPackConfig.cmake held
     REGEX "^set\\(CPACK_(DEBIAN_|PACKAGE_FILE)[^ ]* \"[^\"]*${version}")
file(READ ${build}/MuroxDebControl.cmake again)
string(REGEX REPLACE "(set\\([^ ]+ )[^;]*" "\\1" held "${held}")
foreach(setting IN LISTS held)
    string(FIND "${again}" "\n${setting}" at)
    if(at EQUAL -1 OR NOT held MATCHES "CPACK_DEBIAN_HOST_PACKAGE_DEPENDS")
        message(FATAL_ERROR "the packaging script does not set again what holds the version (the "
                            "host's Depends among them): ${setting}")
    endif()
endforeach()

# entry(): one more patch level's entry on top of the checked-in changelog.
macro(entry)
    math(EXPR patch "${patch} + 1")
    string(REGEX REPLACE "[0-9]+$" "${patch}" next "${version}")
    file(
        WRITE ${changelog}
        "murox (${next}-1) unstable; urgency=medium\n\n  * An entry on top.\n\n"
        " -- libMUROX developers <murox-dev@murox.example>  Sun, 06 Dec 2026 00:00:00 +0000\n\n"
        "${checked_in}")
endmacro()

# The packager's entry, in a file older than the build (time kept: the content counts), then cpack
# alone: packages all of that version, with a Debian revision (so changelog.Debian.gz), holding the
# library of that version, the headers depending on the library at exactly it; the last pack's gone.
entry()
run("touch" touch -d "2000-01-01 00:00:00" ${changelog})
cpack_alone()
set(v ${next}-1)
string(REGEX REPLACE "[^;]*/([^/;]*)_[^_/;]*\\.deb" "\\1" packed "${debs}")
if(NOT packed STREQUAL "libmurox-dev_${v};libmurox${major}_${v}")
    message(FATAL_ERROR "cpack (${rc}) after the entry ${v} packed '${packed}', not that version "
                        "alone:\n${said}")
endif()
list(GET debs 0 development)
list(GET debs 1 runtime)
run("dpkg-deb --field" ${DPKG_DEB} --field ${development} Depends)
set(got "${output}")
run("dpkg-deb --contents" ${DPKG_DEB} --contents ${runtime})
string(REGEX MATCHALL "/libMUROX\\.so\\.[0-9.]+\n|/changelog[^/\n]*\n" files "${output}")
string(APPEND got ${files})
if(NOT got STREQUAL "libmurox${major} (= ${v})\n/libMUROX.so.${next}\n/changelog.Debian.gz\n")
    message(FATAL_ERROR "after the entry ${v}, cpack packed:\n${got}")
endif()

# A plain build after another entry builds its version: configuring depends on the changelog.
entry()
run("building after the entry ${next}-1" ${CMAKE_COMMAND} --build ${build})
if(NOT EXISTS ${build}/libMUROX.so.${next})
    message(FATAL_ERROR "after the entry ${next}-1, cmake --build made no libMUROX.so.${next}")
endif()

# A changelog that cannot be built packs nothing, not the version before.
file(WRITE ${changelog} "murox version next\n\n${checked_in}")
cpack_alone()
if(rc EQUAL 0 OR debs OR NOT said MATCHES "failed: nothing packed")
    message(
        FATAL_ERROR "cpack: exit ${rc}, packed '${debs}', not saying 'nothing packed':\n${said}")
endif()
