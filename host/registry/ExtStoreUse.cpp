#include "host/registry/ExtStoreUse.h"

#include "host/kaf/StoreControl.h"
#include "host/registry/ExtFailures.h"
#include "host/registry/ExtTrust.h"

bool StoreUsable(KAF::INonVolatile* config, const std::string& rejected, const char* szAction,
                 const std::string& name)
{
    if (config == nullptr) {
        ReportExtFailure("extension library '%s' not %s: no configuration store", name.c_str(),
                         szAction);
        return false;
    }
    const char* szError = config->LastError();
    if (szError == nullptr || szError[0] == '\0')
        szError = rejected.c_str();
    if (szError[0] != '\0') {
        ReportExtFailure("extension library '%s' not %s: the configuration store reports '%s'; "
                         "fix the file and re-read it first",
                         name.c_str(), szAction, szError);
        return false;
    }
    return true;
}

void UndoUncommitted(KAF::INonVolatile* config)
{
    auto* pFile = dynamic_cast<KAF::BFileNV*>(config);
    if (pFile == nullptr)
        ReportExtFailure("configuration store differs from its file until it is re-read");
    else
        KAF::RevertToLastSynced(*pFile);
}

std::string StoreTrustProblem(const KAF::INonVolatile& config)
{
    const auto* pFile = dynamic_cast<const KAF::BFileNV*>(&config);
    if (pFile == nullptr || pFile->m_fileName.length() == 0)
        return std::string();
    return ConfigTrustProblem(std::string(pFile->m_fileName.c_str(), pFile->m_fileName.length()));
}
