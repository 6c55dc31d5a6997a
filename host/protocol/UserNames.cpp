#include "host/protocol/UserNames.h"

#include <grp.h>
#include <pwd.h>

namespace control {

std::string GroupName(gid_t group)
{
    std::string buffer(16384, '\0');
    struct group entry {};
    struct group* pEntry = nullptr;
    if (getgrgid_r(group, &entry, &buffer[0], buffer.size(), &pEntry) == 0 && pEntry != nullptr)
        return pEntry->gr_name;
    return std::to_string(group);
}

std::string UserName(uid_t user)
{
    std::string buffer(16384, '\0');
    struct passwd entry {};
    struct passwd* pEntry = nullptr;
    if (getpwuid_r(user, &entry, &buffer[0], buffer.size(), &pEntry) == 0 && pEntry != nullptr)
        return pEntry->pw_name;
    return std::to_string(user);
}

} // namespace control
