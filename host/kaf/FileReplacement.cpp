#include "host/kaf/FileReplacement.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

namespace KAF {

namespace {

const int kTemporaryAttempts = 16;
const char kTemporaryMark[] = ".tmp-";
const std::size_t kSuffixDigits = 16;

std::string Reason()
{
    return std::strerror(errno);
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
    static const char kDigits[] = "0123456789abcdef";
    for (unsigned char byte : bytes) {
        name += kDigits[byte >> 4];
        name += kDigits[byte & 15];
    }
}

} // namespace

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

bool OpenTargetDirectory(const std::string& path, BFd& dirFd, std::string& base, std::string& error)
{
    std::string dir;
    if (!ResolveTarget(path, dir, base, error))
        return false;
    dirFd.Reset(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dirFd.Valid())
        return true;
    error = Reason();
    return false;
}

int CreateTemporary(int dirFd, const std::string& base, mode_t mode, std::string& name)
{
    for (int attempt = 0; attempt < kTemporaryAttempts; ++attempt) {
        name = base + kTemporaryMark;
        RandomSuffix(name);
        const int fd =
            ::openat(dirFd, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

bool IsTemporaryName(const std::string& base, const std::string& name)
{
    const std::string prefix = base + kTemporaryMark;
    return name.size() == prefix.size() + kSuffixDigits &&
           name.compare(0, prefix.size(), prefix) == 0 &&
           name.find_first_not_of("0123456789abcdef", prefix.size()) == std::string::npos;
}

// Group, mode, then owner: a process that may give files away (CAP_CHOWN)
// but not change the mode of another's (CAP_FOWNER), as the packaged
// daemon, can do it in this order only, and the mode never opens the file
// to a group it will not have. A change of owner may clear set-id bits:
// they are given again, which only a process with CAP_FOWNER may.
bool KeepOwnerAndMode(int fd, const struct stat& original)
{
    const mode_t mode = original.st_mode & 07777;
    struct stat created;
    if (::fstat(fd, &created) != 0 ||
        (created.st_gid != original.st_gid &&
         ::fchown(fd, static_cast<uid_t>(-1), original.st_gid) != 0) ||
        ::fchmod(fd, mode) != 0)
        return false;
    if (created.st_uid == original.st_uid)
        return true;
    if (::fchown(fd, original.st_uid, static_cast<gid_t>(-1)) != 0 || ::fstat(fd, &created) != 0)
        return false;
    return (created.st_mode & 07777) == mode || ::fchmod(fd, mode) == 0;
}

} // namespace KAF
