// Construction of the "xdll" handler and the dispatch of its command lines.
#include "xdll/XDllCmdHndlr.h"

#include "hostapi/BCmdLineParser.h"
#include "hostapi/LayoutChecks.h"
#include "xdll/XDllLine.h"

// The host may read the handler inline: the base's table pointer, the two
// references, then the owned file name, with nothing after it.
static_assert(sizeof(XDllCmdHndlr) == 3 * hostapi_layout::kPtr + sizeof(KAF::BString),
              "XDllCmdHndlr layout changed");

namespace {

// The id of "xdll" in row 0 of the table.
const int kXDllCmdId = 1;

} // namespace

XDllCmdHndlr::XDllCmdHndlr(KAF::BFileNV& nv, DLLExtAgents& agents)
    : m_fileNV(nv), m_extAgents(agents)
{
    // A copy: a later change of the store's name does not reach the handler.
    m_fileName = nv.m_fileName;
}

XDllCmdHndlr::~XDllCmdHndlr() = default;

void XDllCmdHndlr::CmdExecute(KAF::ICmdStream& out, const KAF::BString& cmdName,
                              const KAF::BStringArray& args,
                              const KAF::BSecurityParams& /*security*/,
                              const KAF::BString& /*extra*/)
{
    if (CmdId(cmdName, out) != kXDllCmdId)
        return;

    KAF::BStringArray switches;
    KAF::BStringArray plainArgs;
    for (int32_t i = 0; i < args.m_count; ++i) {
        const KAF::BString& word = args.m_pItems[i];
        if (KAF::BCmdLineParser::IsSwitch(word))
            switches.PushBack(word);
        else
            plainArgs.PushBack(word);
    }

    if (switches.m_count == 0) {
        xdll_detail::WriteListing(out, m_extAgents);
        return;
    }

    // Operands always come from the plain arguments; a value glued to a
    // switch is split off and ignored.
    const xdll_detail::TXDllLine line{out, m_fileNV, m_extAgents, m_fileName, plainArgs};
    KAF::BString value;
    for (int32_t i = 0; i < switches.m_count; ++i) {
        char letter = 0;
        if (!KAF::BCmdLineParser::SplitSwitch(switches.m_pItems[i], letter, value))
            continue;
        // As a byte, so that letters from 0x80 up mean the same whatever
        // the signedness of char.
        xdll_detail::RunAction(static_cast<unsigned char>(letter), line);
    }
}
