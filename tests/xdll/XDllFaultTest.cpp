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
        state.records = {fake_registry::Record("foo", "/lib/foo.so", "", 1, 0, 1),
                         fake_registry::Record("bar", "/lib/bar.so", "bar", 0, 1, 0)};
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

TEST_F(TXDllFaultTest, AFailingCallEndsTheLineThere)
{
    for (const auto& words : s_lines) {
        const TOutcome clean = RunFailing(words, 0, 0);
        ASSERT_FALSE(clean.streamFault || clean.registryFault);
        ASSERT_GT(clean.writes + clean.calls, 2);
        for (int k = 1; k <= clean.writes; ++k) {
            SCOPED_TRACE("write " + std::to_string(k) + " of " + std::to_string(clean.writes));
            const TOutcome failed = RunFailing(words, k, 0);
            EXPECT_TRUE(failed.streamFault);
            EXPECT_EQ(Through(clean.trace, true, k), failed.trace);
        }
        for (int k = 1; k <= clean.calls; ++k) {
            SCOPED_TRACE("call " + std::to_string(k) + " of " + std::to_string(clean.calls));
            const TOutcome failed = RunFailing(words, 0, k);
            EXPECT_TRUE(failed.registryFault);
            EXPECT_EQ(Through(clean.trace, false, k), failed.trace);
        }
    }
}

#ifdef MUROX_COUNT_ALLOCATIONS
// The sanitizer build checks the same with its leak checker at exit.
TEST_F(TXDllFaultTest, AFailingCallLeaksNothing)
{
    for (const auto& words : s_lines) {
        const TOutcome clean = RunFailing(words, 0, 0);
        long leaked = 0;
        int faults = 0;
        for (int k = 1; k <= clean.writes + clean.calls; ++k) {
            // The fake's log is the test's, not the handler's: empty on both sides.
            Calls().clear();
            alloc_control::TScope scope;
            {
                const bool onWrite = k <= clean.writes;
                const TOutcome failed =
                    RunFailing(words, onWrite ? k : 0, onWrite ? 0 : k - clean.writes);
                faults += failed.streamFault || failed.registryFault;
            }
            Calls().clear();
            leaked += scope.Leaked();
        }
        EXPECT_EQ(clean.writes + clean.calls, faults);
        EXPECT_EQ(0, leaked);
    }
}
#endif

} // namespace
