// Internal to the "xdll" command: what its listing and actions work on.
// Nothing here is exported.
#ifndef XDLL_XDLLLINE_H
#define XDLL_XDLLLINE_H

#include "hostapi/BFileNV.h"
#include "hostapi/BString.h"
#include "hostapi/DLLExtAgents.h"
#include "hostapi/ICmdStream.h"

namespace xdll_detail {

// One command line as an action sees it: the handler's store, registry and
// file name, and the words of the line that are not switches.
struct TXDllLine {
    KAF::ICmdStream& out;
    KAF::BFileNV& fileNV;
    DLLExtAgents& extAgents;
    const KAF::BString& fileName;
    const KAF::BStringArray& plainArgs;
};

// Writes zero-terminated text as one piece of its own.
void WriteText(KAF::ICmdStream& out, const char* szText);

// Writes every record the registry holds, five lines each; nothing for an
// empty registry.
void WriteListing(KAF::ICmdStream& out, DLLExtAgents& extAgents);

// Runs the action of option `letter`, or answers "Unknown option".
void RunAction(unsigned char letter, const TXDllLine& line);

} // namespace xdll_detail

#endif
