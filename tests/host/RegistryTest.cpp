// The registry against real extension libraries and a real store, and the check that loads nothing.
#include <gmock/gmock.h>

#include <filesystem>
#include <fstream>

#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include "host/registry/ExtConfigCheck.h"
#include "host/registry/ExtDirs.h"
#include "host/registry/ExtElf.h"
#include "host/registry/ExtFile.h"
#include "host/registry/ExtImage.h"
#include "hostapi/BFileNV.h"
#include "hostapi/DLLExtAgents.h"
#include "tests/support/EventTestSupport.h"
#include "tests/support/Scratch.h"

namespace {

using testing::ElementsAre;
using testing::HasSubstr;
using testing::StartsWith;

// A user who is neither root nor the test's.
const uid_t kStranger = 65534;
const char kOff[] = "load = 0\n";

// A library's section: `name` at `path`, `szMore` lines after.
std::string Ext(const std::string& name, const std::string& path, const char* szMore = "")
{
    return "[extdll " + name + "]\npath = " + path + "\n" + szMore;
}

// A directory or a copy of a file at `path`, of that mode and owner.
bool Made(const std::string& path, mode_t mode, uid_t owner)
{
    return mkdir(path.c_str(), 0700) == 0 && chown(path.c_str(), owner, gid_t(-1)) == 0 &&
           chmod(path.c_str(), mode) == 0;
}
bool Copied(const std::string& from, const std::string& path, mode_t mode, uid_t owner)
{
    std::error_code error;
    // Over what an interrupted run left.
    return std::filesystem::copy_file(from, path, std::filesystem::copy_options::overwrite_existing,
                                      error) &&
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
    std::string File() const { return testsupport::Contents(m_path); }
    // The events logged since the last call.
    std::vector<std::string> Take() { return std::exchange(m_events, {}); }

    std::vector<std::string> m_events;
    eventlog_test::TRecorder m_recorder{&m_events};
    KAF::BMessageDispatcher m_dispatcher;
    eventlog_test::TInstanceScope m_scope{&m_dispatcher};
    const testsupport::TScratchDir m_scratch;
    const std::string m_dir = m_scratch.Path();
    const std::string m_path = m_dir + "/murox.conf";
    // Where a test run as root may load from: the test libraries' directories and the scratch one.
    const std::string m_dirs = "[murox]\nextension_dirs = " EXTENSION_DIRS ":" + m_dir + "\n";
    KAF::BFileNV m_store;
    DLLExtAgents m_registry;
};

// One that cannot be loaded or started says why, naming the configured path, and is closed again.
// An unknown key keeps no library from loading; it is described at its line for the daemon to warn
// of.
TEST_F(RegistryTest, ALibraryLoadsOrSaysWhyAndIsClosedAgain)
{
    const std::string text = m_dir + "/text.so", foreign = m_dir + "/foreign.so";
    std::ofstream(text) << std::string(4096, 'x');
    // An extension of the other class and byte order than this process's.
    ASSERT_TRUE(Copied(sizeof(void*) == 8 ? ELF_SEEDS "/extension-32-big.so"
                                          : ELF_SEEDS "/extension-64-little.so",
                       foreign, 0644, geteuid()));
    // A header alone of this process's class and machine, in the other byte order.
    const std::string swapped = m_dir + "/swapped.so";
    std::string header(sizeof(void*) == 8 ? 64 : 52, '\0');
    header.replace(0, SELFMAG, ELFMAG);
    header[EI_CLASS] = sizeof(void*) == 8 ? ELFCLASS64 : ELFCLASS32;
    const bool big = __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__;
    header[EI_DATA] = big ? ELFDATA2LSB : ELFDATA2MSB;
    for (const auto& [at, value] :
         {std::pair<int, unsigned>{16, ET_DYN}, {18, OwnElfKind().machine}})
        header[at + !big] = char(value & 0xff), header[at + big] = char(value >> 8);
    std::ofstream(swapped) << header;
    // $ORIGIN of a library that needs it turned into a relative element.
    const std::string relative = m_dir + "/relative.so";
    std::string image = testsupport::Contents(ORIGIN_LIBRARY);
    ASSERT_NE(std::string::npos, image.find("$ORIGIN"));
    std::ofstream(relative) << image.replace(image.find("$ORIGIN"), 7, "ORIGIN/");
    ASSERT_TRUE(Configure(
        m_dirs + Ext("a", HELLO_LIBRARY, "laod = 0\n[other]\nq = 1\n") + Ext("b", BROKEN_LIBRARY) +
        Ext("c", NO_ENTRY_LIBRARY) + Ext("n", UNLOADED_NO_ENTRY_LIBRARY) + Ext("t", text) +
        Ext("o", ORIGIN_LIBRARY) + Ext("k", foreign) + Ext("e", swapped) + Ext("r", relative)));
    EXPECT_EQ(0, m_registry.Load(&m_store));
    EXPECT_EQ("a:1:0:1 b:1:2:0 c:1:2:0 n:1:2:0 t:1:1:0 o:1:0:1 k:1:1:0 e:1:1:0 r:1:1:0 ", State())
        << "a typo of load is not read; $ORIGIN is the library's directory";
    EXPECT_THAT(DescribeUnknownExtKeys(m_store),
                ElementsAre(m_path + ":5: section [extdll a]: unknown key 'laod' (a library's keys "
                                     "are path, web, load)"));
    // What is no extension is refused before a byte of it runs: n's constructor would end the test.
    const std::string lacks = " lacks an entry point: ", no = " is not an extension library: ";
    EXPECT_THAT(
        Take(),
        ElementsAre(
            "hello: init", testing::StartsWith("broken: init refuses"),
            "extension library 'b' not loaded: MuroxExtInit of " BROKEN_LIBRARY " reported failure",
            StartsWith("extension library 'c' not loaded: " NO_ENTRY_LIBRARY + lacks),
            StartsWith("extension library 'n' not loaded: " UNLOADED_NO_ENTRY_LIBRARY + lacks),
            "extension library 't' not loaded: " + text + no + "not an ELF file",
            StartsWith("extension library 'k' not loaded: " + foreign + no + "it is "),
            StartsWith("extension library 'e' not loaded: " + swapped + no + "it is "),
            StartsWith("extension library 'r' not loaded: " + relative +
                       " has the run path element 'ORIGIN/': only absolute")));
    void* pHello = dlopen(HELLO_LIBRARY, RTLD_NOW | RTLD_NOLOAD);
    EXPECT_NE(nullptr, pHello) << "a loaded library is mapped";
    if (pHello != nullptr)
        dlclose(pHello);
    EXPECT_EQ(nullptr, dlopen(BROKEN_LIBRARY, RTLD_NOW | RTLD_NOLOAD)) << "still mapped";
    EXPECT_EQ(nullptr, dlopen(UNLOADED_NO_ENTRY_LIBRARY, RTLD_NOW | RTLD_NOLOAD)) << "mapped";
}

TEST_F(RegistryTest, FollowsTheConfigurationAndLoadsEachLibraryOnce)
{
    ASSERT_TRUE(Configure(m_dirs + Ext("a", HELLO_LIBRARY) + Ext("b", IDLE_LIBRARY, kOff) +
                          Ext("c", IDLE_LIBRARY, kOff)));
    EXPECT_EQ(1, m_registry.Load(&m_store));
    EXPECT_THAT(Take(), ElementsAre("hello: init"));
    // Reordered: b is gone, c is to be loaded now, a stays loaded, d is new.
    ASSERT_TRUE(Configure(m_dirs + Ext("c", IDLE_LIBRARY) + Ext("a", HELLO_LIBRARY) +
                          Ext("d", HELLO_LIBRARY, kOff)));
    EXPECT_EQ(1, m_registry.Load(&m_store));
    EXPECT_THAT(Take(), ElementsAre("idle: init"));
    EXPECT_EQ("c:1:0:1 a:1:0:1 d:0:3:0 ", State());
    EXPECT_EQ(0, m_registry.Exist("b"));
    EXPECT_EQ(0, m_registry.Unload("b"));
    EXPECT_EQ(1, m_registry.Unload("a"));
    EXPECT_THAT(Take(), ElementsAre("no extension library 'b' is configured", "hello: term"));
    // Every name is still found after one in the middle is deleted.
    EXPECT_EQ(1, m_registry.Delete(&m_store, "a"));
    EXPECT_EQ(0, m_registry.Exist("a"));
    EXPECT_EQ(1, m_registry.Load(KAF::BString("d")));
    EXPECT_EQ(1, m_registry.Unload("c"));
    EXPECT_EQ(1, m_registry.Add(&m_store, "a", IDLE_LIBRARY, ""));
    EXPECT_EQ(1, m_registry.Exist("a"));
    EXPECT_THAT(Take(), ElementsAre("hello: init", "idle: term", "idle: init"));
    EXPECT_EQ("c:1:3:0 d:0:0:1 a:1:0:1 ", State());
}

// A changed path or web part is another library: unloaded, then loaded from the new path.
TEST_F(RegistryTest, AReloadAppliesAChangedPathOrWebPart)
{
    // c comes first and stays as it is.
    const std::string c = m_dirs + Ext("c", IDLE_LIBRARY, "web = /c\n");
    ASSERT_TRUE(Configure(c + Ext("a", HELLO_LIBRARY) + Ext("b", IDLE_LIBRARY, "web = /w1\n")));
    ASSERT_EQ(1, m_registry.Load(&m_store));
    Take();
    ASSERT_TRUE(Configure(c + Ext("a", IDLE_LIBRARY) + Ext("b", IDLE_LIBRARY, "web = /w2\n")));
    EXPECT_EQ(1, m_registry.Load(&m_store));
    EXPECT_THAT(Take(), ElementsAre("hello: term", "idle: term", "idle: init", "idle: init"))
        << "a and b unloaded, then loaded again; c untouched";
    EXPECT_EQ("c:1:0:1 a:1:0:1 b:1:0:1 ", State());
    EXPECT_STREQ(IDLE_LIBRARY, m_registry.ExtAgentAt(1)->path.c_str());
    EXPECT_STREQ("/w2", m_registry.ExtAgentAt(2)->web.c_str());
    EXPECT_EQ(nullptr, dlopen(HELLO_LIBRARY, RTLD_NOW | RTLD_NOLOAD)) << "the old one is mapped";
    // A new path that cannot be loaded leaves the name unloaded, and says so.
    ASSERT_TRUE(Configure(c + Ext("a", "/nonexistent.so") +
                          Ext("b", HELLO_LIBRARY, "web = /w2\nload = 0\n")));
    EXPECT_EQ(0, m_registry.Load(&m_store));
    EXPECT_THAT(Take(),
                ElementsAre("idle: term", "idle: term", HasSubstr("'a' not loaded: cannot read")));
    EXPECT_EQ("c:1:0:1 a:1:1:0 b:0:3:0 ", State());
    // Back to a path that loads: a failed record does not keep its status. c is gone: unloaded.
    ASSERT_TRUE(Configure(m_dirs + Ext("a", HELLO_LIBRARY, kOff)));
    EXPECT_EQ(1, m_registry.Load(&m_store));
    EXPECT_THAT(Take(), ElementsAre("idle: term"));
    EXPECT_EQ("a:0:3:0 ", State());
}

// Repeated as made, an add succeeds without writing, so that a deploy step can run twice.
TEST_F(RegistryTest, AddWritesTheFileOnceAndRefusesWhatItCannotKeep)
{
    ASSERT_TRUE(Configure("# kept apart\n" + m_dirs + "x = 1\n"));
    ASSERT_EQ(1, m_registry.Load(&m_store));
    EXPECT_EQ(1, m_registry.Add(&m_store, "h", HELLO_LIBRARY, "/w"));
    EXPECT_EQ(0, m_registry.Add(&m_store, "e", "", ""));
    EXPECT_EQ(0, m_registry.Add(&m_store, "m", "/nonexistent.so", "")); // added, not loaded
    EXPECT_THAT(Take(), ElementsAre("hello: init", "extension library 'e' not added: no path",
                                    HasSubstr("'m' not loaded: cannot read")));
    // A hand edit since the file was read is neither overwritten nor taken in without a re-read.
    std::ofstream(m_path, std::ios::app) << "[extdll hand]\npath = /by/hand.so\nload = 0\n";
    const std::string edited = File();
    EXPECT_EQ(0, m_registry.Add(&m_store, "f", IDLE_LIBRARY, ""));
    EXPECT_EQ(0, m_registry.Delete(&m_store, "h"));
    const std::string changed = ": cannot write '" + m_path + "': the file changed on disk";
    EXPECT_THAT(Take(), ElementsAre(StartsWith("extension library 'f' not added" + changed),
                                    StartsWith("extension library 'h' not deleted" + changed)));
    EXPECT_EQ(edited, File());
    EXPECT_EQ(0, m_registry.Exist("f")) << "a name not added is not found";
    EXPECT_EQ(3, m_store.SectionCount()) << "the edit was taken in unseen";
    // Re-read, the edit is followed and kept; the store is as it was, and the order too.
    ASSERT_EQ(1, m_store.ReadFile(m_path.c_str()));
    m_registry.Load(&m_store);
    EXPECT_EQ(1, m_registry.Add(&m_store, "i", IDLE_LIBRARY, ""));
    const std::string written = "# kept apart\n" + m_dirs + "x = 1\n\n" +
                                Ext("h", HELLO_LIBRARY, "web = /w\nload = 1\n\n") +
                                Ext("m", "/nonexistent.so", "web = \nload = 1\n") +
                                Ext("hand", "/by/hand.so", "load = 0\n\n") +
                                Ext("i", IDLE_LIBRARY, "web = \nload = 1\n");
    EXPECT_EQ(written, File());
    Take();
    // Dated in the past, so that any write, even of the same text, shows.
    const struct timespec past[2] = {{1000, 0}, {1000, 0}};
    ASSERT_EQ(0, utimensat(AT_FDCWD, m_path.c_str(), past, 0));
    EXPECT_EQ(1, m_registry.Add(&m_store, "h", HELLO_LIBRARY, "/w"));
    EXPECT_THAT(Take(), testing::IsEmpty()) << "a loaded library is not loaded again";
    EXPECT_EQ(1, m_registry.Unload("h"));
    EXPECT_EQ(1, m_registry.Add(&m_store, "h", HELLO_LIBRARY, "/w"));
    EXPECT_EQ(0, m_registry.Add(&m_store, "m", "/nonexistent.so", "")) << "fails as at first";
    EXPECT_THAT(Take(), ElementsAre("hello: term", "hello: init",
                                    HasSubstr("'m' not loaded: cannot read")));
    // One that would configure the name otherwise is refused: that takes a delete.
    const std::string refused = "extension library 'h' not added: that name is configured "
                                "already, with path '" HELLO_LIBRARY "' and web part '/w'";
    EXPECT_EQ(0, m_registry.Add(&m_store, "h", IDLE_LIBRARY, "/w"));
    EXPECT_EQ(0, m_registry.Add(&m_store, "h", HELLO_LIBRARY, ""));
    EXPECT_EQ(0, m_registry.Add(&m_store, "h", HELLO_LIBRARY, "/w2"));
    EXPECT_THAT(Take(), ElementsAre(refused, refused, refused));
    struct stat st {};
    EXPECT_TRUE(stat(m_path.c_str(), &st) == 0 && st.st_mtim.tv_sec == 1000 &&
                st.st_mtim.tv_nsec == 0 && File() == written);
    EXPECT_EQ("h:1:0:1 m:1:1:0 hand:0:3:0 i:1:0:1 ", State());
    EXPECT_STREQ("/w", m_registry.ExtAgentAt(0)->web.c_str()) << "each refusal names what is kept";
}

// A hand-written header is found by its name, whatever blanks stand before the name. A
// configuration the registry does not follow changes nothing, and nothing is written over it.
TEST_F(RegistryTest, DeleteFindsItsSectionAndWritesOnlyAFileItFollows)
{
    const std::string kept = Ext("a", IDLE_LIBRARY);
    ASSERT_TRUE(Configure(m_dirs + Ext(" two", IDLE_LIBRARY, kOff) + kept +
                          "[extdll\tthree]\npath = " IDLE_LIBRARY "\nload = 0\n"
                          "[ extdll \t four ]\npath = " IDLE_LIBRARY "\nload = 0\n"));
    ASSERT_EQ(1, m_registry.Load(&m_store));
    EXPECT_EQ("two:0:3:0 a:1:0:1 three:0:3:0 four:0:3:0 ", State());
    for (const char* name : {"two", "three", "four"})
        EXPECT_EQ(1, m_registry.Delete(&m_store, name)) << name;
    EXPECT_THAT(Take(), ElementsAre("idle: init"));
    EXPECT_EQ(m_dirs + kept, File());
    // Only the section word followed by blanks counts.
    ASSERT_TRUE(Configure(m_dirs + kept + "[extdlltwo]\npath = /x.so\n"));
    ASSERT_EQ(1, m_registry.Load(&m_store));
    EXPECT_EQ(0, m_registry.Delete(&m_store, "two"));
    EXPECT_EQ(m_dirs + kept + "[extdlltwo]\npath = /x.so\n", File());
    Take();
    const std::pair<std::string, const char*> cases[] = {
        {"[extdll a]\nweb = w\n", "section [extdll a]: no path"},
        {"[extdll a\n", "line 1: section header without ']'"},
    };
    for (const auto& [text, reason] : cases) {
        Configure(text);
        EXPECT_EQ(0, m_registry.Load(&m_store)) << text;
        EXPECT_EQ(0, m_registry.Add(&m_store, "n", IDLE_LIBRARY, "")) << text;
        EXPECT_EQ(0, m_registry.Delete(&m_store, "a")) << text;
        EXPECT_THAT(Take(), ElementsAre(HasSubstr(reason),
                                        HasSubstr("'n' not added: the configuration store reports"),
                                        HasSubstr("'a' not deleted: the configuration store")));
        EXPECT_EQ(text, File());
        EXPECT_EQ("a:1:0:1 ", State()) << text;
    }
    // Fixed and read again, the file is followed again: no refusal lingers.
    ASSERT_TRUE(Configure(m_dirs + kept) && m_registry.Load(&m_store) == 1);
    EXPECT_TRUE(m_registry.Add(&m_store, "n", IDLE_LIBRARY, "") &&
                m_registry.Delete(&m_store, "n"));
}

// Every problem at its line, in file order, past malformed lines; other parts' sections left alone.
TEST_F(RegistryTest, CheckNamesEveryProblemAtItsLineAndLoadsNothing)
{
    EXPECT_THAT(CheckExtConfigFile(m_path),
                ElementsAre("cannot read '" + m_path + "': No such file or directory"));
    const std::string fifo = m_dir + "/fifo";
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    // A regular file that not even root may read.
    const std::string writeOnly = "/proc/sys/vm/drop_caches";
    // Each line of the file, and how the problem found at it starts.
    const std::pair<std::string, std::string> lines[] = {
        {"laod = 0", "key outside any section"},
        {"[extdll a]", ""},
        {"path = " HELLO_LIBRARY, ""},
        {"web = /w", ""},
        {"laod = 0",
         "section [extdll a]: unknown key 'laod' (a library's keys are path, web, load)"},
        {"[extdll b]", "section [extdll b]: no path"},
        {"Path = /x", "section [extdll b]: unknown key 'Path'"},
        {"load = 2", "section [extdll b]: load must be 0 or 1, not '2'"},
        {"[extdll a]", "section [extdll a] repeated"},
        {"[extdll  a]", "section [extdll  a]: library 'a' is configured twice"},
        {"path = /nonexistent", ""},
        {"[extdll c", "section header without ']'"},
        {"[other]", ""},
        {"anything = 1", ""},
        {"junk", "expected [section] or key = value"},
        {"[extdll]", "section [extdll]: the library name must be one word: 1 to 255 letters"},
        {"path = /p", ""},
        {"  [ extdll d$(x) ]", "section [extdll d$(x)]: the library name must be one word"},
        {"path = /nonexistent", ""},
        {"x = 1", "section [extdll d$(x)]: unknown key 'x'"},
        {"[extdll e]", ""},
        {"path = /nonexistent", "section [extdll e]: cannot read /nonexistent: No such file"},
        {"[extdll f]", ""},
        {"path = " + fifo, "section [extdll f]: " + fifo + " is not a regular file (a FIFO)"},
        {"[extdll s]", ""},
        {"path = /", "section [extdll s]: / is not a regular file (a directory)"},
        {"[extdll n]", ""},
        {"path = /dev/null", "section [extdll n]: /dev/null is not a regular file (a character"},
        {"[extdll r]", ""},
        {"path = " + writeOnly,
         "section [extdll r]: cannot read " + writeOnly + ": Permission denied"},
        {"[extdll l]", ""},
        {"path = libc.so.6",
         "section [extdll l]: libc.so.6 is not a path: give the library's full"},
        {"[murox]", ""},
        {"extension_dirs = " EXTENSION_DIRS ":lib",
         "section [murox]: extension_dirs names 'lib': each directory must be an absolute path"},
    };
    std::ofstream file(m_path);
    std::vector<testing::Matcher<std::string>> problems;
    for (std::size_t i = 0; i < std::size(lines); ++i) {
        file << lines[i].first << '\n';
        if (!lines[i].second.empty())
            problems.push_back(
                StartsWith(m_path + ":" + std::to_string(i + 1) + ": " + lines[i].second));
    }
    file.close();
    alarm(30); // dlopen would wait for a writer on a FIFO; it may not be opened.
    EXPECT_THAT(CheckExtConfigFile(m_path), testing::ElementsAreArray(problems));
    alarm(0);
    EXPECT_THAT(Take(), testing::IsEmpty()) << "nothing loaded";
}

// What anyone but root or the process's user can change could run code as root: it is not loaded,
// nor a library outside the extension directories, nor one whose dependencies a stranger provides.
TEST_F(RegistryTest, LoadsOnlyWhatNoOneElseButItsUserCanChange)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "a stranger's files can be made by root only";
    const testsupport::TScratchDir elsewhere;
    const std::string eve = m_dir + "/eve", open = m_dir + "/open", sticky = m_dir + "/sticky",
                      eveSticky = m_dir + "/evesticky", far = FAR_DIR,
                      lib = elsewhere.Path() + "/lib", gone = elsewhere.Path() + "/gone",
                      named = EXTENSION_DIRS ":" + eve + ":" + m_dir + ":" + lib + ":" + gone;
    ASSERT_TRUE(Made(eve, 0755, kStranger) && Made(eve + "/sub", 0755, 0) && Made(open, 0777, 0) &&
                Made(lib, 0755, 0) && Made(lib + "x", 0755, 0) && Made(sticky, 01777, 0) &&
                Made(eveSticky, 01777, kStranger) &&
                (Made(far, 0755, kStranger) || chown(far.c_str(), kStranger, gid_t(-1)) == 0) &&
                Copied(DEPENDENCY,
                       far + "/" + std::filesystem::path(DEPENDENCY).filename().string(), 0644,
                       kStranger));
    // Each reason starts with the place at fault, its owner and mode, then says what to do.
    const std::string changed = " could be changed by others: the ";
    const std::string owned = " belongs to uid 65534, mode ",
                      notRoot = ", not to root; install the library where only root can change it";
    const auto writable = [](const std::string& at, const char* mode) {
        return at + " (uid 0, mode " + mode + ") is writable by its group or others; chmod go-w " +
               at + ", or ";
    };
    std::string dirs;
    for (const std::string& dir : DefaultExtDirs())
        dirs += dir + ", ";
    for (auto& c : named)
        dirs += c == ':' ? std::string(", ") : std::string(1, c);
    // The library's path, the file it links to (none: a copy of that mode and owner; "-": as it
    // is), and how the reason it may not be loaded starts.
    struct {
        std::string path, link;
        mode_t mode;
        uid_t owner;
        std::string why;
    } const cases[] = {
        {eve + "/sub/a.so", "", 0644, 0, changed + "directory " + eve + owned + "0755" + notRoot},
        // The sticky bit means nothing to a file.
        {m_dir + "/b.so", "", 01664, 0, changed + "file " + writable(m_dir + "/b.so", "1664")},
        {m_dir + "/c.so", "", 0644, kStranger,
         changed + "file " + m_dir + "/c.so" + owned + "0644" + notRoot},
        {open + "/d.so", "", 0644, 0, changed + "directory " + writable(open, "0777")},
        {sticky + "/e.so", "", 0644, kStranger,
         changed + "file " + sticky + "/e.so" + owned + "0644" + notRoot},
        {sticky + "/f.so", "", 0644, 0, ""},
        {eveSticky + "/g.so", "", 0644, 0,
         changed + "directory " + eveSticky + owned + "1777" + notRoot},
        // Followed as written; the directory or link at fault.
        {m_dir + "/h.so", eve + "/sub/a.so", 0, 0,
         changed + "directory " + eve + owned + "0755" + notRoot},
        {m_dir + "/i.so", "sticky/f.so", 0, 0, ""},
        {m_dir + "/j.so", "sticky/f.so", 0, kStranger,
         changed + "symbolic link " + m_dir + "/j.so" + owned + "0777" + notRoot},
        {eve + "/k.so", sticky + "/f.so", 0, kStranger,
         changed + "directory " + eve + owned + "0755" + notRoot},
        // Beside an extension directory, of a name that starts with its name, is not in it.
        {lib + "x/l.so", "", 0644, 0,
         " is not in an extension directory (" + dirs + "): root loads libraries from those alone"},
        {FAR_LIBRARY, "-", 0, 0,
         "'s run path element " + far + changed + "directory " + far + owned +
             "0755, not to root; keep"},
    };
    const std::string refusedDir = "the extension directory " + eve + changed + "directory " + eve +
                                   owned + "0755, not to root; name";
    const std::string missing = "cannot read the extension directory " + gone + ": No such file";
    std::string text = "[murox]\nextension_dirs = " + named + "\n";
    std::vector<testing::Matcher<std::string>> events = {
        testing::AllOf(StartsWith(refusedDir), HasSubstr("; nothing is loaded from it")),
        StartsWith(missing)};
    std::vector<testing::Matcher<std::string>> checked = {
        StartsWith(m_path + ":2: section [murox]: " + refusedDir),
        StartsWith(m_path + ":2: section [murox]: " + missing)};
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        ASSERT_TRUE(c.link == "-" ||
                    (c.link.empty() ? Copied(HELLO_LIBRARY, c.path, c.mode, c.owner)
                                    : symlink(c.link.c_str(), c.path.c_str()) == 0 &&
                                          lchown(c.path.c_str(), c.owner, gid_t(-1)) == 0));
        const std::string name = "x" + std::to_string(i);
        text += "[extdll " + name + "]\npath = " + c.path + "\n";
        events.push_back(StartsWith(c.why.empty() ? "hello: init"
                                                  : "extension library '" + name +
                                                        "' not loaded: " + c.path + c.why));
        if (!c.why.empty())
            checked.push_back(StartsWith(m_path + ":" + std::to_string(2 * i + 4) +
                                         ": section [extdll " + name + "]: " + c.path + c.why));
    }
    ASSERT_TRUE(Configure(text));
    EXPECT_EQ(0, m_registry.Load(&m_store));
    EXPECT_THAT(Take(), testing::ElementsAreArray(events));
    EXPECT_THAT(CheckExtConfigFile(m_path), testing::ElementsAreArray(checked));
    std::filesystem::remove_all(far);
    // Found, never opened: a FIFO or a device node in place of a library.
    const std::string fifo = m_dir + "/fifo.so", device = m_dir + "/null.so";
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0644));
    ASSERT_EQ(0, mknod(device.c_str(), S_IFCHR | 0644, makedev(1, 3)));
    const BFd watch(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    ASSERT_TRUE(inotify_add_watch(watch.Get(), fifo.c_str(), IN_OPEN) >= 0 &&
                inotify_add_watch(watch.Get(), device.c_str(), IN_OPEN) >= 0);
    ASSERT_TRUE(
        Configure(m_dirs + "[extdll p]\npath = " + fifo + "\n[extdll q]\npath = " + device));
    EXPECT_EQ(0, m_registry.Load(&m_store));
    EXPECT_THAT(CheckExtConfigFile(m_path), testing::SizeIs(2));
    EXPECT_THAT(Take(), ElementsAre("hello: term", "hello: term", HasSubstr("(a FIFO)"),
                                    HasSubstr("(a character device)")));
    char event[256];
    EXPECT_EQ(-1, read(watch.Get(), event, sizeof event)) << "opened";
    // A file that others could change is said to be, clean as it is otherwise.
    ASSERT_TRUE(Configure(m_dirs) && chmod(m_path.c_str(), 0664) == 0);
    EXPECT_THAT(CheckExtConfigFile(m_path),
                ElementsAre(HasSubstr(" could be changed by others: the file " + m_path)));
    ASSERT_EQ(0, chmod(m_path.c_str(), 0644));
    // The rule is the process's own user's: a shell run by a user loads that user's libraries.
    ASSERT_EQ(0, chmod(m_dir.c_str(), 0755));
    const pid_t child = fork();
    ASSERT_NE(-1, child);
    if (child == 0) {
        std::string why;
        TExtFile file;
        const TExtDirs anywhere;
        const bool ok = seteuid(kStranger) == 0 &&
                        OpenExtFile(m_dir + "/c.so", anywhere, file, why) == 0 &&
                        OpenExtFile(eve + "/sub/a.so", anywhere, file, why) == 0 &&
                        OpenExtFile(m_dir + "/b.so", anywhere, file, why) != 0 &&
                        why.find("chmod go-w " + m_dir +
                                 "/b.so, or install the library where only root or uid 65534 can "
                                 "change it") != std::string::npos;
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "as uid 65534";
}

// The file loaded is the one examined: by its path, which nobody else can change, confirmed once
// mapped. A library mapped before from that path is not taken for the file there now.
TEST_F(RegistryTest, WhatWasCheckedIsWhatIsLoaded)
{
    const std::string path = m_dir + "/lib.so", other = m_dir + "/other.so";
    const auto replace = [&](const char* szBy) {
        return Copied(szBy, other, 0644, geteuid()) && rename(other.c_str(), path.c_str()) == 0;
    };
    const TExtDirs anywhere;
    TExtImage hello, idle, replaced;
    std::string why;
    ASSERT_TRUE(Copied(HELLO_LIBRARY, path, 0644, geteuid()));
    ASSERT_EQ(0, OpenExtImage(path, anywhere, hello, why)) << why;
    ASSERT_TRUE(replace(IDLE_LIBRARY));
    TExtFile file;
    ASSERT_EQ(0, OpenExtFile(path, anywhere, file, why)) << why;
    EXPECT_EQ(0, LoadExtImage(file, path, idle, why)) << why;
    ASSERT_TRUE(replace(HELLO_LIBRARY));
    EXPECT_EQ(kExtFailedToLoad, LoadExtImage(file, path, replaced, why));
    EXPECT_THAT(why, StartsWith(path + " was replaced after it was examined"));
    for (TExtImage* pImage : {&hello, &idle})
        EXPECT_TRUE(CloseExtImage(*pImage, why)) << why;
    EXPECT_THAT(Take(), ElementsAre("hello: init", "idle: init", "hello: term", "idle: term"));
}

// Names are shown, logged, typed and completed: only characters no shell or terminal acts on.
TEST_F(RegistryTest, NamesHoldOnlyCharactersNoShellOrTerminalActsOn)
{
    const std::string kept = m_dirs + Ext("a", IDLE_LIBRARY, kOff);
    ASSERT_TRUE(Configure(kept));
    ASSERT_EQ(1, m_registry.Load(&m_store));
    std::vector<std::string> refused = {"a`id`", "a;b", "a|b",      "a'b",   "a/b",        "a*",
                                        "~a",    "-l",  "a\x1b[2J", "a\x7f", "caf\xc3\xa9"};
    refused.insert(refused.end(), {"h$(touch${IFS}" + m_dir + "/made)",
                                   std::string("a\xe2\x80\xae") + "b", std::string(256, 'n')});
    for (const std::string& name : refused)
        EXPECT_EQ(0, m_registry.Add(&m_store, name.c_str(), IDLE_LIBRARY, "")) << name;
    // Each refused, and shown, never obeyed, in the record.
    EXPECT_THAT(Take(), testing::AllOf(
                            testing::SizeIs(refused.size()),
                            testing::Each(testing::AllOf(
                                HasSubstr("' not added: a name is 1 to 255 letters"),
                                testing::Not(testing::ContainsRegex("\x1b|\x7f|\xe2\x80\xae"))))));
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
    EXPECT_THAT(Take(), testing::Each(HasSubstr("' not loaded: cannot read /nonexistent.so")));
}

} // namespace
