# Every ELF file in the build tree (its executables and shared objects; CMake's own folders and
# objects aside) has only run path elements that do not depend on where it is started from: an
# empty element is the current directory, a relative one is relative to it. Absolute and $ORIGIN
# ones pass.
#
#   cmake -DREADELF=readelf -DBUILD_DIR=dir -P CheckRunPaths.cmake
cmake_minimum_required(VERSION 3.20)

file(GLOB_RECURSE files LIST_DIRECTORIES false ${BUILD_DIR}/*)
set(checked 0)
set(failures "")
foreach(file IN LISTS files)
    if(IS_SYMLINK ${file} OR file MATCHES "/CMakeFiles/|\\.(o|a)$")
        continue()
    endif()
    file(READ ${file} magic LIMIT 4 HEX)
    if(NOT magic STREQUAL "7f454c46")
        continue()
    endif()
    math(EXPR checked "${checked} + 1")
    execute_process(COMMAND ${READELF} -d ${file} OUTPUT_VARIABLE dynamic ERROR_QUIET)
    string(REGEX MATCHALL "\\((RPATH|RUNPATH)\\)[^\n]*\\[[^\n]*\\]" entries "${dynamic}")
    foreach(entry IN LISTS entries)
        string(REGEX REPLACE "^[^[]*\\[(.*)\\]$" "\\1" path "${entry}")
        # Split at each ':', an empty run path being one empty element.
        string(REPLACE ":" ";" elements ":${path}")
        list(REMOVE_AT elements 0)
        foreach(element IN LISTS elements)
            if(NOT element MATCHES "^(/|\\$ORIGIN(/|$)|\\$\\{ORIGIN\\}(/|$))")
                string(APPEND failures "${file}: '${element}' in its run path '${path}'\n")
            endif()
        endforeach()
    endforeach()
endforeach()
if(checked EQUAL 0)
    message(FATAL_ERROR "no ELF file found in ${BUILD_DIR}")
endif()
if(failures)
    message(FATAL_ERROR "run path elements taken from where a program is started:\n${failures}")
endif()
message(STATUS "${checked} ELF files checked")
