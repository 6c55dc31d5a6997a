// The daemon's small parts, each through its own interface, with the time
// given by the test and socket pairs for descriptors: the log of refusals,
// one client's limits and farewell, the signals the loop takes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <sys/socket.h>
#include <unistd.h>

#include "host/kaf/BSubscription.h"
#include "host/protocol/ControlProtocol.h"
#include "host/server/BControlClient.h"
#include "host/server/BRefusalLog.h"
#include "host/server/DaemonSignals.h"
#include "tests/host/TPriorityRecorder.h"
#include "tests/support/EventTestSupport.h"

namespace {

TPeer Stranger(uid_t uid)
{
    TPeer peer;
    peer.uid = uid;
    peer.pid = 4000 + static_cast<pid_t>(uid);
    return peer;
}

// Records each record as the journal would read it: "<N>TEXT".
std::function<void(TLogPriority, const std::string&)> Recorder(std::vector<std::string>& log)
{
    return [&log](TLogPriority priority, const std::string& text) {
        log.push_back("<" + std::to_string(static_cast<int>(priority)) + ">" + text);
    };
}

// Five refusals a second are written in full, at warning, the rest counted and summed
// up once the second has passed; the next second starts afresh. A failure
// to accept is the daemon's own, at err.
TEST(RefusalLogTest, FiveASecondAreWrittenAndTheRestSummedUp)
{
    std::vector<std::string> log;
    BRefusalLog refusals(Recorder(log));
    EXPECT_EQ(-1, refusals.DueMs());
    for (int i = 0; i < 8; ++i)
        refusals.Refused(Stranger(7), "why", 10000 + i);
    refusals.Refused(Stranger(8), "why", 10100);
    refusals.AcceptFailed("Too many open files", 10200);
    ASSERT_EQ(5U, log.size());
    for (const std::string& record : log)
        EXPECT_EQ("<4>console refused: uid 7, pid 4007: why", record);
    EXPECT_EQ(11000, refusals.DueMs());
    refusals.Flush(10999);
    EXPECT_EQ(5U, log.size());
    refusals.Flush(11000);
    EXPECT_THAT(log, testing::ElementsAre(testing::_, testing::_, testing::_, testing::_,
                                          testing::_, "<4>console refused: and 3 more from uid 7",
                                          "<4>console refused: and 1 more from uid 8",
                                          "<3>control server: and 1 more accept failures"));
    EXPECT_EQ(-1, refusals.DueMs());
    refusals.Flush(20000);
    EXPECT_EQ(8U, log.size());
}

TEST(RefusalLogTest, ARefusalAfterTheBurstsSecondIsWrittenInFull)
{
    std::vector<std::string> log;
    BRefusalLog refusals(Recorder(log));
    for (int i = 0; i < 6; ++i)
        refusals.Refused(Stranger(7), "why", 1000 + i);
    // No Flush between: the loop may not turn until the next connection.
    refusals.Refused(Stranger(7), "late", 3500);
    refusals.AcceptFailed("Too many open files", 3501);
    EXPECT_THAT(log, testing::ElementsAre(testing::_, testing::_, testing::_, testing::_,
                                          testing::_, "<4>console refused: and 1 more from uid 7",
                                          "<4>console refused: uid 7, pid 4007: late",
                                          "<3>control server: cannot accept a console: Too many "
                                          "open files"));
    // A full second later, five again.
    log.clear();
    for (int i = 0; i < 5; ++i)
        refusals.Refused(Stranger(9), "again", 4600 + i);
    EXPECT_EQ(5U, log.size());
    EXPECT_EQ(-1, refusals.DueMs());
}

// A client whose socket pair holds little: what the test does not read
// waits in the client's queue.
class ControlClientTest : public testing::Test {
protected:
    ControlClientTest()
    {
        int pair[2];
        EXPECT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair));
        const int size = 4096;
        setsockopt(pair[0], SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
        setsockopt(pair[1], SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        m_peer = BFd(pair[1]);
        m_pClient.reset(new BControlClient(BFd(pair[0]), Stranger(7), 0));
    }
    // Queues frames until exactly `bytes` wait unsent.
    void QueueUnsent(std::size_t bytes)
    {
        while (m_pClient->Unsent() < bytes) {
            const std::size_t left = bytes - m_pClient->Unsent() - control::kHeaderSize;
            const std::string payload(std::min<std::size_t>(left, control::kMaxFrame), 'a');
            m_pClient->Queue(control::kAnswer, payload);
        }
    }

    BFd m_peer;
    std::unique_ptr<BControlClient> m_pClient;
    const TClientLimits m_limits;
};

// A console may leave up to 1 MiB unread for as long as it likes; past
// that it is dropped once it has taken nothing for 2 s.
TEST_F(ControlClientTest, AClientIsDroppedPastOneMiBUnreadForTwoSeconds)
{
    QueueUnsent(std::size_t{1024} * 1024);
    ASSERT_EQ(std::size_t{1024} * 1024, m_pClient->Unsent());
    m_pClient->Enforce(m_limits, 0);
    m_pClient->Enforce(m_limits, 3600 * 1000);
    EXPECT_EQ(BControlClient::TState::kOpen, m_pClient->State());
    EXPECT_EQ(-1, m_pClient->DueMs(m_limits));
    m_pClient->Queue(control::kEvent, "e");
    const long long since = 3600 * 1000;
    EXPECT_EQ(since + 2000, m_pClient->DueMs(m_limits));
    m_pClient->Enforce(m_limits, since + 1999);
    EXPECT_EQ(BControlClient::TState::kOpen, m_pClient->State());
    m_pClient->Enforce(m_limits, since + 2000);
    EXPECT_EQ(BControlClient::TState::kLeaving, m_pClient->State());
    EXPECT_EQ(BControlClient::TReason::kStoppedReading, m_pClient->Reason());
    EXPECT_TRUE(m_pClient->Dropped());
}

// A dismissed console that never reads its farewell is closed once the
// farewell's wait runs out, not before.
TEST_F(ControlClientTest, ADismissedClientThatNeverReadsIsClosedAtTheDeadline)
{
    QueueUnsent(std::size_t{256} * 1024);
    m_pClient->Flush(0);
    ASSERT_GT(m_pClient->Unsent(), 0U);
    m_pClient->Dismiss(BControlClient::TReason::kStoppedReading, "why", "murox: bye\n", m_limits,
                       500);
    EXPECT_EQ(500 + m_limits.farewellMs, m_pClient->DueMs(m_limits));
    m_pClient->Flush(600);
    m_pClient->Enforce(m_limits, 600);
    EXPECT_FALSE(m_pClient->Finished(500 + m_limits.farewellMs - 1));
    EXPECT_TRUE(m_pClient->Finished(500 + m_limits.farewellMs));
}

// Answers a reload with what it would say of a failure.
class TFailingReload : public ICommandRunner {
public:
    TLineOutcome RunLine(const std::string&, KAF::ICmdStream&) override
    {
        return TLineOutcome::kFailed;
    }
    void Reload(KAF::ICmdStream& out) override
    {
        ++m_reloads;
        out.Write(KAF::BString("xdll: cannot read '/etc/murox.conf': gone\n"));
    }
    control::TCommandWords CompletionWords() override { return {}; }
    int m_reloads = 0;
};

// SIGHUP reloads and logs what the reload answered, a failure, at
// warning; SIGTERM stops, logged; nothing waiting, nothing done.
TEST(DaemonSignalsTest, HangupReloadsAndLogsTheAnswerTerminateStops)
{
    sigset_t before;
    ASSERT_EQ(0, sigprocmask(SIG_BLOCK, nullptr, &before));
    KAF::BMessageDispatcher dispatcher;
    const eventlog_test::TInstanceScope scope(&dispatcher);
    TPriorityRecorder recorder;
    const std::vector<std::string>& log = recorder.records;
    const KAF::BSubscription toLog(dispatcher, recorder);
    TFailingReload runner;
    {
        const BFd signals = OpenDaemonSignals();
        ASSERT_TRUE(signals.Valid());
        EXPECT_EQ(0, TakeDaemonSignals(signals.Get(), runner));
        EXPECT_EQ(0, runner.m_reloads);
        ASSERT_EQ(0, raise(SIGHUP));
        EXPECT_EQ(0, TakeDaemonSignals(signals.Get(), runner));
        EXPECT_EQ(1, runner.m_reloads);
        EXPECT_THAT(log, testing::ElementsAre("<5>SIGHUP: running \"xdll -r\"",
                                              "<4>xdll: cannot read '/etc/murox.conf': gone\n"));
        ASSERT_EQ(0, raise(SIGTERM));
        EXPECT_EQ(SIGTERM, TakeDaemonSignals(signals.Get(), runner));
        EXPECT_EQ("<5>stopping on SIGTERM", log.back());
    }
    ASSERT_EQ(0, sigprocmask(SIG_SETMASK, &before, nullptr));
}

} // namespace
