#include "host/registry/ExtFile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>

#include "host/registry/ExtElf.h"
#include "host/registry/ExtTrust.h"
#include "hostapi/DLLExtAgents.h"
#include "murox/MuroxExt.h"

namespace {

// snprintf rather than std::to_string, whose digit table the library
// would export.
std::string TypeOf(unsigned type)
{
    char text[32];
    std::snprintf(text, sizeof text, "ELF type %u", type);
    return text;
}

std::string CannotRead(const std::string& path)
{
    return "cannot read " + path + ": " + std::strerror(errno);
}

// The file the walk found, opened for reading through the descriptor that
// found it: no name is looked up again, and only a regular file gets here.
BFd Reopen(const TWalked& walked, const std::string& path, std::string& why)
{
    char name[32];
    std::snprintf(name, sizeof name, "/proc/self/fd/%d", walked.fd.Get());
    BFd fd(::open(name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat info;
    if (!fd.Valid() || ::fstat(fd.Get(), &info) != 0) {
        why = CannotRead(path);
        return BFd();
    }
    if (info.st_dev != walked.info.st_dev || info.st_ino != walked.info.st_ino) {
        why = "cannot read " + path + ": it changed while it was examined";
        return BFd();
    }
    return fd;
}

// `element` with $ORIGIN (or ${ORIGIN}) as `origin`; false for any other
// substitution ($LIB, $PLATFORM), which this check does not follow.
bool Expand(const std::string& element, const std::string& origin, std::string& expanded)
{
    expanded.clear();
    for (std::string::size_type i = 0; i < element.size();) {
        if (element[i] != '$') {
            expanded += element[i++];
            continue;
        }
        const std::string::size_type length = element.compare(i, 9, "${ORIGIN}") == 0 ? 9
                                              : element.compare(i, 7, "$ORIGIN") == 0 ? 7
                                                                                      : 0;
        if (length == 0 || (i + length < element.size() && element[i + length] != '/'))
            return false;
        expanded += origin;
        i += length;
    }
    return true;
}

// Empty when nothing is at `file`, or a file that nobody else can change;
// else why, naming the library at `path`.
std::string DependencyProblem(const std::string& path, const std::string& file)
{
    const TTrustSubject subject{path + "'s dependency " + file, "install the dependency"};
    TWalked walked;
    std::string why;
    const TWalk result = WalkTrusted(file, subject, walked, why);
    if (result != TWalk::kReached)
        return result == TWalk::kMissing ? std::string() : why;
    return S_ISDIR(walked.info.st_mode) ? std::string()
                                        : TrustProblem(subject, walked.real, walked.info);
}

// Empty when the dependency `name`, wherever in `dirs` the loader may find
// it, is a file that nobody else can change; a name with '/' is a path.
std::string DependenciesProblem(const std::string& path, const std::vector<std::string>& dirs,
                                const std::string& name)
{
    if (name.find('/') != std::string::npos)
        return name[0] == '/' ? DependencyProblem(path, name)
                              : path + " names its dependency " + name + " by a relative path";
    for (const std::string& dir : dirs) {
        std::string file = dir;
        file += '/';
        file += name;
        std::string why = DependencyProblem(path, file);
        if (!why.empty())
            return why;
    }
    return std::string();
}

// Empty when the run path element of the library at `path` leads nowhere,
// or to a directory that nobody else can change, which is then added to
// `dirs`; else why not. $ORIGIN is `origin`. An element that does not
// exist holds nothing: only root or the user could make it.
std::string ElementProblem(const std::string& path, const std::string& element,
                           const std::string& origin, std::vector<std::string>& dirs)
{
    std::string dir;
    if (!Expand(element, origin, dir) || dir.empty() || dir[0] != '/')
        return path + " has the run path element '" + element +
               "': only absolute directories and $ORIGIN are accepted (an empty or relative one "
               "is read from the working directory)";
    const TTrustSubject subject{path + "'s run path element " + element,
                                "keep the library's dependencies in a directory"};
    TWalked walked;
    std::string why;
    const TWalk result = WalkTrusted(dir, subject, walked, why);
    if (result == TWalk::kRefused)
        return why;
    if (result == TWalk::kReached && S_ISDIR(walked.info.st_mode))
        dirs.push_back(walked.real);
    return std::string();
}

// Empty when every run path element of the library at `path` (as walked,
// `real`) may be trusted, and every dependency found there; else why not.
std::string RunPathProblem(const std::string& path, const std::string& real, const TElfFacts& facts)
{
    const std::string::size_type slash = real.find_last_of('/');
    const std::string origin = slash == 0 ? std::string("/") : real.substr(0, slash);
    std::vector<std::string> dirs;
    for (const std::string& value : facts.runPaths)
        for (std::string::size_type start = 0; start <= value.size();) {
            std::string::size_type colon = value.find(':', start);
            colon = colon == std::string::npos ? value.size() : colon;
            std::string why =
                ElementProblem(path, value.substr(start, colon - start), origin, dirs);
            if (!why.empty())
                return why;
            start = colon + 1;
        }
    for (const std::string& name : facts.needed) {
        std::string why = DependenciesProblem(path, dirs, name);
        if (!why.empty())
            return why;
    }
    return std::string();
}

// 0 when the open file is an extension library of this process's kind
// whose run paths may be trusted; else its status, with why.
int ExamineElf(const BFd& fd, const struct stat& info, const std::string& path,
               const std::string& real, std::string& why)
{
    const std::vector<std::string> entryPoints = {MUROX_EXT_INIT_SYMBOL, MUROX_EXT_TERM_SYMBOL};
    TElfFacts facts;
    const std::string lead = path + " is not an extension library: ";
    why = ReadElfFacts(fd.Get(), static_cast<std::uint64_t>(info.st_size), entryPoints, facts);
    static const TElfKind kOwn = OwnElfKind();
    if (!why.empty())
        why = lead + why;
    else if (!(facts.kind == kOwn))
        why = lead + "it is " + DescribeElfKind(facts.kind) + ", and this process " +
              DescribeElfKind(kOwn);
    else if (facts.type != ET_DYN)
        why = lead + "it is not a shared object (" + TypeOf(facts.type) + ")";
    if (!why.empty())
        return kExtFailedToLoad;
    for (std::size_t i = 0; i < entryPoints.size(); ++i)
        if (!facts.defined[i]) {
            why = path + " lacks an entry point: its dynamic symbol table does not define " +
                  entryPoints[i];
            return kExtFailedToInit;
        }
    why = RunPathProblem(path, real, facts);
    return why.empty() ? 0 : kExtFailedToLoad;
}

} // namespace

int OpenExtFile(const std::string& path, const TExtDirs& dirs, TExtFile& file, std::string& why)
{
    if (path.find('/') == std::string::npos) {
        why = path + " is not a path: give the library's full path (the library search path "
                     "is not examined, so a bare name is never loaded)";
        return kExtFailedToLoad;
    }
    const TTrustSubject subject{path, "install the library", "/usr/local/lib/murox"};
    TWalked walked;
    if (WalkTrusted(path, subject, walked, why) != TWalk::kReached)
        return kExtFailedToLoad;
    why = S_ISREG(walked.info.st_mode)
              ? TrustProblem(subject, walked.real, walked.info)
              : path + " is not a regular file (" + KindOf(walked.info.st_mode) + ")";
    BFd fd = why.empty() ? Reopen(walked, path, why) : BFd();
    if (fd.Valid())
        why = OutsideExtDirs(dirs, path, walked.real);
    if (!why.empty())
        return kExtFailedToLoad;
    const int status = ExamineElf(fd, walked.info, path, walked.real, why);
    if (status == 0) {
        file.fd = std::move(fd);
        file.real = walked.real;
    }
    return status;
}
