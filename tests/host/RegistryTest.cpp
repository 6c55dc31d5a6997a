// The registry against real extension libraries and a real store, and the check that loads nothing.
#include <gmock/gmock.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "host/registry/ExtConfigCheck.h"
#include "host/registry/ExtFile.h"
#include "host/registry/ExtImage.h"
#include "hostapi/BFileNV.h"
#include "hostapi/DLLExtAgents.h"
#include "tests/support/EventTestSupport.h"
#include "tests/support/FullDisk.h"
#include "tests/support/Scratch.h"

namespace {

// A user who is neither root nor the test's.
const uid_t kStranger = 65534;

// A directory or a copy of a file at `path`, of that mode and owner.
bool Made(const std::string& path, mode_t mode, uid_t owner)
{
    return mkdir(path.c_str(), 0700) == 0 && chown(path.c_str(), owner, gid_t(-1)) == 0 &&
           chmod(path.c_str(), mode) == 0;
}
bool Copied(const std::string& from, const std::string& path, mode_t mode, uid_t owner)
{
    std::error_code error;
    return std::filesystem::copy_file(from, path, error) &&
           chown(path.c_str(), owner, gid_t(-1)) == 0 && chmod(path.c_str(), mode) == 0;
}

class RegistryTest : public ::testing::Test {
protected:
    RegistryTest() { m_dispatcher.Subscribe(&m_recorder); }
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
    const testsupport::TScratchDir m_scratch;
    const std::string m_dir = m_scratch.Path();
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
        {"[extdll a$(x)]\npath = p\n", "the library name must be one word: 1 to 255 letters"},
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
    // A full disk leaves the store as it was and no temporary; the next commit keeps the order.
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

// A repeated add succeeds and writes nothing; one that configures the name otherwise is refused.
TEST_F(RegistryTest, AnAddRepeatedAsMadeSucceedsWithoutWriting)
{
    ASSERT_TRUE(Configure("# mine\n"));
    ASSERT_EQ(1, m_registry.Load(&m_store));
    ASSERT_EQ(1, m_registry.Add(&m_store, "h", HELLO_LIBRARY, "/w"));
    EXPECT_EQ(0, m_registry.Add(&m_store, "m", "/nonexistent.so", ""));
    Take();
    const std::string written = File();
    // Dated in the past, so that any write, even of the same text, shows.
    const struct timespec past[2] = {{1000, 0}, {1000, 0}};
    ASSERT_EQ(0, utimensat(AT_FDCWD, m_path.c_str(), past, 0));
    const auto unwritten = [this, &written] {
        struct stat st {};
        return stat(m_path.c_str(), &st) == 0 && st.st_mtim.tv_sec == 1000 &&
               st.st_mtim.tv_nsec == 0 && File() == written;
    };

    EXPECT_EQ(1, m_registry.Add(&m_store, "h", HELLO_LIBRARY, "/w"));
    EXPECT_THAT(Take(), testing::IsEmpty()) << "a loaded library is not loaded again";
    EXPECT_TRUE(unwritten());
    EXPECT_EQ(1, m_registry.Unload("h"));
    EXPECT_EQ(1, m_registry.Add(&m_store, "h", HELLO_LIBRARY, "/w"));
    EXPECT_THAT(Take(), testing::ElementsAre("hello: term", "hello: init"));
    // What failed to load the first time fails again, as the first add did.
    EXPECT_EQ(0, m_registry.Add(&m_store, "m", "/nonexistent.so", ""));
    EXPECT_THAT(Take(), testing::ElementsAre(testing::HasSubstr("'m' not loaded: cannot read")));
    EXPECT_TRUE(unwritten());

    const std::string refused = "extension library 'h' not added: that name is configured "
                                "already, with path '" HELLO_LIBRARY "' and web part '/w'";
    EXPECT_EQ(0, m_registry.Add(&m_store, "h", HELLO_LIBRARY, ""));
    EXPECT_EQ(0, m_registry.Add(&m_store, "h", HELLO_LIBRARY, "/w2"));
    EXPECT_EQ(0, m_registry.Add(&m_store, "h", IDLE_LIBRARY, "/w"));
    EXPECT_EQ(0, m_registry.Add(&m_store, "m", "/nonexistent.so", "/w"));
    EXPECT_THAT(Take(), testing::ElementsAre(refused, refused, refused,
                                             "extension library 'm' not added: that name is "
                                             "configured already, with path '/nonexistent.so' "
                                             "and web part ''"));
    EXPECT_TRUE(unwritten());
    EXPECT_EQ("h:1:0:1 m:1:1:0 ", State());
    const ExtAgent* pH = m_registry.ExtAgentAt(0);
    EXPECT_STREQ(HELLO_LIBRARY, pH->path.c_str());
    EXPECT_STREQ("/w", pH->web.c_str());
}

// A changed path or web part is another library: unloaded, then loaded from the new path.
TEST_F(RegistryTest, AReloadAppliesAChangedPathOrWebPart)
{
    ASSERT_TRUE(Configure("[extdll a]\npath = " HELLO_LIBRARY "\n[extdll b]\npath = " IDLE_LIBRARY
                          "\nweb = /w1\n[extdll c]\npath = " IDLE_LIBRARY "\nweb = /c\n"));
    ASSERT_EQ(1, m_registry.Load(&m_store));
    EXPECT_THAT(Take(), testing::ElementsAre("hello: init", "idle: init", "idle: init"));

    ASSERT_TRUE(Configure("[extdll a]\npath = " IDLE_LIBRARY "\n[extdll b]\npath = " IDLE_LIBRARY
                          "\nweb = /w2\n[extdll c]\npath = " IDLE_LIBRARY "\nweb = /c\n"));
    EXPECT_EQ(1, m_registry.Load(&m_store));
    EXPECT_THAT(Take(),
                testing::ElementsAre("hello: term", "idle: term", "idle: init", "idle: init"))
        << "a and b unloaded, then loaded again; c untouched";
    EXPECT_EQ("a:1:0:1 b:1:0:1 c:1:0:1 ", State());
    EXPECT_STREQ(IDLE_LIBRARY, m_registry.ExtAgentAt(0)->path.c_str());
    EXPECT_STREQ("/w2", m_registry.ExtAgentAt(1)->web.c_str());
    EXPECT_EQ(nullptr, dlopen(HELLO_LIBRARY, RTLD_NOW | RTLD_NOLOAD)) << "the old one is mapped";

    // A new path that cannot be loaded leaves the name unloaded, and says so.
    ASSERT_TRUE(Configure("[extdll a]\npath = /nonexistent.so\n[extdll b]\npath = " HELLO_LIBRARY
                          "\nweb = /w2\nload = 0\n[extdll c]\npath = " IDLE_LIBRARY
                          "\nweb = /c\n"));
    EXPECT_EQ(0, m_registry.Load(&m_store));
    EXPECT_THAT(Take(), testing::ElementsAre("idle: term", "idle: term",
                                             testing::HasSubstr("'a' not loaded: cannot read")));
    EXPECT_EQ("a:1:1:0 b:0:3:0 c:1:0:1 ", State());
    // Back to a path that loads: a failed record does not keep its status.
    ASSERT_TRUE(Configure("[extdll a]\npath = " HELLO_LIBRARY "\nload = 0\n"));
    EXPECT_EQ(1, m_registry.Load(&m_store));
    EXPECT_THAT(Take(), testing::ElementsAre("idle: term"));
    EXPECT_EQ("a:0:3:0 ", State());
}

// A hand edit since the file was read is neither overwritten nor taken in without a re-read.
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

// A hand-written header is found by its name, whatever blanks stand before the name.
TEST_F(RegistryTest, DeleteFindsASectionByItsNameWhateverTheBlanks)
{
    const std::string kept = "[extdll a]\npath = " IDLE_LIBRARY "\nload = 0\n";
    ASSERT_TRUE(Configure("[extdll  two]\npath = " IDLE_LIBRARY "\nload = 0\n" + kept +
                          "[extdll\tthree]\npath = " IDLE_LIBRARY "\nload = 0\n"
                          "[ extdll \t four ]\npath = " IDLE_LIBRARY "\nload = 0\n"));
    ASSERT_EQ(1, m_registry.Load(&m_store));
    EXPECT_EQ("two:0:3:0 a:0:3:0 three:0:3:0 four:0:3:0 ", State());
    for (const char* name : {"two", "three", "four"})
        EXPECT_EQ(1, m_registry.Delete(&m_store, name)) << name;
    EXPECT_THAT(Take(), testing::IsEmpty());
    EXPECT_EQ(kept, File());
    ASSERT_EQ(1, m_store.ReadFile(m_path.c_str()));
    ASSERT_EQ(1, m_registry.Load(&m_store));
    EXPECT_EQ("a:0:3:0 ", State()) << "a re-read brings none back";
    // Only the section word followed by blanks counts.
    ASSERT_TRUE(Configure(kept + "[extdlltwo]\npath = /x.so\n"));
    ASSERT_EQ(1, m_registry.Load(&m_store));
    EXPECT_EQ(0, m_registry.Delete(&m_store, "two"));
    EXPECT_EQ(kept + "[extdlltwo]\npath = /x.so\n", File());
}

TEST_F(RegistryTest, CheckReportsEveryProblemAndLoadsNothing)
{
    // A regular file that not even root may read.
    const std::string writeOnly = "/proc/sys/vm/drop_caches";
    EXPECT_THAT(CheckExtConfigFile(m_path),
                testing::ElementsAre("cannot read '" + m_path + "': No such file or directory"));
    std::ofstream(m_path) << "[extdll a]\npath = " HELLO_LIBRARY "\n[extdll a\n";
    EXPECT_THAT(CheckExtConfigFile(m_path),
                testing::ElementsAre(m_path + ":3: section header without ']'"));
    std::ofstream(m_path) << "[other]\nx = 1\n[extdll a]\npath = " HELLO_LIBRARY "\nload = 0\n";
    EXPECT_THAT(CheckExtConfigFile(m_path), testing::IsEmpty());

    const std::string fifo = m_dir + "/fifo";
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    std::ofstream(m_path) << "[extdll a]\npath = " HELLO_LIBRARY "\n[extdll]\npath = p\n"
                          << "[extdll  a]\npath = " HELLO_LIBRARY "\n[extdll w]\nweb = /w\n"
                          << "[extdll l]\npath = /x\nload = yes\n[extdll m]\npath = /nonexistent\n"
                          << "[extdll f]\npath = " << fifo << "\n[extdll d]\npath = " << m_dir
                          << "\n[extdll s]\npath = /\n[extdll r]\npath = " << writeOnly
                          << "\n[extdll b]\npath = libc.so.6\n";
    alarm(30);
    const auto in = [this](int line, const std::string& section) {
        return m_path + ":" + std::to_string(line) + ": section [extdll" + section + "]: ";
    };
    EXPECT_THAT(CheckExtConfigFile(m_path),
                testing::ElementsAre(
                    in(3, "") + "the library name must be one word: 1 to 255 letters (a-z, A-Z), "
                                "digits, '.', '_' or '-', not beginning with '-'",
                    in(5, "  a") + "library 'a' is configured twice", in(7, " w") + "no path",
                    in(11, " l") + "load must be 0 or 1, not 'yes'",
                    in(13, " m") + "cannot read /nonexistent: No such file or directory",
                    in(15, " f") + fifo + " is not a regular file (a FIFO)",
                    in(17, " d") + m_dir + " is not a regular file (a directory)",
                    in(19, " s") + "/ is not a regular file (a directory)",
                    in(21, " r") + "cannot read " + writeOnly + ": Permission denied",
                    in(23, " b") + "libc.so.6 is not a path: give the library's full path "
                                   "(the library search path is not examined, so a bare name is "
                                   "never loaded)"));
    alarm(0);
    EXPECT_THAT(Take(), testing::IsEmpty()) << "nothing loaded";
}

// Every problem at its line, in file order, past malformed lines; other parts' sections left alone.
TEST_F(RegistryTest, CheckNamesEveryProblemAtItsLine)
{
    std::ofstream(m_path)
        << "# murox\nlaod = 0\n[extdll a]\npath = " HELLO_LIBRARY "\nlaod = 0\n"
        << "[extdll b]\nPath = /x\nload = 2\n[extdll a]\npath = /nonexistent\n"
        << "[extdll c\n[other]\nanything = 1\njunk\n[extdll d$]\n"
        << "path = /nonexistent\nweb = w\nx = 1\n[extdll e]\npath = /nonexistent\n";
    const auto at = [this](int line, const std::string& why) {
        return m_path + ":" + std::to_string(line) + ": " + why;
    };
    const std::string known = "' (a library's keys are path, web, load)";
    EXPECT_THAT(
        CheckExtConfigFile(m_path),
        testing::ElementsAre(
            at(2, "key outside any section"),
            at(5, "section [extdll a]: unknown key 'laod" + known),
            at(6, "section [extdll b]: no path"),
            at(7, "section [extdll b]: unknown key 'Path" + known),
            at(8, "section [extdll b]: load must be 0 or 1, not '2'"),
            at(9, "section [extdll a] repeated"), at(11, "section header without ']'"),
            at(14, "expected [section] or key = value"),
            at(15, "section [extdll d$]: the library name must be one word: 1 to 255 letters "
                   "(a-z, A-Z), digits, '.', '_' or '-', not beginning with '-'"),
            at(18, "section [extdll d$]: unknown key 'x" + known),
            at(20, "section [extdll e]: cannot read /nonexistent: No such file or directory")));
    EXPECT_THAT(Take(), testing::IsEmpty()) << "nothing loaded";
}

// An unknown key keeps no file from loading; it is described at its line for the daemon to warn of.
TEST_F(RegistryTest, UnknownKeysAreDescribedAndIgnored)
{
    ASSERT_TRUE(Configure("[extdll a]\npath = " IDLE_LIBRARY "\nlaod = 0\n[other]\nq = 1\n"
                          "[extdll b]\npath = " IDLE_LIBRARY "\nload = 0\nweeb = w\nweb = x\n"));
    ASSERT_EQ(1, m_registry.Load(&m_store));
    EXPECT_EQ("a:1:0:1 b:0:3:0 ", State()) << "a typo of load is not read";
    Take();
    const std::string known = "' (a library's keys are path, web, load)";
    EXPECT_THAT(DescribeUnknownExtKeys(m_store),
                testing::ElementsAre(m_path + ":3: section [extdll a]: unknown key 'laod" + known,
                                     m_path + ":9: section [extdll b]: unknown key 'weeb" + known));
    ASSERT_TRUE(Configure("[extdll a]\npath = " IDLE_LIBRARY "\nweb = w\nload = 1\n[o]\nq = 1\n"));
    EXPECT_THAT(DescribeUnknownExtKeys(m_store), testing::IsEmpty());
}

// What anyone but root or the process's user can change could run code as root: it is not loaded.
TEST_F(RegistryTest, LoadsOnlyWhatNoOneElseCanChange)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "a stranger's files can be made by root only";
    const std::string eve = m_dir + "/eve", open = m_dir + "/open", sticky = m_dir + "/sticky",
                      eveSticky = m_dir + "/evesticky";
    ASSERT_TRUE(Made(eve, 0755, kStranger));
    ASSERT_TRUE(Made(eve + "/sub", 0755, 0));
    ASSERT_TRUE(Made(open, 0777, 0));
    ASSERT_TRUE(Made(sticky, 01777, 0));
    ASSERT_TRUE(Made(eveSticky, 01777, kStranger));
    ASSERT_TRUE(Copied(HELLO_LIBRARY, eve + "/sub/a.so", 0644, 0));
    ASSERT_TRUE(Copied(HELLO_LIBRARY, m_dir + "/b.so", 01664, 0)); // sticky means nothing to a file
    ASSERT_TRUE(Copied(HELLO_LIBRARY, m_dir + "/c.so", 0644, kStranger));
    ASSERT_TRUE(Copied(HELLO_LIBRARY, open + "/d.so", 0644, 0));
    ASSERT_TRUE(Copied(HELLO_LIBRARY, sticky + "/e.so", 0644, kStranger));
    ASSERT_TRUE(Copied(HELLO_LIBRARY, sticky + "/f.so", 0644, 0));
    ASSERT_TRUE(Copied(HELLO_LIBRARY, eveSticky + "/g.so", 0644, 0));
    ASSERT_EQ(0, symlink((eve + "/sub/a.so").c_str(), (m_dir + "/h.so").c_str()));
    ASSERT_EQ(0, symlink("sticky/f.so", (m_dir + "/i.so").c_str()));
    std::string text;
    for (const char* szName : {"a", "b", "c", "d", "e", "f", "g", "h", "i"}) {
        const std::string name = szName;
        const std::string at = name == "a"                  ? "eve/sub/"
                               : name == "d"                ? "open/"
                               : name == "e" || name == "f" ? "sticky/"
                               : name == "g"                ? "evesticky/"
                                                            : "";
        text += "[extdll " + name + "]\npath = " + m_dir + "/" + at + name + ".so\n";
    }
    ASSERT_TRUE(Configure(text));
    EXPECT_EQ(0, m_registry.Load(&m_store));
    EXPECT_EQ("a:1:1:0 b:1:1:0 c:1:1:0 d:1:1:0 e:1:1:0 f:1:0:1 g:1:1:0 h:1:1:0 i:1:0:1 ", State());
    const std::string install = "install the library where only root can change it";
    // Why `path` could be changed by others: `what` belongs to a stranger, or others may write it.
    const auto owned = [&](const std::string& path, const std::string& what, const char* mode) {
        return path + " could be changed by others: the " + what + " belongs to uid 65534, mode " +
               mode + ", not to root; " + install + ", such as /usr/local/lib";
    };
    const auto writable = [&](const std::string& path, const std::string& what,
                              const std::string& at, const char* owner) {
        return path + " could be changed by others: the " + what + " " + at + " (" + owner +
               ") is writable by its group or others; chmod go-w " + at + ", or " + install;
    };
    const std::vector<std::string> why = {
        owned(eve + "/sub/a.so", "directory " + eve, "0755"),
        writable(m_dir + "/b.so", "file", m_dir + "/b.so", "uid 0, mode 1664"),
        owned(m_dir + "/c.so", "file " + m_dir + "/c.so", "0644"),
        writable(open + "/d.so", "directory", open, "uid 0, mode 0777"),
        owned(sticky + "/e.so", "file " + sticky + "/e.so", "0644"),
        owned(eveSticky + "/g.so", "directory " + eveSticky, "1777"),
        owned(m_dir + "/h.so", "directory " + eve, "0755"), // followed; the directory at fault
    };
    const char* names[] = {"a", "b", "c", "d", "e", "g", "h"};
    const char* lines[] = {"2", "4", "6", "8", "10", "14", "16"}; // of their paths
    std::vector<std::string> events, checked;
    for (std::size_t i = 0; i < why.size(); ++i) {
        events.push_back(std::string("extension library '") + names[i] + "' not loaded: " + why[i]);
        checked.push_back(m_path + ":" + lines[i] + ": section [extdll " + names[i] +
                          "]: " + why[i]);
    }
    events.insert(events.begin() + 5, "hello: init");
    events.push_back("hello: init");
    EXPECT_THAT(Take(), testing::ElementsAreArray(events));
    EXPECT_THAT(CheckExtConfigFile(m_path), testing::ElementsAreArray(checked));
}

// The rule is the process's own user's: a shell run by a user loads that user's libraries.
TEST_F(RegistryTest, TheProcesssOwnUserMayLoadItsOwnLibraries)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "a stranger's files can be made by root only";
    ASSERT_EQ(0, chmod(m_dir.c_str(), 0755));
    const std::string own = m_dir + "/own", mine = own + "/mine.so", roots = m_dir + "/root.so",
                      shared = m_dir + "/shared.so";
    ASSERT_TRUE(Made(own, 0755, kStranger));
    ASSERT_TRUE(Copied(HELLO_LIBRARY, mine, 0644, kStranger));
    ASSERT_TRUE(Copied(HELLO_LIBRARY, roots, 0644, 0));
    ASSERT_TRUE(Copied(HELLO_LIBRARY, shared, 0664, 0));
    const pid_t child = fork();
    ASSERT_NE(-1, child);
    if (child == 0) {
        std::string why;
        const bool ok = seteuid(kStranger) == 0 && OpenExtFile(mine, why).Valid() &&
                        OpenExtFile(roots, why).Valid() && !OpenExtFile(shared, why).Valid() &&
                        why.find("chmod go-w " + shared +
                                 ", or install the library where only "
                                 "root or uid 65534 can change it") != std::string::npos;
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "as uid 65534";
    std::string why;
    EXPECT_FALSE(OpenExtFile(mine, why).Valid()) << "root takes uid 65534's library";
    EXPECT_THAT(why, testing::HasSubstr("the directory " + own + " belongs to uid 65534"));
}

// The file loaded is the one examined: one put in its place afterwards, even a FIFO, is not opened.
TEST_F(RegistryTest, WhatWasCheckedIsWhatIsLoaded)
{
    const std::string path = m_dir + "/lib.so", other = m_dir + "/other.so", fifo = m_dir + "/fifo";
    ASSERT_TRUE(Copied(HELLO_LIBRARY, path, 0644, geteuid()));
    ASSERT_TRUE(Copied(IDLE_LIBRARY, other, 0644, geteuid()));
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    std::string why;
    BFd fd = OpenExtFile(path, why);
    ASSERT_TRUE(fd.Valid()) << why;
    ASSERT_EQ(0, rename(other.c_str(), path.c_str()));
    TExtImage image;
    EXPECT_EQ(0, LoadExtImage(fd.Get(), path, image, why)) << why;
    EXPECT_TRUE(CloseExtImage(image, why)) << why;
    EXPECT_THAT(Take(), testing::ElementsAre("hello: init", "hello: term"));

    fd = OpenExtFile(path, why);
    ASSERT_TRUE(fd.Valid()) << why;
    ASSERT_EQ(0, rename(fifo.c_str(), path.c_str()));
    alarm(30);
    EXPECT_EQ(0, LoadExtImage(fd.Get(), path, image, why)) << why;
    alarm(0);
    EXPECT_TRUE(CloseExtImage(image, why)) << why;
    EXPECT_THAT(Take(), testing::ElementsAre("idle: init", "idle: term"));
}

// The loader is given a descriptor's name; what it says names the path.
TEST_F(RegistryTest, ReasonsNameTheConfiguredPath)
{
    const std::string text = m_dir + "/text.so";
    std::ofstream(text) << std::string(4096, 'x');
    ASSERT_TRUE(Configure("[extdll t]\npath = " + text +
                          "\n[extdll n]\npath = " + UNLOADED_NO_ENTRY_LIBRARY + "\n"));
    EXPECT_EQ(0, m_registry.Load(&m_store));
    EXPECT_EQ("t:1:1:0 n:1:2:0 ", State());
    const auto named = [](const std::string& lead) {
        return testing::AllOf(testing::StartsWith(lead), testing::Not(testing::HasSubstr("/proc")));
    };
    EXPECT_THAT(Take(),
                testing::ElementsAre(
                    named("extension library 't' not loaded: dlopen failed: " + text + ": "),
                    named("extension library 'n' not loaded: " UNLOADED_NO_ENTRY_LIBRARY
                          " lacks an entry point: " UNLOADED_NO_ENTRY_LIBRARY
                          ": undefined symbol: MuroxExtInit")));
}

// Names are shown, logged, typed and completed: only characters no shell or terminal acts on.
TEST_F(RegistryTest, NamesHoldOnlyCharactersNoShellOrTerminalActsOn)
{
    const std::string kept = "[extdll a]\npath = " IDLE_LIBRARY "\nload = 0\n";
    ASSERT_TRUE(Configure(kept));
    ASSERT_EQ(1, m_registry.Load(&m_store));
    std::vector<std::string> refused = {"a`id`", "a;b", "a|b",      "a'b",   "a/b",        "a*",
                                        "~a",    "-l",  "a\x1b[2J", "a\x7f", "caf\xc3\xa9"};
    refused.insert(refused.end(), {"h$(touch${IFS}" + m_dir + "/made)",
                                   std::string("a\xe2\x80\xae") + "b", std::string(256, 'n')});
    for (const std::string& name : refused) {
        EXPECT_EQ(0, m_registry.Add(&m_store, name.c_str(), IDLE_LIBRARY, "")) << name;
        const std::vector<std::string> events = Take();
        ASSERT_EQ(1U, events.size()) << name;
        EXPECT_THAT(events[0],
                    testing::EndsWith("' not added: a name is 1 to 255 letters (a-z, A-Z), digits, "
                                      "'.', '_' or '-', not beginning with '-'"));
        // Shown, never obeyed, in the record.
        EXPECT_EQ(std::string::npos, events[0].find_first_of("\x1b\x7f"));
        EXPECT_EQ(std::string::npos, events[0].find("\xe2\x80\xae"));
    }
    EXPECT_EQ(kept, File()) << "nothing written";
    EXPECT_EQ("a:0:3:0 ", State());
    EXPECT_FALSE(std::filesystem::exists(m_dir + "/made"));
    for (const std::string& name :
         {std::string("Z9"), std::string("a.b_c-d"), std::string("1"), std::string(255, 'n')}) {
        // Added (and not loaded: the path leads nowhere).
        m_registry.Add(&m_store, name.c_str(), "/nonexistent.so", "");
        EXPECT_EQ(1, m_registry.Exist(name.c_str())) << name;
        EXPECT_NE(std::string::npos, File().find("[extdll " + name + "]")) << name;
    }
    EXPECT_THAT(Take(),
                testing::Each(testing::HasSubstr("' not loaded: cannot read /nonexistent.so")));
    // Written by hand, such a name is found by the check, with its line.
    std::ofstream(m_path) << "[extdll ok]\npath = " IDLE_LIBRARY "\n\n# mine\n  [ extdll a$(x) ]\n"
                          << "path = " IDLE_LIBRARY "\n[extdll b\xe2\x80\xae"
                             "c]\npath = /p\n";
    EXPECT_THAT(CheckExtConfigFile(m_path),
                testing::ElementsAre(
                    m_path + ":5: section [extdll a$(x)]: the library name must be one word: "
                             "1 to 255 letters (a-z, A-Z), digits, '.', '_' or '-', not beginning "
                             "with '-'",
                    m_path + ":7: section [extdll b\xe2\x80\xae"
                             "c]: the library name must be "
                             "one word: 1 to 255 letters (a-z, A-Z), digits, '.', '_' or '-', not "
                             "beginning with '-'"));
}

} // namespace
