#include "host/program/BEventsAside.h"

#include <string>

#include <unistd.h>

#include "host/protocol/VisibleText.h"

ssize_t BEventsAside::Write(void* pCookie, const char* pData, std::size_t size)
{
    const auto* pSelf = static_cast<const BEventsAside*>(pCookie);
    if (pSelf->m_muted)
        return static_cast<ssize_t>(size);
    const std::string text(pData, size);
    const std::string shown = isatty(STDERR_FILENO) != 0 ? control::VisibleText(text) : text;
    std::fwrite(shown.data(), 1, shown.size(), stderr);
    return static_cast<ssize_t>(size);
}
