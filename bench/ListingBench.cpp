// The listing of 1000 records into a stream that discards what it gets,
// against the same registry walk writing the same pieces from strings
// made once in advance.
#include <benchmark/benchmark.h>

#include <string>

#include "BenchRegistry.h"
#include "hostapi/BCmdHandler.h"
#include "hostapi/BFileNV.h"
#include "hostapi/ICmdStream.h"
#include "xdll/XDllCmdHndlr.h"

namespace {

// Keeps nothing but the number of bytes, so that no write can be skipped.
class TDiscardingStream : public KAF::ICmdStream {
public:
    void Write(const KAF::BString& text) override { m_bytes += text.m_length; }
    unsigned long m_bytes = 0;
};

void FillRegistry(int n)
{
    auto& records = bench_registry::Records();
    records.clear();
    for (int i = 0; i < n; ++i) {
        const std::string name = "ext" + std::to_string(i);
        const std::string path = "/usr/lib/murox/ext/lib" + name + ".so";
        const std::string web = i % 3 == 0 ? std::string() : "/web/" + name;
        records.push_back(
            ExtAgent{name.c_str(), path.c_str(), web.c_str(), i & 1, i % 4, i % 5 == 0 ? 1 : 0});
    }
}

// The same walk and the same ten pieces per record, from strings that need
// not be made for each write.
__attribute__((noinline)) void FloorListing(KAF::ICmdStream& out, DLLExtAgents& agents)
{
    static const KAF::BString path("\n   Path:   "), web("\n   Web:    "), load("\n   Load:   "),
        status("\n   Status: "), newline("\n"), one("1"), zero("0"), loaded("LOADED"),
        failedLoad("FAILED TO LOAD"), failedInit("FAILED TO INITIALIZE/REGISTER"),
        notLoaded("NOT LOADED"), unknown("unknown");
    for (int i = 0; i < agents.NumExtAgents(); ++i) {
        const ExtAgent& agent = *agents.ExtAgentAt(i);
        out.Write(agent.name);
        out.Write(path);
        out.Write(agent.path);
        out.Write(web);
        out.Write(agent.web);
        out.Write(load);
        out.Write(agent.load != 0 ? one : zero);
        out.Write(status);
        out.Write(agent.loaded != 0   ? loaded
                  : agent.status == 1 ? failedLoad
                  : agent.status == 2 ? failedInit
                  : agent.status == 3 ? notLoaded
                                      : unknown);
        out.Write(newline);
    }
}

void BM_ListingFloor(benchmark::State& state)
{
    FillRegistry(static_cast<int>(state.range(0)));
    DLLExtAgents agents;
    TDiscardingStream out;
    for (auto _ : state)
        FloorListing(out, agents);
    benchmark::DoNotOptimize(out.m_bytes);
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ListingFloor)->ArgName("records")->Arg(1000);

void BM_Listing(benchmark::State& state)
{
    FillRegistry(static_cast<int>(state.range(0)));
    DLLExtAgents agents;
    KAF::BFileNV store("/nonexistent/xdll.conf");
    XDllCmdHndlr handler(store, agents);
    TDiscardingStream out;
    const KAF::BString command("xdll");
    const KAF::BStringArray noArgs;
    for (auto _ : state)
        handler.CmdExecute(out, command, noArgs, KAF::BSecurityParams(), KAF::BString());
    benchmark::DoNotOptimize(out.m_bytes);
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Listing)->ArgName("records")->Arg(1000);

} // namespace
