#include "host/registry/ExtConfigCheck.h"

#include "host/registry/ExtConfig.h"
#include "host/registry/ExtFile.h"
#include "hostapi/BFileNV.h"

namespace {

std::string PathProblem(const TExtConfigEntry& entry)
{
    return IsExtFilePath(entry.path) ? ExtFileProblem(entry.path) : std::string();
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
