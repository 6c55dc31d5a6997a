#include "host/kaf/ConfigLock.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "host/kaf/FileReplacement.h"
#include "host/kaf/LockHolder.h"
#include "host/protocol/OwnDirectory.h"

namespace KAF {

namespace {

// Only root or this user can remove a lock file; a few tries outlast that.
const int kLockAttempts = 8;

std::string Reason()
{
    return std::strerror(errno);
}

std::string CannotLock(const std::string& path)
{
    return "cannot lock '" + path + "': ";
}

// FNV-1a: the name of a configuration may be longer than a lock file's
// may; two names of one directory colliding would only refuse a start.
std::uint64_t NameHash(const std::string& name)
{
    std::uint64_t hash = 14695981039346656037ULL;
    for (unsigned char c : name) {
        hash ^= c;
        hash *= 1099511628211ULL;
    }
    return hash;
}

// Opens for reading and writing (the holder records itself in it),
// creating it 0600 when missing, the lock file `name` in `dirFd`. False,
// with `error` set, for anything but a regular file of the effective user's.
bool OpenLockFile(int dirFd, const std::string& name, BFd& fd, std::string& error)
{
    fd.Reset(::openat(dirFd, name.c_str(),
                      O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600));
    struct stat found;
    if (!fd.Valid() || ::fstat(fd.Get(), &found) != 0) {
        error = "cannot open the lock file " + name + ": " + Reason();
        fd.Reset();
        return false;
    }
    if (!S_ISREG(found.st_mode) || found.st_uid != ::geteuid()) {
        error = "the lock file " + name + " is not a regular file of this user's";
        fd.Reset();
        return false;
    }
    return true;
}

} // namespace

std::string LockFileName(const struct stat& directory, const std::string& base)
{
    char name[80];
    std::snprintf(name, sizeof name, "config-%llx-%llx-%016llx.lock",
                  static_cast<unsigned long long>(directory.st_dev),
                  static_cast<unsigned long long>(directory.st_ino),
                  static_cast<unsigned long long>(NameHash(base)));
    return name;
}

std::string FileLockName(const struct stat& file)
{
    char name[64];
    std::snprintf(name, sizeof name, "file-%llx-%llx.lock",
                  static_cast<unsigned long long>(file.st_dev),
                  static_cast<unsigned long long>(file.st_ino));
    return name;
}

BConfigLocks::~BConfigLocks()
{
    LetGo(m_next);
    LetGo(m_byFile);
    LetGo(m_byName);
}

bool BConfigLocks::Place(const TLockPlace& place, std::string& error)
{
    m_oneName = place.oneName;
    if (Placed())
        return true;
    error = control::OpenOwnDirectory(place.directory, 0750, place.group,
                                      "the lock directory " + place.directory, "", m_directory);
    return error.empty();
}

bool BConfigLocks::Follow(const std::string& path, const struct stat& file, std::string& message)
{
    if (m_oneName && file.st_nlink > 1) {
        message = CannotLock(path) + "it has " + std::to_string(file.st_nlink) +
                  " names (hard links); root's daemon takes a configuration of one name only";
        return false;
    }
    BFd dirFd;
    std::string base, error;
    struct stat directory;
    if (!OpenTargetDirectory(path, dirFd, base, error) || ::fstat(dirFd.Get(), &directory) != 0) {
        message = CannotLock(path) + (error.empty() ? Reason() : error);
        return false;
    }
    THeld byName, byFile;
    if (!Renew(m_byName, LockFileName(directory, base), path, byName, message))
        return false;
    if (!Renew(m_byFile, FileLockName(file), path, byFile, message)) {
        LetGo(byName);
        return false;
    }
    Adopt(m_byName, byName);
    Adopt(m_byFile, byFile);
    return true;
}

bool BConfigLocks::Replacing(const std::string& path, const struct stat& file, std::string& error)
{
    LetGo(m_next);
    return !Placed() || Take(FileLockName(file), path, m_next, error);
}

void BConfigLocks::Replaced(bool newStands)
{
    if (newStands)
        Adopt(m_byFile, m_next);
    LetGo(m_next);
}

bool BConfigLocks::Renew(const THeld& held, const std::string& name, const std::string& path,
                         THeld& fresh, std::string& message) const
{
    return (held.name == name && StillNamed(held)) || Take(name, path, fresh, message);
}

bool BConfigLocks::Take(const std::string& name, const std::string& path, THeld& held,
                        std::string& message) const
{
    for (int attempt = 0; attempt < kLockAttempts; ++attempt) {
        THeld taken{BFd(), name};
        std::string error;
        if (!OpenLockFile(m_directory.Get(), name, taken.fd, error)) {
            message = CannotLock(path) + error;
            return false;
        }
        if (::flock(taken.fd.Get(), LOCK_EX | LOCK_NB) != 0) {
            message = errno == EWOULDBLOCK ? DescribeLockHolder(path, taken.fd.Get())
                                           : CannotLock(path) + Reason();
            return false;
        }
        // The lock counts only on the file the name still leads to: the one
        // who let go of it may have removed it since it was opened.
        if (StillNamed(taken)) {
            RecordLockHolder(taken.fd.Get()); // only ever a help to name it
            held = std::move(taken);
            return true;
        }
    }
    message = CannotLock(path) + "its lock file is removed again and again";
    return false;
}

bool BConfigLocks::StillNamed(const THeld& held) const
{
    struct stat locked, named;
    return held.fd.Valid() && ::fstat(held.fd.Get(), &locked) == 0 && locked.st_nlink > 0 &&
           ::fstatat(m_directory.Get(), held.name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
           SameFile(locked, named);
}

void BConfigLocks::Adopt(THeld& held, THeld& fresh) const
{
    if (!fresh.fd.Valid())
        return;
    LetGo(held);
    held = std::move(fresh);
}

// Removed while still locked: whoever opened it meanwhile finds, once its
// flock succeeds, that the name leads elsewhere, and starts again.
void BConfigLocks::LetGo(THeld& held) const
{
    if (StillNamed(held))
        ::unlinkat(m_directory.Get(), held.name.c_str(), 0);
    held.fd.Reset();
    held.name.clear();
}

} // namespace KAF
