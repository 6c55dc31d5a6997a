# Checks what a shared library exports, and its SONAME, against the Debian
# symbols file of its package.
#
#   cmake -DDPKG_GENSYMBOLS=dpkg-gensymbols -DLIBRARY=lib.so -DSYMBOLS=file
#         -DPACKAGE=libx1 -DVERSION=1.0.0 -DWORK_DIR=dir -P CheckSymbols.cmake
#
# dpkg-gensymbols -c4 fails on a symbol that appears or disappears and on a
# library (a SONAME) that appears or disappears. A new symbol is added on
# purpose, with the version that introduces it, by the command printed.
cmake_minimum_required(VERSION 3.20)

foreach(var DPKG_GENSYMBOLS LIBRARY SYMBOLS PACKAGE VERSION WORK_DIR)
    if(NOT DEFINED ${var} OR "${${var}}" STREQUAL "")
        message(FATAL_ERROR "CheckSymbols: ${var} not set")
    endif()
endforeach()

file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
# The symbols file names no architecture-specific symbol, so the machine's
# default architecture reads the library of either target. The version
# given is one after this one: dpkg-gensymbols forgives the loss of a
# symbol that the current version introduced.
execute_process(
    COMMAND ${DPKG_GENSYMBOLS} -p${PACKAGE} -v${VERSION}+check -e${LIBRARY} -I${SYMBOLS}
            -O${WORK_DIR}/symbols -c4
    WORKING_DIRECTORY ${WORK_DIR}
    RESULT_VARIABLE rc
    OUTPUT_VARIABLE out
    ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
    message(
        FATAL_ERROR
            "${LIBRARY} does not export what ${SYMBOLS} lists (${rc}):\n${out}${err}\n"
            "A symbol added on purpose, in version NEW, goes in with\n"
            "  ${DPKG_GENSYMBOLS} -p${PACKAGE} -vNEW -e${LIBRARY} -I${SYMBOLS} -O${SYMBOLS}")
endif()
message(STATUS "${LIBRARY}: exports as ${SYMBOLS} lists")
