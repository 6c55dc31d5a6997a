#include "host/service/ServiceStatus.h"

namespace {

std::string Counted(std::size_t count, const char* szOne, const char* szMany)
{
    return std::to_string(count) + " " + (count == 1 ? szOne : szMany);
}

} // namespace

std::string ServiceStatusLine(const TExtensionCounts& extensions, std::size_t consoles)
{
    return Counted(extensions.loaded, "extension library loaded", "extension libraries loaded") +
           ", " + std::to_string(extensions.failed) + " failed, " +
           Counted(consoles, "console", "consoles");
}
