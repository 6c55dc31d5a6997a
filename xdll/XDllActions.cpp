// The six actions of the "xdll" command, and the option letters that pick
// them. An action writes a message only for a missing operand or a name the
// registry does not know; the results of the registry and the store are
// not reported (a failed load shows in the listing's status).
#include "xdll/XDllLine.h"

namespace xdll_detail {

namespace {

const char* const szNoSuchDll = "No such ext DLL\n";

// The name of every action is the first plain argument.
bool HasName(const TXDllLine& line, const char* szMissing)
{
    if (line.plainArgs.m_count >= 1)
        return true;
    WriteText(line.out, szMissing);
    return false;
}

const KAF::BString& Name(const TXDllLine& line)
{
    return line.plainArgs.m_pItems[0];
}

// True when the registry knows the name; else says so.
bool Exists(const TXDllLine& line)
{
    if (line.extAgents.Exist(Name(line)) != 0)
        return true;
    WriteText(line.out, szNoSuchDll);
    return false;
}

KAF::INonVolatile* Config(const TXDllLine& line)
{
    return &line.fileNV;
}

void LoadDll(const TXDllLine& line)
{
    if (HasName(line, "Please specify name of the ext DLL to load\n") && Exists(line))
        line.extAgents.Load(Name(line));
}

void UnloadDll(const TXDllLine& line)
{
    if (HasName(line, "Please specify name of the ext DLL to unload\n") && Exists(line))
        line.extAgents.Unload(Name(line));
}

// Each half asks the registry on its own: the unload may have changed what
// it knows.
void ReloadDll(const TXDllLine& line)
{
    if (!HasName(line, "Please specify name of the ext DLL to unload\n"))
        return;
    if (Exists(line))
        line.extAgents.Unload(Name(line));
    if (Exists(line))
        line.extAgents.Load(Name(line));
}

// Reads the file the store had at the handler's construction; the registry
// follows the store whether or not the read succeeded.
void RereadConfig(const TXDllLine& line)
{
    line.fileNV.ReadFile(line.fileName.c_str());
    line.extAgents.Load(Config(line));
}

void AddDll(const TXDllLine& line)
{
    const KAF::BStringArray& plain = line.plainArgs;
    if (plain.m_count < 2) {
        WriteText(line.out, "Please specify at least <name> and <path>\n");
        return;
    }
    if (plain.m_count == 2) {
        const KAF::BString noWeb;
        line.extAgents.Add(Config(line), plain.m_pItems[0], plain.m_pItems[1], noWeb);
        return;
    }
    line.extAgents.Add(Config(line), plain.m_pItems[0], plain.m_pItems[1], plain.m_pItems[2]);
}

// The registry both unloads the library and removes it from the store.
void DeleteDll(const TXDllLine& line)
{
    if (HasName(line, "Please specify name of the ext DLL to remove\n") && Exists(line))
        line.extAgents.Delete(Config(line), Name(line));
}

struct TAction {
    unsigned char letter;
    void (*pRun)(const TXDllLine& line);
};

const TAction s_actions[] = {
    {'a', AddDll},  {'d', DeleteDll},    {'f', ReloadDll},
    {'l', LoadDll}, {'r', RereadConfig}, {'u', UnloadDll},
};

} // namespace

void RunAction(unsigned char letter, const TXDllLine& line)
{
    for (const TAction& action : s_actions) {
        if (action.letter == letter) {
            action.pRun(line);
            return;
        }
    }
    WriteText(line.out, "Unknown option\n");
}

} // namespace xdll_detail
