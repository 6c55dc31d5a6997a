# run(WHAT command...): stops the check on failure with WHAT, its code and output; sets `output` and
# `errors`, what it wrote on stdout and stderr.
function(run what)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "${what} failed (${rc}):\n${out}${err}")
    endif()
    set(output "${out}" PARENT_SCOPE)
    set(errors "${err}" PARENT_SCOPE)
endfunction()
