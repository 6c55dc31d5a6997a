// The interpreter: which lines succeed, fail or leave, help, the tables it takes, its words.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/commands/BCmdInterpreter.h"
#include "tests/support/RecordingStream.h"

namespace {

// A handler with the table it is given; each command run is noted as "word arg arg".
class TTableHandler : public KAF::BCmdHandler {
public:
    explicit TTableHandler(const CliEntry* pMap) : m_pMap(pMap) {}
    void CmdExecute(KAF::ICmdStream& out, const KAF::BString& command,
                    const KAF::BStringArray& args, const KAF::BSecurityParams&,
                    const KAF::BString&) override
    {
        std::string call = command.c_str();
        for (int i = 0; i < args.Count(); ++i)
            call += std::string(" ") + args.At(i).c_str();
        m_calls.push_back(call);
        out.Write(KAF::BString(("ran " + call + "\n").c_str()));
    }
    const char* CmdGetHndlrName() const override { return "TTableHandler"; }
    const CliEntry* CmdGetMap() const override { return m_pMap; }

    std::vector<std::string> m_calls;

private:
    const CliEntry* m_pMap;
};

const CliEntry kFrob[] = {
    {1, "frob", "Frobnication\n frob -x <name>   frob one\n frob -y <n> <m>  frob two\n",
     "[-x <name> | -y <n> <m>]"},
    {2, "twiddle", " twiddle          untitled", ""},
    {-1, nullptr, nullptr, nullptr},
};

const char kBuiltInHelp[] =
    "Commands of murox:\n"
    "help [<command>]\n"
    " help                            list every command with its help\n"
    " help <command>                  the help of one command\n"
    "status\n"
    " status                          murox's state, one \"key: value\" line a fact\n"
    "quit\n"
    " quit                            leave murox (so does the end of input)\n";

class CmdInterpreterTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_interpreter.Register(m_frob)); }
    // The outcome of `line` and all it wrote.
    TLineOutcome Run(const std::string& line, std::string& text)
    {
        TRecordingStream out;
        const TLineOutcome outcome = m_interpreter.Execute(line, out);
        text.clear();
        for (const std::string& piece : out.m_pieces)
            text += piece;
        return outcome;
    }

    BCmdInterpreter m_interpreter{[] { return std::string("state: known\n"); }};
    TTableHandler m_frob{kFrob};
};

TEST_F(CmdInterpreterTest, ALineSucceedsFailsOrLeavesAsItsCommandSays)
{
    std::string text;
    EXPECT_EQ(TLineOutcome::kSucceeded, Run("  frob\t-x  a ", text));
    EXPECT_EQ("ran frob -x a\n", text);
    EXPECT_EQ(TLineOutcome::kSucceeded, Run("twiddle", text));
    EXPECT_THAT(m_frob.m_calls, testing::ElementsAre("frob -x a", "twiddle"));
    EXPECT_EQ(TLineOutcome::kSucceeded, Run(" \t ", text));
    EXPECT_EQ("", text);
    EXPECT_EQ(TLineOutcome::kFailed, Run("frobnicate now", text));
    EXPECT_EQ("Unknown command 'frobnicate'; \"help\" lists the commands\n", text);
    EXPECT_EQ(TLineOutcome::kLeave, Run("quit", text));
    EXPECT_EQ(TLineOutcome::kLeave, Run(" quit now", text));
    EXPECT_EQ("", text);
    EXPECT_EQ(2U, m_frob.m_calls.size()) << "nothing ran for the others";
}

// Help on an unknown topic fails its line, as an unknown command does; every known topic succeeds.
TEST_F(CmdInterpreterTest, HelpOfOneCommand)
{
    std::string text;
    EXPECT_EQ(TLineOutcome::kFailed, Run("help nosuch", text));
    EXPECT_EQ("Unknown command 'nosuch'; \"help\" lists the commands\n", text);
    EXPECT_EQ(TLineOutcome::kSucceeded, Run("help frob", text));
    EXPECT_EQ("frob [-x <name> | -y <n> <m>]\nFrobnication\n frob -x <name>   frob one\n"
              " frob -y <n> <m>  frob two\n",
              text);
    EXPECT_EQ(TLineOutcome::kSucceeded, Run("help twiddle", text));
    EXPECT_EQ("twiddle\n twiddle          untitled\n", text) << "a line break is added";
    EXPECT_EQ(TLineOutcome::kSucceeded, Run("help quit", text));
    EXPECT_EQ("quit\n quit                            leave murox (so does the end of input)\n",
              text);
    EXPECT_EQ(TLineOutcome::kSucceeded, Run("help help", text));
    EXPECT_THAT(text, testing::StartsWith("help [<command>]\n help   "));
    EXPECT_THAT(m_frob.m_calls, testing::IsEmpty());
}

