#include "BenchRegistry.h"

namespace bench_registry {

std::vector<ExtAgent>& Records()
{
    static std::vector<ExtAgent> s_records;
    return s_records;
}

} // namespace bench_registry

using bench_registry::Records;

DLLExtAgents::DLLExtAgents() : m_pImpl(nullptr) {}
DLLExtAgents::~DLLExtAgents() = default;

int DLLExtAgents::NumExtAgents()
{
    return static_cast<int>(Records().size());
}

ExtAgent* DLLExtAgents::ExtAgentAt(int index)
{
    return index >= 0 && index < NumExtAgents() ? &Records()[index] : nullptr;
}

int DLLExtAgents::Exist(const KAF::BString&)
{
    return 1;
}

int DLLExtAgents::Load(const KAF::BString&)
{
    return 1;
}

int DLLExtAgents::Unload(const KAF::BString&)
{
    return 1;
}

int DLLExtAgents::Load(KAF::INonVolatile*)
{
    return 1;
}

int DLLExtAgents::Add(KAF::INonVolatile*, const KAF::BString&, const KAF::BString&,
                      const KAF::BString&)
{
    return 1;
}

int DLLExtAgents::Delete(KAF::INonVolatile*, const KAF::BString&)
{
    return 1;
}
