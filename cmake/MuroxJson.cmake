# The host writes JSON (murox --json) with Debian's header-only
# nlohmann-json, target nlohmann_json::nlohmann_json, for every directory
# of the build.
#
# Its headers are the same for any target, and Debian has no cross
# package of it: the cross build takes the build machine's copy, outside
# its find root, through a folder that holds nlohmann/ alone, so that the
# build machine's /usr/include never stands before the target's headers.
if(CMAKE_CROSSCOMPILING)
    find_package(nlohmann_json 3 QUIET CONFIG NO_CMAKE_FIND_ROOT_PATH)
else()
    find_package(nlohmann_json 3 QUIET CONFIG)
endif()
if(NOT nlohmann_json_FOUND)
    murox_missing("nlohmann-json 3 (the host's JSON output)" nlohmann-json3-dev)
endif()
set_target_properties(nlohmann_json::nlohmann_json PROPERTIES IMPORTED_GLOBAL TRUE)
if(CMAKE_CROSSCOMPILING)
    get_target_property(json_dirs nlohmann_json::nlohmann_json INTERFACE_INCLUDE_DIRECTORIES)
    find_path(MUROX_JSON_HEADERS nlohmann/json.hpp PATHS ${json_dirs} NO_DEFAULT_PATH
                                                                      NO_CMAKE_FIND_ROOT_PATH)
    if(NOT MUROX_JSON_HEADERS)
        murox_missing("nlohmann/json.hpp in ${json_dirs} (the host's JSON output)"
                      nlohmann-json3-dev)
    endif()
    set(json_alone ${PROJECT_BINARY_DIR}/json-headers)
    file(MAKE_DIRECTORY ${json_alone})
    file(CREATE_LINK ${MUROX_JSON_HEADERS}/nlohmann ${json_alone}/nlohmann SYMBOLIC)
    set_target_properties(nlohmann_json::nlohmann_json PROPERTIES INTERFACE_INCLUDE_DIRECTORIES
                                                                  ${json_alone})
endif()
