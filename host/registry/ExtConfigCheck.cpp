#include "host/registry/ExtConfigCheck.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <utility>

#include "host/kaf/StoreLines.h"
#include "host/registry/ExtConfig.h"
#include "host/registry/ExtDirs.h"
#include "host/registry/ExtFile.h"
#include "host/registry/ExtTrust.h"

namespace {

// A problem found, and the line of the file it is at.
struct TFound {
    std::size_t line;
    std::string why;
};

// "FILE:N: WHY", or "FILE: WHY" for the file as a whole (N is 0). Not
// std::to_string: its digit table would be one more symbol the registry
// exports.
std::string Located(const std::string& path, std::size_t line, const std::string& why)
{
    if (line == 0)
        return path + ": " + why;
    char text[32];
    std::snprintf(text, sizeof text, ":%zu: ", line);
    return path + text + why;
}

// A section's problem at the line of its key, or of its header when the
// section as a whole is at fault.
TFound Placed(const KAF::BFileNV& store, const TExtConfigProblem& problem)
{
    const std::size_t line = problem.key.empty()
                                 ? KAF::SectionLine(store, problem.section)
                                 : KAF::KeyLine(store, problem.section, problem.key);
    return TFound{line, "section [" + problem.section + "]: " + problem.why};
}

std::vector<TExtConfigProblem> UnknownKeys(const KAF::BFileNV& store)
{
    return UnknownExtKeys(store, [&store](const std::string& section) {
        std::vector<std::string> keys;
        for (KAF::BConfigDocument::TKeyLine& key : KAF::KeyLines(store, section))
            keys.push_back(std::move(key.key));
        return keys;
    });
}

} // namespace

std::vector<std::string> CheckExtConfigFile(const std::string& path)
{
    KAF::BFileNV store;
    std::vector<KAF::BConfigDocument::TLineProblem> malformed;
    if (KAF::ReadFileLeniently(store, path.c_str(), malformed) == 0)
        return {store.LastError()};
    // What loading would find wrong with the directories and the paths,
    // the same checks; the default directories' at no line.
    std::string ignored;
    const TExtDirs dirs = ResolveExtDirs(NamedExtDirs(store, ignored));
    const auto pathProblem = [&dirs](const TExtConfigEntry& entry) {
        TExtFile file;
        std::string why;
        return OpenExtFile(entry.path, dirs, file, why) == 0 ? std::string() : why;
    };
    std::vector<TExtConfigEntry> entries;
    std::vector<TExtConfigProblem> problems;
    ScanExtConfig(store, entries, problems, pathProblem);
    std::vector<TExtConfigProblem> unknown = UnknownKeys(store);
    std::move(unknown.begin(), unknown.end(), std::back_inserter(problems));
    std::vector<TFound> found;
    found.reserve(malformed.size() + problems.size() + dirs.refused.size());
    for (std::size_t i = 0; i < dirs.refused.size(); ++i)
        if (!dirs.refused[i].empty())
            found.push_back(
                i < kDefaultExtDirs
                    ? TFound{0, dirs.refused[i]}
                    : Placed(store, TExtConfigProblem{kHostSection, kExtDirsKey, dirs.refused[i]}));
    for (KAF::BConfigDocument::TLineProblem& problem : malformed)
        found.push_back(TFound{problem.line, std::move(problem.why)});
    for (const TExtConfigProblem& problem : problems)
        found.push_back(Placed(store, problem));
    std::stable_sort(found.begin(), found.end(),
                     [](const TFound& a, const TFound& b) { return a.line < b.line; });
    std::vector<std::string> lines;
    lines.reserve(found.size() + 1);
    const std::string trust = ConfigTrustProblem(path);
    if (!trust.empty())
        lines.push_back(trust);
    for (const TFound& problem : found)
        lines.push_back(Located(path, problem.line, problem.why));
    return lines;
}

std::vector<std::string> DescribeUnknownExtKeys(const KAF::BFileNV& store)
{
    std::vector<std::string> lines;
    const std::string path(store.m_fileName.c_str(), store.m_fileName.length());
    for (const TExtConfigProblem& problem : UnknownKeys(store)) {
        const TFound found = Placed(store, problem);
        lines.push_back(Located(path, found.line, found.why));
    }
    return lines;
}
