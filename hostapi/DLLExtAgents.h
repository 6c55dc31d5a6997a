// The daemon's registry of extension libraries.
#ifndef HOSTAPI_DLLEXTAGENTS_H
#define HOSTAPI_DLLEXTAGENTS_H

#include <cstdint>

#include "hostapi/BFileNV.h"
#include "hostapi/BString.h"
#include "hostapi/KafApi.h"

// The registry's record of one extension library. The fields the listing
// reads lead the record in this order; a registry may keep more of its own
// elsewhere.
struct ExtAgent {
    KAF::BString name;
    KAF::BString path;
    KAF::BString web; // may be empty
    int32_t load;     // configured to be loaded
    int32_t status;   // one of the codes below
    int32_t loaded;   // nonzero while loaded, whatever status says
};

// ExtAgent::status: why a library is not loaded.
constexpr int32_t kExtFailedToLoad = 1; // it could not be opened
constexpr int32_t kExtFailedToInit = 2; // it lacks an entry point, or its init failed
constexpr int32_t kExtNotLoaded = 3;    // by configuration or by request

// Records stay valid until the next call on the registry. Wherever a store
// is passed, its contents are the configuration the registry follows.
class KAF_API DLLExtAgents {
public:
    DLLExtAgents();
    ~DLLExtAgents();
    DLLExtAgents(const DLLExtAgents&) = delete;
    DLLExtAgents& operator=(const DLLExtAgents&) = delete;

    int NumExtAgents();
    // The record at 0 <= index < NumExtAgents(), else null.
    ExtAgent* ExtAgentAt(int index);
    int Exist(const KAF::BString& name);
    int Load(const KAF::BString& name);
    int Unload(const KAF::BString& name);
    // Brings the registry and the loaded set in line with `config`.
    int Load(KAF::INonVolatile* config);
    // Adds the library to `config` and tries to load it.
    int Add(KAF::INonVolatile* config, const KAF::BString& name, const KAF::BString& path,
            const KAF::BString& web);
    // Unloads the library and removes it from `config`.
    int Delete(KAF::INonVolatile* config, const KAF::BString& name);

private:
    struct TImpl;
    TImpl* m_pImpl;
};

#endif
