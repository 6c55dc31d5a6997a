#include "host/program/BTerminalText.h"

#include <cerrno>

#include <unistd.h>

BTerminalText::BTerminalText()
{
    if (isatty(STDOUT_FILENO) == 0)
        return;
    cookie_io_functions_t functions{};
    functions.write = &BTerminalText::Write;
    std::fflush(stdout);
    m_pStream = fopencookie(this, "w", functions);
    if (m_pStream == nullptr)
        return; // shown as it comes: the C library could not make the stream
    std::setvbuf(m_pStream, nullptr, _IOLBF, BUFSIZ);
    m_pOriginal = stdout;
    stdout = m_pStream;
}

BTerminalText::~BTerminalText()
{
    if (m_pStream == nullptr)
        return;
    Resume();
    std::fflush(m_pStream);
    WriteOut(m_visible.End());
    stdout = m_pOriginal;
    std::fclose(m_pStream);
}

void BTerminalText::Pause()
{
    if (m_pStream != nullptr && stdout == m_pStream) {
        std::fflush(m_pStream);
        stdout = m_pOriginal;
    }
}

void BTerminalText::Resume()
{
    if (m_pStream != nullptr && stdout == m_pOriginal) {
        std::fflush(m_pOriginal);
        stdout = m_pStream;
    }
}

ssize_t BTerminalText::Write(void* pCookie, const char* pData, std::size_t size)
{
    auto* pSelf = static_cast<BTerminalText*>(pCookie);
    return pSelf->WriteOut(pSelf->m_visible.Add(pData, size)) ? static_cast<ssize_t>(size) : -1;
}

bool BTerminalText::WriteOut(const std::string& text)
{
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(STDOUT_FILENO, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}
