#include "host/kaf/LockHolder.h"

#include <fstream>
#include <sstream>
#include <vector>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "host/protocol/VisibleText.h"

namespace KAF {

namespace {

// Command lines are bounded by the kernel; this bounds what is read of one.
const std::streamsize kMaxCommandLine = std::streamsize{64} * 1024;

// The pid that holds an flock on the file, or 0 when none is visible.
long FlockHolder(const struct stat& file)
{
    std::ifstream locks("/proc/locks");
    std::string line;
    while (std::getline(locks, line)) {
        // "1: FLOCK  ADVISORY  WRITE 1234 fe:00:10953168 0 EOF"; a waiter's
        // line has "->" before FLOCK and is left out.
        std::istringstream fields(line);
        std::string number, type, advisory, access, where;
        long pid = 0;
        unsigned devMajor = 0, devMinor = 0;
        unsigned long long inode = 0;
        char colon1 = 0, colon2 = 0;
        if (!(fields >> number >> type >> advisory >> access >> pid >> where) || type != "FLOCK")
            continue;
        std::istringstream device(where);
        if (device >> std::hex >> devMajor >> colon1 >> devMinor >> colon2 >> std::dec >> inode &&
            colon1 == ':' && colon2 == ':' && devMajor == major(file.st_dev) &&
            devMinor == minor(file.st_dev) && inode == static_cast<unsigned long long>(file.st_ino))
            return pid > 0 ? pid : 0;
    }
    return 0;
}

std::vector<std::string> Words(const std::string& text)
{
    std::vector<std::string> words;
    std::istringstream split(text);
    std::string word;
    while (std::getline(split, word, '\0'))
        words.push_back(word);
    return words;
}

std::string ReadBounded(std::istream& in)
{
    std::string text(static_cast<std::size_t>(kMaxCommandLine), '\0');
    in.read(&text[0], kMaxCommandLine);
    text.resize(static_cast<std::size_t>(in.gcount()));
    return text;
}

// From /proc, or, where the holder's entry there is hidden from this
// process (a daemon under ProtectProc=invisible sees only the processes it
// could trace), from the record the holder keeps in its lock file, if that
// is the holder's own.
std::vector<std::string> CommandLine(long pid, int lockFd)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
    std::string text = ReadBounded(in);
    if (!text.empty() || lockFd < 0)
        return Words(text);
    std::string record(static_cast<std::size_t>(kMaxCommandLine) + 32, '\0');
    const ssize_t n = ::pread(lockFd, &record[0], record.size(), 0);
    record.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    const std::string prefix = std::to_string(pid) + '\n';
    if (record.compare(0, prefix.size(), prefix) != 0)
        return {};
    return Words(record.substr(prefix.size()));
}

std::string BaseName(const std::string& path)
{
    return path.substr(path.rfind('/') + 1);
}

} // namespace

bool RecordLockHolder(int lockFd)
{
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    const std::string record = std::to_string(::getpid()) + '\n' + ReadBounded(in);
    return ::ftruncate(lockFd, 0) == 0 &&
           ::pwrite(lockFd, record.data(), record.size(), 0) == static_cast<ssize_t>(record.size());
}

std::string DescribeLockHolder(const std::string& path, int lockFd)
{
    struct stat file;
    const long pid = ::fstat(lockFd, &file) == 0 ? FlockHolder(file) : 0;
    if (pid == 0)
        return path + " is in use by another process";
    const std::vector<std::string> words = CommandLine(pid, lockFd);
    // An emulator may stand before the program on its command line.
    std::string program = words.empty() ? std::string("process") : BaseName(words[0]);
    bool daemon = false;
    std::string socket = "its default socket";
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[i];
        if (BaseName(word) == "murox")
            program = "murox";
        else if (word == "--daemon")
            daemon = true;
        else if (word.compare(0, 9, "--socket=") == 0)
            socket = word.substr(9);
        else if (word == "--socket" && i + 1 < words.size())
            socket = words[++i];
        else if ((word == "--config" || word == "-e") && i + 1 < words.size())
            ++i; // a value is never taken for an option
    }
    // Another process's command line holds whatever it was started with.
    std::string text =
        path + " is in use by " + control::VisibleLine(program) + " pid " + std::to_string(pid);
    if (daemon)
        text += " (a daemon serving " + control::VisibleLine(socket) + "): use murox --remote";
    return text;
}

long LockHolderPid(int lockFd)
{
    struct stat file;
    return ::fstat(lockFd, &file) == 0 ? FlockHolder(file) : 0;
}

} // namespace KAF
