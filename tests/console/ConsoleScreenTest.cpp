// On a terminal nothing the daemon sent acts or hides; through a pipe it passes byte for byte.
#include <gtest/gtest.h>

#include "host/console/BConsoleScreen.h"
#include "host/console/BDaemonConnection.h"
#include "host/console/IConsoleOutput.h"

namespace {

class BRecordedOutput : public IConsoleOutput {
public:
    BRecordedOutput(bool outTerminal, bool errTerminal) : m_terminal{outTerminal, errTerminal} {}

    bool Terminal(TStream stream) const override { return m_terminal[stream]; }
    void Write(TStream stream, const std::string& bytes) override { written[stream] += bytes; }
    int OutError() override { return error; }

    std::string written[2];
    int error = 0;

private:
    bool m_terminal[2];
};

control::TFrame Frame(char type, const std::string& payload, bool more = false)
{
    control::TFrame frame;
    frame.type = type;
    frame.payload = payload;
    frame.more = more;
    return frame;
}

const char kRightToLeft[] = "\xe2\x80\xae"; // U+202E, which reverses what follows

// A stranger's greeting carried a title and a clear screen in its fields.
TEST(ConsoleScreenTest, TheGreetingsFieldsAreShownAsText)
{
    control::TFrame hello =
        Frame(control::kHello, std::string(control::kGreeting) + " 42\x1b]0;owned\x07 1.0\x1b[2J" +
                                   kRightToLeft + "x\nmurox: forged\t");
    std::string greeting;
    std::string error;
    ASSERT_TRUE(TakeGreeting(hello, "/run/x.ctl", greeting, error));
    for (const bool terminal : {true, false}) {
        BRecordedOutput output(terminal, terminal);
        BConsoleScreen(output).Greet("/run/x.ctl", greeting);
        // One line, a terminal's or not: the daemon's line break and tab are shown as text.
        EXPECT_EQ("murox: connected to the daemon at /run/x.ctl, pid 42\\x1b]0;owned\\x07, version "
                  "1.0\\x1b[2J\\xe2\\x80\\xaex\\x0amurox: forged\\x09\n",
                  output.written[IConsoleOutput::kOut]);
    }
    // A greeting without a version says so.
    BRecordedOutput bare(false, false);
    BConsoleScreen(bare).Greet("/x", "42");
    EXPECT_EQ("murox: connected to the daemon at /x, pid 42, version ?\n",
              bare.written[IConsoleOutput::kOut]);
    // The greeting's words in a frame of another kind are no greeting.
    EXPECT_FALSE(TakeGreeting(Frame(control::kAnswer, std::string(control::kGreeting) + " 42 1.0"),
                              "/y", greeting, error));
    EXPECT_EQ("/y does not speak the murox control protocol", error);
    EXPECT_FALSE(
        TakeGreeting(Frame(control::kHello, "murox-control 2 1 1"), "/x", greeting, error));
}

// What goes to a stream is made visible where that stream is a terminal, whatever the other is,
// and passes byte for byte through a pipe; why a line fails goes to standard error, whoever said
// it. A character cut between an answer's pieces is shown whole; a line that failed keeps the
// status at 3 whatever succeeds after it.
TEST(ConsoleScreenTest, EachStreamIsShownAsTextWhereItIsATerminal)
{
    const std::string event = std::string("ev\x1b[7ment") + kRightToLeft;
    const std::string failure = "extension library 'w\x1b' not loaded";
    for (const bool outTerminal : {false, true})
        for (const bool errTerminal : {false, true}) {
            SCOPED_TRACE(std::string(outTerminal ? "out" : "") + (errTerminal ? " err" : ""));
            BRecordedOutput output(outTerminal, errTerminal);
            BConsoleScreen screen(output);
            EXPECT_TRUE(screen.Show(Frame(control::kEvent, event)));
            EXPECT_TRUE(screen.Show(Frame(control::kAnswer, "an\x1b[2Jcaf\xc3", true)));
            EXPECT_TRUE(screen.Show(Frame(control::kAnswer, "\xa9 \xe2\x80", true)));
            EXPECT_TRUE(screen.Show(Frame(control::kAnswer, "\xaex\n")));
            EXPECT_TRUE(screen.Show(Frame(control::kFailureEvent, failure)));
            EXPECT_EQ(0, screen.Status());
            EXPECT_TRUE(screen.Show(Frame(control::kFailed, "fail\r\x1b[K\n")));
            EXPECT_TRUE(screen.Show(Frame(control::kWords, "e \x1b")));
            EXPECT_TRUE(screen.Show(Frame(control::kAnswer, "yes\n")));
            EXPECT_FALSE(screen.Show(Frame(control::kFarewell, "murox: bye\x07\n")));
            EXPECT_EQ(
                outTerminal
                    ? "ev\\x1b[7ment\\xe2\\x80\\xae\nan\\x1b[2Jcaf\xc3\xa9 \\xe2\\x80\\xaex\nyes\n"
                    : event + "\nan\x1b[2Jcaf\xc3\xa9 \xe2\x80\xaex\nyes\n",
                output.written[IConsoleOutput::kOut]);
            EXPECT_EQ(
                errTerminal
                    ? "extension library 'w\\x1b' not loaded\nfail\\x0d\\x1b[K\nmurox: bye\\x07\n"
                    : failure + "\nfail\r\x1b[K\nmurox: bye\x07\n",
                output.written[IConsoleOutput::kErr]);
            EXPECT_EQ(3, screen.Status());
        }
    BRecordedOutput output(false, false);
    output.error = EPIPE;
    EXPECT_EQ(1, BConsoleScreen(output).Status());
    EXPECT_NE(std::string::npos,
              output.written[IConsoleOutput::kErr].find("cannot write to standard output"));
}

} // namespace
