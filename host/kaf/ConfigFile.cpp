#include "host/kaf/ConfigFile.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <utility>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <unistd.h>

#include "host/kaf/LockHolder.h"

namespace KAF {

namespace {

// Far beyond any configuration; a bound on what one read may allocate.
const off_t kMaxConfigBytes = 64 << 20;
const int kTemporaryAttempts = 16;
const char kChanged[] = "the file changed on disk since it was last read; run \"xdll -r\" first";

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

std::string Reason()
{
    return std::strerror(errno);
}

bool ReadAll(int fd, off_t limit, std::string& text)
{
    text.clear();
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        text.append(buffer, static_cast<std::size_t>(n));
        if (static_cast<off_t>(text.size()) > limit) {
            errno = EFBIG;
            return false;
        }
    }
}

bool WriteAll(int fd, const std::string& text)
{
    std::string::size_type done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::string::size_type>(n);
    }
    return true;
}

// The directory and the name in it of the file that `path` finally names.
bool ResolveTarget(const std::string& path, std::string& dir, std::string& base, std::string& error)
{
    std::string target;
    if (char* pReal = ::realpath(path.c_str(), nullptr)) {
        target = pReal;
        std::free(pReal);
    } else {
        struct stat link;
        const std::string::size_type slash = path.rfind('/');
        const std::string name = path.substr(slash == std::string::npos ? 0 : slash + 1);
        // Only a name that does not exist at all is a new file: a dangling
        // link or a path through something else is not.
        if (errno != ENOENT || ::lstat(path.c_str(), &link) == 0 || errno != ENOENT ||
            name.empty() || name == "." || name == "..") {
            error = path.empty() ? "no file name" : Reason();
            return false;
        }
        const std::string parent = slash == std::string::npos ? "."
                                   : slash == 0               ? "/"
                                                              : path.substr(0, slash);
        char* pParent = ::realpath(parent.c_str(), nullptr);
        if (pParent == nullptr) {
            error = Reason();
            return false;
        }
        target = std::string(pParent) + '/' + name;
        std::free(pParent);
    }
    const std::string::size_type slash = target.rfind('/');
    dir = slash == 0 ? "/" : target.substr(0, slash);
    base = target.substr(slash + 1);
    return true;
}

// True when what stands at the name (open in `fd`, or absent for -1) is
// not what the store last read or wrote there.
bool ChangedOnDisk(int fd, const struct stat& current, const std::string& path,
                   const TFileImage& synced, std::string& error)
{
    const bool expected = synced.exists && synced.path == path;
    if ((fd >= 0) != expected)
        return true;
    if (fd < 0)
        return false;
    // The size decides most edits without reading; equal sizes are read,
    // since timestamps are too coarse to tell an edit made in the same tick.
    if (current.st_size != static_cast<off_t>(synced.text.size()))
        return true;
    std::string text;
    if (!ReadAll(fd, current.st_size, text)) {
        if (errno != EFBIG) // else it grew while it was read
            error = Reason();
        return true;
    }
    return text != synced.text;
}

void RandomSuffix(std::string& name)
{
    static unsigned s_counter = 0;
    unsigned char bytes[8];
    if (::getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bytes)) {
        // Unpredictable names only spare retries: O_EXCL is what keeps the
        // creation safe.
        struct timespec now;
        ::clock_gettime(CLOCK_REALTIME, &now);
        const unsigned long mix = static_cast<unsigned long>(now.tv_nsec) ^
                                  (static_cast<unsigned long>(::getpid()) << 8) ^ ++s_counter;
        for (std::size_t i = 0; i < sizeof bytes; ++i)
            bytes[i] = static_cast<unsigned char>(mix >> (i % sizeof mix) * 8);
    }
    static const char digits[] = "0123456789abcdef";
    for (unsigned char byte : bytes) {
        name += digits[byte >> 4];
        name += digits[byte & 15];
    }
}

