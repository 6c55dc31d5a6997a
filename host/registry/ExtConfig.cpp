#include "host/registry/ExtConfig.h"

#include <cstring>

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

bool ReadExtConfig(const KAF::INonVolatile& config, std::vector<TExtConfigEntry>& entries,
                   std::string& error)
{
    std::vector<TExtConfigEntry> read;
    const int count = config.SectionCount();
    for (int i = 0; i < count; ++i) {
        KAF::BString section;
        config.SectionNameAt(i, section);
        const std::string where = std::string("section [") + section.c_str() + "]: ";
        TExtConfigEntry entry;
        if (!SplitSectionName(section.c_str(), entry.name))
            continue;
        if (!IsExtName(entry.name)) {
            error = where + "the library name must be one word";
            return false;
        }
        for (const TExtConfigEntry& earlier : read) {
            if (earlier.name == entry.name) {
                error = where + "library '" + entry.name + "' is configured twice";
                return false;
            }
        }
        bool present = false;
        entry.path = Value(config, section, "path", present);
        if (entry.path.empty()) {
            error = where + "no path";
            return false;
        }
        entry.web = Value(config, section, "web", present);
        const std::string load = Value(config, section, "load", present);
        if (present && load != "0" && load != "1") {
            error = where + "load must be 0 or 1, not '" + load + "'";
            return false;
        }
        entry.load = !present || load == "1";
        read.push_back(entry);
    }
    entries.swap(read);
    return true;
}
