#include "host/registry/ExtConfig.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <iterator>
#include <unordered_set>
#include <utility>

#include "host/protocol/CommandGrammar.h"
#include "host/registry/ExtDirs.h"

namespace {

const char kSectionWord[] = "extdll";
const char* const kExtKeys[] = {"path", "web", "load"};

// Reads each section's values into an entry, telling apart the names it
// has met, complete or not.
class BSectionReader {
public:
    BSectionReader(const KAF::INonVolatile& config, std::size_t sections) : m_config(config)
    {
        m_names.reserve(sections);
    }

    // Fills in what follows the name; `why` gets each problem that keeps the
    // section from describing a library, none when it does, with the key at
    // fault (empty for the section).
    void Read(const KAF::BString& section, TExtConfigEntry& entry,
              std::vector<std::pair<std::string, std::string>>& why)
    {
        if (!IsExtName(entry.name)) {
            why.emplace_back("", std::string("the library name must be one word: ") + kExtNameRule);
            return;
        }
        if (!m_names.insert(entry.name).second) {
            why.emplace_back("", "library '" + entry.name + "' is configured twice");
            return;
        }
        bool present = false;
        entry.path = Value(section, m_pathKey, present);
        entry.web = Value(section, m_webKey, present);
        const std::string load = Value(section, m_loadKey, present);
        if (entry.path.empty())
            why.emplace_back("", "no path");
        if (present && load != "0" && load != "1")
            why.emplace_back("load", "load must be 0 or 1, not '" + load + "'");
        entry.load = !present || load == "1";
    }

private:
    std::string Value(const KAF::BString& section, const KAF::BString& key, bool& present)
    {
        // The buffer is reused; a missing key leaves it as it was.
        present = m_config.GetValue(section, key, m_value) != 0;
        return present ? std::string(m_value.c_str(), m_value.length()) : std::string();
    }

    const KAF::INonVolatile& m_config;
    // Made once: a configuration may hold tens of thousands of sections.
    const KAF::BString m_pathKey{"path"}, m_webKey{"web"}, m_loadKey{"load"};
    KAF::BString m_value;
    std::unordered_set<std::string> m_names;
};

// False for a section of another part of the host; else `name` is what
// follows the section word, possibly empty.
bool SplitSectionName(const std::string& section, std::string& name)
{
    const std::size_t wordLength = std::strlen(kSectionWord);
    if (section.compare(0, wordLength, kSectionWord) != 0)
        return false;
    if (section.size() == wordLength) {
        name.clear();
        return true;
    }
    if (!command::IsBlank(section[wordLength]))
        return false;
    const std::size_t first = section.find_first_not_of(command::kBlanks, wordLength);
    name = first == std::string::npos ? std::string() : section.substr(first);
    return true;
}

} // namespace

bool IsExtName(const std::string& name)
{
    // A name is shown on terminals, put in logs, completed and typed into
    // command lines and shells: only characters that none of them acts on.
    // Not "-...": the "xdll" handler would take it for a switch.
    if (name.empty() || name.size() > kMaxExtNameLength || name[0] == '-')
        return false;
    for (const char c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '_' && c != '-')
            return false;
    return true;
}

std::string ExtSectionName(const std::string& name)
{
    return std::string(kSectionWord) + ' ' + name;
}

std::string FindExtSection(const KAF::INonVolatile& config, const std::string& name)
{
    const int count = config.SectionCount();
    KAF::BString section;
    std::string found;
    for (int i = 0; i < count; ++i) {
        config.SectionNameAt(i, section);
        if (SplitSectionName(section.c_str(), found) && found == name)
            return std::string(section.c_str(), section.length());
    }
    return ExtSectionName(name);
}

void ScanExtConfig(const KAF::INonVolatile& config, std::vector<TExtConfigEntry>& entries,
                   std::vector<TExtConfigProblem>& problems,
                   const std::function<std::string(const TExtConfigEntry&)>& checkEntry)
{
    std::string dirs;
    NamedExtDirs(config, dirs);
    if (!dirs.empty())
        problems.push_back(TExtConfigProblem{kHostSection, kExtDirsKey, dirs});
    const int count = config.SectionCount();
    BSectionReader reader(config, static_cast<std::size_t>(count));
    entries.reserve(entries.size() + static_cast<std::size_t>(count));
    KAF::BString section;
    for (int i = 0; i < count; ++i) {
        config.SectionNameAt(i, section);
        TExtConfigEntry entry;
        if (!SplitSectionName(section.c_str(), entry.name))
            continue;
        std::vector<std::pair<std::string, std::string>> why;
        reader.Read(section, entry, why);
        const bool complete = why.empty();
        if (complete && checkEntry) {
            std::string problem = checkEntry(entry);
            if (!problem.empty())
                why.emplace_back("path", std::move(problem));
        }
        for (auto& problem : why)
            problems.push_back(TExtConfigProblem{std::string(section.c_str(), section.length()),
                                                 std::move(problem.first),
                                                 std::move(problem.second)});
        if (complete)
            entries.push_back(std::move(entry));
    }
}

std::vector<TExtConfigProblem>
UnknownExtKeys(const KAF::INonVolatile& config,
               const std::function<std::vector<std::string>(const std::string&)>& keysOf)
{
    std::vector<TExtConfigProblem> problems;
    const int count = config.SectionCount();
    KAF::BString section;
    std::string name;
    for (int i = 0; i < count; ++i) {
        config.SectionNameAt(i, section);
        const std::string text(section.c_str(), section.length());
        if (!SplitSectionName(text, name))
            continue;
        for (std::string& key : keysOf(text)) {
            const auto known = [&key](const char* szKey) { return key == szKey; };
            if (std::none_of(std::begin(kExtKeys), std::end(kExtKeys), known))
                problems.push_back(TExtConfigProblem{
                    text, key, "unknown key '" + key + "' (a library's keys are path, web, load)"});
        }
    }
    return problems;
}

bool ReadExtConfig(const KAF::INonVolatile& config, std::vector<TExtConfigEntry>& entries,
                   std::string& error)
{
    std::vector<TExtConfigEntry> read;
    std::vector<TExtConfigProblem> problems;
    ScanExtConfig(config, read, problems);
    if (!problems.empty()) {
        error = "section [" + problems.front().section + "]: " + problems.front().why;
        return false;
    }
    entries.swap(read);
    return true;
}
