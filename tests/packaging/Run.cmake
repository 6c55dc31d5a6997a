# run(WHAT command...): runs a command of a packaging check and stops the
# check with WHAT, the exit code and everything the command printed when it
# fails. Leaves its standard output in `output`.
function(run what)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "${what} failed (${rc}):\n${out}${err}")
    endif()
    set(output "${out}" PARENT_SCOPE)
endfunction()
