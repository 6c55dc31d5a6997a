// The daemon's small parts, with the time given by the test and socket pairs for descriptors.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include <unistd.h>

#include "host/kaf/BSubscription.h"
#include "host/program/MuroxDefaults.h"
#include "host/protocol/ControlProtocol.h"
#include "host/server/BControlClient.h"
#include "host/server/BRefusalLog.h"
#include "host/server/DaemonSignals.h"
#include "host/server/DaemonStatus.h"
#include "tests/host/ServerFixture.h"
#include "tests/support/ChildSays.h"
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

// Five refusals a second in full, the rest counted (strangers one by one up to 64 uids, the rest
// together) and summed up once the second is over: at a Flush, or first thing at the next record
// (the loop may not turn until the next connection); each second starts afresh.
TEST(RefusalLogTest, FiveASecondAreWrittenAndTheRestSummedUp)
{
    std::vector<std::string> log;
    BRefusalLog refusals([&log](TLogPriority priority, const std::string& text) {
        log.push_back("<" + std::to_string(static_cast<int>(priority)) + ">" + text);
    });
    EXPECT_EQ(-1, refusals.DueMs());
    for (int i = 0; i < 8; ++i)
        refusals.Refused(Stranger(7), "why", 10000 + i);
    refusals.Refused(Stranger(8), "why", 10100);
    EXPECT_EQ(11000, refusals.DueMs()) << "strangers counted one by one wake the loop";
    refusals.AcceptFailed("Too many open files", 10200);
    EXPECT_EQ(std::vector<std::string>(5, "<4>console refused: uid 7, pid 4007: why"), log);
    refusals.Flush(10999);
    EXPECT_EQ(5U, log.size());
    refusals.Refused(Stranger(7), "late", 11000);
    refusals.AcceptFailed("Too many open files", 11001);
    EXPECT_THAT(std::vector<std::string>(log.begin() + 5, log.end()),
                testing::ElementsAre("<4>console refused: and 3 more from uid 7",
                                     "<4>console refused: and 1 more from uid 8",
                                     "<3>control server: and 1 more accept failures",
                                     "<4>console refused: uid 7, pid 4007: late",
                                     "<3>control server: cannot accept a console: Too many "
                                     "open files"));
    EXPECT_EQ(-1, refusals.DueMs());
    EXPECT_EQ(10U, refusals.Refusals()) << "written or summed up, each refusal counts once";
    log.clear();
    for (int i = 0; i < 5; ++i)
        refusals.Refused(Stranger(9), "again", 12000 + i);
    EXPECT_EQ(5U, log.size());
    EXPECT_EQ(-1, refusals.DueMs());
    for (uid_t uid = 100; uid < 100 + 65; ++uid)
        refusals.Refused(Stranger(uid), "why", 12100);
    refusals.Flush(13000);
    ASSERT_EQ(70U, log.size());
    EXPECT_EQ("<4>console refused: and 1 more from uid 163", log[68]);
    EXPECT_EQ("<4>console refused: and 1 more from other uids", log[69]);
    // Accept failures alone are summed up too.
    for (int i = 0; i < 7; ++i)
        refusals.AcceptFailed("Too many open files", 14000 + i);
    EXPECT_EQ(15000, refusals.DueMs());
    refusals.Flush(15000);
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
    status.setAside = {"a", "b\x1b"};
    status.extensionDirs = "/usr/lib/murox:/srv/\x1b";
    const std::string shared = std::string("version: ") + MUROX_VERSION +
                               "\nmode: shell\npid: 4321\nuptime_seconds: 10800\n"
                               "configuration: /etc/murox/a\\x0ab: 1.conf\n"
                               "extension_dirs: /usr/lib/murox:/srv/\\x1b\nlibraries: 8\n"
                               "libraries_loaded: 2\nlibraries_failed_to_load: 1\n"
                               "libraries_failed_to_initialize: 2\nlibraries_not_loaded: 3\n"
                               "libraries_set_aside: a b\\x1b\n";
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

// Up to 1 MiB unread for as long as it likes; past that dropped after 2 s of taking nothing, and
// closed once the farewell's wait runs out if it never reads.
TEST(ControlClientTest, AClientIsDroppedPastOneMiBUnreadForTwoSeconds)
{
    // Its socket pair holds little: what the test does not read waits in the client's queue.
    auto pair = testsupport::SocketPair(true);
    ASSERT_TRUE(pair.second.Valid());
    BControlClient client(std::move(pair.first), Stranger(7), 0);
    const TClientLimits limits;
    // Exactly 1 MiB unsent, with the pair's buffers full as well.
    const auto fill = [&client] {
        while (client.Unsent() < std::size_t{1024} * 1024) {
            const std::size_t left =
                std::size_t{1024} * 1024 - client.Unsent() - control::kHeaderSize;
            client.Queue(control::kAnswer,
                         std::string(std::min<std::size_t>(left, control::kMaxFrame), 'a'));
        }
    };
    // Its lines are read and run only while its answers wait under the pause.
    EXPECT_TRUE(client.WantsInput(limits));
    client.Queue(control::kAnswer, std::string(limits.pauseAt - control::kHeaderSize - 1, 'a'));
    EXPECT_TRUE(client.WantsInput(limits));
    client.Queue(control::kAnswer, "");
    EXPECT_FALSE(client.WantsInput(limits)) << "still read at " << client.Unsent() << " unsent";
    EXPECT_FALSE(client.MayRun(limits));
    fill();
    client.Flush(0);
    fill();
    ASSERT_EQ(std::size_t{1024} * 1024, client.Unsent());
    client.Enforce(limits, 0);
    client.Enforce(limits, 3600 * 1000);
    EXPECT_EQ(BControlClient::TState::kOpen, client.State());
    EXPECT_EQ(-1, client.DueMs(limits));
    client.Queue(control::kEvent, "e");
    const long long since = 3600 * 1000;
    EXPECT_EQ(since + 2000, client.DueMs(limits));
    client.Enforce(limits, since + 1999);
    EXPECT_EQ(BControlClient::TState::kOpen, client.State());
    const std::size_t unread = client.Unsent();
    client.Enforce(limits, since + 2000);
    EXPECT_EQ(BControlClient::TState::kLeaving, client.State());
    EXPECT_EQ(BControlClient::TReason::kStoppedReading, client.Reason());
    EXPECT_TRUE(client.Dropped());
    EXPECT_EQ("it stopped reading: " + std::to_string(unread) + " bytes unread", client.Why());
    const long long deadline = since + 2000 + limits.farewellMs;
    EXPECT_EQ(deadline, client.DueMs(limits));
    client.Flush(since + 2000);
    client.Enforce(limits, since + 2000);
    ASSERT_GT(client.Unsent(), 0U);
    EXPECT_FALSE(client.Finished(deadline - 1));
    EXPECT_TRUE(client.Finished(deadline));
    // What waited is cut at a frame's end, and the farewell says why.
    std::string received;
    for (int turn = 0; turn < 1000 && client.Unsent() > 0; ++turn) {
        client.Flush(since + 2000);
        received += testsupport::ReadAll(pair.second.Get());
    }
    std::string farewell;
    control::AppendFrame(farewell, control::kFarewell,
                         "murox: dropped: this console stopped reading and " +
                             std::to_string(unread) + " bytes waited for it\n");
    EXPECT_THAT(received, testing::EndsWith(farewell));
    EXPECT_LT(received.size(), unread);
}

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
    TScriptedRunner runner;
    runner.reloadAnswer = "xdll: cannot read '/etc/murox.conf': gone\n";
    {
        const BFd signals = OpenDaemonSignals();
        ASSERT_TRUE(signals.Valid());
        EXPECT_EQ(0, TakeDaemonSignals(signals.Get(), runner));
        EXPECT_EQ(0, runner.reloads);
        ASSERT_EQ(0, raise(SIGHUP));
        EXPECT_EQ(0, TakeDaemonSignals(signals.Get(), runner));
        EXPECT_EQ(1, runner.reloads);
        EXPECT_THAT(log, testing::ElementsAre("<5>SIGHUP: running \"xdll -r\"",
                                              "<4>xdll: cannot read '/etc/murox.conf': gone\n"));
        ASSERT_EQ(0, raise(SIGTERM));
        EXPECT_EQ(SIGTERM, TakeDaemonSignals(signals.Get(), runner));
        EXPECT_EQ("<5>stopping on SIGTERM", log.back());
    }
    ASSERT_EQ(0, sigprocmask(SIG_SETMASK, &before, nullptr));
}

