// A file planted at the history's name between the look and the create is not taken for it.
// The race is made certain by standing in for openat in this program alone.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "host/console/HistoryFile.h"
#include "tests/support/Scratch.h"

namespace {

// Runs before each create; empty when there is no race.
std::function<void()> s_beforeCreate;

int OpenAt(int dirFd, const char* szPath, int flags, va_list rest)
{
    const mode_t mode = (flags & O_CREAT) != 0 ? static_cast<mode_t>(va_arg(rest, int)) : 0;
    if ((flags & O_CREAT) != 0 && s_beforeCreate)
        s_beforeCreate();
    return static_cast<int>(syscall(SYS_openat, dirFd, szPath, flags, mode));
}

} // namespace

extern "C" int openat(int dirFd, const char* szPath, int flags, ...)
{
    va_list rest;
    va_start(rest, flags);
    const int fd = OpenAt(dirFd, szPath, flags, rest);
    va_end(rest);
    return fd;
}

extern "C" int openat64(int dirFd, const char* szPath, int flags, ...)
{
    va_list rest;
    va_start(rest, flags);
    const int fd = OpenAt(dirFd, szPath, flags, rest);
    va_end(rest);
    return fd;
}

namespace {

TEST(HistoryRaceTest, AFileThatAppearsAsTheHistoryIsMadeIsNotUsed)
{
    const testsupport::TScratchDir scratch;
    const std::string home = scratch.Path();
    const std::string path = home + "/.murox_history";
    const std::string notes = home + "/notes";
    std::ofstream(notes) << "mine\n";
    ASSERT_EQ(0, chmod(notes.c_str(), 0600));
    int creates = 0;
    s_beforeCreate = [&] {
        ++creates;
        link(notes.c_str(), path.c_str());
    };
    std::string problem;
    const BFd fd = OpenHistoryFile(path, problem);
    s_beforeCreate = nullptr;
    EXPECT_EQ(1, creates) << "the history was not made through openat";
    EXPECT_FALSE(fd.Valid()) << "another file was taken for the history";
    EXPECT_EQ(std::strerror(EEXIST), problem);
    std::ifstream file(notes);
    EXPECT_EQ("mine\n", std::string(std::istreambuf_iterator<char>(file), {}));
}

} // namespace
