# Compares a built shared library with its checked-in ABI baseline.
#
#   cmake -DABIDIFF=abidiff -DLIBRARY=lib.so -DBASELINE=lib.abi
#         [-DSUPPRESSIONS=lib.abignore] -DBUILD_DIR=dir -P CheckAbi.cmake
#
# Any difference fails, a compatible one (an added function) as well: a
# change of the ABI is made on purpose, by refreshing the baseline.
cmake_minimum_required(VERSION 3.20)

if(NOT ABIDIFF)
    message(FATAL_ERROR "abidiff not found: install abigail-tools (cmake/install-deps.sh)")
endif()
set(refresh "cmake --build ${BUILD_DIR} --target abi-baseline")
if(NOT EXISTS ${BASELINE})
    message(FATAL_ERROR "no ABI baseline ${BASELINE}; write it with\n  ${refresh}")
endif()
set(options "")
if(SUPPRESSIONS AND EXISTS ${SUPPRESSIONS})
    list(APPEND options --suppressions ${SUPPRESSIONS})
endif()

execute_process(COMMAND ${ABIDIFF} --no-default-suppression ${options} ${BASELINE} ${LIBRARY}
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
    # abidiff's status is a bit set: 1 error, 2 usage, 4 change, 8 incompatible change.
    message(
        FATAL_ERROR
            "${LIBRARY} differs from ${BASELINE} (abidiff status ${rc}):\n${out}${err}\n"
            "An intended change: refresh the baseline with\n  ${refresh}\n"
            "and commit it; an incompatible one also needs a new SONAME.")
endif()
message(STATUS "${LIBRARY}: ABI as in ${BASELINE}")
