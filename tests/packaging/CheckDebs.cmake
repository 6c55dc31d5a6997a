# Builds the Debian packages of the build tree with CPack and checks each one's control fields and
# contents, that its Depends name the package of every library its binaries need, that only murox
# and the private libraries carry a run path, the library's symbols and shlibs, the host's maintainer
# scripts and configuration, systemd's rating of the unit's hardening; then lintian, failing on any
# error or warning (among them binaries of another architecture, a missing conffile, shlibs or
# ldconfig trigger, a file of the wrong mode, man's warnings). What the scripts do is checked with
# stand-ins for systemd's tools (packaging.maintainer_scripts) and in a Debian system (distro).

cmake_minimum_required(VERSION 3.20)

string(REGEX MATCH "^[0-9]+" major "${VERSION}")
string(REGEX REPLACE "([][+.*()^$?|\\\\])" "\\\\\\1" deb_version_pattern "${DEB_VERSION}")
set(runtime libmurox${major})
file(REMOVE_RECURSE ${WORK_DIR})
include(${CMAKE_CURRENT_LIST_DIR}/Run.cmake)

# Packs without building (CTest runs after the build); CPack runs no "preinstall" step for Ninja.
# Into a folder holding older packs of each package, which go, and another project's, which stays.
set(older murox-host_0.1_all.deb libmurox-dev_0.1_all.deb ${runtime}_0.1_all.deb)
file(MAKE_DIRECTORY ${WORK_DIR})
foreach(deb IN LISTS older ITEMS other_0.1_all.deb)
    file(WRITE ${WORK_DIR}/${deb} "")
endforeach()
run("cpack" ${CPACK} --config ${BUILD_DIR}/CPackConfig.cmake -G DEB -B ${WORK_DIR} -D
    CPACK_CMAKE_GENERATOR=Ninja)
foreach(deb IN LISTS older)
    if(EXISTS ${WORK_DIR}/${deb})
        message(FATAL_ERROR "cpack left the older pack ${deb} beside the new ones")
    endif()
endforeach()
if(NOT EXISTS ${WORK_DIR}/other_0.1_all.deb)
    message(FATAL_ERROR "cpack removed another project's package from the folder it packed to")
endif()
file(REMOVE ${WORK_DIR}/other_0.1_all.deb)

# The packages' architecture (their names end with it), whose binaries lintian checks are of it, and
# its multiarch directory, where the libraries go whatever the configured prefix.
file(GLOB runtime_deb ${WORK_DIR}/${runtime}_*.deb)
string(REGEX REPLACE ".*_([^_]+)\\.deb$" "\\1" arch "${runtime_deb}")
run("dpkg-architecture" dpkg-architecture -a${arch} -qDEB_HOST_MULTIARCH)
string(STRIP "${output}" multiarch)
set(libdir usr/lib/${multiarch})
set(private ${libdir}/murox)
# The only run paths: murox's and the private libraries', to the private directory.
set(run_paths
    "^(usr/bin/murox=\\$ORIGIN/\\.\\./lib/${multiarch}/murox|${private}/lib(kaf|extagents)\\.so=\\$ORIGIN)$"
)

# The Debian package of each library a packaged binary may need.
foreach(pair libc.so.6=libc6 libm.so.6=libc6 libstdc++.so.6=libstdc++6 libgcc_s.so.1=libgcc-s1
             libMUROX.so.${major}=${runtime} libedit.so.2=libedit2)
    string(REGEX MATCH "^(.*)=(.*)$" ignored ${pair})
    set(package_of_${CMAKE_MATCH_1} ${CMAKE_MATCH_2})
endforeach()

