#include "host/registry/ExtTrust.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

// As the kernel's own limit on links followed in one lookup.
const int kMaxLinks = 40;

std::string Octal(mode_t mode)
{
    char text[16];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

// snprintf rather than std::to_string, whose digit table the library
// would export.
std::string Uid(uid_t uid)
{
    char text[32];
    std::snprintf(text, sizeof text, "uid %lu", static_cast<unsigned long>(uid));
    return text;
}

// Who may own what is trusted: "root", or "root or uid N".
std::string Owners()
{
    const uid_t self = geteuid();
    return self == 0 ? "root" : "root or " + Uid(self);
}

const char* Noun(mode_t mode)
{
    if (S_ISDIR(mode))
        return "the directory ";
    return S_ISLNK(mode) ? "the symbolic link " : "the file ";
}

// The steps of `path`, last first, pushed onto `pending`, whose back is
// the next step; empty and "." steps dropped.
void PushSteps(std::vector<std::string>& pending, const std::string& path)
{
    std::vector<std::string> steps;
    for (std::string::size_type start = 0; start <= path.size();) {
        std::string::size_type slash = path.find('/', start);
        if (slash == std::string::npos)
            slash = path.size();
        if (slash > start && path.compare(start, slash - start, ".") != 0)
            steps.push_back(path.substr(start, slash - start));
        start = slash + 1;
    }
    pending.insert(pending.end(), steps.rbegin(), steps.rend());
}

// The process's root, which "/" names, but through /proc: the emulator
// that runs the PowerPC build (qemu-user -L) takes "/" itself for the
// target's system root, though it leaves the steps below alone.
BFd OpenRoot()
{
    return BFd(::open("/proc/self/root", O_PATH | O_DIRECTORY | O_CLOEXEC));
}

// One walk: the directory reached so far, its path, and the steps left.
class BWalk {
public:
    BWalk(const TTrustSubject& subject, std::string& why) : m_subject(subject), m_why(why) {}

    TWalk Run(const std::string& path, TWalked& walked)
    {
        std::string absolute = path;
        if (path.empty() || path[0] != '/') {
            char cwd[PATH_MAX];
            if (::getcwd(cwd, sizeof cwd) == nullptr)
                return Unreadable();
            absolute = std::string(cwd) + "/" + path;
        }
        PushSteps(m_pending, absolute);
        TWalk result = Restart("/");
        while (result == TWalk::kReached && !m_pending.empty()) {
            std::string name = std::move(m_pending.back());
            m_pending.pop_back();
            result = Step(name);
        }
        if (result != TWalk::kReached)
            return result;
        walked.fd = std::move(m_at);
        walked.info = m_info;
        walked.real = m_real.empty() ? "/" : m_real;
        return result;
    }

private:
    TWalk Unreadable()
    {
        const int error = errno;
        m_why = "cannot read " + m_subject.named + ": " + std::strerror(error);
        return error == ENOENT || error == ENOTDIR ? TWalk::kMissing : TWalk::kRefused;
    }

    TWalk Judged(const std::string& where)
    {
        m_why = TrustProblem(m_subject, where, m_info);
        return m_why.empty() ? TWalk::kReached : TWalk::kRefused;
    }

    // Back to / (examined again: cheap, and a link may lead there).
    TWalk Restart(const char* szWhere)
    {
        m_at = OpenRoot();
        m_real.clear();
        if (!m_at.Valid() || ::fstat(m_at.Get(), &m_info) != 0)
            return Unreadable();
        return Judged(szWhere);
    }

    TWalk Step(const std::string& name)
    {
        if (name == "..") {
            // Up to a directory examined on the way down; / has no parent.
            if (m_real.empty())
                return TWalk::kReached;
            m_real.erase(m_real.rfind('/'));
            m_at = BFd(::openat(m_at.Get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
            return m_at.Valid() && ::fstat(m_at.Get(), &m_info) == 0 ? TWalk::kReached
                                                                     : Unreadable();
        }
        if (!S_ISDIR(m_info.st_mode)) {
            errno = ENOTDIR;
            return Unreadable();
        }
        BFd next(::openat(m_at.Get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        struct stat info;
        if (!next.Valid() || ::fstat(next.Get(), &info) != 0)
            return Unreadable();
        const std::string where = m_real + "/" + name;
        if (S_ISLNK(info.st_mode))
            return Follow(name, where, info);
        m_info = info;
        if (S_ISDIR(info.st_mode) && Judged(where) != TWalk::kReached)
            return TWalk::kRefused;
        m_at = std::move(next);
        m_real = where;
        return TWalk::kReached;
    }

    // The link's target is read by name in the directory examined, which
    // nobody else can change, and walked from there or from /.
    TWalk Follow(const std::string& name, const std::string& where, const struct stat& link)
    {
        m_why = TrustProblem(m_subject, where, link);
        if (!m_why.empty())
            return TWalk::kRefused;
        if (++m_links > kMaxLinks) {
            errno = ELOOP;
            return Unreadable();
        }
        std::string target(PATH_MAX, '\0');
        const ssize_t length = ::readlinkat(m_at.Get(), name.c_str(), &target[0], target.size());
        if (length <= 0 || static_cast<std::size_t>(length) >= target.size()) {
            errno = length < 0 ? errno : ENAMETOOLONG;
            return Unreadable();
        }
        target.resize(static_cast<std::size_t>(length));
        PushSteps(m_pending, target);
        return target[0] == '/' ? Restart("/") : TWalk::kReached;
    }

    const TTrustSubject& m_subject;
    std::string& m_why;
    std::vector<std::string> m_pending; // the steps left, the next at the back
    BFd m_at;                           // where the walk stands
    struct stat m_info {};              // of m_at
    std::string m_real;                 // its path; empty for /
    int m_links = 0;
};

} // namespace

const char* KindOf(mode_t mode)
{
    if (S_ISDIR(mode))
        return "a directory";
    if (S_ISFIFO(mode))
        return "a FIFO";
    if (S_ISCHR(mode))
        return "a character device";
    if (S_ISBLK(mode))
        return "a block device";
    if (S_ISSOCK(mode))
        return "a socket";
    return S_ISLNK(mode) ? "a symbolic link" : "of an unknown kind";
}

std::string TrustProblem(const TTrustSubject& subject, const std::string& where,
                         const struct stat& info)
{
    const std::string owned = Uid(info.st_uid) + ", mode " + Octal(info.st_mode);
    const std::string lead =
        subject.named + " could be changed by others: " + Noun(info.st_mode) + where;
    const std::string remedy =
        std::string(subject.szAct) + " where only " + Owners() + " can change it";
    if (info.st_uid != 0 && info.st_uid != geteuid())
        return lead + " belongs to " + owned + ", not to " + Owners() + "; " + remedy +
               (subject.szExample != nullptr ? std::string(", such as ") + subject.szExample
                                             : std::string());
    // A link's own mode means nothing; in a sticky directory, only an
    // entry's owner (examined at the next step) may rename or remove it.
    const bool exempt =
        S_ISLNK(info.st_mode) || (S_ISDIR(info.st_mode) && (info.st_mode & S_ISVTX));
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0 && !exempt)
        return lead + " (" + owned + ") is writable by its group or others; chmod go-w " + where +
               ", or " + remedy;
    return std::string();
}

TWalk WalkTrusted(const std::string& path, const TTrustSubject& subject, TWalked& walked,
                  std::string& why)
{
    why.clear();
    return BWalk(subject, why).Run(path, walked);
}

std::string ConfigTrustProblem(const std::string& path)
{
    if (geteuid() != 0)
        return std::string();
    const TTrustSubject subject{path, "keep the configuration"};
    TWalked walked;
    std::string why;
    if (WalkTrusted(path, subject, walked, why) != TWalk::kReached)
        return why;
    if (!S_ISREG(walked.info.st_mode))
        return path + " is not a regular file (" + KindOf(walked.info.st_mode) + ")";
    return TrustProblem(subject, walked.real, walked.info);
}