// A handler's commands are headed by its first help's title, else its words, never its class name.
TEST_F(CmdInterpreterTest, HelpListsEveryCommandUnderWhatItIsFor)
{
    const CliEntry untitled[] = {{1, "zap", " zap   zaps", ""},
                                 {2, "zip", nullptr, nullptr},
                                 {-1, nullptr, nullptr, nullptr}};
    TTableHandler other(untitled);
    ASSERT_TRUE(m_interpreter.Register(other));
    std::string text;
    EXPECT_EQ(TLineOutcome::kSucceeded, Run("help", text));
    EXPECT_EQ(std::string("Frobnication:\n"
                          "frob [-x <name> | -y <n> <m>]\n"
                          " frob -x <name>   frob one\n"
                          " frob -y <n> <m>  frob two\n"
                          "twiddle\n twiddle          untitled\n"
                          "Commands zap, zip:\n"
                          "zap\n zap   zaps\n"
                          "zip\n") +
                  kBuiltInHelp,
              text);
}

// A table naming a word taken already, by anyone or twice in itself, is refused whole.
TEST_F(CmdInterpreterTest, ATableThatNamesATakenWordIsRefusedWhole)
{
    const std::vector<std::string> words = {"help", "status", "quit", "frob", "", "new"};
    for (const std::string& taken : words) {
        const CliEntry table[] = {{1, "fresh", "", ""},
                                  {2, taken.c_str(), "", ""},
                                  {3, taken == "new" ? "new" : "other", "", ""},
                                  {-1, nullptr, nullptr, nullptr}};
        TTableHandler handler(table);
        EXPECT_FALSE(m_interpreter.Register(handler)) << taken;
        std::string text;
        EXPECT_EQ(TLineOutcome::kFailed, Run("fresh", text)) << taken << ": nothing registered";
        EXPECT_THAT(handler.m_calls, testing::IsEmpty());
    }
    const CliEntry unnamed[] = {
        {1, "fresh", "", ""}, {2, nullptr, "", ""}, {-1, nullptr, nullptr, nullptr}};
    TTableHandler handler(unnamed);
    EXPECT_FALSE(m_interpreter.Register(handler));
    std::string text;
    EXPECT_EQ(TLineOutcome::kSucceeded, Run("help", text));
    EXPECT_THAT(text, testing::Not(testing::HasSubstr("fresh")));
    EXPECT_EQ(TLineOutcome::kSucceeded, Run("help quit", text));
    EXPECT_THAT(text, testing::StartsWith("quit\n quit  "));
}

// The words a console completes: commands with their switches, library-name ones marked, built-ins.
TEST_F(CmdInterpreterTest, TheWordsAreTheCommandsAndTheirSwitches)
{
    const control::TCommandWords words = m_interpreter.Words();
    ASSERT_EQ(5U, words.commands.size());
    EXPECT_EQ("frob", words.commands[0].word);
    ASSERT_EQ(2U, words.commands[0].switches.size());
    EXPECT_EQ("-x", words.commands[0].switches[0].word);
    EXPECT_TRUE(words.commands[0].switches[0].takesName);
    EXPECT_EQ("-y", words.commands[0].switches[1].word);
    EXPECT_FALSE(words.commands[0].switches[1].takesName);
    EXPECT_EQ("twiddle", words.commands[1].word);
    EXPECT_THAT(words.commands[1].switches, testing::IsEmpty());
    EXPECT_EQ("help", words.commands[2].word);
    EXPECT_EQ("status", words.commands[3].word);
    EXPECT_EQ("quit", words.commands[4].word);
}

} // namespace
