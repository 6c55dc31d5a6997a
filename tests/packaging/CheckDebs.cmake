# Builds the Debian packages of the build tree with CPack and checks each
# one's control fields and contents, that its Depends name the package of
# every library its binaries need, the library's symbols and shlibs, the
# host's configuration, service unit (and systemd's rating of its
# hardening), manual pages and run paths, and that the host ships its
# maintainer scripts; then lintian, failing on any error or warning (among
# them binaries of another architecture, a missing conffile, shlibs or
# ldconfig trigger, a file of the wrong mode, man's warnings). What the
# scripts do is checked with stand-ins for systemd's tools
# (packaging.maintainer_scripts) and by installing the packages in a Debian
# system (packaging.distro).

cmake_minimum_required(VERSION 3.20)

string(REPLACE "|" ";" HOST_FILES "${HOST_FILES}")
string(REGEX MATCH "^[0-9]+" major "${VERSION}")
string(REGEX REPLACE "([][+.*()^$?|\\\\])" "\\\\\\1" deb_version_pattern "${DEB_VERSION}")
file(REMOVE_RECURSE ${WORK_DIR})

include(${CMAKE_CURRENT_LIST_DIR}/Run.cmake)

# Packs without building (CTest runs after the build); CPack runs no "preinstall" step for Ninja.
run("cpack" ${CPACK} --config ${BUILD_DIR}/CPackConfig.cmake -G DEB -B ${WORK_DIR} -D
    CPACK_CMAKE_GENERATOR=Ninja)

# The packages' architecture, whose binaries lintian checks are of it, and its multiarch directory,
# where the library goes whatever the configured prefix.
file(GLOB runtime_deb ${WORK_DIR}/libmurox${major}_*.deb)
run("dpkg-deb --field" ${DPKG_DEB} --field ${runtime_deb} Architecture)
string(STRIP "${output}" arch)
run("dpkg-architecture" dpkg-architecture -a${arch} -qDEB_HOST_MULTIARCH)
string(STRIP "${output}" multiarch)
set(failures "")
set(summaries "")
if(NOT LIBDIR STREQUAL "usr/lib/${multiarch}")
    string(APPEND failures
           "the packages' library directory is ${LIBDIR}, not usr/lib/${multiarch}\n")
endif()

# The Debian package of each library a packaged binary may need.
foreach(pair libc.so.6=libc6 libm.so.6=libc6 libstdc++.so.6=libstdc++6 libgcc_s.so.1=libgcc-s1
             libMUROX.so.${major}=libmurox${major} libedit.so.2=libedit2)
    string(REGEX MATCH "^(.*)=(.*)$" ignored ${pair})
    set(package_of_${CMAKE_MATCH_1} ${CMAKE_MATCH_2})
endforeach()

