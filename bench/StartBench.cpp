// How the host's start and reload grow with the configuration: N entries
// read into the store and applied to the registry, at N = 4000 and 40000 in
// the same run, so that the ratio of the two times shows the growth (10 is
// linear). Every entry has load = 0: applying it does all of the
// registry's own work (the entry check, the index, the reconcile) and opens
// nothing. A path that fails to load would add dlopen's search and an
// event per entry, costs per library that are the same at any N and would
// dilute the growth being measured. Against the floor: reading the same
// file and keeping each section's values by name.
//
// Loading is measured apart (BM_StartLoading): N extension libraries that
// pass every check, each its own file, loaded at start, at N = 1000, 2000
// and 4000, and the same checks without loading (BM_CheckExtensions), so
// that their cost per library shows and whether it stays the same at any N.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include <malloc.h>
#include <unistd.h>

#include "host/registry/ExtConfigCheck.h"
#include "hostapi/BFileNV.h"
#include "hostapi/DLLExtAgents.h"

namespace {

// Each iteration frees what it made. glibc gives a large freed heap back to
// the kernel, and the next iteration faults it in again: a cost that only
// the larger size pays, as the smaller one's heap stays below the
// thresholds and is reused warm. With both thresholds out of reach every
// size reuses its heap alike. (A real start faults its memory in once, at
// any size.)
struct TWarmHeap {
    TWarmHeap()
    {
        mallopt(M_TRIM_THRESHOLD, 1 << 30);
        mallopt(M_MMAP_THRESHOLD, 1 << 30);
    }
} s_warmHeap;

// The configuration of `n` entries, written once per size for the process
// and removed at its end.
class TConfigFiles {
public:
    ~TConfigFiles()
    {
        for (const auto& file : m_paths)
            std::remove(file.second.c_str());
    }
    const std::string& Of(int n)
    {
        auto it = m_paths.find(n);
        if (it != m_paths.end())
            return it->second;
        const std::string path = "/tmp/murox-start-bench-" + std::to_string(getpid()) + "-" +
                                 std::to_string(n) + ".conf";
        std::ofstream out(path);
        out << "# murox.conf as a large site might keep it\n[murox]\nname = bench\n";
        for (int i = 0; i < n; ++i) {
            const std::string name = "ext" + std::to_string(i);
            out << "\n[extdll " << name << "]\npath = /usr/lib/murox/ext/lib" << name
                << ".so\nweb = /web/" << name << "\nload = 0\n";
        }
        return m_paths.emplace(n, path).first->second;
    }

private:
    std::unordered_map<int, std::string> m_paths;
} s_configFiles;

const std::string& ConfigFile(int n)
{
    return s_configFiles.Of(n);
}

// The same configuration in a store that finds a section from the number
// in its name, with no lookup structure of its own: what it costs stays
// the same per entry at any size and does not hide the registry's growth.
class TNumberedStore : public KAF::INonVolatile {
public:
    explicit TNumberedStore(int n)
    {
        for (int i = 0; i < n; ++i) {
            const std::string name = "ext" + std::to_string(i);
            m_sections.emplace_back(("extdll " + name).c_str());
            m_paths.emplace_back(("/usr/lib/murox/ext/lib" + name + ".so").c_str());
            m_webs.emplace_back(("/web/" + name).c_str());
        }
    }
    int SectionCount() const override { return static_cast<int>(m_sections.size()); }
    int SectionNameAt(int index, KAF::BString& name) const override
    {
        name = m_sections[static_cast<std::size_t>(index)];
        return 1;
    }
    int GetValue(const KAF::BString& section, const KAF::BString& key,
                 KAF::BString& value) const override
    {
        if (std::strncmp(section.c_str(), "extdll ext", std::strlen("extdll ext")) != 0)
            return 0;
        const std::size_t i =
            std::strtoul(section.c_str() + std::strlen("extdll ext"), nullptr, 10);
        const std::string which = key.c_str();
        value = which == "path" ? m_paths[i] : which == "web" ? m_webs[i] : KAF::BString("0");
        return 1;
    }
    int SetValue(const KAF::BString&, const KAF::BString&, const KAF::BString&) override
    {
        return 0;
    }
    int RemoveSection(const KAF::BString&) override { return 0; }
    int Commit() override { return 0; }
    const char* LastError() const override { return ""; }

private:
    std::vector<KAF::BString> m_sections, m_paths, m_webs;
};

// A fresh store and registry: read and apply, as the host starts.
void BM_Start(benchmark::State& state)
{
    const std::string& path = ConfigFile(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        auto pStore = std::make_unique<KAF::BFileNV>();
        auto pRegistry = std::make_unique<DLLExtAgents>();
        if (pStore->ReadFile(path.c_str()) == 0 || pRegistry->Load(pStore.get()) == 0) {
            state.SkipWithError("the configuration was not applied");
            break;
        }
        benchmark::DoNotOptimize(pRegistry->NumExtAgents());
        state.PauseTiming(); // shutting down is not part of the start
        pRegistry.reset();
        pStore.reset();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Start)->ArgName("entries")->Arg(4000)->Arg(40000)->Unit(benchmark::kMillisecond);

// The reload action: the same file read and applied again to a registry
// that holds every entry already, each of which is kept.
void BM_Reload(benchmark::State& state)
{
    const std::string& path = ConfigFile(static_cast<int>(state.range(0)));
    KAF::BFileNV store;
    DLLExtAgents registry;
    if (store.ReadFile(path.c_str()) == 0 || registry.Load(&store) == 0) {
        state.SkipWithError("the configuration was not applied");
        return;
    }
    for (auto _ : state) {
        if (store.ReadFile(path.c_str()) == 0 || registry.Load(&store) == 0) {
            state.SkipWithError("the configuration was not applied");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Reload)->ArgName("entries")->Arg(4000)->Arg(40000)->Unit(benchmark::kMillisecond);

// The registry's part of the start alone.
void BM_StartRegistryOnly(benchmark::State& state)
{
    TNumberedStore store(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        auto pRegistry = std::make_unique<DLLExtAgents>();
        if (pRegistry->Load(&store) == 0) {
            state.SkipWithError("the configuration was not applied");
            break;
        }
        state.PauseTiming();
        pRegistry.reset();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_StartRegistryOnly)
    ->ArgName("entries")
    ->Arg(4000)
    ->Arg(40000)
    ->Unit(benchmark::kMillisecond);

// The floor: the file read line by line, each section's three values kept
// under its name.
void BM_StartFloor(benchmark::State& state)
{
    struct TValues {
        std::string path, web, load;
    };
    const std::string& path = ConfigFile(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        std::ifstream in(path);
        std::unordered_map<std::string, TValues> sections;
        TValues* pCurrent = nullptr;
        std::string line;
        while (std::getline(in, line)) {
            if (!line.empty() && line[0] == '[') {
                pCurrent = &sections[line.substr(1, line.size() - 2)];
                continue;
            }
            const std::string::size_type eq = line.find(" = ");
            if (pCurrent == nullptr || eq == std::string::npos)
                continue;
            const std::string key = line.substr(0, eq);
            std::string* pValue = key == "path"  ? &pCurrent->path
                                  : key == "web" ? &pCurrent->web
                                                 : &pCurrent->load;
            *pValue = line.substr(eq + 3);
        }
        benchmark::DoNotOptimize(sections.size());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_StartFloor)->ArgName("entries")->Arg(4000)->Arg(40000)->Unit(benchmark::kMillisecond);

// N copies of a sample extension in a directory of this process's own, and
// a configuration that loads them all from there, made once per size.
class TExtensionCopies {
public:
    TExtensionCopies()
    {
        std::string dir = "/tmp/murox-start-bench-XXXXXX";
        m_dir = mkdtemp(&dir[0]) != nullptr ? dir : std::string();
    }
    ~TExtensionCopies()
    {
        std::error_code ignored;
        if (!m_dir.empty())
            std::filesystem::remove_all(m_dir, ignored);
    }
    // The configuration, empty when the copies could not be made.
    std::string Of(int n)
    {
        const std::string path = m_dir + "/" + std::to_string(n) + ".conf";
        if (m_dir.empty() || std::filesystem::exists(path))
            return m_dir.empty() ? std::string() : path;
        std::ofstream out(path);
        out << "[murox]\nextension_dirs = " << m_dir << "\n";
        for (int i = 0; i < n; ++i) {
            const std::string library = m_dir + "/libext" + std::to_string(i) + ".so";
            std::error_code error;
            if (!std::filesystem::exists(library) &&
                !std::filesystem::copy_file(MUROX_SAMPLE_LIBRARY, library, error))
                return std::string();
            out << "\n[extdll ext" << i << "]\npath = " << library << "\n";
        }
        return path;
    }

private:
    std::string m_dir;
} s_extensionCopies;

// A fresh store and registry that load every library, as the host starts;
// unloading them is not part of the start.
void BM_StartLoading(benchmark::State& state)
{
    const std::string path = s_extensionCopies.Of(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        auto pStore = std::make_unique<KAF::BFileNV>();
        auto pRegistry = std::make_unique<DLLExtAgents>();
        if (path.empty() || pStore->ReadFile(path.c_str()) == 0 ||
            pRegistry->Load(pStore.get()) == 0) {
            state.SkipWithError("the libraries were not all loaded");
            break;
        }
        state.PauseTiming();
        pRegistry.reset();
        pStore.reset();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_StartLoading)
    ->ArgName("extensions")
    ->Arg(1000)
    ->Arg(2000)
    ->Arg(4000)
    ->Unit(benchmark::kMillisecond);

// The same configuration checked as "murox --check" does: every check the
// start makes, without the dynamic loader, whose own work per library
// grows with the number of libraries mapped.
void BM_CheckExtensions(benchmark::State& state)
{
    const std::string path = s_extensionCopies.Of(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        if (path.empty() || !CheckExtConfigFile(path).empty()) {
            state.SkipWithError("the libraries did not all pass");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_CheckExtensions)
    ->ArgName("extensions")
    ->Arg(1000)
    ->Arg(2000)
    ->Arg(4000)
    ->Unit(benchmark::kMillisecond);

} // namespace
