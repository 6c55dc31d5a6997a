#include "host/shell/BHostCommands.h"

#include <exception>

namespace {

DLLExtAgents& Loaded(DLLExtAgents& registry, KAF::BFileNV& store)
{
    registry.Load(&store);
    return registry;
}

} // namespace

BHostCommands::BHostCommands(KAF::BFileNV& store) : m_handler(store, Loaded(m_registry, store))
{
    m_interpreter.Register(m_handler);
}

bool BHostCommands::RunLine(const std::string& line, KAF::ICmdStream& out)
{
    try {
        return m_interpreter.Execute(line, out);
    } catch (const std::exception& e) {
        out.Write(KAF::BString((std::string("murox: command failed: ") + e.what() + "\n").c_str()));
        return true;
    }
}

void BHostCommands::Reload(KAF::ICmdStream& out)
{
    RunLine("xdll -r", out);
}

std::string BHostCommands::CompletionWords()
{
    std::string words;
    for (const std::string& word : m_interpreter.CommandWords())
        words += "c " + word + "\n";
    for (int i = 0; i < m_registry.NumExtAgents(); ++i) {
        const ExtAgent* pAgent = m_registry.ExtAgentAt(i);
        if (pAgent != nullptr)
            words += "e " + std::string(pAgent->name.c_str(), pAgent->name.length()) + "\n";
    }
    return words;
}