# check_needed(NAME DEPENDS): every library a binary of NAME needs is shipped by NAME or in DEPENDS;
# no binary carries a run path but to the private directory, from murox and the private libraries.
function(check_needed name depends)
    file(GLOB_RECURSE files LIST_DIRECTORIES false ${WORK_DIR}/root/${name}/*)
    set(shipped "")
    set(needed "")
    foreach(file IN LISTS files)
        if(IS_SYMLINK ${file})
            continue()
        endif()
        get_filename_component(base ${file} NAME)
        list(APPEND shipped ${base})
        execute_process(COMMAND ${READELF} -d ${file} RESULT_VARIABLE rc OUTPUT_VARIABLE dynamic
                        ERROR_QUIET)
        if(NOT rc EQUAL 0)
            continue()
        endif()
        if(dynamic MATCHES "\\((RPATH|RUNPATH)\\)[^\n]*\\[([^]]*)\\]")
            set(rpath "${CMAKE_MATCH_2}")
            file(RELATIVE_PATH below ${WORK_DIR}/root/${name} ${file})
            get_filename_component(dir ${below} DIRECTORY)
            file(RELATIVE_PATH private /${dir} /${PRIVATEDIR})
            string(REGEX REPLACE "/$" "" private "$ORIGIN/${private}")
            if(NOT rpath STREQUAL private OR NOT below MATCHES
                                             "^(usr/bin/|${PRIVATEDIR}/lib(kaf|extagents))")
                string(APPEND failures "${name}: ${below} carries the run path ${rpath}\n")
            endif()
        endif()
        string(REGEX MATCHALL "\\(NEEDED\\)[^\n]*\\[[^]]*\\]" lines "${dynamic}")
        foreach(line IN LISTS lines)
            string(REGEX REPLACE ".*\\[(.*)\\]" "\\1" soname "${line}")
            list(APPEND needed ${soname})
        endforeach()
    endforeach()
    list(REMOVE_DUPLICATES needed)
    foreach(soname IN LISTS needed)
        if(soname IN_LIST shipped)
            continue()
        endif()
        set(package "${package_of_${soname}}")
        if(NOT package)
            string(APPEND failures "${name}: no package known for the library ${soname} it needs\n")
        else()
            # Package names hold '+', so no regular expression.
            string(REPLACE " (" "," listed ", ${depends},")
            string(FIND "${listed}" ", ${package}," at)
            if(at EQUAL -1)
                string(APPEND failures
                       "${name}: needs ${soname}, but Depends '${depends}' lacks ${package}\n")
            endif()
        endif()
    endforeach()
    set(failures "${failures}" PARENT_SCOPE)
endfunction()

# check_deb(NAME DEPENDS regex HAS path... LACKS regex...)
function(check_deb name)
    cmake_parse_arguments(ARG "" "DEPENDS" "HAS;LACKS" ${ARGN})
    file(GLOB debs ${WORK_DIR}/${name}_*.deb)
    run("dpkg-deb --info ${name}" ${DPKG_DEB} --info ${debs})
    set(info "${output}")
    file(REMOVE_RECURSE ${WORK_DIR}/root/${name} ${WORK_DIR}/control/${name})
    file(MAKE_DIRECTORY ${WORK_DIR}/root ${WORK_DIR}/control)
    run("dpkg-deb --extract ${name}" ${DPKG_DEB} --extract ${debs} ${WORK_DIR}/root/${name})
    run("dpkg-deb --control ${name}" ${DPKG_DEB} --control ${debs} ${WORK_DIR}/control/${name})
    run("dpkg-deb --contents ${name}" ${DPKG_DEB} --contents ${debs})
    # One "./path" or "./path -> target" per line, after the listing columns.
    string(REGEX REPLACE "[^\n]* \\./" "" contents "${output}")

    # Each package's own summary, the first line of its description.
    if(info MATCHES "\n Description: ([^\n]*)")
        if("${CMAKE_MATCH_1}" IN_LIST summaries)
            string(APPEND failures "${name}: its summary '${CMAKE_MATCH_1}' is another package's\n")
        endif()
        list(APPEND summaries "${CMAKE_MATCH_1}")
        set(summaries "${summaries}" PARENT_SCOPE)
    endif()
    foreach(field "Package: ${name}" "Version: ${DEB_VERSION}" "Architecture: ${arch}")
        if(NOT info MATCHES "\n ${field}\n")
            string(APPEND failures "${name}: control lacks '${field}'\n")
        endif()
    endforeach()
    string(REGEX MATCH "\n Depends: ([^\n]*)" depends "${info}")
    set(depends "${CMAKE_MATCH_1}")
    if(NOT depends MATCHES "${ARG_DEPENDS}")
        string(APPEND failures "${name}: Depends '${depends}' does not match '${ARG_DEPENDS}'\n")
    endif()
    check_needed(${name} "${depends}")
    foreach(path IN LISTS ARG_HAS)
        string(REGEX REPLACE "([][+.*()^$?|\\\\])" "\\\\\\1" pattern "${path}")
        if(NOT "\n${contents}\n" MATCHES "\n${pattern}\n")
            string(APPEND failures "${name}: lacks ${path}\n")
        endif()
    endforeach()
    foreach(pattern IN LISTS ARG_LACKS)
        if("\n${contents}\n" MATCHES "\n(${pattern})")
            string(APPEND failures "${name}: should not hold ${CMAKE_MATCH_1}\n")
        endif()
    endforeach()
    set(failures "${failures}" PARENT_SCOPE)
    message(STATUS "${name} (${arch}):\n${contents}")
endfunction()

set(runtime libmurox${major})
check_deb(${runtime} DEPENDS "libc6" HAS "${LIBDIR}/libMUROX.so.${VERSION}"
          "${LIBDIR}/libMUROX.so.${major} -> libMUROX.so.${VERSION}" LACKS "usr/include/"
          "[^\n]*/libMUROX\\.so -> " "[^\n]*\\.pc\n" "[^\n]*libkaf")
check_deb(
    libmurox-dev
    DEPENDS
    "(^|, )${runtime} \\(= ${deb_version_pattern}\\)(,|$)"
    HAS
    "${LIBDIR}/libMUROX.so -> libMUROX.so.${major}"
    "${INCLUDEDIR}/xdll/MuroxEntry.h"
    "${INCLUDEDIR}/murox/MuroxExport.h"
    "${INCLUDEDIR}/murox/MuroxExt.h"
    "${INCLUDEDIR}/hostapi/BString.h"
    "${INCLUDEDIR}/hostapi/DLLExtAgents.h"
    "${LIBDIR}/pkgconfig/murox.pc"
    "${LIBDIR}/pkgconfig/murox-extension.pc"
    "${LIBDIR}/cmake/MUROX/MuroxExtension.cmake"
    "usr/share/man/man7/murox-extension.7.gz"
    "usr/share/doc/libmurox-dev/examples/extension/Example.cpp"
    "${LIBDIR}/cmake/MUROX/MUROXConfig.cmake"
    "${LIBDIR}/cmake/MUROX/MUROXConfigVersion.cmake"
    "${LIBDIR}/cmake/MUROX/MUROXTargets.cmake"
    LACKS
    "[^\n]*/libMUROX\\.so\\.[0-9]"
    "[^\n]*libkaf"
    # The library's own headers, which no consumer compiles.
    "[^\n]*/XDllLine\\.h"
    "[^\n]*/VirtualDirsLayout\\.h")
if(HOST_FILES)
    check_deb(
        murox-host DEPENDS "(^|, )${runtime} \\(= ${deb_version_pattern}\\), (.*, )?adduser(,|$)"
        HAS ${HOST_FILES} LACKS "[^\n]*/libMUROX\\.so" "usr/include/" "${LIBDIR}/[^/\n]*\\.so"
        "usr/lib/[^/\n]*\\.so")
endif()

# The default configuration names installed samples, loads the working ones, comments the others.
if(HOST_FILES MATCHES "(^|;)(etc/[^;]*/murox\\.conf)(;|$)")
    set(config ${CMAKE_MATCH_2})
    file(READ ${WORK_DIR}/root/murox-host/${config} output)
    string(FIND "${output}" "${BUILD_DIR}" at)
    if(NOT at EQUAL -1 OR NOT output MATCHES "\n *path *= */usr/")
        string(APPEND failures "murox-host: ${config} does not name installed paths:\n${output}")
    endif()
    string(REGEX MATCHALL "\n\\[extdll [^]]*\\]" sections "\n${output}")
    string(REGEX MATCHALL "\n# \\[extdll [^]]*\\]" examples "\n${output}")
    string(REPLACE "\n" "" sections "${sections}")
    string(REPLACE "\n" "" examples "${examples}")
    if(NOT sections STREQUAL "[extdll hello];[extdll idle]"
       OR NOT examples STREQUAL "# [extdll broken];# [extdll missing]")
        string(APPEND failures "murox-host: ${config} has the sections '${sections}' and the "
               "examples '${examples}', not hello and idle, broken and missing\n")
    endif()
endif()

# member(PACKAGE FILE TEXT): the control member FILE of PACKAGE holds TEXT.
function(member package file text)
    set(got "(nothing)")
    if(EXISTS ${WORK_DIR}/control/${package}/${file})
        file(READ ${WORK_DIR}/control/${package}/${file} got)
    endif()
    if(NOT got STREQUAL text)
        string(APPEND failures "${package}: its ${file} is not\n${text}\nbut\n${got}\n")
        set(failures "${failures}" PARENT_SCOPE)
    endif()
endfunction()

# The library's symbols as checked in, and shlibs for packages that link it (lintian: that there are
# shlibs, an ldconfig trigger and the host's conffile).
file(READ ${SYMBOLS} symbols)
member(${runtime} symbols "${symbols}")
member(${runtime} shlibs "libMUROX ${major} ${runtime} (>= ${VERSION})\n")

if(HOST_FILES)
    # Its maintainer scripts as written: without its prerm, removal would not stop the daemon;
    # without its postrm, systemd would keep the removed unit.
    foreach(script postinst prerm postrm)
        file(READ ${SCRIPTS_DIR}/murox-host.${script} written)
        member(murox-host ${script} "${written}")
    endforeach()
endif()
set(unit ${WORK_DIR}/root/murox-host/lib/systemd/system/murox.service)
if(HOST_FILES MATCHES "murox\\.service" AND EXISTS ${unit})
    file(READ ${unit} text)
    # systemd's own kind of service: ready when it says, watched, not restarted when refused; then
    # the hardening that matters, each line: systemd's rating moves too little for any one.
    set(lines
        "Type=notify WatchdogSec=30s Restart=on-failure RestartPreventExitStatus=2"
        "RuntimeDirectory=murox RuntimeDirectoryMode=0750 RuntimeDirectoryPreserve=yes"
        "StateDirectory=murox StateDirectoryMode=0700"
        "ReadWritePaths=/etc/murox"
        "CapabilityBoundingSet=CAP_CHOWN UMask=0027 ProtectSystem=strict ProtectHome=read-only"
        "PrivateTmp=yes PrivateDevices=yes PrivateMounts=yes IPAddressDeny=any NoNewPrivileges=yes"
        "ProtectKernelTunables=yes ProtectKernelModules=yes ProtectKernelLogs=yes"
        "ProtectControlGroups=yes ProtectClock=yes ProtectHostname=yes ProtectProc=invisible"
        "RestrictNamespaces=yes RestrictRealtime=yes RestrictSUIDSGID=yes LockPersonality=yes"
        "RestrictAddressFamilies=AF_UNIX SystemCallArchitectures=native"
        "SystemCallFilter=@system-service SystemCallFilter=@chown SystemCallErrorNumber=EPERM")
    string(REPLACE " " ";" lines "${lines}")
    list(
        APPEND
        lines
        "ExecStart=/usr/bin/murox --daemon --config /etc/murox/murox.conf --socket-group murox"
        "ExecReload=/bin/sh -c '/usr/bin/murox --remote -e \"xdll -r\" >/dev/null 2>&1 || exit 1'"
        "Documentation=man:murox(1) man:murox.conf(5)"
        "SystemCallFilter=~@privileged @resources")
    foreach(line IN LISTS lines)
        string(FIND "\n${text}" "\n${line}\n" at)
        if(at EQUAL -1)
            string(APPEND failures "murox-host: murox.service lacks '${line}'\n")
        endif()
    endforeach()
    # systemd's rating of the unit's hardening, from 0 (all) to 10 (none).
    run("systemd-analyze security" ${SYSTEMD_ANALYZE} security --offline=yes ${unit})
    if(NOT output MATCHES "Overall exposure level for murox\\.service: ([0-9]+\\.[0-9])")
        string(APPEND failures "murox-host: no exposure level from systemd-analyze:\n${output}")
    elseif(CMAKE_MATCH_1 GREATER 4.0)
        string(APPEND failures
               "murox-host: murox.service's exposure is ${CMAKE_MATCH_1}, above 4.0:\n${output}")
    else()
        message(STATUS "murox.service: exposure ${CMAKE_MATCH_1}")
    endif()
endif()

# What an operator looks up in the manual pages (lintian fails on man's warnings): each page's
# sections, and every configuration key in the format's page.
file(GLOB_RECURSE pages ${WORK_DIR}/root/murox-host/usr/share/man/*.gz)
set(murox.1_needs "SH OPTIONS" "SH EXIT STATUS" "SH SIGNALS" "SH FILES" "SH ENVIRONMENT")
set(murox.conf.5_needs "SH KEYS" "BI path \"" "BI web \"" "BI load \"")
foreach(page IN LISTS pages)
    get_filename_component(name ${page} NAME_WLE)
    execute_process(COMMAND gzip -dc ${page} OUTPUT_VARIABLE source)
    foreach(needed IN LISTS ${name}_needs)
        string(FIND "${source}" "\n.${needed}" at)
        if(at EQUAL -1)
            string(APPEND failures "murox-host: ${name} has no '.${needed}'\n")
        endif()
    endforeach()
endforeach()

if(failures)
    message(FATAL_ERROR "${failures}")
endif()

# Debian's own checker: any error or warning fails; the shipped overrides say why they are there.
file(GLOB debs ${WORK_DIR}/*.deb)
execute_process(COMMAND ${LINTIAN} --fail-on error,warning ${debs} RESULT_VARIABLE rc
                OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "lintian found errors or warnings (${rc}):\n${out}${err}")
endif()
message(STATUS "lintian (${arch}): no error, no warning\n${out}")
