# Where things install, decided once, before any install directory is read.
#
# The library goes to the multiarch directory (lib/x86_64-linux-gnu,
# lib/powerpc-linux-gnu) whatever the prefix, where Debian puts it and where
# pkg-config and find_package look under any prefix: GNUInstallDirs would
# give plain lib for any prefix but /usr, and so the packages, installed
# to /usr from a tree configured for /usr/local, would not be multiarch.
# MUROX_LIBDIR changes it; a compiler without multiarch gets
# GNUInstallDirs' choice.

set(MUROX_MULTIARCH "${CMAKE_LIBRARY_ARCHITECTURE}")
if(NOT MUROX_MULTIARCH)
    # A cross compiler knows its own even where CMake found none.
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-multiarch OUTPUT_VARIABLE MUROX_MULTIARCH
                    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
if(MUROX_MULTIARCH)
    set(MUROX_LIBDIR lib/${MUROX_MULTIARCH} CACHE PATH "Library directory, below the prefix")
    # Shadows the cache entry GNUInstallDirs keeps, for every directory.
    set(CMAKE_INSTALL_LIBDIR ${MUROX_LIBDIR})
endif()
include(GNUInstallDirs)

# The host's own libraries (the stand-in framework and the registry) are
# private to murox, which finds them through its run path; the sample
# extensions sit beside them.
set(MUROX_INSTALL_PRIVATEDIR ${CMAKE_INSTALL_LIBDIR}/murox)
