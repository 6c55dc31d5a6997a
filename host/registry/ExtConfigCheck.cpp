#include "host/registry/ExtConfigCheck.h"

#include <cstdio>
#include <fstream>
#include <map>

#include "host/protocol/CommandGrammar.h"
#include "host/registry/ExtConfig.h"
#include "host/registry/ExtFile.h"
#include "hostapi/BFileNV.h"

namespace {

std::string PathProblem(const TExtConfigEntry& entry)
{
    return IsExtFilePath(entry.path) ? ExtFileProblem(entry.path) : std::string();
}

// The line of each section's header in the file at `path`, by the
// section's name; the first of a name given twice.
std::map<std::string, std::size_t> HeaderLines(const std::string& path)
{
    std::map<std::string, std::size_t> lines;
    std::ifstream file(path);
    std::string line;
    for (std::size_t number = 1; std::getline(file, line); ++number) {
        const std::size_t open = line.find_first_not_of(command::kBlanks);
        const std::size_t close = line.find(']');
        if (open == std::string::npos || line[open] != '[' || close == std::string::npos)
            continue;
        const std::size_t first = line.find_first_not_of(command::kBlanks, open + 1);
        const std::size_t last = line.find_last_not_of(command::kBlanks, close - 1);
        if (first != std::string::npos && first < close && last >= first)
            lines.emplace(line.substr(first, last + 1 - first), number);
    }
    return lines;
}

// A name no terminal or shell may act on was written by hand: says where.
void LocateBadNames(const std::string& path, std::vector<std::string>& problems)
{
    std::map<std::string, std::size_t> lines;
    const std::string sectionStart = "section [";
    for (std::string& problem : problems) {
        const std::size_t close = problem.find("]: ");
        if (problem.find(kExtNameRule) == std::string::npos ||
            problem.compare(0, sectionStart.size(), sectionStart) != 0 ||
            close == std::string::npos)
            continue;
        if (lines.empty())
            lines = HeaderLines(path);
        const auto found =
            lines.find(problem.substr(sectionStart.size(), close - sectionStart.size()));
        if (found == lines.end())
            continue;
        // Not std::to_string: its digit table would be one more symbol the
        // registry exports.
        char line[32];
        std::snprintf(line, sizeof line, "line %zu: ", found->second);
        problem.insert(0, line);
    }
}

} // namespace

std::vector<std::string> CheckExtConfigFile(const std::string& path)
{
    KAF::BFileNV store;
    if (store.ReadFile(path.c_str()) == 0)
        return {store.LastError()};
    std::vector<TExtConfigEntry> entries;
    std::vector<std::string> problems;
    ScanExtConfig(store, entries, problems, PathProblem);
    LocateBadNames(path, problems);
    for (std::string& line : problems)
        line.insert(0, path + ": ");
    return problems;
}
