// A file planted at the history's name between the look and the create is not taken for it.
// The race is made certain by standing in for openat (tests/support/SystemCallFaults.h).
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "host/console/HistoryFile.h"
#include "tests/support/Scratch.h"
#include "tests/support/SystemCallFaults.h"

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
    std::string problem;
    BFd fd;
    {
        const syscall_faults::TFault race(syscall_faults::TCall::kOpenat,
                                          [&](int, const char*, int flags) {
                                              if ((flags & O_CREAT) != 0 && ++creates > 0)
                                                  link(notes.c_str(), path.c_str());
                                              return 0;
                                          });
        fd = OpenHistoryFile(path, problem);
    }
    EXPECT_EQ(1, creates) << "the history was not made through openat";
    EXPECT_FALSE(fd.Valid()) << "another file was taken for the history";
    EXPECT_EQ(std::strerror(EEXIST), problem);
    std::ifstream file(notes);
    EXPECT_EQ("mine\n", std::string(std::istreambuf_iterator<char>(file), {}));
}

} // namespace
