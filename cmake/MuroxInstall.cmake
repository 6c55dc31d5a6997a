# Install rules. Three components:
#   runtime      the library with its SONAME link: what a daemon's target needs
#   development  headers, the unversioned link, murox.pc and the CMake package
#   host         the reference host: stand-in framework, murox, registry,
#                sample extensions and the default configuration
# Included at the end of the top-level CMakeLists.txt, once every target exists.

include(CMakePackageConfigHelpers)

set(MUROX_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/MUROX)
set(MUROX_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/murox)
# Extension libraries are opened by path, not found by the dynamic linker:
# the samples go beside the host's private libraries (cmake/MuroxLayout.cmake).
set(MUROX_INSTALL_EXTDIR ${MUROX_INSTALL_PRIVATEDIR})

target_include_directories(MUROX PUBLIC $<INSTALL_INTERFACE:${MUROX_INSTALL_INCLUDEDIR}>)

install(TARGETS MUROX EXPORT MUROXTargets LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
                                                  COMPONENT runtime NAMELINK_COMPONENT development)

# The public headers, listed one by one so that an internal header (the
# xdll actions' XDllLine.h, the table's layout checks) never ships.
# Consumers write "xdll/XDllCmdHndlr.h", "hostapi/BString.h": the folders
# keep their names under one include directory.
set(MUROX_PUBLIC_HEADERS
    murox/MuroxExport.h
    xdll/MuroxEntry.h
    xdll/XDllCmdHndlr.h
    eventlog/MuroxLogEvent.h
    eventlog/MuroxMsg.h
    eventlog/MuroxMsgSubscriber.h
    vdirs/VirtualDirs.h
    hostapi/BCmdHandler.h
    hostapi/BCmdLineParser.h
    hostapi/BFileNV.h
    hostapi/BMessage.h
    hostapi/BString.h
    hostapi/CliEntry.h
    hostapi/DLLExtAgents.h
    hostapi/ICmdStream.h
    hostapi/KafApi.h
    hostapi/LayoutChecks.h
    hostapi/TTraceGuard.h)
foreach(header IN LISTS MUROX_PUBLIC_HEADERS)
    get_filename_component(dir ${header} DIRECTORY)
    install(FILES ${PROJECT_SOURCE_DIR}/${header} DESTINATION ${MUROX_INSTALL_INCLUDEDIR}/${dir}
            COMPONENT development)
endforeach()

install(EXPORT MUROXTargets NAMESPACE MUROX:: DESTINATION ${MUROX_INSTALL_CMAKEDIR}
        COMPONENT development)
