# Install rules. Three components:
#   runtime      the library with its SONAME link: what a daemon's target needs
#   development  headers, the unversioned link, murox.pc and the CMake package
#   host         the reference host: stand-in framework, murox, registry,
#                sample extensions and the default configuration
# Included at the end of the top-level CMakeLists.txt, once every target exists.

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(MUROX_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/MUROX)
set(MUROX_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/murox)
# Extension libraries are opened by path, not found by the dynamic linker.
set(MUROX_INSTALL_EXTDIR ${CMAKE_INSTALL_LIBDIR}/murox)

target_include_directories(MUROX PUBLIC $<INSTALL_INTERFACE:${MUROX_INSTALL_INCLUDEDIR}>)

install(TARGETS MUROX EXPORT MUROXTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
                COMPONENT runtime
                NAMELINK_COMPONENT development)

# Consumers write "xdll/XDllCmdHndlr.h", "hostapi/BString.h": the folders
# keep their names under one include directory.
foreach(dir xdll eventlog vdirs hostapi)
    install(DIRECTORY ${PROJECT_SOURCE_DIR}/${dir}/
            DESTINATION ${MUROX_INSTALL_INCLUDEDIR}/${dir}
            COMPONENT development
            FILES_MATCHING PATTERN "*.h")
endforeach()

install(EXPORT MUROXTargets
        NAMESPACE MUROX::
        DESTINATION ${MUROX_INSTALL_CMAKEDIR}
        COMPONENT development)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/MUROXConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/MUROXConfig.cmake
                              INSTALL_DESTINATION ${MUROX_INSTALL_CMAKEDIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/MUROXConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/MUROXConfig.cmake ${PROJECT_BINARY_DIR}/MUROXConfigVersion.cmake
        DESTINATION ${MUROX_INSTALL_CMAKEDIR}
        COMPONENT development)

# The .pc file finds its prefix from its own place, so a staged or
# relocated tree works as well as /usr.
file(RELATIVE_PATH MUROX_PC_TO_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" MUROX_PC_TO_PREFIX "${MUROX_PC_TO_PREFIX}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/murox.pc.in ${PROJECT_BINARY_DIR}/murox.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/murox.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
        COMPONENT development)

# The reference host. Its targets come and go with host/; install those
# that this configuration builds. Built only for the tests, it is not installed.
set(MUROX_HOST_LIBRARIES)
set(MUROX_HOST_PROGRAMS)
set(MUROX_HOST_EXTENSIONS)
foreach(target kaf extagents)
    if(MUROX_BUILD_HOST AND TARGET ${target})
        list(APPEND MUROX_HOST_LIBRARIES ${target})
    endif()
endforeach()
if(MUROX_BUILD_HOST AND TARGET murox)
    list(APPEND MUROX_HOST_PROGRAMS murox)
endif()
# Sample extensions: any shared or module library defined under host/
# other than the framework and the registry.
function(murox_collect_host_extensions dir)
    get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
    foreach(target IN LISTS targets)
        get_target_property(type ${target} TYPE)
        if(type MATCHES "^(SHARED|MODULE)_LIBRARY$" AND NOT target IN_LIST MUROX_HOST_LIBRARIES)
            list(APPEND MUROX_HOST_EXTENSIONS ${target})
        endif()
    endforeach()
    get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
    foreach(subdir IN LISTS subdirs)
        murox_collect_host_extensions(${subdir})
    endforeach()
    set(MUROX_HOST_EXTENSIONS ${MUROX_HOST_EXTENSIONS} PARENT_SCOPE)
endfunction()
if(MUROX_BUILD_HOST)
    murox_collect_host_extensions(${PROJECT_SOURCE_DIR}/host)
endif()

if(MUROX_HOST_LIBRARIES)
    install(TARGETS ${MUROX_HOST_LIBRARIES}
            LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT host)
endif()
if(MUROX_HOST_PROGRAMS)
    install(TARGETS ${MUROX_HOST_PROGRAMS}
            RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT host)
endif()
if(MUROX_HOST_EXTENSIONS)
    install(TARGETS ${MUROX_HOST_EXTENSIONS}
            LIBRARY DESTINATION ${MUROX_INSTALL_EXTDIR} COMPONENT host)
endif()
# The default configuration names the sample extensions by path, so it is
# written at install time, for the prefix installed to. It goes under
# share/: an absolute /etc destination would escape a staged install.
set(MUROX_CONFIG_TEMPLATE ${PROJECT_SOURCE_DIR}/host/murox.conf.in)
if(MUROX_BUILD_HOST AND EXISTS ${MUROX_CONFIG_TEMPLATE})
    install(CODE "
        set(MUROX_SAMPLE_DIR \${CMAKE_INSTALL_PREFIX}/${MUROX_INSTALL_EXTDIR})
        set(config \$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DATADIR}/murox/murox.conf)
        message(STATUS \"Installing: \${config}\")
        configure_file(${MUROX_CONFIG_TEMPLATE} \${config} @ONLY)"
        COMPONENT host)
endif()

include(${CMAKE_CURRENT_LIST_DIR}/MuroxPackaging.cmake)
