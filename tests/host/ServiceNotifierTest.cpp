// What the daemon tells the service manager, at a path and in the abstract namespace, and the loop.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include <unistd.h>

#include "host/protocol/BFd.h"
#include "host/service/BServiceNotifier.h"
#include "tests/host/ServerFixture.h"
#include "tests/support/SystemCallFaults.h"

namespace {

// The manager's socket, at a path of the test's or an abstract name ('@' first, as $NOTIFY_SOCKET).
class TManager {
public:
    explicit TManager(bool abstract)
        : m_name(abstract ? "@murox-notify-test" + m_dir.Path().substr(4)
                          : m_dir.Path() + "/notify"),
          m_fd(testsupport::BoundDatagram(m_name))
    {
        EXPECT_TRUE(m_fd.Valid());
    }
    const std::string& Name() const { return m_name; }
    void Close() { m_fd.Reset(); }
    // Every message waiting, without waiting for more.
    std::vector<std::string> Take() { return testsupport::Datagrams(m_fd.Get()); }

private:
    const testsupport::TScratchDir m_dir;
    const std::string m_name;
    BFd m_fd;
};

class ServiceNotifierTest : public testing::TestWithParam<bool> {};

// Each state is one datagram of its own; the status only when it changes; a reload's start
// carries the monotonic clock's time, in microseconds. A manager that reads nothing costs each
// later message, counted; one that is gone does too.
TEST_P(ServiceNotifierTest, EachStateIsOneDatagramOfItsOwn)
{
    TManager manager(GetParam());
    BServiceNotifier notifier(manager.Name(), 0);
    ASSERT_TRUE(notifier.Active());
    notifier.Ready();
    {
        const syscall_faults::TFrozenClock clock({12, 345678999}, CLOCK_MONOTONIC);
        notifier.ReloadStarts();
    }
    notifier.ReloadEnded();
    for (const char* szStatus : {"2 extension libraries loaded", "a", "a", "b", "b", "a"})
        notifier.Status(szStatus);
    notifier.Stopping();
    EXPECT_THAT(manager.Take(),
                testing::ElementsAre("READY=1", "RELOADING=1\nMONOTONIC_USEC=12345678", "READY=1",
                                     "STATUS=2 extension libraries loaded", "STATUS=a", "STATUS=b",
                                     "STATUS=a", "STOPPING=1"));
    EXPECT_EQ(0U, notifier.Failures());
    int sent = 0;
    while (notifier.Failures() == 0 && sent < 100000)
        notifier.Status(std::to_string(++sent) + std::string(1000, 's'));
    EXPECT_EQ(1U, notifier.Failures());
    EXPECT_LT(sent, 100000);
    notifier.Stopping();
    EXPECT_EQ(2U, notifier.Failures());
    // What was queued before is whole.
    const std::vector<std::string> messages = manager.Take();
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ("STATUS=1" + std::string(1000, 's'), messages[0]);
    manager.Close();
    notifier.Ready();
    EXPECT_EQ(3U, notifier.Failures());
}

INSTANTIATE_TEST_SUITE_P(PathAndAbstract, ServiceNotifierTest, testing::Bool());

// WATCHDOG_USEC of 10 s: a ping at the first turn, then each 5 s of the loop's clock, none
// between, and one at once after a late turn, counting from then; under 2 ms, each millisecond,
// never in a busy loop; without one, never.
TEST(ServiceWatchdogTest, ThePingIsDueAtHalfTheInterval)
{
    TManager manager(false);
    const struct {
        long long intervalUsec, dueFirst;
        std::vector<long long> turns;
        std::size_t pings;
        long long dueAfter;
    } cases[] = {{10000000, 0, {1000}, 1, 6000},
                 {10000000, 0, {1000, 1001, 5999}, 1, 6000},
                 {10000000, 0, {1000, 6000}, 2, 11000},
                 {10000000, 0, {1000, 6000, 20000}, 3, 25000},
                 {1000, 0, {7, 7}, 1, 8},
                 {1000, 0, {7, 7, 8}, 2, 9},
                 {0, -1, {0, 100000}, 0, -1}};
    for (const auto& watchdog : cases) {
        BServiceNotifier notifier(manager.Name(), watchdog.intervalUsec);
        EXPECT_EQ(watchdog.dueFirst, notifier.WatchdogDueMs());
        for (const long long at : watchdog.turns)
            notifier.Turned(at);
        EXPECT_EQ(std::vector<std::string>(watchdog.pings, "WATCHDOG=1"), manager.Take())
            << watchdog.intervalUsec << " usec, last turn at " << watchdog.turns.back();
        EXPECT_EQ(watchdog.dueAfter, notifier.WatchdogDueMs());
    }
}

// The environment is read once and removed: nothing loaded speaks for the daemon; another pid's
// watchdog is not ours, nor is an interval that is not a positive number. No manager (no
// variable, or neither a path nor abstract): nothing sent, no watchdog due.
TEST(ServiceNotifierNamesTest, TheEnvironmentIsReadAndCleared)
{
    TManager manager(true);
    const auto fromEnvironment = [&manager](const char* szUsec, pid_t pid) {
        setenv("NOTIFY_SOCKET", manager.Name().c_str(), 1);
        setenv("WATCHDOG_USEC", szUsec, 1);
        setenv("WATCHDOG_PID", std::to_string(pid).c_str(), 1);
        return BServiceNotifier::FromEnvironment();
    };
    {
        BServiceNotifier notifier = fromEnvironment("4000000", getpid());
        EXPECT_EQ(nullptr, std::getenv("NOTIFY_SOCKET"));
        EXPECT_EQ(nullptr, std::getenv("WATCHDOG_USEC"));
        EXPECT_EQ(nullptr, std::getenv("WATCHDOG_PID"));
        ASSERT_TRUE(notifier.Active());
        notifier.Turned(500);
        EXPECT_EQ(2500, notifier.WatchdogDueMs());
        notifier.Ready();
        EXPECT_THAT(manager.Take(), testing::ElementsAre("WATCHDOG=1", "READY=1"));
    }
    // The first's pid is another's.
    for (const char* szUsec : {"4000000", "12abc", "-5", "", "0"}) {
        BServiceNotifier notifier = fromEnvironment(szUsec, getpid() + (szUsec[0] == '4' ? 1 : 0));
        EXPECT_TRUE(notifier.Active()) << szUsec;
        EXPECT_EQ(-1, notifier.WatchdogDueMs()) << szUsec;
        EXPECT_EQ(nullptr, std::getenv("WATCHDOG_PID"));
    }
    EXPECT_FALSE(BServiceNotifier::FromEnvironment().Active());
    for (const std::string& name :
         std::vector<std::string>{"", "@", "notify", "relative/notify", std::string(200, '/'),
                                  std::string("/tmp/a\0b", 8)}) {
        BServiceNotifier notifier(name, 10000000);
        EXPECT_FALSE(notifier.Active()) << name;
        EXPECT_EQ(-1, notifier.WatchdogDueMs()) << name;
        notifier.Ready();
        notifier.Turned(0);
        EXPECT_EQ(0U, notifier.Failures()) << name;
    }
}

class NotifiedLoopTest : public ServerFixture {
protected:
    void Start(long long watchdogUsec)
    {
        m_pNotifier.reset(new BServiceNotifier(m_manager.Name(), watchdogUsec));
        ServerFixture::Start(m_dir.Path() + "/c.ctl", getegid());
        m_pServer->Notify(m_pNotifier.get());
    }
    // What the manager is told by the next turns that tell it anything.
    std::vector<std::string> Told()
    {
        std::vector<std::string> told;
        for (int i = 0; i < 100 && told.empty(); ++i) {
            m_pServer->Turn(m_runner, 100);
            told = m_manager.Take();
        }
        return told;
    }