configure_package_config_file(
    ${CMAKE_CURRENT_LIST_DIR}/MUROXConfig.cmake.in ${PROJECT_BINARY_DIR}/MUROXConfig.cmake
    INSTALL_DESTINATION ${MUROX_INSTALL_CMAKEDIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/MUROXConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/MUROXConfig.cmake ${PROJECT_BINARY_DIR}/MUROXConfigVersion.cmake
        DESTINATION ${MUROX_INSTALL_CMAKEDIR} COMPONENT development)

# The .pc file finds its prefix from its own place, so a staged or
# relocated tree works as well as /usr.
file(RELATIVE_PATH MUROX_PC_TO_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" MUROX_PC_TO_PREFIX "${MUROX_PC_TO_PREFIX}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/murox.pc.in ${PROJECT_BINARY_DIR}/murox.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/murox.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
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

# An installed murox finds the framework and the registry in its private
# directory, and libMUROX in the library directory, through its run path,
# seen from its own place, under any prefix. Under /usr the dynamic
# linker's own search path holds libMUROX, and Debian allows a run path
# only to a package's private libraries: there it names the private
# directory alone. The private libraries find each other beside them.
file(RELATIVE_PATH MUROX_BIN_TO_LIB /${CMAKE_INSTALL_BINDIR} /${CMAKE_INSTALL_LIBDIR})
set(MUROX_PRIVATE_RPATH "$ORIGIN/${MUROX_BIN_TO_LIB}/murox")
if(MUROX_HOST_LIBRARIES)
    set_target_properties(${MUROX_HOST_LIBRARIES} PROPERTIES INSTALL_RPATH "$ORIGIN;$ORIGIN/..")
    install(TARGETS ${MUROX_HOST_LIBRARIES} LIBRARY DESTINATION ${MUROX_INSTALL_PRIVATEDIR}
                                                    COMPONENT host)
endif()
if(MUROX_HOST_PROGRAMS)
    set_target_properties(
        ${MUROX_HOST_PROGRAMS} PROPERTIES INSTALL_RPATH
                                          "${MUROX_PRIVATE_RPATH};$ORIGIN/${MUROX_BIN_TO_LIB}")
    install(TARGETS ${MUROX_HOST_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
                                                   COMPONENT host)
endif()
set(MUROX_HOST_RPATH_FILES)
foreach(target IN LISTS MUROX_HOST_LIBRARIES)
    list(APPEND MUROX_HOST_RPATH_FILES
         "${MUROX_INSTALL_PRIVATEDIR}/$<TARGET_FILE_NAME:${target}>=$ORIGIN")
endforeach()
foreach(target IN LISTS MUROX_HOST_PROGRAMS)
    list(APPEND MUROX_HOST_RPATH_FILES
         "${CMAKE_INSTALL_BINDIR}/$<TARGET_FILE_NAME:${target}>=${MUROX_PRIVATE_RPATH}")
endforeach()
if(MUROX_HOST_RPATH_FILES)
    install(
        CODE "
        if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
            foreach(entry ${MUROX_HOST_RPATH_FILES})
                string(REGEX MATCH \"^([^=]*)=(.*)$\" ignored \"\${entry}\")
                file(RPATH_SET FILE \$ENV{DESTDIR}/usr/\${CMAKE_MATCH_1} NEW_RPATH \"\${CMAKE_MATCH_2}\")
            endforeach()
        endif()"
        COMPONENT host)
endif()
if(MUROX_HOST_EXTENSIONS)
    install(TARGETS ${MUROX_HOST_EXTENSIONS} LIBRARY DESTINATION ${MUROX_INSTALL_EXTDIR}
                                                     COMPONENT host)
endif()
# The default configuration names the sample extensions by path, and the
# daemon's systemd unit names murox and the configuration, so both are
# written at install time, for the prefix installed to. The installed
# configuration loads only the samples that work: the failing ones are
# commented out, as examples, and so is the extension directory of the
# build tree's, where the defaults hold the samples. The configuration
# goes to that prefix's sysconfdir by GNUInstallDirs' rule (/etc for / and
# /usr, /etc/opt/NAME for /opt/NAME, <prefix>/etc otherwise), where murox
# looks for it relative to its own folder (host/program/CMakeLists.txt); the
# unit to /lib/systemd/system for /usr, else to <prefix>/lib/systemd/system.
# Neither text holds DESTDIR, so a staged install (CPack's) names the final
# paths. The configuration is 0644 and its folder 0755, whatever the umask
# of the build: only root may write them, since the daemon loads what the
# file names and rewrites it through a temporary file in the folder, and
# anyone may read them (murox --check, an operator's look), which holds no
# secret and blocks nothing: murox's lock is a file of its own in its
# runtime directory.
set(MUROX_CONFIG_TEMPLATE ${PROJECT_SOURCE_DIR}/host/murox.conf.in)
set(MUROX_SERVICE_TEMPLATE ${PROJECT_SOURCE_DIR}/host/service/murox.service.in)
if(MUROX_BUILD_HOST AND EXISTS ${MUROX_CONFIG_TEMPLATE})
    install(
        CODE "
        set(MUROX_SAMPLE_DIR \${CMAKE_INSTALL_PREFIX}/${MUROX_INSTALL_EXTDIR})
        set(MUROX_BINDIR \${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR})
        set(MUROX_RUNDIR /run/murox)
        set(MUROX_FAILING \"# \")
        set(MUROX_DEVELOPMENT \"# \")
        if(CMAKE_INSTALL_PREFIX MATCHES \"^/(usr/?)?$\")
            set(MUROX_CONFDIR /etc/murox)
            set(unitdir /lib/systemd/system)
        else()
            if(CMAKE_INSTALL_PREFIX MATCHES \"^/opt/\")
                set(MUROX_CONFDIR /etc\${CMAKE_INSTALL_PREFIX}/murox)
            else()
                set(MUROX_CONFDIR \${CMAKE_INSTALL_PREFIX}/etc/murox)
            endif()
            set(unitdir \${CMAKE_INSTALL_PREFIX}/lib/systemd/system)
        endif()
        set(written \$ENV{DESTDIR}\${MUROX_CONFDIR}/murox.conf)
        message(STATUS \"Installing: \${written}\")
        configure_file(${MUROX_CONFIG_TEMPLATE} \${written} @ONLY
                       FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
        file(CHMOD \$ENV{DESTDIR}\${MUROX_CONFDIR} PERMISSIONS OWNER_READ OWNER_WRITE
             OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
        if(EXISTS ${MUROX_SERVICE_TEMPLATE} AND \"${MUROX_HOST_PROGRAMS}\" MATCHES murox)
            set(written \$ENV{DESTDIR}\${unitdir}/murox.service)
            message(STATUS \"Installing: \${written}\")
            configure_file(${MUROX_SERVICE_TEMPLATE} \${written} @ONLY)
        endif()"
        COMPONENT host)
endif()

# The manual pages murox(1) and murox.conf(5), compressed as Debian wants
# them, and the bash completion of murox.
find_program(MUROX_GZIP gzip REQUIRED)
set(MUROX_DOC_DIR ${PROJECT_SOURCE_DIR}/host/doc)
if(MUROX_BUILD_HOST AND "${MUROX_HOST_PROGRAMS}" MATCHES murox)
    foreach(page murox.1 murox.conf.5)
        string(REGEX MATCH "[0-9]$" section ${page})
        configure_file(${MUROX_DOC_DIR}/${page}.in ${PROJECT_BINARY_DIR}/man/${page} @ONLY)
        # -n: no name or time stamp, so the same text gives the same file.
        execute_process(COMMAND ${MUROX_GZIP} -9nc ${PROJECT_BINARY_DIR}/man/${page}
                        OUTPUT_FILE ${PROJECT_BINARY_DIR}/man/${page}.gz)
        install(FILES ${PROJECT_BINARY_DIR}/man/${page}.gz
                DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section} COMPONENT host)
    endforeach()
    install(FILES ${MUROX_DOC_DIR}/murox.bash-completion
            DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions RENAME murox
            COMPONENT host)
endif()

include(${CMAKE_CURRENT_LIST_DIR}/MuroxPackaging.cmake)
