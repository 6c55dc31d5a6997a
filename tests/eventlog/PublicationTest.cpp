// MuroxLogEvent: what subscribers get, and where the dispatcher comes from.
#include <gtest/gtest.h>

#include <functional>

#include "eventlog/MuroxLogEvent.h"
#include "eventlog/MuroxMsg.h"
#include "tests/support/EventTestSupport.h"

namespace {

using eventlog_test::TInstanceScope;
using eventlog_test::TRecorder;
using KAF::BMessageDispatcher;

// The empty format, which the compiler's format check flags as a likely slip.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-zero-length"
void LogEmptyFormat()
{
    MuroxLogEvent("");
}
#pragma GCC diagnostic pop

TEST(Publication, PublishesTheFormattedTextAsMessage101)
{
    BMessageDispatcher dispatcher;
    TInstanceScope scope(&dispatcher);
    std::vector<std::string> log;
    TRecorder recorder(&log);
    dispatcher.Subscribe(&recorder);
    EXPECT_EQ(0, dispatcher.Subscribe(&recorder))
        << "a subscriber is informed once, however often it subscribes";
    // Characters that differ along the text, so a cut in the wrong place shows.
    std::string far;
    for (int i = 0; i < 5000; ++i)
        far += static_cast<char>('a' + i % 26);
    const std::string exact = far.substr(0, 1023), longer = far.substr(0, 1024);
    const struct {
        std::function<void()> log;
        std::string text; // cut at 1023 characters, as documented
    } cases[] = {
        {[] { MuroxLogEvent("disk full"); }, "disk full"},
        {[] { MuroxLogEvent("%s=%d%%", "load", 75); }, "load=75%"},
        {LogEmptyFormat, ""},
        {[] { MuroxLogEvent("ab%ccd", 0); }, "ab"},
        {[&] { MuroxLogEvent("%s", exact.c_str()); }, exact},
        {[&] { MuroxLogEvent("%s", longer.c_str()); }, exact},
        {[&] { MuroxLogEvent("%s", far.c_str()); }, exact},
        {[] { MuroxLogEvent("%4000d", 7); }, std::string(1023, ' ')},
    };
    for (const auto& c : cases) {
        log.clear();
        c.log();
        ASSERT_EQ(1u, log.size()) << c.text;
        EXPECT_EQ(c.text, log[0]);
        EXPECT_EQ(101, recorder.m_lastId);
        EXPECT_EQ(c.text.size(), recorder.m_lastLength);
    }
    // A subscriber's exception reaches the caller; the next event goes out.
    log.clear();
    recorder.m_fail = true;
    EXPECT_THROW(MuroxLogEvent("first"), eventlog_test::TSubscriberFailure);
    recorder.m_fail = false;
    MuroxLogEvent("second");
    EXPECT_EQ((std::vector<std::string>{"first", "second"}), log);
    EXPECT_EQ(&dispatcher, BMessageDispatcher::s_pInstance) << "the host's dispatcher is kept";
}

TEST(Publication, MessageOwnsACopy)
{
    char text[] = "abc";
    const MuroxMsg msg(text);
    text[0] = 'x';
    EXPECT_STREQ("abc", msg.m_text.c_str());
}

} // namespace
