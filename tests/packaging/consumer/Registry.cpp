// The daemon's registry of extension libraries, empty: the daemon in
// miniature has none to offer.
#include "hostapi/DLLExtAgents.h"

int DLLExtAgents::NumExtAgents()
{
    return 0;
}
ExtAgent* DLLExtAgents::ExtAgentAt(int)
{
    return nullptr;
}
int DLLExtAgents::Exist(const KAF::BString&)
{
    return 0;
}
int DLLExtAgents::Load(const KAF::BString&)
{
    return 0;
}
int DLLExtAgents::Unload(const KAF::BString&)
{
    return 0;
}
int DLLExtAgents::Load(KAF::INonVolatile*)
{
    return 0;
}
int DLLExtAgents::Add(KAF::INonVolatile*, const KAF::BString&, const KAF::BString&,
                      const KAF::BString&)
{
    return 0;
}
int DLLExtAgents::Delete(KAF::INonVolatile*, const KAF::BString&)
{
    return 0;
}
