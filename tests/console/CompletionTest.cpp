// Tab completion: what the console offers for the word typed, and how the daemon sends the words.
#include <gmock/gmock.h>

#include "host/console/CommandCompletion.h"
#include "host/protocol/CommandWords.h"
#include "host/protocol/ControlProtocol.h"

namespace {

using control::TCommandWords;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

const std::vector<std::string> kNames = {"hello", "broken", "missing", "idle", "hello2"};

TCommandWords Words(const std::vector<std::string>& names = kNames)
{
    TCommandWords words;
    words.commands = {
        {"xdll",
         {{"-l", true}, {"-u", true}, {"-f", true}, {"-r", false}, {"-a", false}, {"-d", true}}},
        {"help", {}},
        {"status", {}},
        {"quit", {}}};
    words.names = names;
    return words;
}

// What Tab offers after each line typed, of the words above.
TEST(CompletionTest, TheWordTypedIsCompletedFromTheWordsThatFitWhereItStands)
{
    using V = std::vector<std::string>;
    const V commands = {"xdll", "help", "status", "quit"};
    const V switches = {"-l", "-u", "-f", "-r", "-a", "-d"};
    const std::pair<std::string, V> offers[] = {
        // A command word first, then, after help, a command word.
        {"xd", {"xdll"}},
        {"  \tq", {"quit"}},
        {"", commands},
        {"   ", commands},
        {"xdllx", {}},
        {"help ", commands},
        {"help\tq", {"quit"}},
        {"help xdll ", {}},
        // After xdll a switch, then a name for the switches that take one, and nothing more.
        {"xdll ", switches},
        {"xdll -l he", {"hello", "hello2"}},
        {"xdll  -u \t i", {"idle"}},
        {"xdll -d x", {}},
        {"xdll -r ", {}},
        {"xdll -l hello ", {}}};
    for (const auto& [line, offered] : offers)
        EXPECT_EQ(offered, CompleteCommandLine(line, Words())) << '"' << line << '"';
    EXPECT_THAT(CompleteCommandLine("xdll -l ", Words({})), IsEmpty());
    // The words come from the caller: a daemon offering more is completed.
    TCommandWords more;
    more.commands = {{"xdll", {}}, {"status", {}}, {"stop", {{"-now", false}}}, {"xdll", {}}};
    EXPECT_THAT(CompleteCommandLine("st", more), ElementsAre("status", "stop"));
    EXPECT_THAT(CompleteCommandLine("x", more), ElementsAre("xdll"));
    EXPECT_THAT(CompleteCommandLine("stop -", more), ElementsAre("-now"));
}

// A word that could not be typed, or would not stay one word, is not offered, whoever describes it.
TEST(CompletionTest, OnlyWordsATerminalShowsAsTheyAreAreOffered)
{
    // U+202E, U+200B, U+2066, U+FEFF: what the name shows is not what it is.
    const TCommandWords words =
        Words({"e\x1bx", "evil", "e\xff", "\xc3\xa9t\xc3\xa9", "e\x7f", "e\xc2\x9b", "e\r",
               "e\xe2\x80\xaeolle", "e\xe2\x80\x8bvil", "e\xe2\x81\xa6i", "e\xef\xbb\xbfi"});
    EXPECT_THAT(CompleteCommandLine("xdll -l e", words), ElementsAre("evil"));
    EXPECT_THAT(CompleteCommandLine("xdll -l ", words), ElementsAre("evil", "\xc3\xa9t\xc3\xa9"));
    EXPECT_THAT(CompleteCommandLine("xdll -l e", control::DecodeWords(control::EncodeWords(words))),
                ElementsAre("evil"));
    // "xdll -d hel" must not become "xdll -d hello -", nor a command or a switch hold a blank.
    TCommandWords spaced = Words({"hello -", "hel\tlo", "help", "hel lo"});
    spaced.commands.push_back({"xd ll", {}});
    spaced.commands[0].switches.push_back({"-l -u", true});
    EXPECT_THAT(CompleteCommandLine("xdll -d hel", spaced), ElementsAre("help"));
    EXPECT_THAT(CompleteCommandLine("xd", spaced), ElementsAre("xdll"));
    EXPECT_THAT(CompleteCommandLine("xdll -l", spaced), ElementsAre("-l"));
    // A name a shell would run is a word like any other: no shell reads the console's line.
    EXPECT_THAT(CompleteCommandLine("xdll -d h", Words({"h$(touch${IFS}FILE)"})),
                ElementsAre("h$(touch${IFS}FILE)"));

    int asked = 0;
    const BLineReader::TCompleter complete = CommandCompleter([&asked] {
        ++asked;
        return Words({"hello", "idle"});
    });
    EXPECT_THAT(complete("xdll -l "), ElementsAre("hello", "idle"));
    EXPECT_THAT(complete("he"), ElementsAre("help"));
    EXPECT_EQ(2, asked); // at each Tab: the names change
}

// The 'W' frame's payload: a word a line after its tag, read back as given; other lines skipped.
TEST(CompletionTest, WordsTravelAsTheyWereGivenWithinBounds)
{
    TCommandWords words;
    words.commands = {{"xdll", {{"-l", true}, {"-r", false}}}, {"help", {}}};
    words.names = {"hello", "e\x1bx"};
    EXPECT_EQ("c xdll\nn -l\ns -r\nc help\ne hello\ne e\x1bx\n", control::EncodeWords(words));
    EXPECT_TRUE(control::DecodeWords(control::EncodeWords(words)) == words);

    words.commands = {{"xdll", {{"-l", true}}}};
    words.names = {"hello", " spaced", "idle"};
    EXPECT_TRUE(control::DecodeWords(
                    "s -z\ne hello\nx odd\nc\nc xdll\nn -l\nnoblank\ne  spaced\ns\ne idle") ==
                words);

    // A daemon is trusted only so far: so many words, so long, in one frame.
    const std::string longest(control::kMaxWordLength, 'n');
    words = TCommandWords();
    words.names = {longest + "n", "a\nb", "", longest};
    EXPECT_EQ("e " + longest + "\n", control::EncodeWords(words));
    EXPECT_THAT(control::DecodeWords("e " + longest + "n\ne ok\n").names, ElementsAre("ok"));

    std::string many;
    for (std::size_t i = 0; i <= control::kMaxWords; ++i)
        many += "e n" + std::to_string(i) + "\n";
    const TCommandWords decoded = control::DecodeWords("c xdll\n" + many);
    EXPECT_EQ(control::kMaxWords - 1, decoded.names.size());
    EXPECT_EQ("n" + std::to_string(control::kMaxWords - 2), decoded.names.back());

    words.names.assign(control::kMaxWords, longest);
    const std::string full = control::EncodeWords(words);
    EXPECT_LE(full.size(), control::kMaxFrame);
    EXPECT_EQ(full.size() / (longest.size() + 3), control::DecodeWords(full).names.size());
    words.names.assign(control::kMaxWords + 1, "n");
    EXPECT_EQ(control::kMaxWords, control::DecodeWords(control::EncodeWords(words)).names.size());
}

} // namespace
