#include "host/registry/ExtImage.h"

#include <dlfcn.h>

#include "host/registry/ExtFile.h"
#include "host/registry/MuroxExt.h"

namespace {

std::string LastDlError()
{
    const char* szError = dlerror();
    return szError != nullptr ? szError : "no reason given";
}

} // namespace

int OpenExtImage(const std::string& path, TExtImage& image, std::string& why)
{
    // dlopen would wait on a FIFO for a writer, blocking the daemon, and
    // open a device. The check and dlopen both go by path: someone who can
    // swap the file in between can also replace the library itself, which
    // gives more than a blocked load, so the check guards against mistakes,
    // not against the owner of the library's directory. Loading through a
    // descriptor would need /proc and change the library's name.
    if (IsExtFilePath(path)) {
        why = ExtFileTypeProblem(path);
        if (!why.empty())
            return kExtFailedToLoad;
    }
    dlerror();
    void* pHandle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (pHandle == nullptr) {
        // The C library's reason usually names the path already.
        const std::string reason = LastDlError();
        why = reason.find(path) != std::string::npos ? "dlopen failed: " + reason
                                                     : "cannot open " + path + ": " + reason;
        return kExtFailedToLoad;
    }
    dlerror();
    void* pInit = dlsym(pHandle, MUROX_EXT_INIT_SYMBOL);
    void* pTerm = pInit != nullptr ? dlsym(pHandle, MUROX_EXT_TERM_SYMBOL) : nullptr;
    if (pInit == nullptr || pTerm == nullptr) {
        why = path + " lacks an entry point: " + LastDlError();
    } else if (reinterpret_cast<int (*)()>(pInit)() == 0) {
        why = MUROX_EXT_INIT_SYMBOL " of " + path + " reported failure";
    } else {
        image.pHandle = pHandle;
        image.pTerm = reinterpret_cast<void (*)()>(pTerm);
        return 0;
    }
    if (dlclose(pHandle) != 0)
        why += "; closing it failed too: " + LastDlError();
    return kExtFailedToInit;
}

bool CloseExtImage(TExtImage& image, std::string& why)
{
    if (image.pHandle == nullptr)
        return true;
    void* pHandle = image.pHandle;
    void (*pTerm)() = image.pTerm;
    image = TExtImage();
    pTerm();
    dlerror();
    if (dlclose(pHandle) != 0) {
        why = "closing failed: " + LastDlError();
        return false;
    }
    return true;
}
