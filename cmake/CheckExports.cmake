# Checks what a shared library exports against a checked-in list.
#
#   cmake -DLIBRARY=lib.so -DEXPECTED=list.txt -DSONAME=libX.so.1
#         -DNM=nm -DREADELF=readelf -DCXXFILT=c++filt -P CheckExports.cmake
#
# The list holds one defined dynamic symbol a line: its mangled name, then
# its demangled form ('#' starts a comment line). Symbols the linker adds
# to every library are ignored. A symbol missing from either side fails,
# and so does a demangled form that does not match its mangled name.
cmake_minimum_required(VERSION 3.20)

foreach(var LIBRARY EXPECTED SONAME NM READELF CXXFILT)
    if(NOT DEFINED ${var})
        message(FATAL_ERROR "CheckExports: ${var} not set")
    endif()
endforeach()

execute_process(COMMAND ${READELF} -d ${LIBRARY} OUTPUT_VARIABLE dynamic RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${READELF} -d ${LIBRARY} failed")
endif()
if(NOT dynamic MATCHES "\\(SONAME\\)[^\n]*\\[${SONAME}\\]")
    message(FATAL_ERROR "SONAME is not ${SONAME}:\n${dynamic}")
endif()

execute_process(COMMAND ${NM} -D --defined-only --format=posix ${LIBRARY}
                OUTPUT_VARIABLE nm_out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${NM} failed on ${LIBRARY}")
endif()
set(linker_symbols _edata _end __bss_start _init _fini)
set(actual "")
string(REPLACE "\n" ";" nm_lines "${nm_out}")
foreach(line IN LISTS nm_lines)
    if(line MATCHES "^([^ ]+) ")
        set(symbol "${CMAKE_MATCH_1}")
        # AddressSanitizer adds an ODR indicator for each exported variable.
        if(NOT symbol IN_LIST linker_symbols AND NOT symbol MATCHES "^__odr_asan\\.")
            list(APPEND actual "${symbol}")
        endif()
    endif()
endforeach()
list(REMOVE_DUPLICATES actual)

file(STRINGS ${EXPECTED} expected_lines)
set(expected "")
set(errors "")
foreach(line IN LISTS expected_lines)
    if(line MATCHES "^[ \t]*(#|$)")
        continue()
    endif()
    if(NOT line MATCHES "^([^ \t]+)[ \t]+(.+)$")
        string(APPEND errors "  malformed line: ${line}\n")
        continue()
    endif()
    set(mangled "${CMAKE_MATCH_1}")
    set(demangled "${CMAKE_MATCH_2}")
    list(APPEND expected "${mangled}")
    execute_process(COMMAND ${CXXFILT} "${mangled}" OUTPUT_VARIABLE real OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT real STREQUAL demangled)
        string(APPEND errors "  ${mangled} demangles to '${real}', the list says '${demangled}'\n")
    endif()
endforeach()

foreach(symbol IN LISTS actual)
    if(NOT symbol IN_LIST expected)
        execute_process(COMMAND ${CXXFILT} "${symbol}" OUTPUT_VARIABLE real OUTPUT_STRIP_TRAILING_WHITESPACE)
        string(APPEND errors "  new symbol: ${symbol}    ${real}\n")
    endif()
endforeach()
foreach(symbol IN LISTS expected)
    if(NOT symbol IN_LIST actual)
        string(APPEND errors "  missing symbol: ${symbol}\n")
    endif()
endforeach()

if(errors)
    message(FATAL_ERROR "${LIBRARY} exports differ from ${EXPECTED}:\n${errors}")
endif()
list(LENGTH actual count)
message(STATUS "${LIBRARY}: SONAME ${SONAME}, ${count} exported symbols as listed")
