// A link-time stand-in for the daemon's registry of extension libraries.
//
// Linking FakeRegistry.cpp into a test executable defines every member of
// DLLExtAgents, so a library that calls the registry by name binds to this
// one. Every registry object of the process shares one scripted state: it
// records each call, answers from the script, and can throw on a chosen call.
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

    // One entry per call, e.g. "Exist(foo)", "Add(store,foo,p,)",
    // "Load(store)", "ExtAgentAt(0)"; the throwing call is logged too. A
    // test may log other events here to see them in order with the calls.
    std::vector<std::string> calls;
    // If set, called with each entry once it is logged (before a scripted
    // throw): a program that links the library can publish events from it,
    // as the daemon's registry does.
    void (*pOnCall)(const std::string& entry) = nullptr;
};

TState& State();
// A fresh script that logs `pStore` as "store".
void Reset(const KAF::INonVolatile* pStore);

} // namespace fake_registry

#endif
