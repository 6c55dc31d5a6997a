// One extension library opened into the process, with its entry points.
#ifndef HOST_REGISTRY_EXTIMAGE_H
#define HOST_REGISTRY_EXTIMAGE_H

#include <string>

#include "host/registry/ExtDirs.h"
#include "host/registry/ExtFile.h"
#include "hostapi/DLLExtAgents.h"

struct TExtImage {
    void* pHandle = nullptr;
    void (*pTerm)() = nullptr;
};

// Opens the library at `path`, if it may be loaded from there (OpenExtFile,
// with `dirs`), and runs its init entry point. 0 when the library is
// ready, with `image` holding it; otherwise kExtFailedToLoad (refused by
// OpenExtFile, or dlopen failed, or what it mapped is not the file
// checked) or kExtFailedToInit (an entry point is missing, or init
// reported failure or threw; the library is closed again), with `image`
// empty and the reason, naming `path`, in `why`. A child process that init
// forks and that returns from it ends there, with _exit(0).
int OpenExtImage(const std::string& path, const TExtDirs& dirs, TExtImage& image, std::string& why);

// As OpenExtImage, for the library that `file` holds, which was opened and
// examined as `path`: it is loaded by the path the walk reached, which
// nobody else can change, and what the loader mapped is then compared
// with the file checked. If root replaced the file since, what is there
// now is refused, closed again; reasons name `path`.
int LoadExtImage(const TExtFile& file, const std::string& path, TExtImage& image, std::string& why);

// Runs the term entry point and closes the library, once; `image` is empty
// afterwards. False, with the reason in `why`, when term threw or closing
// failed.
bool CloseExtImage(TExtImage& image, std::string& why);

#endif
