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
// that loading would accept (OpenExtFile: a readable regular file, in a
// place only root or this process's user can change); those lines read
// "FILE: section [extdll NAME]: ...", and for a path or a name that holds
// another character than IsExtName allows, "FILE: section [SECTION]: line
// N: ..." with the line that gives it.
std::vector<std::string> CheckExtConfigFile(const std::string& path);

#endif
