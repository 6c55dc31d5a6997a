// The registry that libMUROX leaves to the process. The event log never
// reaches it; these definitions only complete the process as the daemon's
// would, and stop it loudly should anything call them.
#include <cstdio>
#include <cstdlib>

#include "hostapi/DLLExtAgents.h"

namespace {
[[noreturn]] void Unexpected(const char* szWhat)
{
    std::fprintf(stderr, "event log tests: unexpected registry call %s\n", szWhat);
    std::abort();
}
} // namespace

DLLExtAgents::DLLExtAgents() : m_pImpl(nullptr) {}
DLLExtAgents::~DLLExtAgents() {}
int DLLExtAgents::NumExtAgents()
{
    Unexpected("NumExtAgents");
}
ExtAgent* DLLExtAgents::ExtAgentAt(int)
{
    Unexpected("ExtAgentAt");
}
int DLLExtAgents::Exist(const KAF::BString&)
{
    Unexpected("Exist");
}
int DLLExtAgents::Load(const KAF::BString&)
{
    Unexpected("Load");
}
int DLLExtAgents::Unload(const KAF::BString&)
{
    Unexpected("Unload");
}
int DLLExtAgents::Load(KAF::INonVolatile*)
{
    Unexpected("Load");
}
int DLLExtAgents::Add(KAF::INonVolatile*, const KAF::BString&, const KAF::BString&,
                      const KAF::BString&)
{
    Unexpected("Add");
}
int DLLExtAgents::Delete(KAF::INonVolatile*, const KAF::BString&)
{
    Unexpected("Delete");
}
