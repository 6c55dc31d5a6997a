#include "host/console/BEditorHistory.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

#include <editline/readline.h>

#include "host/console/HistoryFile.h"
#include "host/protocol/CommandGrammar.h"
#include "host/protocol/VisibleText.h"

void BEditorHistory::Load(int lines)
{
    stifle_history(lines);
    if (!m_path.empty()) {
        std::string problem;
        m_fd = OpenHistoryFile(m_path, problem);
        struct stat status {};
        if (!m_fd.Valid()) {
            Warn("cannot use the history file", problem);
        } else if (fstat(m_fd.Get(), &status) == 0 && status.st_size > 0) {
            // An empty file is one just made: there is nothing to read.
            const int error = read_history(FdPath().c_str());
            if (error != 0)
                Warn("cannot read the history file", std::strerror(error));
        }
    }
    const HIST_ENTRY* const pNewest = history_get(history_base + history_length - 1);
    if (pNewest != nullptr && pNewest->line != nullptr)
        m_lastEntry = pNewest->line;
}

void BEditorHistory::Remember(const std::string& line)
{
    if (line.find_first_not_of(command::kBlanks) == std::string::npos)
        return;
    if (line == m_lastEntry)
        return;
    add_history(line.c_str());
    m_lastEntry = line;
    if (m_path.empty())
        return;
    if (fchmod(m_fd.Get(), S_IRUSR | S_IWUSR) != 0) {
        Warn("cannot write the history file", std::strerror(errno));
        return;
    }
    const int error = write_history(FdPath().c_str());
    if (error != 0)
        Warn("cannot write the history file", std::strerror(error));
}

// Once: the file is left alone from then on.
void BEditorHistory::Warn(const std::string& what, const std::string& why)
{
    const std::string text =
        "murox: " + what + " " + m_path + ": " + why + "; history is not saved\n";
    const std::string shown = isatty(STDERR_FILENO) != 0 ? control::VisibleText(text) : text;
    std::fwrite(shown.data(), 1, shown.size(), stderr);
    m_path.clear();
    m_fd.Reset();
}
