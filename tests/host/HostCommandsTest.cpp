// What the daemon and the shell make of a line, beyond what the
// interpreter says: a command that throws fails its line, with the reason
// at the end of its answer, and the next line runs as usual.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>

#include "host/commands/BHostCommands.h"
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

} // namespace
