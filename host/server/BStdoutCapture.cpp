#include "host/server/BStdoutCapture.h"

#include <string>

#include "host/protocol/VisibleText.h"
#include "host/server/ILogOutput.h"

BStdoutCapture::~BStdoutCapture()
{
    if (m_pStream == nullptr)
        return;
    stdout = m_pOriginal;
    std::fclose(m_pStream);
}

bool BStdoutCapture::Install()
{
    if (m_pStream != nullptr)
        return true;
    cookie_io_functions_t functions{};
    functions.write = &BStdoutCapture::WriteRecord;
    std::fflush(stdout);
    m_pStream = fopencookie(this, "w", functions);
    if (m_pStream == nullptr)
        return false;
    // Unbuffered: each record reaches the output whole, in one call.
    std::setvbuf(m_pStream, nullptr, _IONBF, 0);
    m_pOriginal = stdout;
    stdout = m_pStream;
    return true;
}

ssize_t BStdoutCapture::WriteRecord(void* pCookie, const char* pData, std::size_t size)
{
    // An extension's text, a configured name or path: none may act on a
    // terminal that shows the log, or pass for a second record.
    const bool newline = size > 0 && pData[size - 1] == '\n';
    std::string record = control::VisibleLine(std::string(pData, newline ? size - 1 : size));
    if (newline)
        record += '\n';
    static_cast<BStdoutCapture*>(pCookie)->m_output.Take(record.data(), record.size(),
                                                         CurrentLogPriority());
    // Taken, whether queued or counted: the sink has nothing to retry.
    return static_cast<ssize_t>(size);
}
