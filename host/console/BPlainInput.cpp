#include "host/console/BPlainInput.h"

#include <cerrno>
#include <cstdio>

#include <unistd.h>

BPlainInput::BPlainInput(const char* szPrompt)
    : m_prompt(szPrompt), m_terminal(isatty(STDIN_FILENO) != 0)
{
}

int BPlainInput::Fd() const
{
    return m_ended ? -1 : STDIN_FILENO;
}

bool BPlainInput::Read(std::vector<std::string>& lines)
{
    if (m_ended) {
        End();
        return false;
    }
    char buffer[4096];
    ssize_t count;
    do
        count = read(STDIN_FILENO, buffer, sizeof buffer);
    while (count < 0 && errno == EINTR);
    if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return true;
    if (count <= 0) {
        // As std::getline: a read error ends the input like its end.
        if (!m_partial.empty()) {
            lines.push_back(m_partial);
            m_partial.clear();
            m_promptShown = false;
        }
        End();
        m_ended = true;
        return false;
    }
    m_partial.append(buffer, static_cast<std::string::size_type>(count));
    std::string::size_type start = 0;
    std::string::size_type end;
    while ((end = m_partial.find('\n', start)) != std::string::npos) {
        lines.push_back(m_partial.substr(start, end - start));
        m_promptShown = false;
        start = end + 1;
    }
    m_partial.erase(0, start);
    return true;
}

void BPlainInput::End()
{
    if (m_terminal && m_promptShown)
        std::fputs("\n", stdout);
    m_promptShown = false;
}

void BPlainInput::ShowPrompt()
{
    if (m_terminal) {
        std::fputs(m_prompt.c_str(), stdout);
        std::fflush(stdout);
    }
    m_promptShown = true;
}

void BPlainInput::CatchInterrupts()
{
    if (!m_terminal || m_pSignals)
        return;
    m_pSignals.reset(new BSignalPipe);
    if (!m_pSignals->Ok())
        m_pSignals.reset();
}

int BPlainInput::InterruptFd() const
{
    return m_pSignals ? m_pSignals->Fd() : -1;
}

bool BPlainInput::TakeInterrupt()
{
    if (!m_pSignals || m_pSignals->Drain().find(BSignalPipe::kInterrupt) == std::string::npos)
        return false;
    m_partial.clear();
    m_promptShown = false;
    return true;
}

void BPlainInput::PrintAbove(const std::string& text)
{
    std::fwrite(text.data(), 1, text.size(), stdout);
    if (!text.empty() && text.back() != '\n')
        std::fputs("\n", stdout);
    std::fflush(stdout);
}
