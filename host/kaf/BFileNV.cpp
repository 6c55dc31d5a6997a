#include "hostapi/BFileNV.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace KAF {

INonVolatile::~INonVolatile() = default;

struct BFileNV::TContents {
    struct TSection {
        std::string name;
        std::vector<std::pair<std::string, std::string>> values;
    };
    std::vector<TSection> sections;

    TSection* Find(const std::string& name)
    {
        for (TSection& section : sections)
            if (section.name == name)
                return &section;
        return nullptr;
    }
    const TSection* Find(const std::string& name) const
    {
        return const_cast<TContents*>(this)->Find(name);
    }
};

namespace {

std::string ToStd(const BString& text)
{
    return std::string(text.c_str(), text.length());
}

void SetText(BString& target, const std::string& text)
{
    target.Assign(text.c_str(), static_cast<unsigned>(text.size()));
}

std::string Trim(const std::string& text)
{
    const char* const blanks = " \t\r";
    const std::string::size_type first = text.find_first_not_of(blanks);
    if (first == std::string::npos)
        return std::string();
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

// A name or value the format can write and read back unchanged.
bool Writable(const std::string& text, bool isName)
{
    if (text.find_first_of("\n\r") != std::string::npos || text != Trim(text))
        return false;
    if (!isName)
        return true;
    return !text.empty() && text.find_first_of("[]=#;") == std::string::npos;
}

// Parses the whole text; on failure says why in `error` and fills nothing.
bool Parse(const std::string& text, BFileNV::TContents& out, std::string& error)
{
    BFileNV::TContents parsed;
    std::istringstream lines(text);
    std::string raw;
    int lineNo = 0;
    while (std::getline(lines, raw)) {
        ++lineNo;
        const std::string line = Trim(raw);
        const std::string where = "line " + std::to_string(lineNo) + ": ";
        if (line.empty() || line[0] == '#' || line[0] == ';')
            continue;
        if (line[0] == '[') {
            if (line.back() != ']') {
                error = where + "section header without ']'";
                return false;
            }
            const std::string name = Trim(line.substr(1, line.size() - 2));
            if (name.empty() || name.find_first_of("[]") != std::string::npos) {
                error = where + "bad section name";
                return false;
            }
            if (parsed.Find(name) != nullptr) {
                error = where + "section [" + name + "] repeated";
                return false;
            }
            parsed.sections.push_back({name, {}});
            continue;
        }
        const std::string::size_type eq = line.find('=');
        if (eq == std::string::npos) {
            error = where + "expected [section] or key = value";
            return false;
        }
        if (parsed.sections.empty()) {
            error = where + "key outside any section";
            return false;
        }
        const std::string key = Trim(line.substr(0, eq));
        if (key.empty()) {
            error = where + "empty key";
            return false;
        }
        auto& values = parsed.sections.back().values;
        for (const auto& entry : values) {
            if (entry.first == key) {
                error = where + "key '" + key + "' repeated";
                return false;
            }
        }
        values.emplace_back(key, Trim(line.substr(eq + 1)));
    }
    out = std::move(parsed);
    return true;
}

std::string Render(const BFileNV::TContents& contents)
{
    std::string text;
    for (const auto& section : contents.sections) {
        if (!text.empty())
            text += '\n';
        text += '[' + section.name + "]\n";
        for (const auto& entry : section.values)
            text += entry.first + " = " + entry.second + '\n';
    }
    return text;
}

bool WriteAll(int fd, const std::string& text)
{
    std::string::size_type done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::string::size_type>(n);
    }
    return true;
}

} // namespace

BFileNV::BFileNV() : m_pContents(new TContents) {}

BFileNV::BFileNV(const char* fileName) : m_fileName(fileName), m_pContents(new TContents) {}

BFileNV::~BFileNV()
{
    delete m_pContents;
}

int BFileNV::ReadFile(const char* fileName)
{
    const std::string name = fileName != nullptr ? fileName : "";
    std::ifstream in(name, std::ios::binary);
    if (!in) {
        SetText(m_lastError, "cannot read '" + name + "': " + std::strerror(errno));
        return 0;
    }
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) {
        SetText(m_lastError, "cannot read '" + name + "'");
        return 0;
    }
    std::string error;
    TContents parsed;
    if (!Parse(text.str(), parsed, error)) {
        SetText(m_lastError, "malformed '" + name + "', " + error);
        return 0;
    }
    // The name may be this store's own m_fileName; Assign copes with that.
    m_fileName.Assign(name.c_str(), static_cast<unsigned>(name.size()));
    *m_pContents = std::move(parsed);
    m_lastError.Release();
    return 1;
}

int BFileNV::SectionCount() const
{
    return static_cast<int>(m_pContents->sections.size());
}

int BFileNV::SectionNameAt(int index, BString& name) const
{
    if (index < 0 || index >= SectionCount())
        return 0;
    SetText(name, m_pContents->sections[static_cast<std::size_t>(index)].name);
    return 1;
}

int BFileNV::GetValue(const BString& section, const BString& key, BString& value) const
{
    const TContents::TSection* pSection = m_pContents->Find(ToStd(section));
    if (pSection == nullptr)
        return 0;
    for (const auto& entry : pSection->values) {
        if (entry.first == ToStd(key)) {
            SetText(value, entry.second);
            return 1;
        }
    }
    return 0;
}

int BFileNV::SetValue(const BString& section, const BString& key, const BString& value)
{
    const std::string sectionName = ToStd(section);
    const std::string keyName = ToStd(key);
    const std::string text = ToStd(value);
    if (!Writable(sectionName, true) || !Writable(keyName, true) || !Writable(text, false))
        return 0;
    TContents::TSection* pSection = m_pContents->Find(sectionName);
    if (pSection == nullptr) {
        m_pContents->sections.push_back({sectionName, {{keyName, text}}});
        return 1;
    }
    for (auto& entry : pSection->values) {
        if (entry.first == keyName) {
            entry.second = text;
            return 1;
        }
    }
    pSection->values.emplace_back(keyName, text);
    return 1;
}

int BFileNV::RemoveSection(const BString& section)
{
    auto& sections = m_pContents->sections;
    for (auto it = sections.begin(); it != sections.end(); ++it) {
        if (it->name == ToStd(section)) {
            sections.erase(it);
            return 1;
        }
    }
    return 0;
}

int BFileNV::Commit()
{
    const std::string name = ToStd(m_fileName);
    const std::string temporary = name + ".tmp";
    const std::string text = Render(*m_pContents);
    // The rename would replace whatever stands there: a device such as
    // /dev/null, a pipe or a link must never give way to a configuration.
    struct stat current;
    if (::lstat(name.c_str(), &current) == 0 && !S_ISREG(current.st_mode)) {
        SetText(m_lastError, "cannot write '" + name + "': not a regular file");
        return 0;
    }
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        SetText(m_lastError, "cannot write '" + temporary + "': " + std::strerror(errno));
        return 0;
    }
    const bool written = WriteAll(fd, text) && ::fsync(fd) == 0;
    const int savedErrno = errno;
    const bool closed = ::close(fd) == 0;
    if (!written || !closed || std::rename(temporary.c_str(), name.c_str()) != 0) {
        const int reason = !written ? savedErrno : errno;
        ::unlink(temporary.c_str());
        SetText(m_lastError, "cannot write '" + name + "': " + std::strerror(reason));
        return 0;
    }
    m_lastError.Release();
    return 1;
}

const char* BFileNV::LastError() const
{
    return m_lastError.c_str();
}

} // namespace KAF
