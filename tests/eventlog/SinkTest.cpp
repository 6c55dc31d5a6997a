// MuroxMsgSubscriber end to end, on the real descriptor 1 and system log, each case in a child.
// For the log the child has its own mount namespace, binding /dev/log where the rest keep theirs.
#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "eventlog/MuroxLogEvent.h"
#include "eventlog/MuroxMsg.h"
#include "eventlog/MuroxMsgSubscriber.h"
#include "hostapi/TTraceGuard.h"
#include "tests/support/ChildSays.h"
#include "tests/support/EventTestSupport.h"

namespace {

// Informs the sink; says so unless its body ran in one trace guard.
std::string Inform(MuroxMsgSubscriber& sink, const KAF::BMessage& msg)
{
    const unsigned entries = KAF::TTraceGuard::Entries();
    sink.Inform(msg);
    const bool guarded =
        KAF::TTraceGuard::Entries() == entries + 1 && KAF::TTraceGuard::Depth() == 0;
    return guarded ? "" : "Inform without its trace guard; ";
}

// In a child whose standard output and error are pipes: "SAID|OUT|ERR", SAID what `body` returned,
// then "|<PRI>TEXT" for each datagram "<PRI>TIME murox[PID]: TEXT" at its own /dev/log, if it has
// one. "skip: WHY" where it may not mount.
template <typename TBody> std::string SinkSays(bool ownDevLog, TBody body)
{
    return testsupport::ChildSays([&] {
        BFd log;
        if (ownDevLog &&
            !(testsupport::OwnMounts() && mount("tmpfs", "/dev", "tmpfs", 0, nullptr) == 0 &&
              (log = testsupport::BoundDatagram("/dev/log")).Valid()))
            return (errno == EPERM ? "skip: " : "failed: ") + std::string(std::strerror(errno));
        int out[2], err[2];
        if (pipe2(out, O_NONBLOCK) != 0 || pipe2(err, O_NONBLOCK) != 0 || dup2(out[1], 1) != 1 ||
            dup2(err[1], 2) != 2)
            return std::string("no pipes");
        std::string said = body() + "|";
        std::fflush(stdout);
        said += testsupport::ReadAll(out[0]) + "|" + testsupport::ReadAll(err[0]);
        const std::string tag = " murox[" + std::to_string(getpid()) + "]: ";
        for (const std::string& datagram : testsupport::Datagrams(log.Get()))
            said += "|" + datagram.substr(0, 4) + datagram.substr(datagram.find(tag) + tag.size());
        return said;
    });
}

TEST(Sink, WritesEachMessageAsOneLineOnStandardOutput)
{
    EXPECT_EQ("|abc\n%s %d %n\nends in a newline\n\n\n\nanother kind\ndisk /var at 91%\n|",
              SinkSays(false, [] {
                  MuroxMsgSubscriber sink;
                  std::string said;
                  for (const char* szText : {"abc", "%s %d %n", "ends in a newline\n", ""})
                      said += Inform(sink, MuroxMsg(szText));
                  said += Inform(sink, KAF::BMessage(7)); // a text without storage
                  KAF::BMessage other(55);
                  other.m_text.Assign("another kind", 12);
                  said += Inform(sink, other);
                  // Subscribed, it writes what is published through the dispatcher the first
                  // event made.
                  eventlog_test::TInstanceScope scope(nullptr);
                  MuroxLogEvent("nobody listens yet");
                  KAF::BMessageDispatcher::s_pInstance->Subscribe(&sink);
                  MuroxLogEvent("disk %s at %d%%", "/var", 91);
                  KAF::BMessageDispatcher::s_pInstance->Unsubscribe(&sink);
                  return said;
              }));
}

// One datagram per record in syslog mode, none after; records are not copied to standard error.
TEST(Sink, SyslogRecordsReachDevLogThenStdoutAfterSwitchingBack)
{
    const std::string said = SinkSays(true, [] {
        MuroxMsgSubscriber sink;
        sink.LogToSyslog();
        // A connection held between records would occupy the lowest free descriptor.
        const int lowest = dup(1);
        close(lowest);
        std::string said = Inform(sink, MuroxMsg("abc"));
        said += Inform(sink, KAF::BMessage(9));
        said += Inform(sink, MuroxMsg("50% %s done"));
        const int after = dup(1);
        close(after);
        sink.LogToStdout();
        said += Inform(sink, MuroxMsg("abc"));
        return said + (after != lowest ? "a connection to the log is held after the records" : "");
    });
    if (said.rfind("skip: ", 0) == 0)
        GTEST_SKIP() << "needs a private mount namespace (run as root): " << said;
    // <27> is facility daemon (3) and level error (3).
    EXPECT_EQ("|abc\n||<27>abc\n|<27>\n|<27>50% %s done\n", said);
}

} // namespace
