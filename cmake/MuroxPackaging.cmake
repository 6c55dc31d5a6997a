# Debian packages, one per install component:
#   libmurox1     runtime      the library and its SONAME link
#   libmurox-dev  development  headers, libMUROX.so, murox.pc, CMake package
#   murox-host    host         the reference host
# Build them with `cpack -G DEB` in the build tree.

# The package architecture is the target's, never the build machine's: a
# PowerPC cross build yields powerpc packages on an x86-64 machine.
set(MUROX_DEB_ARCHITECTURES
    x86_64=amd64 amd64=amd64 AMD64=amd64
    i386=i386 i486=i386 i586=i386 i686=i386
    aarch64=arm64 arm64=arm64 armv7l=armhf armhf=armhf
    powerpc=powerpc ppc=powerpc ppc64=ppc64 ppc64le=ppc64el)
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
set(CPACK_PACKAGE_CONTACT "libMUROX developers <murox-dev@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
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
set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "libc6, libstdc++6")
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION
    "${PROJECT_DESCRIPTION}\nThe plug-in library the murox daemon loads into its process. It binds\nto the daemon's framework and registry at load time.")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libmurox-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "${MUROX_DEB_RUNTIME} (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION
    "development files of libMUROX\nHeaders (with the host framework declarations), murox.pc and the CMake\npackage MUROX for building a daemon that loads libMUROX.")

set(CPACK_DEBIAN_HOST_PACKAGE_NAME murox-host)
set(CPACK_DEBIAN_HOST_PACKAGE_SECTION net)
set(CPACK_DEBIAN_HOST_PACKAGE_DEPENDS "${MUROX_DEB_RUNTIME} (= ${PROJECT_VERSION}), libc6, libstdc++6")
set(CPACK_DEBIAN_HOST_DESCRIPTION
    "reference host for libMUROX\nThe stand-in framework, the murox host, its extension registry, sample\nextensions and a default configuration.")

include(CPack)
