#include "host/program/MuroxGuard.h"

#include <cstdlib>
#include <utility>

#include "host/program/MuroxDefaults.h"
#include "host/protocol/OwnDirectory.h"
#include "host/protocol/VisibleText.h"
#include "host/registry/LogPriority.h"

std::unique_ptr<BExtCrashGuard> OpenCrashGuard(const std::string& configuration)
{
    std::string error;
    const std::string dir = StateDirectory(error);
    BFd fd;
    if (!dir.empty())
        error = control::OpenOwnDirectory(dir, 0700, static_cast<gid_t>(-1),
                                          "the state directory " + dir, "", fd);
    if (!fd.Valid()) {
        LogEventAt(TLogPriority::kWarning, "extension libraries load without the crash guard: %s",
                   control::VisibleLine(error).c_str());
        return nullptr;
    }
    // The same file by any name, relative or through a link, is one
    // configuration.
    char* szReal = realpath(configuration.c_str(), nullptr);
    const std::string key = szReal != nullptr ? szReal : configuration;
    std::free(szReal);
    return std::unique_ptr<BExtCrashGuard>(new BExtCrashGuard(std::move(fd), key));
}
