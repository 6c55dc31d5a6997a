#include "hostapi/BCmdHandler.h"

namespace KAF {

namespace {

const CliEntry* FindRow(const CliEntry* pRows, const BString& cmdName)
{
    for (; pRows != nullptr && pRows->cmdId != -1; ++pRows) {
        const unsigned length = BString::Strlen(pRows->cmdName);
        if (cmdName.compare(0, cmdName.length(), pRows->cmdName, length) == 0)
            return pRows;
    }
    return nullptr;
}

} // namespace

ICmdStream::~ICmdStream() = default;

void ICmdStream::Flush() {}

BCmdHandler::~BCmdHandler() = default;

const char* BCmdHandler::CmdHndlrName()
{
    return CmdGetHndlrName();
}

int BCmdHandler::CmdCount()
{
    int count = 0;
    for (const CliEntry* pRow = CmdGetMap(); pRow != nullptr && pRow->cmdId != -1; ++pRow)
        ++count;
    return count;
}

const char* BCmdHandler::CmdNameAt(int index)
{
    if (index < 0 || index >= CmdCount())
        return nullptr;
    return CmdGetMap()[index].cmdName;
}

int BCmdHandler::CmdId(const BString& cmdName)
{
    const CliEntry* pRow = FindRow(CmdGetMap(), cmdName);
    return pRow != nullptr ? pRow->cmdId : -1;
}

const char* BCmdHandler::CmdGetDescr(const BString& cmdName)
{
    const CliEntry* pRow = FindRow(CmdGetMap(), cmdName);
    return pRow != nullptr ? pRow->descr : nullptr;
}

const char* BCmdHandler::CmdGetArgsDescr(const BString& cmdName)
{
    const CliEntry* pRow = FindRow(CmdGetMap(), cmdName);
    return pRow != nullptr ? pRow->argsDescr : nullptr;
}

int BCmdHandler::CmdId(const BString& cmdName, ICmdStream& /*out*/)
{
    return CmdId(cmdName);
}

} // namespace KAF
