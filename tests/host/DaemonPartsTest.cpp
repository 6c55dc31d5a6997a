// The daemon's small parts, with the time given by the test and socket pairs for descriptors.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include "host/kaf/BSubscription.h"
#include "host/protocol/ControlProtocol.h"
#include "host/server/BControlClient.h"
#include "host/server/BRefusalLog.h"
#include "host/server/DaemonSignals.h"
#include "host/server/DaemonStatus.h"
#include "tests/host/ServerFixture.h"
#include "tests/support/EventTestSupport.h"
#include "tests/support/Scratch.h"

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

// Five refusals a second in full, the rest counted and summed up after: strangers one by one up
// to 64 uids, the rest together; each second starts afresh.
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
    EXPECT_EQ(9U, refusals.Refusals()) << "written or summed up, each refusal counts once";
    for (int i = 0; i < 5; ++i)
        refusals.Refused(Stranger(7), "why", 21000);
    for (uid_t uid = 100; uid < 100 + 65; ++uid)
        refusals.Refused(Stranger(uid), "why", 21001);
    log.clear();
    refusals.Flush(22001);
    ASSERT_EQ(65U, log.size());
    EXPECT_EQ("<4>console refused: and 1 more from uid 163", log[63]);
    EXPECT_EQ("<4>console refused: and 1 more from other uids", log[64]);
}

// With no Flush between (the loop may not turn until the next connection), a refusal after the
// burst's second comes after the burst's summary, in full; accept failures alone are summed up too.
TEST(RefusalLogTest, ARefusalAfterTheBurstsSecondIsWrittenInFull)
{
    std::vector<std::string> log;
    BRefusalLog refusals(Recorder(log));
    for (int i = 0; i < 6; ++i)
        refusals.Refused(Stranger(7), "why", 1000 + i);
    refusals.Refused(Stranger(7), "late", 3500);
    refusals.AcceptFailed("Too many open files", 3501);
    EXPECT_THAT(log, testing::ElementsAre(testing::_, testing::_, testing::_, testing::_,
                                          testing::_, "<4>console refused: and 1 more from uid 7",
                                          "<4>console refused: uid 7, pid 4007: late",
                                          "<3>control server: cannot accept a console: Too many "
                                          "open files"));
    // A full second later, five again, and nothing to sum up.
    log.clear();
    for (int i = 0; i < 5; ++i)
        refusals.Refused(Stranger(9), "again", 4600 + i);
    EXPECT_EQ(5U, log.size());
    EXPECT_EQ(-1, refusals.DueMs());
    for (int i = 0; i < 7; ++i)
        refusals.AcceptFailed("Too many open files", 7000 + i);
    EXPECT_EQ(8000, refusals.DueMs());
    refusals.Flush(8000);
    EXPECT_EQ("<3>control server: and 2 more accept failures", log.back());
}

ExtAgent Agent(int32_t status, int32_t loaded)
{
    ExtAgent agent;
    agent.load = 1;
    agent.status = status;
    agent.loaded = loaded;
    return agent;
}

// Each fact of "status" on its own line under a key scripts look for; the daemon's only in its.
TEST(DaemonStatusTest, OneKeyALineInAFixedOrder)
{
    TDaemonStatus status;
    // Counted by what the listing shows: loaded whatever the status says.
    for (const ExtAgent& agent :
         {Agent(0, 1), Agent(1, 1), Agent(kExtFailedToLoad, 0), Agent(kExtFailedToInit, 0),
          Agent(kExtFailedToInit, 0), Agent(kExtNotLoaded, 0), Agent(0, 0), Agent(7, 0)})
        CountLibrary(agent, status);
    status.pid = 4321;
    status.startedMs = 5000;
    status.nowMs = 5000 + 3 * 3600 * 1000 + 999;
    status.configuration = "/etc/murox/a\nb: 1.conf";
    const std::string shared = std::string("version: ") + MUROX_VERSION +
                               "\nmode: shell\npid: 4321\nuptime_seconds: 10800\n"
                               "configuration: /etc/murox/a\\x0ab: 1.conf\nlibraries: 8\n"
                               "libraries_loaded: 2\nlibraries_failed_to_load: 1\n"
                               "libraries_failed_to_initialize: 2\nlibraries_not_loaded: 3\n";
    EXPECT_EQ(shared, StatusLines(status));

    status.daemon = true;
    status.socket = "/run/murox/m\x1b.ctl";
    status.consoles = 3;
    status.eventsDropped = 12;
    status.refusals = 5;
    std::string daemon = shared;
    daemon.replace(daemon.find("mode: shell"), 11, "mode: daemon");
    EXPECT_EQ(daemon + "socket: /run/murox/m\\x1b.ctl\nconsoles: 3\nevents_dropped: 12\n"
                       "consoles_refused: 5\n",
              StatusLines(status));
    // A clock read before the start (never, on one clock) is no time at all.
    status.nowMs = 4000;
    EXPECT_THAT(StatusLines(status), testing::HasSubstr("\nuptime_seconds: 0\n"));
}

// A client whose socket pair holds little: what the test does not read waits in its queue.
class ControlClientTest : public testing::Test {
protected:
    ControlClientTest()
    {
        auto pair = testsupport::SocketPair(true);
        EXPECT_TRUE(pair.second.Valid());
        m_peer = std::move(pair.second);
        m_pClient.reset(new BControlClient(std::move(pair.first), Stranger(7), 0));
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

// Up to 1 MiB unread for as long as it likes; past that dropped after 2 s of taking nothing.
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
    const std::size_t unread = m_pClient->Unsent();
    m_pClient->Enforce(m_limits, since + 2000);
    EXPECT_EQ(BControlClient::TState::kLeaving, m_pClient->State());
    EXPECT_EQ(BControlClient::TReason::kStoppedReading, m_pClient->Reason());
    EXPECT_TRUE(m_pClient->Dropped());
    EXPECT_EQ("it stopped reading: " + std::to_string(unread) + " bytes unread", m_pClient->Why());
    // What waited is cut at a frame's end, and the farewell says why.
    std::string received;
    char buffer[65536];
    for (int turn = 0; turn < 1000 && m_pClient->Unsent() > 0; ++turn) {
        m_pClient->Flush(since + 2000);
        for (ssize_t n; (n = read(m_peer.Get(), buffer, sizeof buffer)) > 0;)
            received.append(buffer, static_cast<std::size_t>(n));
    }
    std::string farewell;
    control::AppendFrame(farewell, control::kFarewell,
                         "murox: dropped: this console stopped reading and " +
                             std::to_string(unread) + " bytes waited for it\n");
    EXPECT_THAT(received, testing::EndsWith(farewell));
    EXPECT_LT(received.size(), unread);
}

// A dismissed console that never reads its farewell is closed when the farewell's wait runs out.
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
class TFailingReload : public TIdleRunner {
public:
    void Reload(KAF::ICmdStream& out) override
    {
        ++m_reloads;
        out.Write(KAF::BString("xdll: cannot read '/etc/murox.conf': gone\n"));
    }
    int m_reloads = 0;
};

// SIGHUP reloads and logs the reload's answer; SIGTERM stops, logged; nothing waiting, nothing
// done.
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
