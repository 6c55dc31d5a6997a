#include "host/outputs/JournalStream.h"

#include <cerrno>
#include <cstdlib>

#include <sys/stat.h>

namespace {

// The number at `sz`, in decimal, ending at `end`; false when there is
// none or it does not end there.
bool ReadNumber(const char* sz, char end, const char*& pNext, unsigned long long& number)
{
    if (*sz < '0' || *sz > '9')
        return false;
    char* pEnd = nullptr;
    errno = 0;
    number = std::strtoull(sz, &pEnd, 10);
    if (errno != 0 || *pEnd != end)
        return false;
    pNext = pEnd + (end != '\0' ? 1 : 0);
    return true;
}

} // namespace

bool IsJournalStream(const char* szJournalStream, int fd)
{
    if (szJournalStream == nullptr)
        return false;
    unsigned long long device = 0;
    unsigned long long inode = 0;
    const char* pNext = szJournalStream;
    if (!ReadNumber(pNext, ':', pNext, device) || !ReadNumber(pNext, '\0', pNext, inode))
        return false;
    struct stat status {};
    return fstat(fd, &status) == 0 && static_cast<unsigned long long>(status.st_dev) == device &&
           static_cast<unsigned long long>(status.st_ino) == inode;
}
