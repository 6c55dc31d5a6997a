# Install rules. Three components:
#   runtime      the library with its SONAME link: what a daemon's target needs
#   development  headers, the unversioned link, murox.pc and the CMake package;
#                for extension libraries murox-extension.pc, the CMake helper,
#                murox-extension(7) and an example project
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
    murox/MuroxExt.h
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
# murox_add_extension(), which MUROXConfig.cmake includes.
install(FILES ${CMAKE_CURRENT_LIST_DIR}/MuroxExtension.cmake DESTINATION ${MUROX_INSTALL_CMAKEDIR}
        COMPONENT development)

# The .pc file finds its prefix from its own place, so a staged or
# relocated tree works as well as /usr.
file(RELATIVE_PATH MUROX_PC_TO_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" MUROX_PC_TO_PREFIX "${MUROX_PC_TO_PREFIX}")
foreach(module murox murox-extension)
    configure_file(${CMAKE_CURRENT_LIST_DIR}/${module}.pc.in ${PROJECT_BINARY_DIR}/${module}.pc
                   @ONLY)
    install(FILES ${PROJECT_BINARY_DIR}/${module}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
            COMPONENT development)
endforeach()

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
# directory alone. The private libraries find each other beside them; the
# samples, opened by murox, need none.
#
# These binaries are linked with their run path (BUILD_WITH_INSTALL_RPATH),
# never given one by CMake's install-time editor: for that, CMake pads the
# build tree's run path with empty elements, which the dynamic loader reads
# as the current directory. The run path they are linked with names the
# build tree's libraries first, from the binary's own place, then what the
# install names; the install leaves only the latter (for its prefix),
# which always fits where the whole stood.
file(RELATIVE_PATH MUROX_BIN_TO_LIB /${CMAKE_INSTALL_BINDIR} /${CMAKE_INSTALL_LIBDIR})
set(MUROX_PRIVATE_RPATH "$ORIGIN/${MUROX_BIN_TO_LIB}/murox")

# The directory the build writes TARGET's file to.
function(murox_output_dir target out)
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "EXECUTABLE")
        get_target_property(dir ${target} RUNTIME_OUTPUT_DIRECTORY)
    else()
        get_target_property(dir ${target} LIBRARY_OUTPUT_DIRECTORY)
    endif()
    if(NOT dir)
        get_target_property(dir ${target} BINARY_DIR)
    endif()
    set(${out} ${dir} PARENT_SCOPE)
endfunction()

# murox_run_path(TARGET DESTINATION UNDER_USR ELSEWHERE): TARGET, installed
# to DESTINATION, runs with UNDER_USR as its run path under /usr and
# ELSEWHERE under any other prefix (lists; empty for none).
set(MUROX_RUN_PATHS)
function(murox_run_path target destination under_usr elsewhere)
    murox_output_dir(${target} own)
    set(linked)
    get_target_property(libraries ${target} LINK_LIBRARIES)
    foreach(library IN LISTS libraries)
        if(TARGET ${library})
            get_target_property(type ${library} TYPE)
            if(type STREQUAL "SHARED_LIBRARY")
                murox_output_dir(${library} dir)
                file(RELATIVE_PATH relative ${own} ${dir})
                string(REGEX REPLACE "/$" "" element "$ORIGIN/${relative}")
                list(APPEND linked ${element})
            endif()
        endif()
    endforeach()
    list(REMOVE_DUPLICATES linked)
    list(APPEND linked ${elsewhere})
    set_target_properties(${target} PROPERTIES BUILD_WITH_INSTALL_RPATH ON INSTALL_RPATH
                                                                           "${linked}")
    string(REPLACE ";" ":" under_usr "${under_usr}")
    string(REPLACE ";" ":" elsewhere "${elsewhere}")
    set(MUROX_RUN_PATHS ${MUROX_RUN_PATHS}
                        "${destination}/$<TARGET_FILE_NAME:${target}>=${under_usr}=${elsewhere}"
        PARENT_SCOPE)
endfunction()

foreach(target IN LISTS MUROX_HOST_LIBRARIES)
    murox_run_path(${target} ${MUROX_INSTALL_PRIVATEDIR} "$ORIGIN" "$ORIGIN;$ORIGIN/..")
endforeach()
foreach(target IN LISTS MUROX_HOST_PROGRAMS)
    murox_run_path(${target} ${CMAKE_INSTALL_BINDIR} "${MUROX_PRIVATE_RPATH}"
                   "${MUROX_PRIVATE_RPATH};$ORIGIN/${MUROX_BIN_TO_LIB}")
endforeach()
foreach(target IN LISTS MUROX_HOST_EXTENSIONS)
    murox_run_path(${target} ${MUROX_INSTALL_EXTDIR} "" "")
endforeach()
if(MUROX_HOST_LIBRARIES)
    install(TARGETS ${MUROX_HOST_LIBRARIES} LIBRARY DESTINATION ${MUROX_INSTALL_PRIVATEDIR}
                                                    COMPONENT host)
endif()
if(MUROX_HOST_PROGRAMS)
    install(TARGETS ${MUROX_HOST_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
                                                   COMPONENT host)
endif()
if(MUROX_HOST_EXTENSIONS)
    install(TARGETS ${MUROX_HOST_EXTENSIONS} LIBRARY DESTINATION ${MUROX_INSTALL_EXTDIR}
                                                     COMPONENT host)
endif()
if(MUROX_RUN_PATHS)
    install(
        CODE "
        foreach(entry ${MUROX_RUN_PATHS})
            string(REGEX MATCH \"^([^=]*)=([^=]*)=(.*)$\" ignored \"\${entry}\")
            set(file \$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/\${CMAKE_MATCH_1})
            set(path \"\${CMAKE_MATCH_3}\")
            if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
                set(path \"\${CMAKE_MATCH_2}\")
            endif()
            if(path)
                file(RPATH_SET FILE \${file} NEW_RPATH \"\${path}\")
            else()
                file(RPATH_REMOVE FILE \${file})
            endif()
        endforeach()"
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

# The manual pages, compressed as Debian wants them: murox(1) and
# murox.conf(5) with the host, murox-extension(7) for the extensions'
# authors; and the bash completion of murox.
find_program(MUROX_GZIP gzip REQUIRED)
set(MUROX_DOC_DIR ${PROJECT_SOURCE_DIR}/host/doc)
function(murox_man_page page component)
    string(REGEX MATCH "[0-9]$" section ${page})
    configure_file(${MUROX_DOC_DIR}/${page}.in ${PROJECT_BINARY_DIR}/man/${page} @ONLY)
    # -n: no name or time stamp, so the same text gives the same file.
    execute_process(COMMAND ${MUROX_GZIP} -9nc ${PROJECT_BINARY_DIR}/man/${page}
                    OUTPUT_FILE ${PROJECT_BINARY_DIR}/man/${page}.gz)
    install(FILES ${PROJECT_BINARY_DIR}/man/${page}.gz
            DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section} COMPONENT ${component})
endfunction()
murox_man_page(murox-extension.7 development)
if(MUROX_BUILD_HOST AND "${MUROX_HOST_PROGRAMS}" MATCHES murox)
    murox_man_page(murox.1 host)
    murox_man_page(murox.conf.5 host)
    install(FILES ${MUROX_DOC_DIR}/murox.bash-completion
            DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions RENAME murox
            COMPONENT host)
endif()

include(${CMAKE_CURRENT_LIST_DIR}/MuroxPackaging.cmake)
