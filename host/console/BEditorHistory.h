// The line editor's history: libedit's list of the lines entered, kept in
// a file private to its owner.
#ifndef HOST_CONSOLE_BEDITORHISTORY_H
#define HOST_CONSOLE_BEDITORHISTORY_H

#include <string>

// A history file that cannot be read or written is reported once on
// standard error and never overwritten: the history stays in memory.
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
    void Warn(const std::string& what, int error);

    std::string m_path;      // empty: no file kept
    std::string m_lastEntry; // the newest entry
};

#endif
