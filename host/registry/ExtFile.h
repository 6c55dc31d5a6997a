// What the file named as an extension library's path is, examined without
// opening anything that is not a regular file: opening a device can act on
// it, and opening a FIFO can wait for a writer forever.
#ifndef HOST_REGISTRY_EXTFILE_H
#define HOST_REGISTRY_EXTFILE_H

#include <string>

// True when dlopen takes `path` as a file name rather than searching the
// library path for it: when it contains a '/'.
bool IsExtFilePath(const std::string& path);

// Empty when `path` is a regular file (symbolic links followed, as dlopen
// follows them) or cannot be examined at all, which dlopen then reports in
// its own words; else "PATH is not a regular file (a KIND)".
std::string ExtFileTypeProblem(const std::string& path);

// Empty when `path` is a regular file that this process can open for
// reading; else why not, naming the path.
std::string ExtFileProblem(const std::string& path);

#endif
