// MuroxLogEvent through the framework's dispatcher: what subscribers get,
// and where the dispatcher comes from.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "EventTestSupport.h"
#include "eventlog/MuroxLogEvent.h"

namespace {

using eventlog_test::TInstanceScope;
using eventlog_test::TRecorder;
using KAF::BMessageDispatcher;

// A text of n characters that differ along its length, so a cut in the
// wrong place shows.
std::string Pattern(size_t n)
{
    std::string text;
    for (size_t i = 0; i < n; ++i)
        text += static_cast<char>('a' + i % 26);
    return text;
}

// The empty format, which the compiler's format check flags as a likely slip.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-zero-length"
void LogEmptyFormat()
{
    MuroxLogEvent("");
}
#pragma GCC diagnostic pop

class Publication : public ::testing::Test {
protected:
    void SetUp() override { m_dispatcher.Subscribe(&m_recorder); }

    BMessageDispatcher m_dispatcher;
    TInstanceScope m_scope{&m_dispatcher};
    std::vector<std::string> m_log;
    TRecorder m_recorder{&m_log};
};

TEST_F(Publication, PublishesTheFormattedTextAsMessage101)
{
    const std::string exact = Pattern(1023), longer = Pattern(1024), far = Pattern(5000);
    const struct {
        const char* name;
        std::function<void()> log;
        std::string text;
    } cases[] = {
        {"no conversion", [] { MuroxLogEvent("disk full"); }, "disk full"},
        {"conversions", [] { MuroxLogEvent("%s=%d%%", "load", 75); }, "load=75%"},
        {"empty format", LogEmptyFormat, ""},
        {"zero byte ends the text", [] { MuroxLogEvent("ab%ccd", 0); }, "ab"},
        {"1023 characters whole", [&] { MuroxLogEvent("%s", exact.c_str()); }, exact},
        {"1024 cut", [&] { MuroxLogEvent("%s", longer.c_str()); }, exact},
        {"5000 cut", [&] { MuroxLogEvent("%s", far.c_str()); }, exact},
        {"padding cut", [] { MuroxLogEvent("%4000d", 7); }, std::string(1023, ' ')},
    };
    for (const auto& c : cases) {
        m_log.clear();
        c.log();
        ASSERT_EQ(1u, m_log.size()) << c.name;
        EXPECT_EQ(c.text, m_log[0]) << c.name;
        EXPECT_EQ(101, m_recorder.m_lastId) << c.name;
        EXPECT_EQ(c.text.size(), m_recorder.m_lastLength) << c.name;
    }
    EXPECT_EQ(&m_dispatcher, BMessageDispatcher::s_pInstance) << "the host's dispatcher is kept";
}

TEST_F(Publication, SubscriberExceptionReachesTheCallerAndTheNextEventGoesOut)
{
    m_recorder.m_fail = true;
    EXPECT_THROW(MuroxLogEvent("first"), eventlog_test::TSubscriberFailure);
    m_recorder.m_fail = false;
    MuroxLogEvent("second");
    EXPECT_EQ((std::vector<std::string>{"first", "second"}), m_log);
}

TEST(PublicationDispatcher, CreatedOnFirstUseThenReused)
{
    TInstanceScope scope(nullptr);
    MuroxLogEvent("nobody listens");
    BMessageDispatcher* const pCreated = BMessageDispatcher::s_pInstance;
    ASSERT_NE(nullptr, pCreated);
    EXPECT_EQ(0, pCreated->SubscriberCount());

    std::vector<std::string> log;
    TRecorder recorder(&log);
    pCreated->Subscribe(&recorder);
    MuroxLogEvent("second %d", 2);
    pCreated->Unsubscribe(&recorder);
    EXPECT_EQ(pCreated, BMessageDispatcher::s_pInstance);
    EXPECT_EQ(std::vector<std::string>{"second 2"}, log);
}

} // namespace
