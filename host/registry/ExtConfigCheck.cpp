#include "host/registry/ExtConfigCheck.h"

#include "host/registry/ExtConfig.h"
#include "host/registry/ExtFile.h"
#include "hostapi/BFileNV.h"

namespace {

// What loading would find wrong with the path, the same check.
std::string PathProblem(const TExtConfigEntry& entry)
{
    std::string why;
    OpenExtFile(entry.path, why);
    return why;
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
    for (std::string& line : problems)
        line.insert(0, path + ": ");
    return problems;
}