    TManager m_manager{false};
    std::unique_ptr<BServiceNotifier> m_pNotifier;
};

// An idle turn ends when the watchdog's ping is due (100 ms here), and sends it.
TEST_F(NotifiedLoopTest, AnIdleLoopWakesForTheWatchdog)
{
    Start(200000);
    m_pServer->Turn(m_runner, -1);
    EXPECT_THAT(m_manager.Take(),
                testing::ElementsAre("WATCHDOG=1", testing::StartsWith("STATUS=")));
    const auto start = std::chrono::steady_clock::now();
    int pings = 0;
    for (int turns = 0; turns < 20 && pings < 3; ++turns) {
        m_pServer->Turn(m_runner, -1);
        const std::vector<std::string> messages = m_manager.Take();
        EXPECT_THAT(messages,
                    testing::AnyOf(testing::IsEmpty(), testing::ElementsAre("WATCHDOG=1")));
        pings += static_cast<int>(messages.size());
    }
    EXPECT_EQ(3, pings);
    // Three pings 100 ms apart, not the minute an idle loop may sleep.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

// The status line counts the registry's libraries (again after a line, which may change them) and
// the consoles, once the loop saw them change.
TEST_F(NotifiedLoopTest, TheStatusFollowsTheRegistryAndTheConsoles)
{
    using testing::ElementsAre;
    const std::string two = "STATUS=2 extension libraries loaded, 1 failed, ",
                      one = "STATUS=1 extension library loaded, 0 failed, ";
    Start(0);
    m_runner.counts = {2, 1};
    m_pServer->Turn(m_runner, 0);
    m_pServer->Turn(m_runner, 0);
    EXPECT_THAT(m_manager.Take(), ElementsAre(two + "0 consoles"));
    const int first = Attach();
    const int second = Attach();
    m_pServer->Turn(m_runner, 0);
    EXPECT_THAT(m_manager.Take(), ElementsAre(two + "2 consoles"));
    m_runner.counts = {1, 0};
    m_pServer->Turn(m_runner, 0);
    EXPECT_THAT(m_manager.Take(), testing::IsEmpty()) << "the registry counted with no line run";
    Send(first, control::kLine, "xdll -u a");
    EXPECT_THAT(Told(), ElementsAre(one + "2 consoles"));
    // A console that hangs up is no longer counted once the loop saw it go.
    ASSERT_EQ(0, shutdown(second, SHUT_RDWR));
    EXPECT_THAT(Told(), ElementsAre(one + "1 console"));
    ASSERT_EQ(0, shutdown(first, SHUT_RDWR));
    EXPECT_THAT(Told(), ElementsAre(one + "0 consoles"));
}

} // namespace
