// A command runner that runs nothing, for the server's tests: who gets in,
// what waits for the clients and what the log holds are decided around
// the lines, not by them.
#ifndef TESTS_HOST_TIDLERUNNER_H
#define TESTS_HOST_TIDLERUNNER_H

#include <string>

#include "host/server/ICommandRunner.h"

class TIdleRunner : public ICommandRunner {
public:
    TLineOutcome RunLine(const std::string&, KAF::ICmdStream&) override
    {
        return TLineOutcome::kSucceeded;
    }
    void Reload(KAF::ICmdStream&) override {}
    control::TCommandWords CompletionWords() override { return {}; }
    TExtensionCounts Extensions() override { return {}; }
};

#endif
