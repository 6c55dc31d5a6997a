#include "hostapi/TTraceGuard.h"

#include <atomic>

namespace KAF {

// The stand-in records only how many guards are open and how many were
// opened, which is enough to see that a body was guarded.
namespace {
thread_local int s_depth = 0;
std::atomic<unsigned> s_entries{0};
} // namespace

TTraceGuard::TTraceGuard()
{
    ++s_depth;
    ++s_entries;
}

TTraceGuard::~TTraceGuard()
{
    --s_depth;
}

int TTraceGuard::Depth()
{
    return s_depth;
}

unsigned TTraceGuard::Entries()
{
    return s_entries;
}

} // namespace KAF
