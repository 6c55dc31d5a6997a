#include "host/registry/ExtImage.h"

#include <cstdio>
#include <exception>

#include <cxxabi.h>
#include <dlfcn.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include "host/registry/ExtFile.h"
#include "murox/MuroxExt.h"

namespace {

std::string LastDlError()
{
    const char* szError = dlerror();
    return szError != nullptr ? szError : "no reason given";
}

// `text` with every `name` in it replaced by `path`.
std::string Renamed(std::string text, const std::string& name, const std::string& path)
{
    if (name.empty())
        return text;
    for (auto at = text.find(name); at != std::string::npos; at = text.find(name, at + path.size()))
        text.replace(at, name.size(), path);
    return text;
}

// The name under which the loader opens the library at `real`, a path
// that nobody else can change: that path, spelt as no earlier load spelt
// it. The loader keeps the name of every library it has mapped and answers
// a later dlopen of that name with the library mapped then, without
// opening anything: the file at that path may have been replaced since.
// The count of loads is spelt in binary by "./" and "/" after the leading
// '/', which the kernel passes over; first, so that the loader, which
// compares a new name with every name it knows, tells them apart at once.
// $ORIGIN is the library's directory, so spelt.
std::string LoadName(const std::string& real)
{
    static unsigned long long s_loads = 0;
    std::string name = "/";
    for (unsigned long long count = ++s_loads; count != 0; count >>= 1)
        name += (count & 1) != 0 ? "./" : "/";
    return name + real.substr(1);
}

// The name the loader knows the library of `pHandle` by, which its reasons
// quote.
std::string MappedName(void* pHandle)
{
    link_map* pMap = nullptr;
    return dlinfo(pHandle, RTLD_DI_LINKMAP, &pMap) == 0 && pMap != nullptr &&
                   pMap->l_name != nullptr
               ? pMap->l_name
               : std::string();
}

// Calls an entry point. What it throws is caught, and said in the text
// returned ("threw: WHAT"), empty when nothing was thrown. A child process
// the library forked that comes back here ends at once, before a line of
// the host runs in it: it would be a second murox on the same socket,
// configuration and libraries.
template <typename TCall> std::string CallEntry(TCall call)
{
    const pid_t self = getpid();
    std::string thrown;
    try {
        call();
    } catch (abi::__forced_unwind&) {
        throw; // a thread's cancellation must go on unwinding
    } catch (const std::exception& e) {
        thrown = std::string("threw: ") + e.what();
    } catch (...) {
        thrown = "threw an exception";
    }
    if (getpid() != self)
        _exit(0);
    return thrown;
}

// Empty when the loader mapped the file that `fd` holds: what it knows the
// library by (a path nobody else can change) leads to that file. So it
// does when it mapped the name it was given, which the walk proved
// unchangeable, and when it answered with a library mapped before from
// another path to the same file. Else why not, naming `path`.
std::string MappedElsewhere(void* pHandle, int fd, const std::string& path)
{
    const std::string mapped = MappedName(pHandle);
    struct stat checked, found;
    if (::fstat(fd, &checked) == 0 && !mapped.empty() && ::stat(mapped.c_str(), &found) == 0 &&
        found.st_dev == checked.st_dev && found.st_ino == checked.st_ino)
        return std::string();
    return path + " was replaced after it was examined: the loader mapped another file; "
                  "load it again";
}

// Runs the init entry point of the library just opened; closes it again
// unless it is ready.
int InitExtImage(void* pHandle, const std::string& path, TExtImage& image, std::string& why)
{
    const std::string mapped = MappedName(pHandle);
    dlerror();
    void* pInit = dlsym(pHandle, MUROX_EXT_INIT_SYMBOL);
    void* pTerm = pInit != nullptr ? dlsym(pHandle, MUROX_EXT_TERM_SYMBOL) : nullptr;
    int ready = 0;
    std::string thrown;
    if (pInit != nullptr && pTerm != nullptr)
        thrown = CallEntry([&ready, pInit] { ready = reinterpret_cast<int (*)()>(pInit)(); });
    if (pInit == nullptr || pTerm == nullptr) {
        why = path + " lacks an entry point: " + Renamed(LastDlError(), mapped, path);
    } else if (!thrown.empty()) {
        why = MUROX_EXT_INIT_SYMBOL " of " + path + " " + thrown;
    } else if (ready == 0) {
        why = MUROX_EXT_INIT_SYMBOL " of " + path + " reported failure";
    } else {
        image.pHandle = pHandle;
        image.pTerm = reinterpret_cast<void (*)()>(pTerm);
        return 0;
    }
    if (dlclose(pHandle) != 0)
        why += "; closing it failed too: " + Renamed(LastDlError(), mapped, path);
    return kExtFailedToInit;
}

} // namespace

int OpenExtImage(const std::string& path, const TExtDirs& dirs, TExtImage& image, std::string& why)
{
    TExtFile file;
    const int status = OpenExtFile(path, dirs, file, why);
    return status == 0 ? LoadExtImage(file, path, image, why) : status;
}

int LoadExtImage(const TExtFile& file, const std::string& path, TExtImage& image, std::string& why)
{
    // Every step of file.real belongs to root or this user, and none of
    // its directories can be written by anyone else (OpenExtFile walked
    // it): the file there is the one examined, unless this user replaced
    // it, which MappedElsewhere finds. Loading by that path, not the
    // descriptor's name in /proc, gives the library its own directory as
    // $ORIGIN.
    const std::string name = LoadName(file.real);
    dlerror();
    void* pHandle = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (pHandle == nullptr) {
        // The loader's reason usually names what it opened: it is told as
        // `path`.
        const std::string reason = Renamed(LastDlError(), name, path);
        why = reason.find(path) != std::string::npos ? "dlopen failed: " + reason
                                                     : "cannot open " + path + ": " + reason;
        return kExtFailedToLoad;
    }
    why = MappedElsewhere(pHandle, file.fd.Get(), path);
    if (!why.empty()) {
        if (dlclose(pHandle) != 0)
            why += "; closing it failed: " + Renamed(LastDlError(), name, path);
        return kExtFailedToLoad;
    }
    return InitExtImage(pHandle, path, image, why);
}

bool CloseExtImage(TExtImage& image, std::string& why)
{
    if (image.pHandle == nullptr)
        return true;
    void* pHandle = image.pHandle;
    void (*pTerm)() = image.pTerm;
    image = TExtImage();
    const std::string thrown = CallEntry(pTerm);
    dlerror();
    if (dlclose(pHandle) != 0) {
        why = (thrown.empty() ? "" : MUROX_EXT_TERM_SYMBOL " " + thrown + "; ") +
              "closing failed: " + LastDlError();
        return false;
    }
    why = thrown.empty() ? "" : MUROX_EXT_TERM_SYMBOL " " + thrown;
    return thrown.empty();
}
