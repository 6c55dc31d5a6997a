// "xdll" lines under failing allocations: the listing, and lines whose
// switches run every action. Whatever allocation fails (the handler's own
// strings and lists, the stream's or the registry's), std::bad_alloc
// reaches the caller, what was written and called is the start of what a
// clean run writes and calls, nothing stays allocated, and the handler
// runs the same line cleanly afterwards.
#include <algorithm>

#include "tests/support/FakeRegistry.h"
#include "tests/support/RecordingStream.h"
#include "tests/sweep/Sweep.h"
#include "xdll/XDllCmdHndlr.h"

namespace {

// The registry's script for a run. Reset frees what earlier runs logged,
// and every script holds as many blocks: a run that logs must clear its
// log for the sweep's count of blocks to balance.
void Script(const KAF::BFileNV& store)
{
    fake_registry::Reset(&store);
    fake_registry::State().known = {"foo"};
    fake_registry::State().records = {ExtAgent{"foo", "/lib/foo.so", "", 1, 0, 1},
                                      ExtAgent{"bar", "/lib/bar.so", "/web/bar", 0, 2, 0}};
}

TEST(XDllSweep, FailedLineEndsCleanlyAndTheHandlerStaysUsable)
{
    KAF::BFileNV store("/nonexistent/xdll.conf");
    DLLExtAgents agents;
    XDllCmdHndlr handler(store, agents); // one for every run
    const KAF::BString command("xdll"), extra;
    const auto execute = [&](KAF::BStringArray& args) -> std::vector<std::string>& {
        TRecordingStream out(&fake_registry::State().calls); // pieces and calls in one order
        handler.CmdExecute(out, command, args, KAF::BSecurityParams(), extra);
        return fake_registry::State().calls;
    };
    const std::vector<const char*> lines[] = {
        {}, // the listing
        {"-l", "-u", "-f", "-r", "-a", "-d", "-x", "foo", "/lib/f", "w"},
        {"-l", "-u", "-f", "-d", "-a", "-r", "-Q"},
        {"-f", "-l", "-u", "-d", "-a", "bar", "/lib/bar.so"},
    };
    for (const auto& words : lines) {
        SCOPED_TRACE(testing::Message() << words.size() << " words");
        const auto make = [&] {
            auto pArgs = std::make_unique<KAF::BStringArray>();
            for (const char* word : words)
                pArgs->PushBack(KAF::BString(word));
            Script(store);
            return pArgs;
        };
        const std::vector<std::string> reference = execute(*make());
        fake_registry::State().calls.clear();
        const auto check = [&](KAF::BStringArray& args, bool completed) {
            const std::vector<std::string>& trace = fake_registry::State().calls;
            EXPECT_TRUE(
                (completed ? trace.size() == reference.size() : trace.size() <= reference.size()) &&
                std::equal(trace.begin(), trace.end(), reference.begin()));
            Script(store);
            EXPECT_EQ(reference, execute(args));
            fake_registry::State().calls.clear();
        };
        EXPECT_GT(sweep::Sweep(make, execute, check), 3);
    }
}

} // namespace
