# Flags shared by every target of the project.

if(MUROX_SANITIZE)
    # Applied to everything, GoogleTest included, so that every allocation
    # and every call is checked with the same runtime.
    # -O1, after the build type's -O2: the sanitizers' own advice, and a
    # third less compile time, while the optimised build stays the native one.
    add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all
                        -fno-omit-frame-pointer -O1)
    add_link_options(-fsanitize=address,undefined)
endif()

# Warnings only for the project's own targets; third-party code keeps its own.
function(murox_warnings target)
    target_compile_options(${target} PRIVATE -Wall -Wextra)
    if(MUROX_WERROR)
        target_compile_options(${target} PRIVATE -Werror)
    endif()
endfunction()
