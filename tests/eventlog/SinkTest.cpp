// MuroxMsgSubscriber on standard output: the records that reach the real
// file descriptor 1 of the process.
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "EventTestSupport.h"
#include "eventlog/MuroxLogEvent.h"
#include "eventlog/MuroxMsg.h"
#include "eventlog/MuroxMsgSubscriber.h"
#include "hostapi/TTraceGuard.h"
#include "support/VirtualSlot.h"

namespace {

using KAF::BMessage;
using KAF::TTraceGuard;

// Points file descriptor 1 at a temporary file until Finish, which
// returns what was written there. GoogleTest reports to stdout too, so
// nothing is asserted while capturing.
class TStdoutCapture {
public:
    TStdoutCapture() : m_pFile(std::tmpfile()), m_saved(-1)
    {
        std::fflush(stdout);
        if (m_pFile != nullptr) {
            m_saved = dup(1);
            dup2(fileno(m_pFile), 1);
        }
    }
    ~TStdoutCapture() { Finish(); }
    TStdoutCapture(const TStdoutCapture&) = delete;
    TStdoutCapture& operator=(const TStdoutCapture&) = delete;

    std::string Finish()
    {
        std::string text;
        if (m_pFile == nullptr)
            return "<no temporary file>";
        std::fflush(stdout);
        dup2(m_saved, 1);
        close(m_saved);
        std::rewind(m_pFile);
        for (int c; (c = std::fgetc(m_pFile)) != EOF;)
            text += static_cast<char>(c);
        std::fclose(m_pFile);
        m_pFile = nullptr;
        return text;
    }

private:
    std::FILE* m_pFile;
    int m_saved;
};

TEST(SinkStdout, WritesEachMessageAsOneLineUnderATraceGuard)
{
    const struct {
        int32_t id;
        const char* text; // null: a message whose text has no storage
        const char* record;
    } cases[] = {
        {101, "abc", "abc\n"},
        {101, "%s %d %n", "%s %d %n\n"},
        {101, "ends in a newline\n", "ends in a newline\n\n"},
        {101, "", "\n"},
        {7, nullptr, "\n"},
        {55, "another kind", "another kind\n"},
    };
    MuroxMsgSubscriber sink;
    for (const auto& c : cases) {
        std::unique_ptr<BMessage> pMsg;
        if (c.id == 101)
            pMsg.reset(new MuroxMsg(c.text));
        else
            pMsg.reset(new BMessage(c.id));
        if (c.text != nullptr && c.id != 101)
            pMsg->m_text.Assign(c.text, static_cast<unsigned>(std::strlen(c.text)));
        const unsigned entries = TTraceGuard::Entries();
        const int depth = TTraceGuard::Depth();

        TStdoutCapture capture;
        sink.Inform(*pMsg);
        const std::string written = capture.Finish();

        EXPECT_EQ(c.record, written) << "id " << c.id;
        EXPECT_EQ(entries + 1, TTraceGuard::Entries());
        EXPECT_EQ(depth, TTraceGuard::Depth());
    }
}

TEST(SinkStdout, SubscribedSinkWritesLoggedEvents)
{
    KAF::BMessageDispatcher dispatcher;
    eventlog_test::TInstanceScope scope(&dispatcher);
    MuroxMsgSubscriber sink;
    dispatcher.Subscribe(&sink);
    TStdoutCapture capture;
    MuroxLogEvent("disk %s at %d%%", "/var", 91);
    MuroxLogEvent("%s", "second");
    const std::string written = capture.Finish();
    dispatcher.Unsubscribe(&sink);
    EXPECT_EQ("disk /var at 91%\nsecond\n", written);
}

TEST(SinkLayout, InformFollowsTheDestructorEntries)
{
    EXPECT_EQ(2, VirtualSlot(&MuroxMsgSubscriber::Inform));
}

} // namespace
