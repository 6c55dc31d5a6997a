// The registry against real extension libraries and a real store: what it
// loads, unloads and forgets when the configuration changes, and what it
// refuses.
#include <gmock/gmock.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include <unistd.h>

#include "hostapi/BFileNV.h"
#include "hostapi/DLLExtAgents.h"
#include "tests/support/EventTestSupport.h"
#include "tests/support/FullDisk.h"

namespace {

class RegistryTest : public ::testing::Test {
protected:
    RegistryTest() { m_dispatcher.Subscribe(&m_recorder); }
    ~RegistryTest() override { unlink(m_path.c_str()); }
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
    std::string File() const
    {
        std::ifstream file(m_path);
        return std::string(std::istreambuf_iterator<char>(file), {});
    }
    // The events logged since the last call.
    std::vector<std::string> Take() { return std::exchange(m_events, {}); }

    std::vector<std::string> m_events;
    eventlog_test::TRecorder m_recorder{&m_events};
    KAF::BMessageDispatcher m_dispatcher;
    eventlog_test::TInstanceScope m_scope{&m_dispatcher};
    const std::string m_path = "/tmp/murox-registry-" + std::to_string(getpid()) + ".conf";
    KAF::BFileNV m_store;
    DLLExtAgents m_registry;
};

TEST_F(RegistryTest, ALibraryWithoutEntryPointsFailsToInitialise)
{
    ASSERT_TRUE(Configure("[extdll a]\npath = " HELLO_LIBRARY
                          "\n[extdll c]\npath = " NO_ENTRY_LIBRARY "\n"));
    EXPECT_EQ(0, m_registry.Load(&m_store));
    EXPECT_EQ("a:1:0:1 c:1:2:0 ", State());
    EXPECT_THAT(Take(), testing::ElementsAre("hello: init",
                                             testing::HasSubstr("'c' not loaded: " NO_ENTRY_LIBRARY
                                                                " lacks an entry point")));
}

TEST_F(RegistryTest, FollowsTheConfigurationAndLoadsEachLibraryOnce)
{
    ASSERT_TRUE(Configure("[extdll a]\npath = " HELLO_LIBRARY "\n[extdll b]\npath = " IDLE_LIBRARY
                          "\nload = 0\n"));
    EXPECT_EQ(1, m_registry.Load(&m_store));
    EXPECT_THAT(Take(), testing::ElementsAre("hello: init"));
    EXPECT_EQ(1, m_registry.Load(KAF::BString("a")));
    EXPECT_THAT(Take(), testing::IsEmpty()) << "a loaded library is not initialised again";
    // a is gone from the file: unloaded. b has a new path: loaded from it.
    ASSERT_TRUE(Configure("[extdll b]\npath = " HELLO_LIBRARY "\n"));
    EXPECT_EQ(1, m_registry.Load(&m_store));
    EXPECT_THAT(Take(), testing::ElementsAre("hello: term", "hello: init"));
    EXPECT_EQ("b:1:0:1 ", State());
}

TEST_F(RegistryTest, RejectsAnIncompleteConfigurationAndChangesNothing)
{
    ASSERT_TRUE(Configure("[extdll a]\npath = " HELLO_LIBRARY "\n"));
    ASSERT_EQ(1, m_registry.Load(&m_store));
    Take();
    const std::pair<const char*, const char*> cases[] = {
        {"[extdll a]\nweb = w\n", "section [extdll a]: no path"},
        {"[extdll a]\npath = p\nload = yes\n", "load must be 0 or 1, not 'yes'"},
        {"[extdll]\npath = p\n", "the library name must be one word"},
        {"[extdll a b]\npath = p\n", "the library name must be one word"},
        {"[extdll a]\npath = p\n[extdll  a]\npath = q\n", "library 'a' is configured twice"},
        {"[extdll a\n", "line 1: section header without ']'"},
    };
    for (const auto& [text, reason] : cases) {
        Configure(text);
        EXPECT_EQ(0, m_registry.Load(&m_store)) << text;
        EXPECT_THAT(Take(), testing::ElementsAre(testing::HasSubstr(reason))) << text;
        // Nothing may be written over a file the registry does not follow.
        EXPECT_EQ(0, m_registry.Add(&m_store, "n", IDLE_LIBRARY, "")) << text;
        EXPECT_EQ(0, m_registry.Delete(&m_store, "a")) << text;
        EXPECT_EQ("a:1:0:1 ", State()) << text;
        Take();
    }
}

TEST_F(RegistryTest, AddWritesTheFileAndRefusesWhatItCannotKeep)
{
    ASSERT_TRUE(Configure("# kept apart\n[murox]\nx = 1\n"));
    ASSERT_EQ(1, m_registry.Load(&m_store));
    EXPECT_EQ(1, m_registry.Add(&m_store, "h", HELLO_LIBRARY, "/w"));
    EXPECT_EQ(0, m_registry.Add(&m_store, "e", "", ""));                // no path
    EXPECT_EQ(0, m_registry.Add(&m_store, "m", "/nonexistent.so", "")); // added, not loaded
    EXPECT_EQ("h:1:0:1 m:1:1:0 ", State());
    // Commits that fail on a full disk leave the store as it was and no
    // temporary file: the next commit writes the file in the same order.
    {
        TFullDisk full;
        EXPECT_EQ(0, m_registry.Add(&m_store, "f", IDLE_LIBRARY, ""));
        EXPECT_EQ(0, m_registry.Delete(&m_store, "h"));
    }
    EXPECT_EQ("h:1:0:1 m:1:1:0 ", State());
    EXPECT_EQ(1, m_registry.Add(&m_store, "i", IDLE_LIBRARY, ""));
    const std::string name = m_path.substr(5);
    for (const auto& entry : std::filesystem::directory_iterator("/tmp"))
        EXPECT_TRUE(entry.path().filename().string().compare(0, name.size(), name) != 0 ||
                    entry.path() == m_path)
            << entry.path() << " left behind";
    EXPECT_EQ("# kept apart\n[murox]\nx = 1\n\n[extdll h]\npath = " HELLO_LIBRARY
              "\nweb = /w\nload = 1\n\n[extdll m]\npath = /nonexistent.so\nweb = \nload = 1\n"
              "\n[extdll i]\npath = " IDLE_LIBRARY "\nweb = \nload = 1\n",
              File());
}

// An edit made by hand since the file was read is neither overwritten nor
// taken in without a re-read.
TEST_F(RegistryTest, AHandEditRefusesChangesUntilTheFileIsReread)
{
    const std::string read = "# mine\n[extdll a]\npath = " IDLE_LIBRARY "\nload = 0\n";
    ASSERT_TRUE(Configure(read));
    ASSERT_EQ(1, m_registry.Load(&m_store));
    const std::string edited = read + "[extdll hand]\npath = /by/hand.so\nload = 0\n";
    std::ofstream(m_path) << edited;
    EXPECT_EQ(0, m_registry.Add(&m_store, "n", IDLE_LIBRARY, ""));
    EXPECT_EQ(0, m_registry.Delete(&m_store, "a"));
    const std::string changed = ": cannot write '" + m_path +
                                "': the file changed on disk since it was last read; run \"xdll "
                                "-r\" first";
    EXPECT_THAT(Take(), testing::ElementsAre("extension library 'n' not added" + changed,
                                             "extension library 'a' not deleted" + changed));
    EXPECT_EQ(edited, File());
    EXPECT_EQ("a:0:3:0 ", State());
    EXPECT_EQ(1, m_store.SectionCount()) << "the edit was taken in unseen";
    // Re-read, the edit is followed and kept.
    ASSERT_EQ(1, m_store.ReadFile(m_path.c_str()));
    ASSERT_EQ(1, m_registry.Load(&m_store));
    EXPECT_EQ(1, m_registry.Delete(&m_store, "a"));
    EXPECT_EQ("[extdll hand]\npath = /by/hand.so\nload = 0\n", File());
    EXPECT_EQ("hand:0:3:0 ", State());
}

} // namespace
