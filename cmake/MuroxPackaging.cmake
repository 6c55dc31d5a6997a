# Debian packages, one per install component:
#   libmurox1     runtime      the library and its SONAME link
#   libmurox-dev  development  headers, libMUROX.so, murox.pc, CMake package
#   murox-host    host         the reference host
# Build them with `cpack -G DEB` in the build tree.

# The package architecture is the target's, never the build machine's: a
# PowerPC cross build yields powerpc packages on an x86-64 machine.
set(MUROX_DEB_ARCHITECTURES
    x86_64=amd64 amd64=amd64 AMD64=amd64 i386=i386 i486=i386 i586=i386 i686=i386 aarch64=arm64
    arm64=arm64 armv7l=armhf armhf=armhf powerpc=powerpc ppc=powerpc ppc64=ppc64 ppc64le=ppc64el)
set(MUROX_DEB_ARCHITECTURE_DEFAULT "")
foreach(pair IN LISTS MUROX_DEB_ARCHITECTURES)
    string(REPLACE "=" ";" pair "${pair}")
    list(GET pair 0 processor)
    if(processor STREQUAL CMAKE_SYSTEM_PROCESSOR)
        list(GET pair 1 MUROX_DEB_ARCHITECTURE_DEFAULT)
    endif()
endforeach()
set(MUROX_DEB_ARCHITECTURE "${MUROX_DEB_ARCHITECTURE_DEFAULT}"
    CACHE STRING "Debian architecture of the packages (derived from CMAKE_SYSTEM_PROCESSOR)")
if(NOT MUROX_DEB_ARCHITECTURE)
    message(WARNING "No Debian architecture known for processor '${CMAKE_SYSTEM_PROCESSOR}'; "
                    "set MUROX_DEB_ARCHITECTURE to build packages.")
endif()

set(CPACK_PACKAGE_NAME murox)
set(CPACK_PACKAGE_VENDOR "libMUROX developers")
# .example is reserved for names that reach no one: the project has no list yet.
set(CPACK_PACKAGE_CONTACT "libMUROX developers <murox-dev@murox.example>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VERSION_MAJOR ${PROJECT_VERSION_MAJOR})
set(CPACK_PACKAGE_VERSION_MINOR ${PROJECT_VERSION_MINOR})
set(CPACK_PACKAGE_VERSION_PATCH ${PROJECT_VERSION_PATCH})
# Names CPack's staging folder.
set(CPACK_PACKAGE_FILE_NAME ${CPACK_PACKAGE_NAME}-${MUROX_DEB_VERSION})
# The packages' version, MUROX_DEB_VERSION, is the changelog's top entry's
# (the top-level CMakeLists.txt reads it): with a Debian revision when it
# has one.
if(MUROX_DEB_REVISION)
    set(CPACK_DEBIAN_PACKAGE_RELEASE ${MUROX_DEB_REVISION})
endif()
# Installed straight to the final prefix below a staging root (DESTDIR), so
# that the default configuration names the /usr paths of the samples.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_GENERATOR DEB)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime development)
if(MUROX_HOST_LIBRARIES OR MUROX_HOST_PROGRAMS)
    list(APPEND CPACK_COMPONENTS_ALL host)
endif()

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${MUROX_DEB_ARCHITECTURE})
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)

set(MUROX_DEB_RUNTIME libmurox${PROJECT_VERSION_MAJOR})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${MUROX_DEB_RUNTIME})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION
    "plug-in library of the murox daemon\nThe xdll command, the event log and the virtual directory table, which\nthe murox daemon loads into its process. The library binds to the\ndaemon's framework and registry at load time."
)

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libmurox-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
# The library built with them, exactly: ${binary:Version}, revision included.
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "${MUROX_DEB_RUNTIME} (= ${MUROX_DEB_VERSION})")
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION
    "development files of libMUROX\nHeaders (with the host framework declarations), murox.pc and the CMake\npackage MUROX for building a daemon that loads libMUROX; for the extension\nlibraries that murox loads, murox-extension.pc, murox_add_extension() in\nthe CMake package, the manual page murox-extension(7) and an example."
)

