// One extension library opened into the process, with its entry points.
#ifndef HOST_REGISTRY_EXTIMAGE_H
#define HOST_REGISTRY_EXTIMAGE_H

#include <string>

#include "hostapi/DLLExtAgents.h"

struct TExtImage {
    void* pHandle = nullptr;
    void (*pTerm)() = nullptr;
};

// Opens the library at `path`, if it may be loaded from there (OpenExtFile),
// and runs its init entry point. 0 when the library is ready, with `image`
// holding it; otherwise kExtFailedToLoad (refused by OpenExtFile, or dlopen
// failed) or kExtFailedToInit (an entry point is missing, or init reported
// failure or threw; the library is closed again), with `image` empty and
// the reason, naming `path`, in `why`. A child process that init forks and
// that returns from it ends there, with _exit(0).
int OpenExtImage(const std::string& path, TExtImage& image, std::string& why);

// As OpenExtImage, for the library that the open descriptor `fd` holds,
// which was opened and examined as `path`: that file is loaded, whatever
// `path` names by now, and reasons name `path`. The caller keeps and closes
// `fd`; the library stays mapped without it.
int LoadExtImage(int fd, const std::string& path, TExtImage& image, std::string& why);

// Runs the term entry point and closes the library, once; `image` is empty
// afterwards. False, with the reason in `why`, when term threw or closing
// failed.
bool CloseExtImage(TExtImage& image, std::string& why);

#endif
