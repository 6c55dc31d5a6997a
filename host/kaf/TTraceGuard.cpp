#include "hostapi/TTraceGuard.h"

namespace KAF {

// The stand-in records only how many guards are open and how many were
// opened on each thread, which is enough to see that a body was guarded.
// Per thread needs no lock, and the framework is loaded with the process,
// never opened later, so the cheap initial-exec access to its thread-local
// counters is valid.
namespace {
__attribute__((tls_model("initial-exec"))) thread_local int s_depth = 0;
__attribute__((tls_model("initial-exec"))) thread_local unsigned s_entries = 0;
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
