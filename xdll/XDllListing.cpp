// The listing that "xdll" writes when its line holds no switch, and the
// one way the command writes its own texts.
#include "xdll/XDllLine.h"

namespace xdll_detail {

void WriteText(KAF::ICmdStream& out, const char* szText)
{
    // The temporary lives until Write returns and is released right after,
    // also when Write throws.
    out.Write(KAF::BString(szText));
}

namespace {

const char* StatusText(const ExtAgent& agent)
{
    if (agent.loaded != 0)
        return "LOADED";
    switch (agent.status) {
    case kExtFailedToLoad:
        return "FAILED TO LOAD";
    case kExtFailedToInit:
        return "FAILED TO INITIALIZE/REGISTER";
    case kExtNotLoaded:
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
