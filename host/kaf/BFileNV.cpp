#include "hostapi/BFileNV.h"

#include <cstring>
#include <string>
#include <utility>

#include "host/kaf/FileNVContents.h"

namespace KAF {

INonVolatile::~INonVolatile() = default;

namespace {

std::string ToStd(const BString& text)
{
    return std::string(text.c_str(), text.length());
}

void SetText(BString& target, const std::string& text)
{
    target.Assign(text.c_str(), static_cast<unsigned>(text.size()));
}

// A name or value the format can write and read back unchanged.
bool Writable(const std::string& text, bool isName)
{
    const char* const blanks = " \t\r";
    if (text.find_first_of("\n\r") != std::string::npos ||
        (!text.empty() && (std::strchr(blanks, text.front()) != nullptr ||
                           std::strchr(blanks, text.back()) != nullptr)))
        return false;
    if (!isName)
        return true;
    return !text.empty() && text.find_first_of("[]=#;") == std::string::npos;
}

} // namespace

BFileNV::BFileNV() : m_pContents(new TContents) {}

BFileNV::BFileNV(const char* fileName) : m_fileName(fileName), m_pContents(new TContents) {}

BFileNV::~BFileNV()
{
    delete m_pContents;
}

int BFileNV::ReadFile(const char* fileName)
{
    const std::string name = fileName != nullptr ? fileName : "";
    std::string text, error;
    struct stat file;
    if (!ReadConfigFile(name, text, error, &file)) {
        SetText(m_lastError, error);
        return 0;
    }
    BConfigDocument parsed;
    if (!parsed.Parse(text, error)) {
        SetText(m_lastError, "malformed '" + name + "', " + error);
        return 0;
    }
    // A locked store keeps one lock per file: the file it now takes may be
    // another than it had (a link re-pointed, a file put in place by hand).
    BConfigLocks& locks = m_pContents->locks;
    if (locks.Placed() && !locks.Follow(name, file, error)) {
        SetText(m_lastError, error);
        return 0;
    }
    // The name may be this store's own m_fileName; Assign copes with that.
    m_fileName.Assign(name.c_str(), static_cast<unsigned>(name.size()));
    m_pContents->document = std::move(parsed);
    m_pContents->synced = TFileImage{name, true, std::move(text)};
    m_lastError.Release();
    return 1;
}

int BFileNV::SectionCount() const
{
    return static_cast<int>(m_pContents->document.SectionCount());
}

int BFileNV::SectionNameAt(int index, BString& name) const
{
    if (index < 0 || index >= SectionCount())
        return 0;
    SetText(name, m_pContents->document.SectionName(static_cast<std::size_t>(index)));
    return 1;
}

int BFileNV::GetValue(const BString& section, const BString& key, BString& value) const
{
    const std::string* pValue = m_pContents->document.Value(ToStd(section), ToStd(key));
    if (pValue == nullptr)
        return 0;
    SetText(value, *pValue);
    return 1;
}

int BFileNV::SetValue(const BString& section, const BString& key, const BString& value)
{
    const std::string sectionName = ToStd(section);
    const std::string keyName = ToStd(key);
    const std::string text = ToStd(value);
    if (!Writable(sectionName, true) || !Writable(keyName, true) || !Writable(text, false))
        return 0;
    m_pContents->document.SetValue(sectionName, keyName, text);
    return 1;
}

int BFileNV::RemoveSection(const BString& section)
{
    return m_pContents->document.RemoveSection(ToStd(section)) ? 1 : 0;
}

int BFileNV::Commit()
{
    const std::string name = ToStd(m_fileName);
    std::string text = m_pContents->document.Render();
    std::string error;
    BConfigLocks& locks = m_pContents->locks;
    if (!RewriteConfigFile(name, m_pContents->synced, text, error,
                           locks.Placed() ? &locks : nullptr)) {
        SetText(m_lastError, error);
        return 0;
    }
    m_pContents->synced = TFileImage{name, true, std::move(text)};
    m_lastError.Release();
    return 1;
}

const char* BFileNV::LastError() const
{
    return m_lastError.c_str();
}

} // namespace KAF
