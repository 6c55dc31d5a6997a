#include "host/console/BLineReader.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <poll.h>
#include <pwd.h>
#include <unistd.h>

#include "host/console/BPlainInput.h"

#ifdef MUROX_HAVE_LIBEDIT
#include "host/console/BLineEditor.h"
#endif

namespace {

// The one place that knows whether the build has libedit.
std::unique_ptr<ILineInput> OpenInput(const char* szPrompt, const std::string& historyPath,
                                      BLineReader::TCompleter completer)
{
#ifdef MUROX_HAVE_LIBEDIT
    const char* szTerm = std::getenv("TERM");
    if (isatty(STDIN_FILENO) != 0 && isatty(STDOUT_FILENO) != 0 && szTerm != nullptr &&
        szTerm[0] != '\0' && std::strcmp(szTerm, "dumb") != 0 && BLineEditor::CanOpen())
        return std::unique_ptr<ILineInput>(
            new BLineEditor(szPrompt, historyPath, std::move(completer)));
#else
    (void)historyPath;
    (void)completer;
#endif
    return std::unique_ptr<ILineInput>(new BPlainInput(szPrompt));
}

// $HOME, else the user's home directory from the password database; empty
// when neither is known.
std::string HomeDirectory()
{
    const char* szHome = std::getenv("HOME");
    if (szHome == nullptr || szHome[0] == '\0') {
        const passwd* const pUser = getpwuid(getuid());
        szHome = pUser != nullptr ? pUser->pw_dir : nullptr;
    }
    return szHome != nullptr ? szHome : "";
}

} // namespace

BLineReader::BLineReader(const char* szPrompt, const std::string& historyPath, TCompleter completer)
    : m_pInput(OpenInput(szPrompt, historyPath, std::move(completer)))
{
}

BLineReader::~BLineReader() = default;

bool BLineReader::Editing() const
{
    return m_pInput->Editing();
}

int BLineReader::Fd() const
{
    return m_pInput->Fd();
}

bool BLineReader::Read(std::vector<std::string>& lines)
{
    return m_pInput->Read(lines);
}

bool BLineReader::ReadLine(std::string& line)
{
    ShowPrompt();
    std::vector<std::string> lines;
    bool more = true;
    while (m_queued.empty() && more) {
        // At the end of the input there is nothing to wait for: Read says so.
        pollfd input = {Fd(), POLLIN, 0};
        if (input.fd >= 0 && poll(&input, 1, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        lines.clear();
        more = Read(lines);
        m_queued.insert(m_queued.end(), lines.begin(), lines.end());
    }
    if (m_queued.empty())
        return false;
    line = m_queued.front();
    m_queued.pop_front();
    return true;
}

void BLineReader::ShowPrompt()
{
    m_pInput->ShowPrompt();
}

void BLineReader::HidePrompt()
{
    m_pInput->HidePrompt();
}

void BLineReader::CatchInterrupts()
{
    m_pInput->CatchInterrupts();
}

int BLineReader::InterruptFd() const
{
    return m_pInput->InterruptFd();
}

bool BLineReader::TakeInterrupt()
{
    return m_pInput->TakeInterrupt();
}

void BLineReader::PrintAbove(const std::string& text)
{
    m_pInput->PrintAbove(text);
}

std::string MuroxHistoryPath()
{
    const std::string home = HomeDirectory();
    return home.empty() ? home : home + "/.murox_history";
}

std::string KeyBindingsPath()
{
    const char* const szFile = std::getenv("EDITRC");
    if (szFile != nullptr && szFile[0] != '\0')
        return szFile;
    const std::string home = HomeDirectory();
    return home.empty() ? home : home + "/.editrc";
}
