// Exceptions from the stream or the registry leave "xdll" at the failing
// call: nothing after it runs, and nothing is leaked.
#include <string>
#include <vector>

#include "tests/xdll/XDllHarness.h"
#ifdef MUROX_COUNT_ALLOCATIONS
#include "support/AllocationControl.h"
#endif

namespace {

using Strings = std::vector<std::string>;

// Lines that mix messages, registry calls and (without switches) the listing.
const std::vector<const char*> s_lines[] = {
    {"-x", "-l", "foo", "-f", "-a", "p", "-d", "-X", "-r", "-u", "w"},
    {"bar", "-l", "-f", "-zz", "-d", "-u", "-a", "-r"},
    {"-a", "--x", "-d", "-l"},
    {},
};

struct TOutcome {
    Strings trace; // pieces and registry calls, in order
    int writes;
    int calls;
    bool streamFault;
    bool registryFault;
};

class TXDllFaultTest : public TXDllTest {
protected:
    TXDllFaultTest()
    {
        auto& state = fake_registry::State();
        state.known = {"foo"};
        state.records = {{"foo", "/lib/foo.so", "", 1, 0, 1},
                         {"bar", "/lib/bar.so", "bar", 0, 1, 0}};
    }

    // Runs the line with the k-th write or the k-th registry call failing.
    TOutcome RunFailing(const std::vector<const char*>& words, int failWrite, int failCall)
    {
        TOutcome outcome{};
        fake_registry::State().throwAtCall = failCall;
        fake_registry::State().callCount = 0;
        TTracingStream out(failWrite);
        try {
            Run(out, words);
        } catch (const TStreamFault& fault) {
            outcome.streamFault = fault.write == failWrite;
        } catch (const fake_registry::TFault& fault) {
            outcome.registryFault = fault.call == failCall;
        }
        outcome.trace = Calls();
        outcome.writes = out.m_writes;
        outcome.calls = fake_registry::State().callCount;
        return outcome;
    }
};

// The trace up to and including its n-th write or n-th registry call.
Strings Through(const Strings& trace, bool write, int n)
{
    Strings head;
    for (const std::string& entry : trace) {
        head.push_back(entry);
        if ((entry.compare(0, 6, "Write(") == 0) == write && --n == 0)
            break;
    }
    return head;
}

// Each write and each registry call of every line fails in turn. The
// sanitizer build checks for leaks at exit; elsewhere the live blocks are
// counted around each failing run.
TEST_F(TXDllFaultTest, AFailingCallEndsTheLineThereLeakingNothing)
{
    for (const auto& words : s_lines) {
        const TOutcome clean = RunFailing(words, 0, 0);
        ASSERT_FALSE(clean.streamFault || clean.registryFault);
        ASSERT_GT(clean.writes + clean.calls, 2);
        for (int k = 1; k <= clean.writes + clean.calls; ++k) {
            const bool onWrite = k <= clean.writes;
            const int n = onWrite ? k : k - clean.writes;
            SCOPED_TRACE((onWrite ? "write " : "call ") + std::to_string(n));
            Calls().clear(); // the fake's log is the test's: empty around the count
            long leaked = 0;
            bool faulted = false;
            bool stoppedThere = false;
            {
#ifdef MUROX_COUNT_ALLOCATIONS
                alloc_control::TScope scope;
#endif
                {
                    const TOutcome failed = RunFailing(words, onWrite ? n : 0, onWrite ? 0 : n);
                    faulted = onWrite ? failed.streamFault : failed.registryFault;
                    stoppedThere = Through(clean.trace, onWrite, n) == failed.trace;
                }
                Calls().clear();
#ifdef MUROX_COUNT_ALLOCATIONS
                leaked = scope.Leaked();
#endif
            }
            EXPECT_TRUE(faulted);
            EXPECT_TRUE(stoppedThere);
            EXPECT_EQ(0, leaked);
        }
    }
}

} // namespace
