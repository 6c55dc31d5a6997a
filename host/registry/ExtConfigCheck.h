// A configuration file checked the way the registry would read it, without
// loading anything.
#ifndef HOST_REGISTRY_EXTCONFIGCHECK_H
#define HOST_REGISTRY_EXTCONFIGCHECK_H

#include <string>
#include <vector>

// Every problem of the configuration file at `path`, one line each, in file
// order; empty when the file is clean. A file the store cannot read or
// parse gives the store's one line ("malformed 'FILE', line N: ..."), as
// parsing stops there. Otherwise each extension library's section is
// checked: a name, given once, a path, a load value of 0 or 1, and a path
// with a '/' that names a regular file this process can read; those lines
// read "FILE: section [extdll NAME]: ...", and for a name that holds
// another character than IsExtName allows, "FILE: line N: section ...". A path without '/' is left
// to dlopen's search of the library path and not checked.
std::vector<std::string> CheckExtConfigFile(const std::string& path);

#endif
