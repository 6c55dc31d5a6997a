#include "host/registry/ExtConfig.h"

#include <cstring>
#include <unordered_set>

namespace {

const char kSectionWord[] = "extdll";
const char kBlanks[] = " \t";

std::string Value(const KAF::INonVolatile& config, const KAF::BString& section, const char* key,
                  bool& present)
{
    KAF::BString value;
    present = config.GetValue(section, KAF::BString(key), value) != 0;
    return std::string(value.c_str(), value.length());
}

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
    if (std::strchr(kBlanks, section[wordLength]) == nullptr)
        return false;
    const std::size_t first = section.find_first_not_of(kBlanks, wordLength);
    name = first == std::string::npos ? std::string() : section.substr(first);
    return true;
}

} // namespace

bool IsExtName(const std::string& name)
{
    return !name.empty() && name.find_first_of(" \t\r\n[]=#;") == std::string::npos;
}

std::string ExtSectionName(const std::string& name)
{
    return std::string(kSectionWord) + ' ' + name;
}

void ScanExtConfig(const KAF::INonVolatile& config, std::vector<TExtConfigEntry>& entries,
                   std::vector<std::string>& problems,
                   std::string (*checkEntry)(const TExtConfigEntry&))
{
    std::unordered_set<std::string> names; // every name met so far, complete or not
    const int count = config.SectionCount();
    for (int i = 0; i < count; ++i) {
        KAF::BString section;
        config.SectionNameAt(i, section);
        TExtConfigEntry entry;
        if (!SplitSectionName(section.c_str(), entry.name))
            continue;
        const std::string where = std::string("section [") + section.c_str() + "]: ";
        if (!IsExtName(entry.name)) {
            problems.push_back(where + "the library name must be one word");
            continue;
        }
        if (!names.insert(entry.name).second) {
            problems.push_back(where + "library '" + entry.name + "' is configured twice");
            continue;
        }
        bool present = false;
        entry.path = Value(config, section, "path", present);
        entry.web = Value(config, section, "web", present);
        const std::string load = Value(config, section, "load", present);
        const bool loadValid = !present || load == "0" || load == "1";
        if (entry.path.empty())
            problems.push_back(where + "no path");
        if (!loadValid)
            problems.push_back(where + "load must be 0 or 1, not '" + load + "'");
        if (entry.path.empty() || !loadValid)
            continue;
        entry.load = !present || load == "1";
        if (checkEntry != nullptr) {
            const std::string why = checkEntry(entry);
            if (!why.empty())
                problems.push_back(where + why);
        }
        entries.push_back(entry);
    }
}

bool ReadExtConfig(const KAF::INonVolatile& config, std::vector<TExtConfigEntry>& entries,
                   std::string& error)
{
    std::vector<TExtConfigEntry> read;
    std::vector<std::string> problems;
    ScanExtConfig(config, read, problems);
    if (!problems.empty()) {
        error = problems.front();
        return false;
    }
    entries.swap(read);
    return true;
}
