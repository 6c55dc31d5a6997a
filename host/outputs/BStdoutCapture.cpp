#include "host/outputs/BStdoutCapture.h"

#include <string>

#include "host/outputs/ILogOutput.h"
#include "host/protocol/VisibleText.h"

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
