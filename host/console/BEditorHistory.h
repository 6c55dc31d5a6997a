// The line editor's history: libedit's list of the lines entered, kept in
// a file private to its owner.
#ifndef HOST_CONSOLE_BEDITORHISTORY_H
#define HOST_CONSOLE_BEDITORHISTORY_H

#include <string>

#include "host/protocol/BFd.h"

// The file is opened once, where it is (see OpenHistoryFile), and read and
// written through that descriptor only. A history file that cannot be
// opened as the operator's own, read or written is reported once on
// standard error and never touched again: the history stays in memory.
class BEditorHistory {
public:
    // An empty `path` keeps no file.
    explicit BEditorHistory(const std::string& path) : m_path(path) {}

    // Bounds libedit's list to `lines` (what is read from the file as well
    // as what is added) and reads the file into it. Once libedit is set up.
    void Load(int lines);
    // Adds the line, unless it is blank or repeats the newest entry, and
    // saves the list, the file's mode 0600.
    void Remember(const std::string& line);

private:
    // libedit reads and writes files by name: the descriptor's own name in
    // /proc names the file opened, whatever its path names by then.
    std::string FdPath() const { return "/proc/self/fd/" + std::to_string(m_fd.Get()); }
    void Warn(const std::string& what, const std::string& why);

    std::string m_path;      // empty: no file kept
    BFd m_fd;                // the file, once opened
    std::string m_lastEntry; // the newest entry
};

#endif