// An installed murox takes the configuration where its prefix puts it; anyone but root keeps what
// it makes as it runs under $XDG_RUNTIME_DIR, if that is an absolute path.
TEST(DefaultsTest, TheInstallationAndTheUserSayWhereThingsAre)
{
    const std::pair<const char*, const char*> installed[] = {{"/usr/bin/", "/etc"},
                                                             {"/bin/", "/etc"},
                                                             {"/opt/mx/bin/", "/etc/opt/mx"},
                                                             {"/opt/mx/x/bin/", "/opt/mx/x/etc"},
                                                             {"/usr/local/bin/", "/usr/local/etc"}};
    for (const auto& [folder, etc] : installed)
        EXPECT_EQ(etc + std::string("/murox/murox.conf"), PrefixConfigPath(folder)) << folder;
    EXPECT_EQ("", PrefixConfigPath("/srv/build/host/program/"));
    const std::string said = testsupport::ChildSays([] {
        std::string said, error;
        for (const char* szDir : {"/run/user/7", "run/user/7", ""}) {
            setenv("XDG_RUNTIME_DIR", szDir, 1);
            const bool other = geteuid() != 0 || seteuid(65534) == 0;
            said += (other ? control::RuntimeDirectory(error) : "root") + "|";
        }
        return said + error;
    });
    EXPECT_EQ("/run/user/7/murox|||XDG_RUNTIME_DIR is not set to a directory", said);
}

} // namespace