# check_deb(NAME DEPENDS): the package of this version and architecture, with a summary of its own,
# Depends that match the regular expression DEPENDS and name the package of every library its
# binaries need but it ships; only murox and the private libraries carry a run path, to the private
# directory; each regular expression of `has` matches a path of it, none of `lacks` the start of one.
function(check_deb name wanted_depends)
    file(GLOB deb ${WORK_DIR}/${name}_*.deb)
    run("dpkg-deb --extract ${name}" ${DPKG_DEB} --extract ${deb} ${WORK_DIR}/${name})
    run("dpkg-deb --control ${name}" ${DPKG_DEB} --control ${deb} ${WORK_DIR}/${name}.control)
    run("dpkg-deb --field ${name}" ${DPKG_DEB} --field ${deb} Package Version Architecture Depends
        Description)
    set(fields "^Package: ${name}\nVersion: ${deb_version_pattern}\nArchitecture: ${arch}\n")
    string(REGEX MATCH "${fields}Depends: ([^\n]*)\nDescription: ([^\n]*)" fields "${output}")
    set(depends "${CMAKE_MATCH_1}")
    set(summary "${CMAKE_MATCH_2}")
    if(NOT fields OR summary IN_LIST summaries OR NOT depends MATCHES "${wanted_depends}")
        string(APPEND failures "${name}: not of ${DEB_VERSION} for ${arch}, Depends not matching "
               "'${wanted_depends}' or the summary another package's:\n${output}\n")
    endif()
    list(APPEND summaries "${summary}")

    file(GLOB_RECURSE files LIST_DIRECTORIES false ${WORK_DIR}/${name}/*)
    foreach(file IN LISTS files)
        get_filename_component(base ${file} NAME)
        list(APPEND shipped ${base})
        file(RELATIVE_PATH below ${WORK_DIR}/${name} ${file})
        execute_process(COMMAND ${READELF} -d ${file} OUTPUT_VARIABLE dynamic ERROR_QUIET)
        string(REGEX MATCH "\\((RPATH|RUNPATH)\\)[^\n]*\\[([^]]*)\\]" rpath "${dynamic}")
        if(rpath AND NOT "${below}=${CMAKE_MATCH_2}" MATCHES "${run_paths}")
            string(APPEND failures "${name}: ${below} carries the run path ${rpath}\n")
        endif()
        string(REGEX MATCHALL "\\(NEEDED\\)[^\n]*\\[[^]]*\\]" lines "${dynamic}")
        string(REGEX REPLACE "[^;]*\\[([^];]*)\\]" "\\1" lines "${lines}")
        list(APPEND needed ${lines})
    endforeach()
    # Package names hold '+', so no regular expression.
    string(REPLACE " (" "," listed ", ${depends},")
    list(REMOVE_ITEM needed ${shipped})
    foreach(soname IN LISTS needed)
        string(FIND "${listed}" ", ${package_of_${soname}}," at)
        if(NOT package_of_${soname} OR at EQUAL -1)
            string(APPEND failures "${name}: needs ${soname} (package '${package_of_${soname}}'), "
                   "but Depends '${depends}' lacks it\n")
        endif()
    endforeach()

    run("dpkg-deb --contents ${name}" ${DPKG_DEB} --contents ${deb})
    # One "./path" or "./path -> target" per line, after the listing columns.
    string(REGEX REPLACE "[^\n]* \\./" "" contents "\n${output}")
    foreach(pattern IN LISTS has lacks)
        if(pattern IN_LIST lacks AND "${contents}" MATCHES "\n(${pattern})")
            string(APPEND failures "${name}: should not hold ${CMAKE_MATCH_1}\n")
        elseif(pattern IN_LIST has AND NOT "${contents}\n" MATCHES "\n${pattern}\n")
            string(APPEND failures "${name}: lacks ${pattern}\n")
        endif()
    endforeach()
    set(failures "${failures}" PARENT_SCOPE)
    set(summaries "${summaries}" PARENT_SCOPE)
endfunction()

# member(PACKAGE FILE TEXT): the control member FILE of PACKAGE holds TEXT.
function(member package file text)
    file(READ ${WORK_DIR}/${package}.control/${file} got)
    if(NOT got STREQUAL text)
        string(APPEND failures "${package}: its ${file} is not\n${text}\nbut\n${got}\n")
        set(failures "${failures}" PARENT_SCOPE)
    endif()
endfunction()

# Headers, pkg-config and CMake files are the development package's (the install's checks use them),
# but for the library's own headers, which no consumer compiles. The library's symbols as checked
# in, and shlibs for packages that link it (lintian: that there are shlibs, an ldconfig trigger and
# the host's conffile).
set(development "usr/include/" "[^\n]*/(pkgconfig|cmake)/")
set(has "${libdir}/libMUROX.so.${VERSION}"
        "${libdir}/libMUROX.so.${major} -> libMUROX.so.${VERSION}")
set(lacks ${development} "[^\n]*/libMUROX\\.so -> " "[^\n]*libkaf")
check_deb(${runtime} "libc6")
file(READ ${SOURCE_DIR}/cmake/debian/${runtime}.symbols symbols)
member(${runtime} symbols "${symbols}")
member(${runtime} shlibs "libMUROX ${major} ${runtime} (>= ${VERSION})\n")
set(has "${libdir}/libMUROX.so -> libMUROX.so.${major}" usr/share/man/man7/murox-extension.7.gz
        usr/share/doc/libmurox-dev/examples/extension/Example.cpp)
set(lacks "[^\n]*/libMUROX\\.so\\.[0-9]" "[^\n]*libkaf" "[^\n]*/(XDllLine|VirtualDirsLayout)\\.h")
check_deb(libmurox-dev "(^|, )${runtime} \\(= ${deb_version_pattern}\\)(,|$)")
if(HOST)
    set(has ${private}/libkaf.so ${private}/libextagents.so ${private}/libmurox_ext_hello.so
            usr/bin/murox etc/murox/murox.conf lib/systemd/system/murox.service)
    list(APPEND has usr/share/man/man1/murox.1.gz usr/share/man/man5/murox.conf.5.gz
         usr/share/bash-completion/completions/murox usr/share/doc/murox-host/README.Debian)
    set(lacks ${development} "[^\n]*/libMUROX\\.so" "usr/lib/([^/\n]*/)?[^/\n]*\\.so")
    check_deb(murox-host "(^|, )${runtime} \\(= ${deb_version_pattern}\\), (.*, )?adduser(,|$)")
    # Its maintainer scripts as written: without its prerm, removal would not stop the daemon;
    # without its postrm, systemd would keep the removed unit.
    foreach(script postinst prerm postrm)
        file(READ ${SOURCE_DIR}/cmake/debian/murox-host.${script} written)
        member(murox-host ${script} "${written}")
    endforeach()

    # The configuration names the samples where the package installs them (packaging.install: which).
    file(READ ${WORK_DIR}/murox-host/etc/murox/murox.conf text)
    string(FIND "${text}" "${BUILD_DIR}" at)
    if(NOT at EQUAL -1 OR NOT text MATCHES "\npath = /${private}/libmurox_ext_hello.so\n")
        string(APPEND failures
               "murox-host: murox.conf does not name the installed samples:\n${text}")
    endif()
    # systemd's rating of the unit's hardening: the exposures it finds (each named in the unit with
    # its reason) add up to 2.2 at most, so that any hardening line dropped shows, where the overall
    # level (1.6 of 10) moves too little for most.
    run("systemd-analyze security" ${SYSTEMD_ANALYZE} security --offline=yes --json=short
        ${WORK_DIR}/murox-host/lib/systemd/system/murox.service)
    string(REGEX MATCHALL "\"exposure\":\"[0-9]\\.[0-9]\"" exposed "${output}")
    string(REGEX REPLACE "[^;]*\"([0-9])\\.([0-9])\"" "+\\1*10+\\2" exposed "0;${exposed}")
    string(REPLACE ";" "" exposed "${exposed}")
    math(EXPR tenths "${exposed}")
    if(tenths GREATER 22 OR NOT output MATCHES "\"exposure\":\"")
        string(APPEND failures
               "murox-host: systemd finds exposures of ${tenths} tenths:\n${output}")
    endif()
endif()
if(failures)
    message(FATAL_ERROR "${failures}")
endif()

# Debian's own checker: any error or warning fails; the shipped overrides say why they are there.
file(GLOB debs ${WORK_DIR}/*.deb)
run("lintian" ${LINTIAN} --fail-on error,warning ${debs})
