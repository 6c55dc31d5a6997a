// What the daemon and the shell make of a line, beyond what the
// interpreter says: a command that throws fails its line, with the reason
// at the end of its answer, and the next line runs as usual.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>

#include "eventlog/MuroxLogEvent.h"
#include "host/commands/BHostCommands.h"
#include "host/kaf/BSubscription.h"
#include "hostapi/BFileNV.h"
#include "tests/support/EventTestSupport.h"
#include "tests/support/RecordingStream.h"

namespace {

// "boom" writes part of an answer and throws.
class TThrowingHandler : public KAF::BCmdHandler {
public:
    void CmdExecute(KAF::ICmdStream& out, const KAF::BString&, const KAF::BStringArray&,
                    const KAF::BSecurityParams&, const KAF::BString&) override
    {
        out.Write(KAF::BString("partial\n"));
        throw std::runtime_error("out of memory");
    }
    const char* CmdGetHndlrName() const override { return "boom"; }
    const CliEntry* CmdGetMap() const override
    {
        static const CliEntry s_map[] = {{1, "boom", "throws", ""},
                                         {-1, nullptr, nullptr, nullptr}};
        return s_map;
    }
};

TEST(HostCommandsTest, ACommandThatThrowsFailsItsLine)
{
    KAF::BMessageDispatcher dispatcher;
    const eventlog_test::TInstanceScope scope(&dispatcher);
    KAF::BFileNV store;
    BHostCommands commands(store);
    TThrowingHandler handler;
    ASSERT_TRUE(commands.Interpreter().Register(handler));
    TRecordingStream out;
    EXPECT_EQ(TLineOutcome::kFailed, commands.RunLine("boom now", out));
    EXPECT_THAT(out.m_pieces,
                testing::ElementsAre("partial\n", "murox: command failed: out of memory\n"));
    TRecordingStream next;
    EXPECT_EQ(TLineOutcome::kSucceeded, commands.RunLine("help boom", next));
    EXPECT_THAT(next.m_pieces, testing::Not(testing::IsEmpty()));
}

// Notes, for each event, whether the runner took it for a reason why the
// line fails.
class TFailureWatch : public KAF::IMessageSubscriber {
public:
    explicit TFailureWatch(const BHostCommands& commands) : m_commands(commands) {}
    void Inform(const KAF::BMessage& msg) override
    {
        seen.push_back((m_commands.PublishingFailure() ? "F " : "V ") +
                       std::string(msg.m_text.c_str()));
    }
    std::vector<std::string> seen;

private:
    const BHostCommands& m_commands;
};

// The registry's failures are the reasons a line fails; whatever else is
// published, before, between or after them, is not.
TEST(HostCommandsTest, TheRegistrysFailuresAreTakenForTheLinesReasons)
{
    KAF::BMessageDispatcher dispatcher;
    const eventlog_test::TInstanceScope scope(&dispatcher);
    KAF::BFileNV store;
    BHostCommands commands(store);
    TFailureWatch watch(commands);
    const KAF::BSubscription subscription(dispatcher, watch);
    MuroxLogEvent("before");
    TRecordingStream out;
    EXPECT_EQ(TLineOutcome::kFailed, commands.RunLine("xdll -a web1 /nonexistent/web1.so", out));
    MuroxLogEvent("after");
    EXPECT_THAT(watch.seen, testing::ElementsAre("V before",
                                                 "F extension library 'web1' not added: cannot "
                                                 "write '': no file name",
                                                 "V after"));
}

} // namespace
