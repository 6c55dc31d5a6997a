// The pieces the store's file is read and replaced with: whole reads and
// writes, the file a path finally names, and a new file beside it that no
// one else can have placed there, given the original's owner and mode.
#ifndef HOST_KAF_FILEREPLACEMENT_H
#define HOST_KAF_FILEREPLACEMENT_H

#include <string>

#include <sys/stat.h>
#include <unistd.h>

#include "host/protocol/BFd.h"

namespace KAF {

// Reads `fd` to its end into `text`. False, with errno set (EFBIG past
// `limit` bytes), when it cannot.
bool ReadAll(int fd, off_t limit, std::string& text);

// Writes all of `text` to `fd`. False, with errno set, when it cannot.
bool WriteAll(int fd, const std::string& text);

// The directory and the name in it of the file that `path` finally names.
bool ResolveTarget(const std::string& path, std::string& dir, std::string& base,
                   std::string& error);

// A new file beside `base`, named so that a stranger cannot guess it, and
// never anything that already stands there, open for reading and writing;
// its name in `name`. -1, with errno set, when none could be made.
int CreateTemporary(int dirFd, const std::string& base, mode_t mode, std::string& name);

// True for a name CreateTemporary gives beside `base`.
bool IsTemporaryName(const std::string& base, const std::string& name);

// Opens the directory of the file that `path` finally names, and says the
// file's name there.
bool OpenTargetDirectory(const std::string& path, BFd& dirFd, std::string& base,
                         std::string& error);

// Gives the file open in `fd` the owner, group and mode of `original`.
bool KeepOwnerAndMode(int fd, const struct stat& original);

// Removes the temporary file unless it was renamed into place.
class BTemporaryName {
public:
    BTemporaryName(int dirFd, const std::string& name) : m_dirFd(dirFd), m_name(name) {}
    ~BTemporaryName()
    {
        if (!m_name.empty())
            ::unlinkat(m_dirFd, m_name.c_str(), 0);
    }
    BTemporaryName(const BTemporaryName&) = delete;
    BTemporaryName& operator=(const BTemporaryName&) = delete;
    void Keep() { m_name.clear(); }

private:
    int m_dirFd;
    std::string m_name;
};

} // namespace KAF

#endif
