// The base of every command handler.
#ifndef HOSTAPI_BCMDHANDLER_H
#define HOSTAPI_BCMDHANDLER_H

#include <cstdint>

#include "hostapi/BString.h"
#include "hostapi/CliEntry.h"
#include "hostapi/ICmdStream.h"
#include "hostapi/KafApi.h"

namespace KAF {

// Who issued a command line; handed through to the handler.
class KAF_API BSecurityParams {
public:
    BSecurityParams() : m_accessLevel(0) {}
    explicit BSecurityParams(int32_t accessLevel) : m_accessLevel(accessLevel) {}

    int32_t m_accessLevel;
};

// A handler declares its commands through a table (CmdGetMap) and runs
// their lines (CmdExecute). The lookups here are all answered from that
// table; the virtual order is fixed, since handlers in other libraries are
// compiled against it.
class KAF_API BCmdHandler {
public:
    BCmdHandler() = default;
    virtual ~BCmdHandler();
    BCmdHandler(const BCmdHandler&) = delete;
    BCmdHandler& operator=(const BCmdHandler&) = delete;

    // The handler's name, as CmdGetHndlrName gives it.
    virtual const char* CmdHndlrName();
    // Rows of the table before its end row.
    virtual int CmdCount();
    // The command word of row `index`, or null outside the table.
    virtual const char* CmdNameAt(int index);
    // The id of the row named `cmdName`, or -1.
    virtual int CmdId(const BString& cmdName);
    // Help text and argument synopsis of the row named `cmdName`, or null.
    virtual const char* CmdGetDescr(const BString& cmdName);
    virtual const char* CmdGetArgsDescr(const BString& cmdName);

    virtual void CmdExecute(ICmdStream& out, const BString& cmdName, const BStringArray& args,
                            const BSecurityParams& security, const BString& extra) = 0;
    virtual const char* CmdGetHndlrName() const = 0;
    virtual const CliEntry* CmdGetMap() const = 0;

    // The id of the row named `cmdName`, or -1; writes nothing to `out`.
    int CmdId(const BString& cmdName, ICmdStream& out);
};

} // namespace KAF

#endif
