// A registry that only answers: the benchmarks measure the library, so the
// registry they run against does no work (and logs nothing) of its own.
#ifndef BENCH_BENCHREGISTRY_H
#define BENCH_BENCHREGISTRY_H

#include <vector>

#include "hostapi/DLLExtAgents.h"

namespace bench_registry {

// What NumExtAgents and ExtAgentAt answer. Every name exists; the actions
// return at once.
std::vector<ExtAgent>& Records();

} // namespace bench_registry

#endif
