#include "tests/support/FakeRegistry.h"

#include <algorithm>

#include "tests/support/Text.h"

namespace fake_registry {

namespace {

std::string StoreText(const KAF::INonVolatile* pConfig)
{
    return pConfig == State().pStore ? "store" : "other-store";
}

// Logs the call, then throws if the script chose it.
void Log(std::string entry)
{
    TState& state = State();
    state.calls.push_back(std::move(entry));
    if (state.pOnCall != nullptr)
        state.pOnCall(state.calls.back());
    if (++state.callCount == state.throwAtCall)
        throw TFault{state.callCount};
}

} // namespace

TState& State()
{
    static TState s_state;
    return s_state;
}

void Reset(const KAF::INonVolatile* pStore)
{
    State() = TState();
    State().pStore = pStore;
    // Logging then allocates only the entries' own text.
    State().calls.reserve(256);
}

} // namespace fake_registry

using namespace fake_registry;

DLLExtAgents::DLLExtAgents() : m_pImpl(nullptr) {}

DLLExtAgents::~DLLExtAgents() = default;

int DLLExtAgents::NumExtAgents()
{
    Log("NumExtAgents");
    return static_cast<int>(State().records.size()) + State().phantoms;
}

ExtAgent* DLLExtAgents::ExtAgentAt(int index)
{
    Log("ExtAgentAt(" + std::to_string(index) + ")");
    auto& records = State().records;
    return index >= 0 && index < static_cast<int>(records.size()) ? &records[index] : nullptr;
}

int DLLExtAgents::Exist(const KAF::BString& name)
{
    Log("Exist(" + Text(name) + ")");
    auto& answers = State().existAnswers;
    if (!answers.empty()) {
        const int answer = answers.front();
        answers.pop_front();
        return answer;
    }
    const auto& known = State().known;
    return std::find(known.begin(), known.end(), Text(name)) != known.end();
}

int DLLExtAgents::Load(const KAF::BString& name)
{
    Log("Load(" + Text(name) + ")");
    return 1;
}

int DLLExtAgents::Unload(const KAF::BString& name)
{
    Log("Unload(" + Text(name) + ")");
    return 1;
}

int DLLExtAgents::Load(KAF::INonVolatile* config)
{
    Log("Load(" + StoreText(config) + ")");
    return 1;
}

int DLLExtAgents::Add(KAF::INonVolatile* config, const KAF::BString& name, const KAF::BString& path,
                      const KAF::BString& web)
{
    Log("Add(" + StoreText(config) + "," + Text(name) + "," + Text(path) + "," + Text(web) + ")");
    return 1;
}

int DLLExtAgents::Delete(KAF::INonVolatile* config, const KAF::BString& name)
{
    Log("Delete(" + StoreText(config) + "," + Text(name) + ")");
    return 1;
}
