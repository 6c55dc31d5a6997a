// The registry against real extension libraries and a real store: what it
// loads, unloads and forgets when the configuration changes, and what it
// refuses; and the configuration check, which loads nothing.
#include <gmock/gmock.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include "host/registry/ExtConfigCheck.h"
#include "hostapi/BFileNV.h"
#include "hostapi/DLLExtAgents.h"
#include "tests/support/EventTestSupport.h"
#include "tests/support/FullDisk.h"

namespace {

std::string MakeDirectory()
{
    char dir[] = "/tmp/murox-registry-XXXXXX";
    return mkdtemp(dir) != nullptr ? dir : "/nonexistent";
}

class RegistryTest : public ::testing::Test {
protected:
    RegistryTest() { m_dispatcher.Subscribe(&m_recorder); }
    ~RegistryTest() override { std::filesystem::remove_all(m_dir); }
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
    const std::string m_dir = MakeDirectory();
    const std::string m_path = m_dir + "/murox.conf";
    KAF::BFileNV m_store;
    DLLExtAgents m_registry;
};

TEST_F(RegistryTest, ALibraryThatFailsToInitialiseIsClosedAgain)
{
    ASSERT_TRUE(Configure("[extdll a]\npath = " HELLO_LIBRARY "\n[extdll b]\npath = " BROKEN_LIBRARY
                          "\n[extdll c]\npath = " NO_ENTRY_LIBRARY "\n"));
    EXPECT_EQ(0, m_registry.Load(&m_store));
    EXPECT_EQ("a:1:0:1 b:1:2:0 c:1:2:0 ", State());
    EXPECT_THAT(
        Take(),
        testing::ElementsAre(
            "hello: init",
            "broken: init refuses on purpose, a sample of a library that cannot start",
            "extension library 'b' not loaded: MuroxExtInit of " BROKEN_LIBRARY " reported failure",
            testing::HasSubstr("'c' not loaded: " NO_ENTRY_LIBRARY " lacks an entry point")));
    void* pHello = dlopen(HELLO_LIBRARY, RTLD_NOW | RTLD_NOLOAD);
    EXPECT_NE(nullptr, pHello) << "a loaded library is mapped";
    if (pHello != nullptr)
        dlclose(pHello);
    EXPECT_EQ(nullptr, dlopen(BROKEN_LIBRARY, RTLD_NOW | RTLD_NOLOAD)) << "still mapped";
}

// dlopen would wait for a writer on a FIFO; none of these may be opened.
TEST_F(RegistryTest, RefusesAPathThatIsNotARegularFileAtOnce)
{
    const std::string fifo = m_dir + "/fifo";
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    alarm(30);
    ASSERT_TRUE(Configure("[extdll f]\npath = " + fifo + "\n[extdll d]\npath = " + m_dir +
                          "\n[extdll n]\npath = /dev/null\n"));
    EXPECT_EQ(0, m_registry.Load(&m_store));
    EXPECT_THAT(
        Take(),
        testing::ElementsAre(
            "extension library 'f' not loaded: " + fifo + " is not a regular file (a FIFO)",
            "extension library 'd' not loaded: " + m_dir + " is not a regular file (a directory)",
            "extension library 'n' not loaded: /dev/null is not a regular file "
            "(a character device)"));
    // Added all the same, for the operator to put the right file there.
    EXPECT_EQ(0, m_registry.Add(&m_store, "g", fifo.c_str(), ""));
    EXPECT_THAT(Take(), testing::ElementsAre(testing::HasSubstr("is not a regular file")));
    EXPECT_EQ(0, m_registry.Load(KAF::BString("g")));
    alarm(0);
    EXPECT_EQ("f:1:1:0 d:1:1:0 n:1:1:0 g:1:1:0 ", State());
    KAF::BFileNV reread;
    ASSERT_NE(0, reread.ReadFile(m_path.c_str()));
    KAF::BString path;
    EXPECT_NE(0, reread.GetValue("extdll g", "path", path));
    EXPECT_EQ(fifo, path.c_str());
}

TEST_F(RegistryTest, FollowsTheConfigurationAndLoadsEachLibraryOnce)
{
    ASSERT_TRUE(Configure("[extdll a]\npath = " HELLO_LIBRARY "\n[extdll b]\npath = " IDLE_LIBRARY
                          "\nload = 0\n[extdll c]\npath = " IDLE_LIBRARY "\nload = 0\n"));
    EXPECT_EQ(1, m_registry.Load(&m_store));
    EXPECT_THAT(Take(), testing::ElementsAre("hello: init"));
    EXPECT_EQ(1, m_registry.Load(KAF::BString("a")));
    EXPECT_THAT(Take(), testing::IsEmpty()) << "a loaded library is not initialised again";
    // Reordered: b is gone, c is to be loaded now, a stays loaded, d is new.
    ASSERT_TRUE(Configure("[extdll c]\npath = " IDLE_LIBRARY "\n[extdll a]\npath = " HELLO_LIBRARY
                          "\n[extdll d]\npath = " HELLO_LIBRARY "\nload = 0\n"));
    EXPECT_EQ(1, m_registry.Load(&m_store));
    EXPECT_THAT(Take(), testing::ElementsAre("idle: init"));
    EXPECT_EQ("c:1:0:1 a:1:0:1 d:0:3:0 ", State());
    EXPECT_EQ(0, m_registry.Exist("b"));
    EXPECT_EQ(0, m_registry.Unload("b"));
    EXPECT_EQ(1, m_registry.Unload("a"));
    EXPECT_THAT(Take(),
                testing::ElementsAre("no extension library 'b' is configured", "hello: term"));
    // Every name is still found after one in the middle is deleted.
    EXPECT_EQ(1, m_registry.Delete(&m_store, "a"));
    EXPECT_EQ(0, m_registry.Exist("a"));
    EXPECT_EQ(1, m_registry.Load(KAF::BString("d")));
    EXPECT_EQ(1, m_registry.Unload("c"));
    EXPECT_EQ(1, m_registry.Add(&m_store, "a", IDLE_LIBRARY, ""));
    EXPECT_EQ(1, m_registry.Exist("a"));
    EXPECT_THAT(Take(), testing::ElementsAre("hello: init", "idle: term", "idle: init"));
    EXPECT_EQ("c:1:3:0 d:0:0:1 a:1:0:1 ", State());
    // d and a are gone from the file: unloaded. c has a new path: loaded from it.
    ASSERT_TRUE(Configure("[extdll c]\npath = " HELLO_LIBRARY "\n"));
    EXPECT_EQ(1, m_registry.Load(&m_store));
    EXPECT_THAT(Take(), testing::ElementsAre("hello: term", "idle: term", "hello: init"));
    EXPECT_EQ("c:1:0:1 ", State());
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
    EXPECT_EQ(0, m_registry.Exist("f")) << "a name not added is not found";
    EXPECT_EQ(1, m_registry.Add(&m_store, "i", IDLE_LIBRARY, ""));
    for (const auto& entry : std::filesystem::directory_iterator(m_dir))
        EXPECT_EQ(m_path, entry.path()) << "left behind";
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

TEST_F(RegistryTest, CheckReportsEveryProblemAndLoadsNothing)
{
    // A regular file that not even root may read.
    const std::string writeOnly = "/proc/sys/vm/drop_caches";
    EXPECT_THAT(CheckExtConfigFile(m_path),
                testing::ElementsAre("cannot read '" + m_path + "': No such file or directory"));
    std::ofstream(m_path) << "[extdll a]\npath = " HELLO_LIBRARY "\n[extdll a\n";
    EXPECT_THAT(
        CheckExtConfigFile(m_path),
        testing::ElementsAre("malformed '" + m_path + "', line 3: section header without ']'"));
    // A name without '/' is for dlopen to search.
    std::ofstream(m_path) << "[other]\nx = 1\n[extdll a]\npath = " HELLO_LIBRARY
                             "\nload = 0\n[extdll b]\npath = libc.so.6\n";
    EXPECT_THAT(CheckExtConfigFile(m_path), testing::IsEmpty());

    const std::string fifo = m_dir + "/fifo";
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    std::ofstream(m_path) << "[extdll a]\npath = " HELLO_LIBRARY "\n[extdll]\npath = p\n"
                          << "[extdll  a]\npath = " HELLO_LIBRARY "\n[extdll w]\nweb = /w\n"
                          << "[extdll l]\npath = /x\nload = yes\n[extdll m]\npath = /nonexistent\n"
                          << "[extdll f]\npath = " << fifo << "\n[extdll d]\npath = " << m_dir
                          << "\n[extdll r]\npath = " << writeOnly << "\n";
    alarm(30);
    const std::string in = m_path + ": section [extdll";
    EXPECT_THAT(
        CheckExtConfigFile(m_path),
        testing::ElementsAre(in + "]: the library name must be one word",
                             in + "  a]: library 'a' is configured twice", in + " w]: no path",
                             in + " l]: load must be 0 or 1, not 'yes'",
                             in + " m]: cannot read /nonexistent: No such file or directory",
                             in + " f]: " + fifo + " is not a regular file (a FIFO)",
                             in + " d]: " + m_dir + " is not a regular file (a directory)",
                             in + " r]: cannot read " + writeOnly + ": Permission denied"));
    alarm(0);
    EXPECT_THAT(Take(), testing::IsEmpty()) << "nothing loaded";
}

} // namespace
