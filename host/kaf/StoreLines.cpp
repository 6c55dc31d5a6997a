#include "host/kaf/StoreLines.h"

#include <utility>

#include "host/kaf/ConfigFile.h"
#include "host/kaf/FileNVContents.h"

namespace KAF {

int ReadFileLeniently(BFileNV& store, const char* fileName,
                      std::vector<BConfigDocument::TLineProblem>& problems)
{
    const std::string name = fileName != nullptr ? fileName : "";
    std::string text, error;
    BString& lastError = BFileNV::TContents::LastErrorOf(store);
    if (!ReadConfigFile(name, text, error)) {
        lastError.Assign(error.c_str(), static_cast<unsigned>(error.size()));
        return 0;
    }
    BFileNV::TContents& contents = BFileNV::TContents::Of(store);
    contents.document.ParseLeniently(text, problems);
    store.m_fileName.Assign(name.c_str(), static_cast<unsigned>(name.size()));
    contents.synced = TFileImage{name, true, std::move(text)};
    lastError.Release();
    return 1;
}

std::size_t SectionLine(const BFileNV& store, const std::string& section)
{
    return BFileNV::TContents::Of(store).document.SectionLine(section);
}

std::size_t KeyLine(const BFileNV& store, const std::string& section, const std::string& key)
{
    return BFileNV::TContents::Of(store).document.KeyLine(section, key);
}

std::vector<BConfigDocument::TKeyLine> KeyLines(const BFileNV& store, const std::string& section)
{
    return BFileNV::TContents::Of(store).document.KeyLines(section);
}

} // namespace KAF
