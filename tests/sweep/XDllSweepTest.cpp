// "xdll" lines under failing allocations: the listing, and lines whose
// switches run every action. Whatever allocation fails (the handler's own
// strings and lists, the stream's or the registry's), std::bad_alloc
// reaches the caller, what was written and called is the start of what a
// clean run writes and calls, nothing stays allocated, and the handler
// runs the same line cleanly afterwards.
#include <algorithm>
#include <string>
#include <vector>

#include "Sweep.h"
#include "tests/xdll/XDllHarness.h"

namespace {

using alloc_control::LiveBlocks;
using alloc_control::TFailMode;
using Strings = std::vector<std::string>;

struct TLine {
    const char* szName;
    std::vector<const char*> words;
};

const TLine kLines[] = {
    {"listing", {}},
    {"listing with a plain argument", {"foo"}},
    {"every action on a known name",
     {"-l", "-u", "-f", "-r", "-a", "-d", "-x", "foo", "/lib/f", "w"}},
    {"every action without operands", {"-l", "-u", "-f", "-d", "-a", "-r", "-Q"}},
    {"every action on an unknown name", {"-f", "-l", "-u", "-d", "-a", "bar", "/lib/bar.so"}},
};

class XDllSweep : public TXDllTest {
protected:
    // A fresh script: the fake's log has room reserved, so that logging
    // allocates only the entries' text.
    void SetUpRegistry()
    {
        fake_registry::Reset(&m_store);
        auto& state = fake_registry::State();
        state.known = {"foo"};
        state.records.push_back(ExtAgent{"foo", "/lib/foo.so", "", 1, 0, 1});
        state.records.push_back(ExtAgent{"bar", "/lib/bar.so", "/web/bar", 0, 2, 0});
    }

    struct TRun {
        sweep::TAttempt attempt;
        size_t traced; // pieces and registry calls made
        bool prefix;   // ...all as in the reference, in its order
        long leaked;   // blocks the run left allocated
    };

    // Runs the line with the k-th allocation failing (k 0: none), and
    // compares its trace of pieces and registry calls with `reference`.
    TRun RunLine(const TLine& line, long k, TFailMode mode, const Strings& reference)
    {
        SetUpRegistry();
        KAF::BStringArray args;
        for (const char* word : line.words)
            args.PushBack(KAF::BString(word));
        const KAF::BString command("xdll");
        const KAF::BString extra;
        const KAF::BSecurityParams security;
        TTracingStream out;
        out.m_pieces.reserve(64);
        out.m_sources.reserve(64);
        const long live = LiveBlocks();
        TRun run{{sweep::TOutcome::Completed, false}, 0, false, 0};
        const auto execute = [&] { m_handler.CmdExecute(out, command, args, security, extra); };
        if (k == 0)
            execute();
        else
            run.attempt = sweep::Armed(k, mode, execute);
        Strings& trace = Calls();
        run.traced = trace.size();
        run.prefix = trace.size() <= reference.size() &&
                     std::equal(trace.begin(), trace.end(), reference.begin());
        // What the fakes kept of the run is theirs, not the handler's.
        trace.clear();
        out.m_pieces.clear();
        run.leaked = LiveBlocks() - live;
        return run;
    }

    Strings Reference(const TLine& line)
    {
        SetUpRegistry();
        TTracingStream out;
        Run(out, line.words);
        return Calls();
    }
};

TEST_F(XDllSweep, FailedLineEndsCleanlyAndTheHandlerStaysUsable)
{
    for (const TLine& line : kLines) {
        const Strings reference = Reference(line);
        ASSERT_FALSE(reference.empty()) << line.szName;
        for (TFailMode mode : sweep::kModes) {
            SCOPED_TRACE(std::string(line.szName) + ", " + sweep::ModeName(mode));
            long k = 1;
            for (bool done = false; !done; ++k) {
                ASSERT_LT(k, sweep::kMaxK);
                const TRun run = RunLine(line, k, mode, reference);
                done = sweep::Completed(run.attempt, k);
                EXPECT_TRUE(run.prefix) << "k=" << k;
                EXPECT_EQ(0, run.leaked) << "k=" << k;
                if (done) {
                    EXPECT_EQ(reference.size(), run.traced);
                }
                // Usable afterwards: the same line gives the same answer.
                const TRun again = RunLine(line, 0, mode, reference);
                EXPECT_TRUE(again.prefix && again.traced == reference.size()) << "k=" << k;
            }
            EXPECT_GT(k, 3) << "the line allocates";
        }
    }
}

} // namespace
