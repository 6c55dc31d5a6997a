#include "host/console/BEditorHistory.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <editline/readline.h>

#include "host/protocol/CommandGrammar.h"

void BEditorHistory::Load(int lines)
{
    stifle_history(lines);
    if (!m_path.empty()) {
        const int error = read_history(m_path.c_str());
        if (error != 0 && error != ENOENT)
            Warn("cannot read the history file", error);
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
    const int fd = open(m_path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (fd < 0 || fchmod(fd, S_IRUSR | S_IWUSR) != 0) {
        const int error = errno;
        if (fd >= 0)
            close(fd);
        Warn("cannot write the history file", error);
        return;
    }
    close(fd);
    const int error = write_history(m_path.c_str());
    if (error != 0)
        Warn("cannot write the history file", error);
}

// Once: the file is left alone from then on.
void BEditorHistory::Warn(const std::string& what, int error)
{
    std::fprintf(stderr, "murox: %s %s: %s; history is not saved\n", what.c_str(), m_path.c_str(),
                 std::strerror(error));
    m_path.clear();
}
