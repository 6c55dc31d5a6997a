#include "host/console/BConsoleScreen.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <unistd.h>

void BConsoleScreen::Print(const std::string& text)
{
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

void BConsoleScreen::Remark(const std::string& text)
{
    std::fflush(stdout);
    const std::string shown = isatty(STDERR_FILENO) ? control::VisibleText(text) : text;
    std::fwrite(shown.data(), 1, shown.size(), stderr);
}

int BConsoleScreen::Lost(const std::string& error)
{
    Remark("murox: " + error + "\n");
    return 1;
}

std::string BConsoleScreen::EventLine(const std::string& text) const
{
    return (m_terminal ? control::VisibleText(text) : text) + "\n";
}

void BConsoleScreen::Answer(const control::TFrame& piece)
{
    const bool failed = piece.type == control::kFailed;
    m_failed = m_failed || failed;
    FILE* const pStream = failed ? stderr : stdout;
    if (failed)
        std::fflush(stdout);
    std::string shown = piece.payload;
    if (isatty(fileno(pStream)) != 0) {
        shown = m_answer.Add(piece.payload.data(), piece.payload.size());
        if (!piece.more)
            shown += m_answer.End();
    }
    std::fwrite(shown.data(), 1, shown.size(), pStream);
    std::fflush(pStream);
}

int BConsoleScreen::Status() const
{
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
        std::fprintf(stderr, "murox: cannot write to standard output: %s\n", std::strerror(errno));
        return 1;
    }
    return m_failed ? 3 : 0;
}
