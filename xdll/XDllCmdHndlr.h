// The handler of the "xdll" command: lists the daemon's extension libraries
// and loads, unloads, reloads, adds and deletes them, or has the registry
// follow the configuration file again.
#ifndef XDLL_XDLLCMDHNDLR_H
#define XDLL_XDLLCMDHNDLR_H

#include "hostapi/BCmdHandler.h"
#include "hostapi/BFileNV.h"
#include "hostapi/BString.h"
#include "hostapi/CliEntry.h"
#include "hostapi/DLLExtAgents.h"
#include "hostapi/ICmdStream.h"
#include "murox/MuroxExport.h"

// The help text of the "xdll" command: eight lines, each ended by a newline.
// Row 0 of XDllCmdHndlr::s_cliEntries points to the same text.
extern MUROX_API const char* szHelp;

// The store and the registry belong to the host and must outlive the
// handler; the handler owns only a copy of the store's file name, taken at
// construction. The handler keeps no other state, so CmdExecute may be
// called any number of times. Nothing is caught: an exception from the
// stream, the registry or the store leaves CmdExecute with every local
// released, and the switches after the failing one do not run.
class MUROX_API XDllCmdHndlr : public KAF::BCmdHandler {
public:
    XDllCmdHndlr(KAF::BFileNV& nv, DLLExtAgents& agents);
    ~XDllCmdHndlr() override;

    // Runs one "xdll" line; `args` are the words after the command word.
    // Acts only when CmdId maps `cmdName` to 1. Without a switch it writes
    // the listing of every registered library; otherwise it runs one action
    // per switch, in order, each taking its operands from the words that
    // are not switches. The whole answer is what is written to `out`, one
    // Write per piece; a successful action writes nothing. `security` and
    // `extra` are not read.
    void CmdExecute(KAF::ICmdStream& out, const KAF::BString& cmdName,
                    const KAF::BStringArray& args, const KAF::BSecurityParams& security,
                    const KAF::BString& extra) override;
    // The quoted handler name, s_cmdHandlerName.
    const char* CmdGetHndlrName() const override;
    // The first row of s_cliEntries.
    const CliEntry* CmdGetMap() const override;

    // Row 0: "xdll" with id 1, its help (szHelp) and synopsis; row 1 ends
    // the table (id -1, no texts). Complete once static initialisation ran.
    static CliEntry s_cliEntries[2];
    static const char* s_cmdHandlerName;

private:
    KAF::BFileNV& m_fileNV;
    DLLExtAgents& m_extAgents;
    KAF::BString m_fileName; // the store's file name at construction
};

#endif
