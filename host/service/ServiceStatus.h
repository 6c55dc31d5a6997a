// The daemon's state in one line, for the service manager's status: the
// extension libraries loaded and failed, and the consoles connected.
#ifndef HOST_SERVICE_SERVICESTATUS_H
#define HOST_SERVICE_SERVICESTATUS_H

#include <cstddef>
#include <string>

// What the registry holds, as the listing shows it.
struct TExtensionCounts {
    std::size_t loaded = 0; // loaded now
    std::size_t failed = 0; // configured to load, and failed to
};

// "3 extension libraries loaded, 1 failed, 2 consoles" (singular for one).
std::string ServiceStatusLine(const TExtensionCounts& extensions, std::size_t consoles);

#endif