// A new file beside `base`, named so that a stranger cannot guess it, and
// never anything that already stands there.
int CreateTemporary(int dirFd, const std::string& base, mode_t mode, std::string& name)
{
    for (int attempt = 0; attempt < kTemporaryAttempts; ++attempt) {
        name = base + ".tmp-";
        RandomSuffix(name);
        const int fd = ::openat(dirFd, name.c_str(),
                                O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

// Owner before mode: a change of owner may clear set-id bits.
bool KeepOwnerAndMode(int fd, const struct stat& original)
{
    struct stat created;
    if (::fstat(fd, &created) != 0)
        return false;
    if ((created.st_uid != original.st_uid || created.st_gid != original.st_gid) &&
        ::fchown(fd, original.st_uid, original.st_gid) != 0)
        return false;
    return ::fchmod(fd, original.st_mode & 07777) == 0;
}

} // namespace

bool SameFile(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool ReadConfigFile(const std::string& path, std::string& text, BFd& fd, std::string& error)
{
    const std::string prefix = "cannot read '" + path + "': ";
    // Non-blocking: a FIFO at the name must not stall the reader.
    BFd file(::open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    struct stat st;
    if (file.Get() < 0 || ::fstat(file.Get(), &st) != 0) {
        error = prefix + Reason();
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        error = prefix + "not a regular file";
        return false;
    }
    if (!ReadAll(file.Get(), kMaxConfigBytes, text)) {
        error = prefix + Reason();
        return false;
    }
    fd = std::move(file);
    return true;
}

bool TakeOverLock(BFd fd, BFd& lock, const std::string& path, std::string& error)
{
    if (!lock.Valid())
        return true;
    struct stat opened, locked;
    if (::fstat(fd.Get(), &opened) != 0 || ::fstat(lock.Get(), &locked) != 0) {
        error = "cannot lock '" + path + "': " + Reason();
        return false;
    }
    if (SameFile(opened, locked))
        return true;
    if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
        error = errno == EWOULDBLOCK ? DescribeLockHolder(path, opened)
                                     : "cannot lock '" + path + "': " + Reason();
        return false;
    }
    lock = std::move(fd);
    return true;
}

bool RewriteConfigFile(const std::string& path, const TFileImage& synced, const std::string& text,
                       BFd& lock, std::string& error)
{
    const std::string prefix = "cannot write '" + path + "': ";
    std::string dir, base;
    if (!ResolveTarget(path, dir, base, error)) {
        error = prefix + error;
        return false;
    }
    const BFd dirFd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (dirFd.Get() < 0) {
        error = prefix + Reason();
        return false;
    }
    // The rename would replace whatever stands at the name: a device such
    // as /dev/null, a pipe or a link must never give way to a configuration.
    struct stat current;
    BFd original;
    if (::fstatat(dirFd.Get(), base.c_str(), &current, AT_SYMLINK_NOFOLLOW) == 0) {
        if (!S_ISREG(current.st_mode)) {
            error = prefix + "not a regular file";
            return false;
        }
        original.Reset(::openat(dirFd.Get(), base.c_str(),
                                O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        struct stat opened;
        if (original.Get() < 0 || ::fstat(original.Get(), &opened) != 0) {
            error = prefix + (errno == ELOOP ? "not a regular file" : Reason());
            return false;
        }
        // Something else may have taken the name since it was looked at.
        if (!SameFile(opened, current)) {
            error = prefix + kChanged;
            return false;
        }
    } else if (errno != ENOENT) {
        error = prefix + Reason();
        return false;
    }
    std::string why = kChanged;
    if (ChangedOnDisk(original.Get(), current, path, synced, why)) {
        error = prefix + why;
        return false;
    }
    // Whoever else holds the live file keeps it; the store's own lock on it
    // moves below.
    struct stat locked;
    const bool ownLock = lock.Valid() && ::fstat(lock.Get(), &locked) == 0 && original.Get() >= 0 &&
                         SameFile(locked, current);
    if (original.Get() >= 0 && !ownLock && ::flock(original.Get(), LOCK_EX | LOCK_NB) != 0) {
        error = errno == EWOULDBLOCK ? DescribeLockHolder(path, current) : prefix + Reason();
        return false;
    }

    std::string name;
    BFd temporary(CreateTemporary(dirFd.Get(), base, original.Get() >= 0 ? 0600 : 0644, name));
    if (temporary.Get() < 0) {
        error = prefix + Reason();
        return false;
    }
    BTemporaryName created(dirFd.Get(), name);
    if (original.Get() >= 0 && !KeepOwnerAndMode(temporary.Get(), current)) {
        error = prefix + "cannot give the new file the old one's owner and mode: " + Reason();
        return false;
    }
    if (!WriteAll(temporary.Get(), text) || ::fsync(temporary.Get()) != 0 ||
        (lock.Valid() && ::flock(temporary.Get(), LOCK_EX | LOCK_NB) != 0) ||
        ::renameat(dirFd.Get(), name.c_str(), dirFd.Get(), base.c_str()) != 0) {
        error = prefix + Reason();
        return false;
    }
    created.Keep();
    if (lock.Valid())
        lock = std::move(temporary);
    if (::fsync(dirFd.Get()) != 0) {
        error =
            prefix + "replaced, but its directory not synced (" + Reason() + "); run \"xdll -r\"";
        return false;
    }
    return true;
}

} // namespace KAF
