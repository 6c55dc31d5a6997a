// A link-time stand-in for the registry: every DLLExtAgents shares a scripted state that logs each
// call, answers from the script and can throw on a chosen call.
#ifndef TESTS_SUPPORT_FAKEREGISTRY_H
#define TESTS_SUPPORT_FAKEREGISTRY_H

#include <deque>
#include <string>
#include <vector>

#include "hostapi/DLLExtAgents.h"

namespace fake_registry {

// Thrown by the call the script chose; `call` is its 1-based number.
struct TFault {
    int call;
};

struct TState {
    std::vector<ExtAgent> records;             // what NumExtAgents and ExtAgentAt answer
    int phantoms = 0;                          // counted records ExtAgentAt cannot give
    std::vector<std::string> known;            // names Exist answers 1 for
    std::deque<int> existAnswers;              // if not empty, Exist's next answers instead
    int throwAtCall = 0;                       // 1-based; 0 never throws
    int callCount = 0;                         // registry calls so far, the failing one included
    const KAF::INonVolatile* pStore = nullptr; // logged as "store"

    // One entry per call, e.g. "Exist(foo)", "Load(store)"; tests may log other events in order.
    std::vector<std::string> calls;
    // Called with each entry once logged, before a scripted throw, to publish events as the daemon
    // does.
    void (*pOnCall)(const std::string& entry) = nullptr;
};

TState& State();
// A fresh script that logs `pStore` as "store".
void Reset(const KAF::INonVolatile* pStore);

} // namespace fake_registry

#endif