set(CPACK_DEBIAN_HOST_PACKAGE_NAME murox-host)
# The names a pack replaces, whatever their versions (MuroxDebControl.cmake.in).
set(MUROX_DEB_PACKAGES
    "${MUROX_DEB_RUNTIME}|${CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME}|${CPACK_DEBIAN_HOST_PACKAGE_NAME}"
)
set(CPACK_DEBIAN_HOST_PACKAGE_SECTION net)
# adduser makes the group murox in the postinst.
set(CPACK_DEBIAN_HOST_PACKAGE_DEPENDS "${MUROX_DEB_RUNTIME} (= ${MUROX_DEB_VERSION}), adduser")
set(CPACK_DEBIAN_HOST_DESCRIPTION
    "reference host for libMUROX\nThe stand-in framework, the murox host and daemon with its systemd unit,\nits extension registry, sample extensions and a default configuration."
)

# Control files beyond CPack's own, per package, with the permissions dpkg
# expects (0644).
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(MUROX_DEB_CONTROL ${PROJECT_BINARY_DIR}/debian)

# The library's symbols, each with the version that introduced it, as
# dpkg-gensymbols writes them (cmake/debian/libmurox1.symbols, checked by
# the test library.symbols); and shlibs, for a package built against the
# library without symbols support: both make it depend on libmurox1 (>= the
# version it needs). shlibs is written here: CPack's own would come with
# maintainer scripts that run ldconfig, which the trigger below does.
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/${MUROX_DEB_RUNTIME}.symbols
               ${MUROX_DEB_CONTROL}/runtime/symbols COPYONLY)
file(WRITE ${MUROX_DEB_CONTROL}/runtime/shlibs
     "libMUROX ${PROJECT_VERSION_MAJOR} ${MUROX_DEB_RUNTIME} (>= ${PROJECT_VERSION})\n")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${MUROX_DEB_CONTROL}/runtime/symbols
                                               ${MUROX_DEB_CONTROL}/runtime/shlibs)

# The library is on the linker's path: the trigger has dpkg refresh its
# cache once per run, and no maintainer script runs ldconfig. The host's
# libraries are private, found through murox's run path.
file(WRITE ${MUROX_DEB_CONTROL}/runtime/triggers "activate-noawait ldconfig\n")
list(APPEND CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${MUROX_DEB_CONTROL}/runtime/triggers)
# The configuration is the operator's: an upgrade keeps their edits. The
# maintainer scripts make the group murox and enable, start, restart and
# stop the daemon's unit.
file(WRITE ${MUROX_DEB_CONTROL}/host/conffiles "/etc/murox/murox.conf\n")
set(CPACK_DEBIAN_HOST_PACKAGE_CONTROL_EXTRA ${MUROX_DEB_CONTROL}/host/conffiles)
foreach(script postinst prerm postrm)
    configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/${CPACK_DEBIAN_HOST_PACKAGE_NAME}.${script}
                   ${MUROX_DEB_CONTROL}/host/${script} COPYONLY)
    list(APPEND CPACK_DEBIAN_HOST_PACKAGE_CONTROL_EXTRA ${MUROX_DEB_CONTROL}/host/${script})
endforeach()
# Shipped stripped, as Debian wants; the ABI baselines are taken from the
# build tree, which keeps its debug information.
set(CPACK_STRIP_FILES ON)

# Runtime dependencies are computed from what the binaries need, not
# written by hand; the dependencies written above (on libmurox1 at this
# very version) are added to them. The library's, always, and the host's
# in a cross build, by dpkg-shlibdeps at packaging time
# (cmake/MuroxDebControl.cmake.in): CPack's own run of it would make it look
# at the library as a shared object on the linker's path, and give its
# package maintainer scripts that run ldconfig.
set(MUROX_DEB_PRIVATE_DIRS ${PROJECT_BINARY_DIR})
foreach(target kaf extagents)
    if(TARGET ${target})
        get_target_property(dir ${target} BINARY_DIR)
        list(APPEND MUROX_DEB_PRIVATE_DIRS ${dir})
    endif()
