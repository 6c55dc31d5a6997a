// MuroxMsgSubscriber in syslog mode, end to end: the C library's records
// are received on a datagram socket bound at /dev/log. A child process does
// this in a mount namespace of its own, with a fresh /dev, so that the rest
// of the system keeps its log; it sends back what arrived.
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "eventlog/MuroxMsg.h"
#include "eventlog/MuroxMsgSubscriber.h"

namespace {

// The child reports over a packet socket, one packet per item: a kind
// letter, then the bytes.
const char kSkip = 'S';     // the namespace could not be set up; the reason
const char kFailure = 'F';  // something else went wrong; what
const char kDatagram = 'D'; // one datagram received at /dev/log, in order

void Send(int report, char kind, const std::string& bytes)
{
    const std::string packet = kind + bytes;
    if (send(report, packet.data(), packet.size(), 0) != static_cast<ssize_t>(packet.size()))
        _exit(3);
}

[[noreturn]] void Stop(int report, char kind, const char* szStep)
{
    Send(report, kind, std::string(szStep) + ": " + std::strerror(errno));
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
        Send(report, kDatagram, std::string(buffer, static_cast<size_t>(n)));
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
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_SEQPACKET, 0, report));
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
    std::vector<std::string> packets;
    char buffer[4096];
    for (ssize_t n; (n = recv(report[0], buffer, sizeof buffer, 0)) > 0;)
        packets.emplace_back(buffer, static_cast<size_t>(n));
    close(report[0]);
    const std::string written = ReadAll(out[0]);
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;

    std::vector<std::string> datagrams;
    for (const std::string& packet : packets) {
        if (packet[0] == kSkip)
            GTEST_SKIP() << "needs a private mount namespace (run as root): " << packet.substr(1);
        ASSERT_EQ(kDatagram, packet[0]) << packet.substr(1);
        datagrams.push_back(packet.substr(1));
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
