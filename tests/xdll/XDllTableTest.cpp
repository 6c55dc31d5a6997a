// The handler as the host sees it before any line: its table, texts,
// object layout and virtual order.
#include <cstdint>
#include <cstring>
#include <string>

#include "support/VirtualSlot.h"
#include "tests/xdll/XDllHarness.h"

namespace {

const std::string kHelp =
    "Extension DLL admin \n"
    " xdll                            list loaded ext dlls\n"
    " xdll -l <name>                  load ext dll\n"
    " xdll -u <name>                  unload ext dll \n"
    " xdll -f <name>                  re-load ext dll \n"
    " xdll -r                         re-read config and load/unload ext "
    "dlls \n"
    " xdll -a <name> <path> [<web>]   add ext dll to configu and try to load\n"
    " xdll -d <name>                  unload and remove ext dll from config\n";

TEST_F(TXDllTest, PublishesTheCommandTableHelpAndName)
{
    ASSERT_EQ(437u, kHelp.size());
    EXPECT_EQ(kHelp, szHelp);
    const CliEntry* pRows = m_handler.CmdGetMap();
    EXPECT_EQ(XDllCmdHndlr::s_cliEntries, pRows);
    EXPECT_EQ(1, pRows[0].cmdId);
    EXPECT_STREQ("xdll", pRows[0].cmdName);
    EXPECT_EQ(szHelp, pRows[0].descr);
    EXPECT_EQ(64u, std::strlen(pRows[0].argsDescr));
    EXPECT_STREQ("[ [ -l | -u | -d | -f ] <name> | -r | -a <name> <path> [<web>] ]",
                 pRows[0].argsDescr);
    const CliEntry end = pRows[1];
    EXPECT_TRUE(end.cmdId == -1 && !end.cmdName && !end.descr && !end.argsDescr);
    EXPECT_EQ(XDllCmdHndlr::s_cmdHandlerName, m_handler.CmdGetHndlrName());
    EXPECT_EQ(14u, std::strlen(m_handler.CmdGetHndlrName()));
    EXPECT_STREQ("\"XDllCmdHndlr\"", m_handler.CmdGetHndlrName());
}

// The base's table pointer, the store, the registry, then its own copy of
// the file name: a BString, its text pointer then its length. Its three
// operations fill the inherited slots (the others are checked with the base).
TEST_F(TXDllTest, HoldsTheStoreTheRegistryAndItsOwnCopyOfTheFileName)
{
    const auto* pBytes = reinterpret_cast<const unsigned char*>(&m_handler);
    const void* pWords[4];
    std::uint32_t length;
    std::memcpy(pWords, pBytes, sizeof pWords);
    std::memcpy(&length, pBytes + 4 * sizeof(void*), sizeof length);
    EXPECT_EQ(static_cast<const void*>(&m_store), pWords[1]);
    EXPECT_EQ(static_cast<const void*>(&m_agents), pWords[2]);
    const char* pName = static_cast<const char*>(pWords[3]);
    EXPECT_STREQ("/nonexistent/xdll.conf", pName);
    EXPECT_EQ(22u, length);
    EXPECT_NE(m_store.m_fileName.m_pData, pName);

    EXPECT_EQ(8, VirtualSlot(&XDllCmdHndlr::CmdExecute));
    EXPECT_EQ(9, VirtualSlot(&XDllCmdHndlr::CmdGetHndlrName));
    EXPECT_EQ(10, VirtualSlot(&XDllCmdHndlr::CmdGetMap));
}

} // namespace
