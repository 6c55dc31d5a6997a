# Installs under a fresh prefix as an operator would, runs the installed murox on its run path and
# configuration alone, and checks the installed unit and the manual pages it names.

string(REPLACE "|" ";" EMULATOR "${EMULATOR}")
set(prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${WORK_DIR})

include(${CMAKE_CURRENT_LIST_DIR}/Run.cmake)

foreach(component runtime host)
    run("installing component ${component}" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix
        ${prefix} --component ${component})
endforeach()

foreach(file etc/murox/murox.conf lib/systemd/system/murox.service bin/murox)
    if(NOT EXISTS ${prefix}/${file})
        message(FATAL_ERROR "the install lacks ${file}")
    endif()
endforeach()

# No library path from outside: the run path alone finds the libraries, murox its configuration.
run("running the installed murox" ${CMAKE_COMMAND} -E env --unset=LD_LIBRARY_PATH
    --unset=QEMU_LD_PREFIX ${EMULATOR} ${prefix}/bin/murox -e xdll)
string(REGEX MATCHALL "Path: +[^\n]*" paths "${output}")
list(LENGTH paths count)
if(count EQUAL 0)
    message(FATAL_ERROR "the installed murox listed no library:\n${output}")
endif()
foreach(path IN LISTS paths)
    string(REGEX REPLACE "^Path: +" "" path "${path}")
    get_filename_component(dir ${path} DIRECTORY)
    if(NOT dir MATCHES "^${prefix}/lib[^/]*(/[^/]+)?/murox$")
        message(
            FATAL_ERROR "the installed murox lists ${path}, not an installed sample:\n${output}")
    endif()
endforeach()
if(NOT output MATCHES "hello\n +Path: [^\n]*\n +Web: [^\n]*\n +Load: +1\n +Status: LOADED")
    message(FATAL_ERROR "the installed murox did not load the installed hello sample:\n${output}")
endif()

# systemd's own reading of the unit: any complaint fails.
set(unit ${prefix}/lib/systemd/system/murox.service)
file(STRINGS ${unit} exec REGEX "^ExecStart=")
if(NOT
   exec
   STREQUAL
   "ExecStart=${prefix}/bin/murox --daemon --config ${prefix}/etc/murox/murox.conf --socket-group murox"
)
    message(FATAL_ERROR "the installed unit runs '${exec}'")
endif()
# It finds the manual pages its Documentation= names among those installed.
execute_process(COMMAND ${CMAKE_COMMAND} -E env MANPATH=${prefix}/share/man ${SYSTEMD_ANALYZE}
                        verify ${unit} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0 OR NOT "${out}${err}" STREQUAL "")
    message(FATAL_ERROR "systemd-analyze verify ${unit} (${rc}):\n${out}${err}")
endif()
message(STATUS "installed under ${prefix}:\n${output}")
