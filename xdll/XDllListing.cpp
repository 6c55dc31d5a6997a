// The listing that "xdll" writes when its line holds no switch.
#include "xdll/XDllLine.h"

namespace xdll_detail {

namespace {

const char* StatusText(const ExtAgent& agent)
{
    if (agent.loaded != 0)
        return "LOADED";
    switch (agent.status) {
    case 1:
        return "FAILED TO LOAD";
    case 2:
        return "FAILED TO INITIALIZE/REGISTER";
    case 3:
        return "NOT LOADED";
    default:
        return "unknown";
    }
}

void WriteRecord(KAF::ICmdStream& out, const ExtAgent& agent)
{
    out.Write(agent.name);
    WriteText(out, "\n   Path:   ");
    out.Write(agent.path);
    WriteText(out, "\n   Web:    ");
    out.Write(agent.web);
    WriteText(out, "\n   Load:   ");
    WriteText(out, agent.load != 0 ? "1" : "0");
    WriteText(out, "\n   Status: ");
    WriteText(out, StatusText(agent));
    WriteText(out, "\n");
}

} // namespace

void WriteListing(KAF::ICmdStream& out, DLLExtAgents& extAgents)
{
    // The count is asked before every record: a record is valid only until
    // the next call on the registry, and the registry may change meanwhile.
    for (int index = 0; index < extAgents.NumExtAgents(); ++index) {
        const ExtAgent* pAgent = extAgents.ExtAgentAt(index);
        // A registry that contradicts its own count gets its gap skipped
        // rather than dereferenced.
        if (pAgent == nullptr)
            continue;
        WriteRecord(out, *pAgent);
    }
}

} // namespace xdll_detail
