// What the library publishes besides code: the command table, help text
// and name of the "xdll" handler, and the entry points.
#include "xdll/MuroxEntry.h"
#include "xdll/XDllCmdHndlr.h"

const char* szHelp = "Extension DLL admin \n"
                     " xdll                            list loaded ext dlls\n"
                     " xdll -l <name>                  load ext dll\n"
                     " xdll -u <name>                  unload ext dll \n"
                     " xdll -f <name>                  re-load ext dll \n"
                     " xdll -r                         re-read config and load/unload ext dlls \n"
                     " xdll -a <name> <path> [<web>]   add ext dll to configu and try to load\n"
                     " xdll -d <name>                  unload and remove ext dll from config\n";

// Row 0 takes its help from szHelp while the library's static initialisers
// run, so both name one text. szHelp itself is constant-initialised, so it
// is set before any dynamic initialiser of any file reads it.
CliEntry XDllCmdHndlr::s_cliEntries[2] = {
    {1, "xdll", szHelp, "[ [ -l | -u | -d | -f ] <name> | -r | -a <name> <path> [<web>] ]"},
    {-1, nullptr, nullptr, nullptr},
};

const char* XDllCmdHndlr::s_cmdHandlerName = "\"XDllCmdHndlr\"";

const char* XDllCmdHndlr::CmdGetHndlrName() const
{
    return s_cmdHandlerName;
}

const CliEntry* XDllCmdHndlr::CmdGetMap() const
{
    return s_cliEntries;
}

extern "C" void MUROX_Init(void) {}

void DbgModRegister() {}
