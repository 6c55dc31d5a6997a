# ABI baselines: what libMUROX offers a daemon built elsewhere, and the part
# of the registry's contract that the library reads inline, as abidw of
# libabigail describes them, one baseline per architecture under
# tests/library/abi/.
#
#   library.abi            abidiff of this build's libMUROX against its baseline
#   library.abi.registry   the same for the stand-in registry: the record the
#                          library reads through DLLExtAgents::ExtAgentAt
#                          appears in no interface of the library itself
#   abi-baseline (target)  rewrites this architecture's baselines from this
#                          build; review the diff, then commit
#
# Compared only where the debug information is the baseline's kind: gcc,
# RelWithDebInfo, without sanitizers or coverage (both add symbols, and -O0
# keeps other functions).

# A class with a virtual table is described in full only where its key
# function is defined: in the framework, not here. The library's own debug
# information would hold KAF::BCmdHandler, ICmdStream and IMessageSubscriber
# as bare declarations, and a reordered virtual table would go unseen. The
# flag changes the debug information only, not the code.
foreach(target MUROX extagents)
    if(TARGET ${target})
        if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
            target_compile_options(${target} PRIVATE -femit-class-debug-always)
        elseif(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
            target_compile_options(${target} PRIVATE -fstandalone-debug)
        endif()
    endif()
endforeach()

set(MUROX_ABI_DIR ${PROJECT_SOURCE_DIR}/tests/library/abi)
# Baseline name -> target.
set(MUROX_ABI_LIBRARIES libMUROX=MUROX)
if(TARGET extagents)
    list(APPEND MUROX_ABI_LIBRARIES libextagents=extagents)
endif()

find_program(MUROX_ABIDW abidw)
find_program(MUROX_ABIDIFF abidiff)

set(refresh "")
foreach(pair IN LISTS MUROX_ABI_LIBRARIES)
    string(REPLACE "=" ";" pair "${pair}")
    list(GET pair 0 name)
    list(GET pair 1 target)
    # No absolute paths: the baseline must not depend on where the tree is.
    list(APPEND refresh COMMAND ${MUROX_ABIDW} --no-corpus-path --no-comp-dir-path --short-locs
         --type-id-style hash --out-file ${MUROX_ABI_DIR}/${name}.${CMAKE_SYSTEM_PROCESSOR}.abi
         $<TARGET_FILE:${target}>)
endforeach()
if(MUROX_ABIDW)
    add_custom_target(
        abi-baseline ${refresh}
        COMMENT "Writing the ${CMAKE_SYSTEM_PROCESSOR} ABI baselines to ${MUROX_ABI_DIR}" VERBATIM)
endif()

if(NOT MUROX_BUILD_TESTS)
    return()
endif()
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "GNU" OR NOT CMAKE_BUILD_TYPE STREQUAL "RelWithDebInfo"
   OR MUROX_SANITIZE OR MUROX_COVERAGE)
    message(
        STATUS
            "ABI check: left out (baselines come from gcc RelWithDebInfo builds without instrumentation)"
    )
    return()
endif()
if(NOT MUROX_ABIDIFF)
    murox_missing("abidiff (the ABI check, MUROX_BUILD_TESTS)" abigail-tools)
endif()
enable_testing()
foreach(pair IN LISTS MUROX_ABI_LIBRARIES)
    string(REPLACE "=" ";" pair "${pair}")
    list(GET pair 0 name)
    list(GET pair 1 target)
    set(test library.abi)
    if(NOT target STREQUAL "MUROX")
        set(test library.abi.registry)
    endif()
    add_test(
        NAME ${test}
        COMMAND
            ${CMAKE_COMMAND} -DABIDIFF=${MUROX_ABIDIFF} -DLIBRARY=$<TARGET_FILE:${target}>
            -DBASELINE=${MUROX_ABI_DIR}/${name}.${CMAKE_SYSTEM_PROCESSOR}.abi
            -DSUPPRESSIONS=${MUROX_ABI_DIR}/${name}.abignore -DBUILD_DIR=${PROJECT_BINARY_DIR} -P
            ${CMAKE_CURRENT_LIST_DIR}/CheckAbi.cmake)
endforeach()
