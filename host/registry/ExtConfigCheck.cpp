#include "host/registry/ExtConfigCheck.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <unordered_map>

#include "host/protocol/CommandGrammar.h"
#include "host/registry/ExtConfig.h"
#include "host/registry/ExtFile.h"
#include "hostapi/BFileNV.h"

namespace {

using TLines = std::unordered_map<std::string, int>;

std::string Trimmed(const std::string& text, const char* szBlanks)
{
    const std::string::size_type first = text.find_first_not_of(szBlanks);
    return first == std::string::npos
               ? std::string()
               : text.substr(first, text.find_last_not_of(szBlanks) - first + 1);
}

// The line of each library's path key, by name, in the file at `path`,
// which the store has read already: lines end at '\n' and are trimmed as
// the store trims them; a name's first section counts.
TLines PathLines(const std::string& path)
{
    std::ifstream file(path);
    TLines lines;
    std::string line, name;
    for (int number = 1; std::getline(file, line); ++number) {
        line = Trimmed(line, " \t\r");
        if (!line.empty() && line[0] == '[') {
            const std::string section = Trimmed(line.substr(1, line.size() - 2), " \t\r");
            const std::string::size_type blank = section.find_first_of(command::kBlanks);
            const bool library =
                blank != std::string::npos && section.compare(0, blank, "extdll") == 0;
            name = library ? Trimmed(section.substr(blank), command::kBlanks) : std::string();
        } else if (!name.empty() && Trimmed(line.substr(0, line.find('=')), " \t\r") == "path") {
            lines.emplace(name, number);
        }
    }
    return lines;
}

} // namespace

std::vector<std::string> CheckExtConfigFile(const std::string& path)
{
    KAF::BFileNV store;
    if (store.ReadFile(path.c_str()) == 0)
        return {store.LastError()};
    const TLines lines = PathLines(path);
    // What loading would find wrong with the path, the same check, with
    // the line that gives the path.
    const auto pathProblem = [&lines](const TExtConfigEntry& entry) {
        std::string why;
        if (OpenExtFile(entry.path, why).Valid())
            return why;
        const auto it = lines.find(entry.name);
        if (it == lines.end())
            return why;
        // snprintf rather than std::to_string, whose digit table the
        // library would export.
        char number[32];
        std::snprintf(number, sizeof number, "line %d: ", it->second);
        return number + why;
    };
    std::vector<TExtConfigEntry> entries;
    std::vector<std::string> problems;
    ScanExtConfig(store, entries, problems, pathProblem);
    for (std::string& line : problems)
        line.insert(0, path + ": ");
    return problems;
}
