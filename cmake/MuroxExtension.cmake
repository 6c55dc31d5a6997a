# murox_add_extension(TARGET SOURCES source...): an extension library that
# murox loads (murox/MuroxExt.h, murox-extension(7)). One definition for
# the samples of this tree and, installed beside MUROXConfig.cmake, for
# the projects that find_package(MUROX): MUROX::MUROX is the library's
# target in both.
#
# A shared object whose code works at any address, exporting only what
# MUROX_EXT_API marks (the entry points), so that the helpers of two
# extensions, or of an extension and the daemon, never bind to each other.
# It links libMUROX for MuroxLogEvent: the loader binds it to the daemon's
# copy, and the extension's Debian package depends on libmurox1 through the
# library's symbols file. It leaves the daemon's references undefined, as
# the daemon resolves them when it loads the file. It carries no run path,
# not even in the build tree: the daemon holds libMUROX already, and a run
# path is one more place code could come from (CMake's for the build tree
# ends in an empty element, the current directory). The file is named as
# the platform names a shared library (lib<TARGET>.so); the PREFIX and
# OUTPUT_NAME properties change that.
function(murox_add_extension target)
    cmake_parse_arguments(PARSE_ARGV 1 ARG "" "" "SOURCES")
    if(NOT ARG_SOURCES OR ARG_UNPARSED_ARGUMENTS)
        message(FATAL_ERROR "murox_add_extension(${target} SOURCES source...): "
                            "'${ARG_UNPARSED_ARGUMENTS}' not understood, or no source")
    endif()
    add_library(${target} SHARED ${ARG_SOURCES})
    set_target_properties(
        ${target}
        PROPERTIES C_VISIBILITY_PRESET hidden
                   CXX_VISIBILITY_PRESET hidden
                   VISIBILITY_INLINES_HIDDEN ON
                   POSITION_INDEPENDENT_CODE ON
                   SKIP_BUILD_RPATH ON)
    target_link_libraries(${target} PRIVATE MUROX::MUROX)
endfunction()