endforeach()
set(MUROX_DEB_RUNTIME_BINARIES $<TARGET_FILE:MUROX>)
set(MUROX_DEB_HOST_BINARIES)
set(MUROX_DEB_SYSROOT_LIBS)
if(NOT CMAKE_CROSSCOMPILING)
    # Natively, the host's by CPack's run of dpkg-shlibdeps, from this
    # machine's package database. The host's own libraries and libMUROX are
    # found in the build tree, belong to no installed package and so add
    # nothing.
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS OFF)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${MUROX_DEB_PRIVATE_DIRS})
else()
    # Across, this machine's package database knows the target's C and C++
    # runtimes only as the cross toolchain's packages (libc6-powerpc-cross
    # and so on), whose shlibs and symbols files name the target's packages
    # (libc6:powerpc) or themselves. dpkg-shlibdeps runs for the target's
    # architecture on the build's binaries with those libraries, and the
    # names are mapped back to the target's packages.
    foreach(target IN LISTS MUROX_HOST_LIBRARIES MUROX_HOST_PROGRAMS MUROX_HOST_EXTENSIONS)
        list(APPEND MUROX_DEB_HOST_BINARIES $<TARGET_FILE:${target}>)
    endforeach()
    foreach(root IN LISTS CMAKE_FIND_ROOT_PATH)
        list(APPEND MUROX_DEB_SYSROOT_LIBS ${root}/lib)
    endforeach()
endif()
# dpkg-shlibdeps (dpkg-dev) is looked for at packaging time: building
# needs none.
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_BINARY_DIR}/MuroxDebControl.cmake)

# Each package's copyright and changelog, where Debian looks for them: the
# checked-in changelog, as changelog.gz for a version without a Debian
# revision (a native package), else as changelog.Debian.gz. A package's
# lintian overrides, where it has them, say why: the host's sample
# extensions link no C library, the extensions' pkg-config module gives
# the flags of a plug-in.
set(MUROX_DEB_CHANGELOG_NAME changelog.gz)
if(MUROX_DEB_REVISION)
    set(MUROX_DEB_CHANGELOG_NAME changelog.Debian.gz)
endif()
# -n: no name or time stamp, so the same text gives the same file.
execute_process(COMMAND ${MUROX_GZIP} -9nc ${MUROX_CHANGELOG}
                OUTPUT_FILE ${MUROX_DEB_CONTROL}/${MUROX_DEB_CHANGELOG_NAME})
foreach(component IN LISTS CPACK_COMPONENTS_ALL)
    string(TOUPPER ${component} upper)
    install(
        FILES ${CMAKE_CURRENT_LIST_DIR}/debian/copyright
              ${MUROX_DEB_CONTROL}/${MUROX_DEB_CHANGELOG_NAME}
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_DEBIAN_${upper}_PACKAGE_NAME}
        COMPONENT ${component})
    set(overrides
        ${CMAKE_CURRENT_LIST_DIR}/debian/${CPACK_DEBIAN_${upper}_PACKAGE_NAME}.lintian-overrides)
    if(EXISTS ${overrides})
        install(FILES ${overrides} DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides
                RENAME ${CPACK_DEBIAN_${upper}_PACKAGE_NAME} COMPONENT ${component})
    endif()
endforeach()
# The host's first steps, where Debian's administrators look for them.
install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/murox-host.README.Debian
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_DEBIAN_HOST_PACKAGE_NAME}
        RENAME README.Debian COMPONENT host)
# The example extension, as its authors start from it.
install(
    DIRECTORY ${PROJECT_SOURCE_DIR}/examples/extension
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME}/examples
    COMPONENT development)

# Every setting of CPack's that the version decides, as this configuration
# has it: the packaging script sets them again over what CPack read, in
# case the changelog changed since (it then configures and builds the tree
# anew and reads the fresh script instead).
set(MUROX_CPACK_VERSIONED "")
foreach(
    var
    CPACK_PACKAGE_VERSION
    CPACK_PACKAGE_VERSION_MAJOR
    CPACK_PACKAGE_VERSION_MINOR
    CPACK_PACKAGE_VERSION_PATCH
    CPACK_PACKAGE_FILE_NAME
    CPACK_DEBIAN_PACKAGE_RELEASE
    CPACK_DEBIAN_RUNTIME_PACKAGE_NAME
    CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS
    CPACK_DEBIAN_HOST_PACKAGE_DEPENDS)
    if("${${var}}" STREQUAL "")
        string(APPEND MUROX_CPACK_VERSIONED "unset(${var})\n")
    else()
        string(APPEND MUROX_CPACK_VERSIONED "set(${var} \"${${var}}\")\n")
    endif()
endforeach()
configure_file(${CMAKE_CURRENT_LIST_DIR}/MuroxDebControl.cmake.in
               ${PROJECT_BINARY_DIR}/MuroxDebControl.cmake.gen @ONLY)
file(GENERATE OUTPUT ${PROJECT_BINARY_DIR}/MuroxDebControl.cmake
     INPUT ${PROJECT_BINARY_DIR}/MuroxDebControl.cmake.gen)

include(CPack)
