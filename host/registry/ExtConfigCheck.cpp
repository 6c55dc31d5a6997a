#include "host/registry/ExtConfigCheck.h"

#include <cstdio>
#include <fstream>
#include <unordered_map>

#include "host/protocol/CommandGrammar.h"
#include "host/registry/ExtConfig.h"
#include "host/registry/ExtFile.h"
#include "hostapi/BFileNV.h"

namespace {

std::string Trimmed(const std::string& text, const char* szBlanks)
{
    const std::string::size_type first = text.find_first_not_of(szBlanks);
    return first == std::string::npos
               ? std::string()
               : text.substr(first, text.find_last_not_of(szBlanks) - first + 1);
}

// Where things stand in the file, the first of a name given twice: each
// section's header by the section's text, each library's path key by the
// library's name.
struct TSourceLines {
    std::unordered_map<std::string, int> headers;
    std::unordered_map<std::string, int> paths;
};

// Reads the file at `path`, which the store has read already: lines end
// at '\n' and are trimmed as the store trims them.
TSourceLines SourceLines(const std::string& path)
{
    std::ifstream file(path);
    TSourceLines lines;
    std::string line, name;
    for (int number = 1; std::getline(file, line); ++number) {
        line = Trimmed(line, " \t\r");
        if (!line.empty() && line[0] == '[') {
            const std::string section = Trimmed(line.substr(1, line.size() - 2), " \t\r");
            lines.headers.emplace(section, number);
            const std::string::size_type blank = section.find_first_of(command::kBlanks);
            const bool library =
                blank != std::string::npos && section.compare(0, blank, "extdll") == 0;
            name = library ? Trimmed(section.substr(blank), command::kBlanks) : std::string();
        } else if (!name.empty() && Trimmed(line.substr(0, line.find('=')), " \t\r") == "path") {
            lines.paths.emplace(name, number);
        }
    }
    return lines;
}

// "line N: ". Not std::to_string: its digit table would be one more symbol
// the registry exports.
std::string LineNumber(int number)
{
    char text[32];
    std::snprintf(text, sizeof text, "line %d: ", number);
    return text;
}

// A name no terminal or shell may act on was written by hand: says where,
// after the section the problem names.
void LocateBadNames(const TSourceLines& lines, std::vector<std::string>& problems)
{
    const std::string sectionStart = "section [";
    for (std::string& problem : problems) {
        const std::size_t close = problem.find("]: ");
        if (problem.find(kExtNameRule) == std::string::npos ||
            problem.compare(0, sectionStart.size(), sectionStart) != 0 ||
            close == std::string::npos)
            continue;
        const auto found =
            lines.headers.find(problem.substr(sectionStart.size(), close - sectionStart.size()));
        if (found != lines.headers.end())
            problem.insert(close + 3, LineNumber(found->second));
    }
}

} // namespace

std::vector<std::string> CheckExtConfigFile(const std::string& path)
{
    KAF::BFileNV store;
    if (store.ReadFile(path.c_str()) == 0)
        return {store.LastError()};
    const TSourceLines lines = SourceLines(path);
    // What loading would find wrong with the path, the same check, with
    // the line that gives the path.
    const auto pathProblem = [&lines](const TExtConfigEntry& entry) {
        std::string why;
        if (OpenExtFile(entry.path, why).Valid())
            return why;
        const auto it = lines.paths.find(entry.name);
        return it == lines.paths.end() ? why : LineNumber(it->second) + why;
    };
    std::vector<TExtConfigEntry> entries;
    std::vector<std::string> problems;
    ScanExtConfig(store, entries, problems, pathProblem);
    LocateBadNames(lines, problems);
    for (std::string& line : problems)
        line.insert(0, path + ": ");
    return problems;
}
