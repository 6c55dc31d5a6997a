#include "host/console/BConsoleScreen.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <unistd.h>

namespace {

class BStandardOutput : public IConsoleOutput {
public:
    bool Terminal(TStream stream) const override
    {
        return isatty(stream == kOut ? STDOUT_FILENO : STDERR_FILENO) != 0;
    }

    void Write(TStream stream, const std::string& bytes) override
    {
        if (stream == kErr)
            std::fflush(stdout);
        FILE* const pStream = stream == kOut ? stdout : stderr;
        std::fwrite(bytes.data(), 1, bytes.size(), pStream);
        std::fflush(pStream);
    }

    int OutError() override
    {
        if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0)
            return errno != 0 ? errno : EIO;
        return 0;
    }
};

} // namespace

IConsoleOutput& StandardOutput()
{
    static BStandardOutput s_output;
    return s_output;
}

void BConsoleScreen::Print(const std::string& text)
{
    m_output.Write(IConsoleOutput::kOut, text);
}

void BConsoleScreen::Remark(const std::string& text)
{
    m_output.Write(IConsoleOutput::kErr,
                   m_output.Terminal(IConsoleOutput::kErr) ? control::VisibleText(text) : text);
}

int BConsoleScreen::Lost(const std::string& error)
{
    Remark("murox: " + error + "\n");
    return 1;
}

namespace {

// A field of the greeting on the one line that shows it: made visible, and
// no line break or tab of the daemon's either.
std::string GreetingField(const std::string& field)
{
    std::string shown;
    for (const char c : control::VisibleText(field)) {
        if (c == '\n')
            shown += "\\x0a";
        else if (c == '\t')
            shown += "\\x09";
        else
            shown += c;
    }
    return shown;
}

} // namespace

// The greeting's words are the daemon's: shown made visible wherever they
// go, on the console's own line.
void BConsoleScreen::Greet(const std::string& path, const std::string& greeting)
{
    const std::string::size_type blank = greeting.find(' ');
    const std::string version = blank == std::string::npos ? "?" : greeting.substr(blank + 1);
    Print("murox: connected to the daemon at " + GreetingField(path) + ", pid " +
          GreetingField(greeting.substr(0, blank)) + ", version " + GreetingField(version) + "\n");
}

std::string BConsoleScreen::EventLine(const std::string& text) const
{
    return (m_output.Terminal(IConsoleOutput::kOut) ? control::VisibleText(text) : text) + "\n";
}

void BConsoleScreen::FailureEvent(const std::string& text)
{
    Remark(text + "\n");
}

void BConsoleScreen::Answer(const control::TFrame& piece)
{
    const bool failed = piece.type == control::kFailed;
    m_failed = m_failed || failed;
    const IConsoleOutput::TStream stream =
        failed && !m_json ? IConsoleOutput::kErr : IConsoleOutput::kOut;
    if (!m_output.Terminal(stream)) {
        m_output.Write(stream, piece.payload);
    } else {
        std::string shown = m_answer.Add(piece.payload.data(), piece.payload.size());
        if (!piece.more)
            shown += m_answer.End();
        m_output.Write(stream, shown);
    }
    if (failed && !piece.more && m_nameFailed && !m_json)
        Remark("murox: line " + std::to_string(m_lines) +
               " failed: " + control::VisibleLine(m_line) + "\n");
}

bool BConsoleScreen::Show(const control::TFrame& frame)
{
    switch (frame.type) {
    case control::kEvent:
        if (!m_json)
            Print(EventLine(frame.payload));
        return true;
    case control::kFailureEvent:
        if (!m_json)
            FailureEvent(frame.payload);
        return true;
    case control::kAnswer:
    case control::kFailed:
        Answer(frame);
        return true;
    case control::kFarewell:
        Remark(frame.payload);
        return false;
    default:
        return true;
    }
}

int BConsoleScreen::Status()
{
    const int error = m_output.OutError();
    if (error != 0) {
        Remark(std::string("murox: cannot write to standard output: ") + std::strerror(error) +
               "\n");
        return 1;
    }
    return m_failed ? 3 : 0;
}
