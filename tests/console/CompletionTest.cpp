// Tab completion of command lines: what the console offers for the word
// being typed, from the command words and the extension names given.
#include <gmock/gmock.h>

#include "host/console/CommandCompletion.h"
#include "host/console/ShellConsole.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

const std::vector<std::string> kWords = {"xdll", "help", "quit"};
const std::vector<std::string> kNames = {"hello", "broken", "missing", "idle", "hello2"};

std::vector<std::string> Complete(const std::string& line)
{
    return CompleteCommandLine(line, kWords, kNames);
}

TEST(CompletionTest, FirstWordIsACommandWord)
{
    EXPECT_THAT(Complete("xd"), ElementsAre("xdll"));
    EXPECT_THAT(Complete("  \tq"), ElementsAre("quit"));
    EXPECT_THAT(Complete(""), ElementsAre("xdll", "help", "quit"));
    EXPECT_THAT(Complete("   "), ElementsAre("xdll", "help", "quit"));
    EXPECT_THAT(Complete("z"), IsEmpty());
    EXPECT_THAT(Complete("xdllx"), IsEmpty());
    // The words come from the caller: a daemon offering more is completed.
    EXPECT_THAT(CompleteCommandLine("st", {"xdll", "status", "stop"}, {}),
                ElementsAre("status", "stop"));
    EXPECT_THAT(CompleteCommandLine("x", {"xdll", "xdll"}, {}), ElementsAre("xdll"));
}

TEST(CompletionTest, HelpTakesACommandWord)
{
    EXPECT_THAT(Complete("help "), ElementsAre("xdll", "help", "quit"));
    EXPECT_THAT(Complete("help x"), ElementsAre("xdll"));
    EXPECT_THAT(Complete("help\tq"), ElementsAre("quit"));
    EXPECT_THAT(Complete("help xdll "), IsEmpty());
    EXPECT_THAT(Complete("quit "), IsEmpty());
}

TEST(CompletionTest, XdllTakesASwitchThenANameForTheNamedOnes)
{
    EXPECT_THAT(Complete("xdll "), ElementsAre("-l", "-u", "-f", "-r", "-a", "-d"));
    EXPECT_THAT(Complete("xdll -"), ElementsAre("-l", "-u", "-f", "-r", "-a", "-d"));
    EXPECT_THAT(Complete("xdll -r"), ElementsAre("-r"));
    EXPECT_THAT(Complete("xdll -l he"), ElementsAre("hello", "hello2"));
    EXPECT_THAT(Complete("xdll  -u \t i"), ElementsAre("idle"));
    EXPECT_THAT(Complete("xdll -f "), ElementsAre("hello", "broken", "missing", "idle", "hello2"));
    EXPECT_THAT(Complete("xdll -d mis"), ElementsAre("missing"));
    EXPECT_THAT(Complete("xdll -d x"), IsEmpty());
    // No name after the switches that take none, nor a second one.
    EXPECT_THAT(Complete("xdll -r "), IsEmpty());
    EXPECT_THAT(Complete("xdll -a he"), IsEmpty());
    EXPECT_THAT(Complete("xdll -a new /lib/x.so "), IsEmpty());
    EXPECT_THAT(Complete("xdll -l hello "), IsEmpty());
    EXPECT_THAT(Complete("xdll -x "), IsEmpty());
    EXPECT_THAT(CompleteCommandLine("xdll -l ", kWords, {}), IsEmpty());
}

// The words as a command runner offers them, locally or from the daemon.
TEST(CompletionTest, WordsOfferedAsTextAreReadLineByLine)
{
    const TCompletionWords words =
        ParseCompletionWords("c xdll\nc help\ne hello\nx odd\nc\ne  spaced\ne idle");
    EXPECT_THAT(words.commands, ElementsAre("xdll", "help"));
    EXPECT_THAT(words.extensions, ElementsAre("hello", " spaced", "idle"));
    EXPECT_THAT(ParseCompletionWords("").commands, IsEmpty());

    int asked = 0;
    const BLineReader::TCompleter complete = WordsCompleter([&asked] {
        ++asked;
        return std::string("c xdll\nc help\ne hello\ne idle\n");
    });
    EXPECT_THAT(complete("xdll -l "), ElementsAre("hello", "idle"));
    EXPECT_THAT(complete("he"), ElementsAre("help"));
    EXPECT_EQ(2, asked); // asked again at each Tab: the names change
}

} // namespace
