// MuroxMsgSubscriber end to end, on the real descriptor 1 and system log, each case in a child.
// For the log the child has its own mount namespace, binding /dev/log where the rest keep theirs.
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "eventlog/MuroxLogEvent.h"
#include "eventlog/MuroxMsg.h"
#include "eventlog/MuroxMsgSubscriber.h"
#include "hostapi/TTraceGuard.h"
#include "tests/support/EventTestSupport.h"

#ifdef MUROX_COVERAGE_BUILD
extern "C" void __gcov_dump();
#endif

namespace {

// A child's report, a packet each: 'D' a datagram at /dev/log, 'S' no namespace, 'F' a failure.
struct TChild {
    pid_t pid;
    std::string written, errors; // its standard output and error
    std::vector<std::string> datagrams;
    std::string skip, failure;
};

void Send(int report, char kind, const std::string& bytes)
{
    const std::string packet = kind + bytes;
    if (send(report, packet.data(), packet.size(), 0) != static_cast<ssize_t>(packet.size()))
        _exit(3);
}

// Not permitted means no privilege here, which skips; anything else fails.
[[noreturn]] void Stop(int report, const char* szStep)
{
    Send(report, errno == EPERM || errno == EACCES ? 'S' : 'F',
         std::string(szStep) + ": " + std::strerror(errno));
    _exit(0);
}

// Informs the sink under the check that its body runs in one trace guard.
void Inform(int report, MuroxMsgSubscriber& sink, const KAF::BMessage& msg)
{
    const unsigned entries = KAF::TTraceGuard::Entries();
    sink.Inform(msg);
    if (KAF::TTraceGuard::Entries() != entries + 1 || KAF::TTraceGuard::Depth() != 0)
        Send(report, 'F', "Inform without its trace guard");
}

TChild RunInChild(bool ownDevLog, void (*body)(int report))
{
    int report[2], out[2], err[2];
    TChild child{-1, {}, {}, {}, {}, {}};
    if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, report) != 0 || pipe(out) != 0 || pipe(err) != 0)
        return child.failure = std::strerror(errno), child;
    std::fflush(nullptr);
    child.pid = fork();
    if (child.pid == 0) {
        close(report[0]);
        const int sock = ownDevLog ? socket(AF_UNIX, SOCK_DGRAM, 0) : -1;
        if (ownDevLog) {
            if (unshare(CLONE_NEWNS) != 0 ||
                mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                mount("tmpfs", "/dev", "tmpfs", 0, nullptr) != 0)
                Stop(report[1], "a private mount namespace with a tmpfs on /dev");
            const sockaddr_un addr = {AF_UNIX, "/dev/log"};
            if (bind(sock, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0)
                Stop(report[1], "binding /dev/log");
        }
        // Should either fail, the output shows in the wrong place.
        dup2(out[1], 1);
        dup2(err[1], 2);
        body(report[1]);
        std::fflush(stdout);
        char buffer[2048];
        for (ssize_t n; sock >= 0 && (n = recv(sock, buffer, sizeof buffer, MSG_DONTWAIT)) >= 0;)
            Send(report[1], 'D', std::string(buffer, static_cast<size_t>(n)));
#ifdef MUROX_COVERAGE_BUILD
        __gcov_dump();
#endif
        _exit(0);
    }
    for (int fd : {report[1], out[1], err[1]})
        close(fd);
    char buffer[4096];
    for (ssize_t n; (n = recv(report[0], buffer, sizeof buffer, 0)) > 0;) {
        const std::string bytes(buffer + 1, static_cast<size_t>(n - 1));
        if (buffer[0] == 'D')
            child.datagrams.push_back(bytes);
        else
            (buffer[0] == 'S' ? child.skip : child.failure) += bytes;
    }
    close(report[0]);
    for (auto [fd, pText] : {std::pair(out[0], &child.written), std::pair(err[0], &child.errors)}) {
        for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;)
            pText->append(buffer, static_cast<size_t>(n));
        close(fd);
    }
    int status = -1;
    if (child.pid < 0 || waitpid(child.pid, &status, 0) != child.pid || status != 0)
        child.failure += "child status " + std::to_string(status);
    return child;
}

TEST(Sink, WritesEachMessageAsOneLineOnStandardOutput)
{
    const TChild child = RunInChild(false, [](int report) {
        MuroxMsgSubscriber sink;
        for (const char* szText : {"abc", "%s %d %n", "ends in a newline\n", ""})
            Inform(report, sink, MuroxMsg(szText));
        Inform(report, sink, KAF::BMessage(7)); // a text without storage
        KAF::BMessage other(55);
        other.m_text.Assign("another kind", 12);
        Inform(report, sink, other);
        // Subscribed, it writes what is published through the dispatcher the first event made.
        eventlog_test::TInstanceScope scope(nullptr);
        MuroxLogEvent("nobody listens yet");
        KAF::BMessageDispatcher::s_pInstance->Subscribe(&sink);
        MuroxLogEvent("disk %s at %d%%", "/var", 91);
        KAF::BMessageDispatcher::s_pInstance->Unsubscribe(&sink);
    });
    EXPECT_EQ("", child.failure);
    EXPECT_EQ("abc\n%s %d %n\nends in a newline\n\n\n\nanother kind\ndisk /var at 91%\n",
              child.written);
    EXPECT_EQ("", child.errors);
}

TEST(Sink, SyslogRecordsReachDevLogThenStdoutAfterSwitchingBack)
{
    const TChild child = RunInChild(true, [](int report) {
        MuroxMsgSubscriber sink;
        sink.LogToSyslog();
        // A connection held between records would occupy the lowest free descriptor.
        const int lowest = dup(1);
        close(lowest);
        Inform(report, sink, MuroxMsg("abc"));
        Inform(report, sink, KAF::BMessage(9));
        Inform(report, sink, MuroxMsg("50% %s done"));
        const int after = dup(1);
        close(after);
        if (after != lowest)
            Send(report, 'F', "a connection to the log is held after the records");
        sink.LogToStdout();
        Inform(report, sink, MuroxMsg("abc"));
    });
    if (!child.skip.empty())
        GTEST_SKIP() << "needs a private mount namespace (run as root): " << child.skip;
    ASSERT_EQ("", child.failure);
    // <27> is facility daemon (3) and level error (3); a timestamp follows.
    const std::string tag = " murox[" + std::to_string(child.pid) + "]: ";
    const char* const texts[] = {"abc\n", "\n", "50% %s done\n"};
    ASSERT_EQ(3u, child.datagrams.size()) << "one datagram per record in syslog mode, none after";
    for (size_t i = 0; i < 3; ++i) {
        const std::string tail = tag + texts[i], &d = child.datagrams[i];
        EXPECT_EQ("<27>", d.substr(0, 4)) << d;
        ASSERT_GE(d.size(), tail.size() + 4) << d;
        EXPECT_EQ(tail, d.substr(d.size() - tail.size())) << d;
    }
    EXPECT_EQ("abc\n", child.written);
    EXPECT_EQ("", child.errors) << "records are not copied to standard error";
}

} // namespace
