// MuroxMsgSubscriber in syslog mode, end to end: the C library's records
// are received on a datagram socket bound at /dev/log. A child process does
// this in a mount namespace of its own, with a fresh /dev, so that the rest
// of the system keeps its log; it sends back what arrived.
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "eventlog/MuroxMsg.h"
#include "eventlog/MuroxMsgSubscriber.h"

namespace {

// The child's report: frames of a kind byte, a length and the bytes.
enum TFrameKind : char {
    kSkip = 'S',    // the namespace could not be set up; the reason
    kFailure = 'F', // something else went wrong; what
    kDatagram = 'D' // one datagram received at /dev/log, in order
};

void WriteFrame(int fd, char kind, const std::string& bytes)
{
    const uint32_t length = static_cast<uint32_t>(bytes.size());
    std::string frame(1, kind);
    frame.append(reinterpret_cast<const char*>(&length), sizeof length);
    frame += bytes;
    for (size_t done = 0; done < frame.size();) {
        const ssize_t n = write(fd, frame.data() + done, frame.size() - done);
        if (n <= 0)
            _exit(3);
        done += static_cast<size_t>(n);
    }
}

[[noreturn]] void Stop(int report, char kind, const char* szStep)
{
    WriteFrame(report, kind, std::string(szStep) + ": " + std::strerror(errno));
    _exit(0);
}

// Not permitted means no privilege here, which skips; anything else fails.
[[noreturn]] void StopSetup(int report, const char* szStep)
{
    Stop(report, errno == EPERM || errno == EACCES ? kSkip : kFailure, szStep);
}

[[noreturn]] void RunChild(int report, int out)
{
    if (unshare(CLONE_NEWNS) != 0)
        StopSetup(report, "unshare(CLONE_NEWNS)");
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        StopSetup(report, "making / private");
    if (mount("tmpfs", "/dev", "tmpfs", 0, nullptr) != 0)
        StopSetup(report, "mounting a tmpfs on /dev");
    const int sock = socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, "/dev/log");
    if (sock < 0 || bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        Stop(report, kFailure, "binding /dev/log");
    if (dup2(out, 1) < 0)
        Stop(report, kFailure, "redirecting stdout");

    MuroxMsgSubscriber sink;
    const MuroxMsg abc("abc");
    const MuroxMsg percent("50% %s done");
    const KAF::BMessage noStorage(9);
    sink.LogToSyslog();
    sink.Inform(abc);
    sink.Inform(noStorage);
    sink.Inform(percent);
    sink.LogToStdout();
    sink.Inform(abc);
    std::fflush(stdout);

    char buffer[2048];
    for (ssize_t n; (n = recv(sock, buffer, sizeof buffer, MSG_DONTWAIT)) >= 0;)
        WriteFrame(report, kDatagram, std::string(buffer, static_cast<size_t>(n)));
    _exit(0);
}

std::string ReadAll(int fd)
{
    std::string bytes;
    char buffer[4096];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;)
        bytes.append(buffer, static_cast<size_t>(n));
    close(fd);
    return bytes;
}

TEST(SinkSyslog, RecordsReachDevLogThenStdoutAfterSwitchingBack)
{
    int report[2], out[2];
    ASSERT_EQ(0, pipe(report));
    ASSERT_EQ(0, pipe(out));
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0) << std::strerror(errno);
    if (pid == 0) {
        close(report[0]);
        close(out[0]);
        RunChild(report[1], out[1]);
    }
    close(report[1]);
    close(out[1]);
    const std::string frames = ReadAll(report[0]);
    const std::string written = ReadAll(out[0]);
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;

    std::vector<std::string> datagrams;
    for (size_t at = 0; at < frames.size();) {
        uint32_t length = 0;
        ASSERT_LE(at + 1 + sizeof length, frames.size());
        std::memcpy(&length, frames.data() + at + 1, sizeof length);
        const std::string bytes = frames.substr(at + 1 + sizeof length, length);
        if (frames[at] == kSkip)
            GTEST_SKIP() << "needs a private mount namespace (run as root): " << bytes;
        ASSERT_EQ(kDatagram, frames[at]) << bytes;
        datagrams.push_back(bytes);
        at += 1 + sizeof length + length;
    }

    // <27> is facility daemon (3) and level error (3); a timestamp follows.
    const std::string tag = " murox[" + std::to_string(pid) + "]: ";
    const char* const texts[] = {"abc\n", "\n", "50% %s done\n"};
    ASSERT_EQ(3u, datagrams.size()) << "one datagram per record in syslog mode, none after";
    for (size_t i = 0; i < 3; ++i) {
        const std::string tail = tag + texts[i];
        const std::string& d = datagrams[i];
        EXPECT_EQ("<27>", d.substr(0, 4)) << d;
        ASSERT_GE(d.size(), tail.size() + 4) << d;
        EXPECT_EQ(tail, d.substr(d.size() - tail.size())) << d;
    }
    EXPECT_EQ("abc\n", written);
}

} // namespace
