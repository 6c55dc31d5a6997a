// A configuration file checked the way the registry would read it, without
// loading anything.
#ifndef HOST_REGISTRY_EXTCONFIGCHECK_H
#define HOST_REGISTRY_EXTCONFIGCHECK_H

#include <string>
#include <vector>

#include "hostapi/BFileNV.h"

// Every problem of the configuration file at `path`, one line each, in file
// order; empty when the file is clean. A file that cannot be read gives the
// store's one line ("cannot read 'FILE': ..."). Otherwise each problem is
// "FILE:N: WHY", N the line at fault: every malformed line, as the store
// says it (the rest of the file is still checked), and each problem of an
// extension library's section, "FILE:N: section [SECTION]: WHY": a name
// that is not one word of the characters IsExtName allows, or that another
// section gives too, a missing path (at the header), a load value other
// than 0 or 1, a key no library has (UnknownExtKeys), and a path that
// loading would refuse (OpenExtFile: a readable regular file, in a place
// only root or this process's user can change), each at its key's line.
std::vector<std::string> CheckExtConfigFile(const std::string& path);

// The keys of the libraries' sections in `store`, as read from its file,
// that nothing reads: "FILE:N: section [SECTION]: unknown key 'KEY' ...",
// one line each in store order.
std::vector<std::string> DescribeUnknownExtKeys(const KAF::BFileNV& store);

#endif
