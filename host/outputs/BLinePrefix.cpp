#include "host/outputs/BLinePrefix.h"

#include <cerrno>
#include <cstring>

#include <unistd.h>

bool BLinePrefix::WriteAll(const char* pData, std::size_t size) const
{
    while (size > 0) {
        const ssize_t n = write(m_fd, pData, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        pData += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

ssize_t BLinePrefix::Write(void* pCookie, const char* pData, std::size_t size)
{
    BLinePrefix& self = *static_cast<BLinePrefix*>(pCookie);
    // One write for what the stream wrote, prefixes included, so that
    // nothing else written to the descriptor lands between a prefix and
    // its line.
    std::string text;
    for (std::size_t start = 0; start < size;) {
        const void* pEnd = std::memchr(pData + start, '\n', size - start);
        const std::size_t end =
            pEnd != nullptr ? static_cast<std::size_t>(static_cast<const char*>(pEnd) - pData) + 1
                            : size;
        if (self.m_atLineStart)
            text += self.m_prefix;
        text.append(pData + start, end - start);
        self.m_atLineStart = pData[end - 1] == '\n';
        start = end;
    }
    if (!self.WriteAll(text.data(), text.size()))
        return -1;
    return static_cast<ssize_t>(size);
}
