#include "host/registry/ExtCrashGuard.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "host/registry/ExtConfig.h"

namespace {

// The first field of every record: its form, and the version of it.
const char kForm[] = "murox-crash-guard 1";
// A record is five short fields and two paths; a web part may be long.
const std::size_t kMaxRecord = std::size_t{64} * 1024;

BExtCrashGuard* s_pCurrent = nullptr;

// What a marker or an entry holds: who wrote it, and the library.
struct TGuardRecord {
    std::string pid;
    std::string configuration;
    std::string name;
    std::string path;
    std::string web;
};

std::string Text(const KAF::BString& text)
{
    return std::string(text.c_str(), text.length());
}

// FNV-1a, written as hex: a file name for a text of any length, the same
// on every architecture.
std::string HashName(const std::string& text)
{
    std::uint64_t hash = 14695981039346656037ULL;
    for (unsigned char c : text) {
        hash ^= c;
        hash *= 1099511628211ULL;
    }
    char name[20];
    std::snprintf(name, sizeof name, "%016llx", static_cast<unsigned long long>(hash));
    return name;
}

// The record as NUL-terminated fields after the form's; false for a field
// that holds a NUL itself, or a record past the bound.
bool Encode(const TGuardRecord& record, std::string& text)
{
    text.assign(kForm, sizeof kForm);
    for (const std::string* pField :
         {&record.pid, &record.configuration, &record.name, &record.path, &record.web}) {
        if (pField->find('\0') != std::string::npos)
            return false;
        text.append(*pField).push_back('\0');
    }
    return text.size() <= kMaxRecord;
}

bool Decode(const std::string& text, TGuardRecord& record)
{
    std::vector<std::string> fields;
    for (std::size_t at = 0; at < text.size() && fields.size() < 7;) {
        const std::size_t end = text.find('\0', at);
        if (end == std::string::npos)
            return false;
        fields.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    if (fields.size() != 6 || fields[0] != kForm || fields[1].empty() ||
        fields[1].find_first_not_of("0123456789") != std::string::npos || !IsExtName(fields[3]))
        return false;
    record = TGuardRecord{fields[1], fields[2], fields[3], fields[4], fields[5]};
    return true;
}

// The record that the file `file` of the directory `dirFd` holds, if it is
// a regular file of this user's, within the bound, in the form written here.
bool ReadRecord(int dirFd, const std::string& file, TGuardRecord& record)
{
    const BFd fd(
        ::openat(dirFd, file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat found;
    if (!fd.Valid() || ::fstat(fd.Get(), &found) != 0 || !S_ISREG(found.st_mode) ||
        found.st_uid != ::geteuid() || found.st_size > static_cast<off_t>(kMaxRecord))
        return false;
    std::string text(kMaxRecord + 1, '\0');
    std::size_t got = 0;
    while (got < text.size()) {
        const ssize_t n = ::read(fd.Get(), &text[got], text.size() - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    text.resize(got);
    return got <= kMaxRecord && Decode(text, record);
}

// Makes `file` in `dirFd` anew with `text`, and syncs it and the directory.
bool WriteSynced(int dirFd, const std::string& file, const std::string& text, std::string& why)
{
    // Only a marker that could not be removed can be in the way.
    ::unlinkat(dirFd, file.c_str(), 0);
    const BFd fd(
        ::openat(dirFd, file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    std::size_t done = 0;
    while (fd.Valid() && done < text.size()) {
        const ssize_t n = ::write(fd.Get(), text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    if (fd.Valid() && done == text.size() && ::fsync(fd.Get()) == 0 && ::fsync(dirFd) == 0)
        return true;
    why = "cannot write " + file + " in the state directory: " + std::strerror(errno);
    return false;
}

} // namespace

BExtCrashGuard::BExtCrashGuard(BFd stateDir, std::string configuration)
    : m_dir(std::move(stateDir)), m_configuration(std::move(configuration)),
      m_marker("loading-" + HashName(m_configuration))
{
    TakeLeftMarker();
}

std::string BExtCrashGuard::EntryName(const std::string& name) const
{
    return "aside-" + HashName(m_configuration) + "-" + HashName(name);
}

void BExtCrashGuard::TakeLeftMarker()
{
    TGuardRecord record;
    if (!ReadRecord(m_dir.Get(), m_marker, record) || record.configuration != m_configuration)
        return;
    if (::renameat(m_dir.Get(), m_marker.c_str(), m_dir.Get(), EntryName(record.name).c_str()) == 0)
        ::fsync(m_dir.Get());
}

bool BExtCrashGuard::SetAside(const ExtAgent& agent, std::string& why)
{
    const std::string name = Text(agent.name);
    const std::string entry = EntryName(name);
    TGuardRecord record;
    const bool held = ReadRecord(m_dir.Get(), entry, record) &&
                      record.configuration == m_configuration && record.name == name;
    if (held && record.path == Text(agent.path) && record.web == Text(agent.web)) {
        m_setAside.insert(name);
        why = "it ended murox pid " + record.pid +
              " while it loaded (a crash, an exit or a hang); load it by hand with xdll -l " +
              name + " once it is fixed";
        return true;
    }
    // Its section names another library by now.
    if (held)
        ::unlinkat(m_dir.Get(), entry.c_str(), 0);
    m_setAside.erase(name);
    return false;
}

void BExtCrashGuard::Lift(const std::string& name)
{
    // Not synced: an entry that comes back after a power cut only sets the
    // library aside once more.
    ::unlinkat(m_dir.Get(), EntryName(name).c_str(), 0);
    m_setAside.erase(name);
}

bool BExtCrashGuard::Mark(const ExtAgent& agent, std::string& why)
{
    // snprintf rather than std::to_string, whose digit table the registry
    // would export.
    char pid[16];
    std::snprintf(pid, sizeof pid, "%d", static_cast<int>(::getpid()));
    const TGuardRecord record{pid, m_configuration, Text(agent.name), Text(agent.path),
                              Text(agent.web)};
    std::string text;
    if (!Encode(record, text)) {
        why = "its section is too long to record";
        return false;
    }
    return WriteSynced(m_dir.Get(), m_marker, text, why);
}

void BExtCrashGuard::Unmark()
{
    // Not synced either: a marker that comes back sets a library aside
    // that did load, which a load by hand undoes.
    ::unlinkat(m_dir.Get(), m_marker.c_str(), 0);
}

BExtCrashGuard* CurrentExtCrashGuard()
{
    return s_pCurrent;
}

TExtCrashGuardUse::TExtCrashGuardUse(BExtCrashGuard* pGuard) : m_pOuter(s_pCurrent)
{
    s_pCurrent = pGuard;
}

TExtCrashGuardUse::~TExtCrashGuardUse()
{
    s_pCurrent = m_pOuter;
}
