// The registry against real extension libraries and a real store: what it
// loads, unloads and forgets when the configuration changes, and what it
// refuses.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "hostapi/BFileNV.h"
#include "hostapi/BMessage.h"
#include "hostapi/DLLExtAgents.h"

namespace {

class TEvents : public KAF::IMessageSubscriber {
public:
    void Inform(const KAF::BMessage& msg) override { m_texts.push_back(msg.m_text.c_str()); }
    std::vector<std::string> Take() { return std::move(m_texts); }

private:
    std::vector<std::string> m_texts;
};

class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (KAF::BMessageDispatcher::s_pInstance == nullptr)
            KAF::BMessageDispatcher::s_pInstance = new KAF::BMessageDispatcher;
        KAF::BMessageDispatcher::s_pInstance->Subscribe(&m_events);
        m_path = "/tmp/murox-registry-" + std::to_string(getpid()) + ".conf";
    }
    void TearDown() override
    {
        KAF::BMessageDispatcher::s_pInstance->Unsubscribe(&m_events);
        unlink(m_path.c_str());
    }
    // Writes the file and has the store read it.
    bool Configure(const std::string& text)
    {
        std::ofstream(m_path) << text;
        return m_store.ReadFile(m_path.c_str()) != 0;
    }
    // "name:load:status:loaded" of every record, in order.
    std::string State()
    {
        std::string state;
        for (int i = 0; i < m_registry.NumExtAgents(); ++i) {
            const ExtAgent* p = m_registry.ExtAgentAt(i);
            state += std::string(p->name.c_str()) + ':' + std::to_string(p->load) + ':' +
                     std::to_string(p->status) + ':' + std::to_string(p->loaded) + ' ';
        }
        return state;
    }

    TEvents m_events;
    std::string m_path;
    KAF::BFileNV m_store;
    DLLExtAgents m_registry;
};

const std::string kHello = HELLO_LIBRARY;
const std::string kIdle = IDLE_LIBRARY;

TEST_F(RegistryTest, ALibraryWithoutEntryPointsFailsToInitialise)
{
    ASSERT_TRUE(
        Configure("[extdll a]\npath = " + kHello + "\n[extdll c]\npath = " NO_ENTRY_LIBRARY "\n"));
    EXPECT_EQ(0, m_registry.Load(&m_store));
    EXPECT_EQ("a:1:0:1 c:1:2:0 ", State());
    const std::vector<std::string> events = m_events.Take();
    ASSERT_EQ(2u, events.size());
    EXPECT_EQ("hello: init", events[0]);
    EXPECT_NE(std::string::npos,
              events[1].find("'c' not loaded: " NO_ENTRY_LIBRARY " lacks an entry point"))
        << events[1];
}

TEST_F(RegistryTest, RejectsAnIncompleteConfigurationAndChangesNothing)
{
    ASSERT_TRUE(Configure("[extdll a]\npath = " + kHello + "\n"));
    ASSERT_EQ(1, m_registry.Load(&m_store));
    m_events.Take();
    const struct {
        const char* text;
        const char* reason;
    } cases[] = {
        {"[extdll a]\nweb = w\n", "section [extdll a]: no path"},
        {"[extdll a]\npath = p\nload = yes\n", "load must be 0 or 1, not 'yes'"},
        {"[extdll]\npath = p\n", "the library name must be one word"},
        {"[extdll a b]\npath = p\n", "the library name must be one word"},
        {"[extdll a]\npath = p\n[extdll  a]\npath = q\n", "library 'a' is configured twice"},
        {"[extdll a\n", "line 1: section header without ']'"},
    };
    for (const auto& c : cases) {
        Configure(c.text);
        EXPECT_EQ(0, m_registry.Load(&m_store)) << c.text;
        EXPECT_EQ("a:1:0:1 ", State()) << c.text;
        const std::vector<std::string> events = m_events.Take();
        ASSERT_EQ(1u, events.size()) << c.text;
        EXPECT_NE(std::string::npos, events[0].find(c.reason)) << events[0];
        // Nothing may be written over a file the registry does not follow.
        EXPECT_EQ(0, m_registry.Add(&m_store, "n", kIdle.c_str(), "")) << c.text;
        EXPECT_EQ(0, m_registry.Delete(&m_store, "a")) << c.text;
        EXPECT_EQ("a:1:0:1 ", State()) << c.text;
        m_events.Take();
    }
}

TEST_F(RegistryTest, AddWritesTheFileAndRefusesWhatItCannotKeep)
{
    ASSERT_TRUE(Configure("# kept apart\n[murox]\nx = 1\n"));
    ASSERT_EQ(1, m_registry.Load(&m_store));
    EXPECT_EQ(1, m_registry.Add(&m_store, "h", kHello.c_str(), "/w"));
    EXPECT_EQ(0, m_registry.Add(&m_store, "h", kIdle.c_str(), ""));     // taken
    EXPECT_EQ(0, m_registry.Add(&m_store, "a b", kIdle.c_str(), ""));   // not one word
    EXPECT_EQ(0, m_registry.Add(&m_store, "e", "", ""));                // no path
    EXPECT_EQ(0, m_registry.Add(&m_store, "m", "/nonexistent.so", "")); // added, not loaded
    EXPECT_EQ("h:1:0:1 m:1:1:0 ", State());
    std::ifstream file(m_path);
    std::ostringstream text;
    text << file.rdbuf();
    EXPECT_EQ("[murox]\nx = 1\n\n[extdll h]\npath = " + kHello +
                  "\nweb = /w\nload = 1\n\n[extdll m]\npath = /nonexistent.so\nweb = \nload = 1\n",
              text.str());
}

} // namespace
