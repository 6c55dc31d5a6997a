# What a configuration asks for and this machine lacks is named in one
# line, with the Debian command that brings it: a newcomer's first
# configure says what to install, not where CMake looked. Tests,
# benchmarks, fuzzers, the cross toolchain and the checkers are looked for
# only by the configurations that ask for them.

# murox_missing(WHAT PACKAGE...): stops configuring, naming WHAT and the
# packages that bring it.
function(murox_missing what)
    list(JOIN ARGN " " packages)
    # The leading blank keeps CMake from folding the line.
    message(FATAL_ERROR " missing ${what}: apt-get install ${packages}")
endfunction()

# murox_require_program(VAR NAME PACKAGE WHY): find_program(VAR NAME), or
# stop, naming the program, what needs it and its package.
function(murox_require_program var name package why)
    find_program(${var} ${name})
    if(NOT ${var})
        murox_missing("${name} (${why})" ${package})
    endif()
endfunction()

# murox_require_file(PATH PACKAGE WHY): stops unless the file at PATH
# exists, naming it, what needs it and its package.
function(murox_require_file path package why)
    if(NOT EXISTS ${path})
        murox_missing("${path} (${why})" ${package})
    endif()
endfunction()
