// The handler as the host sees it before any line: its table, texts,
// object layout and virtual order.
#include <cstdint>
#include <cstring>
#include <string>

#include "hostapi/LayoutChecks.h"
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
    EXPECT_EQ(-1, pRows[1].cmdId);
    EXPECT_EQ(nullptr, pRows[1].cmdName);
    EXPECT_EQ(nullptr, pRows[1].descr);
    EXPECT_EQ(nullptr, pRows[1].argsDescr);

    EXPECT_EQ(XDllCmdHndlr::s_cmdHandlerName, m_handler.CmdGetHndlrName());
    EXPECT_EQ(14u, std::strlen(m_handler.CmdGetHndlrName()));
    EXPECT_STREQ("\"XDllCmdHndlr\"", m_handler.CmdGetHndlrName());

    // The framework's own lookups answer from the same table.
    KAF::BCmdHandler& base = m_handler;
    EXPECT_EQ(1, base.CmdCount());
    EXPECT_EQ(szHelp, base.CmdGetDescr(KAF::BString("xdll")));
    EXPECT_EQ(pRows[0].argsDescr, base.CmdGetArgsDescr(KAF::BString("xdll")));
    EXPECT_EQ(XDllCmdHndlr::s_cmdHandlerName, base.CmdHndlrName());
}

TEST_F(TXDllTest, HoldsTheStoreTheRegistryAndItsOwnCopyOfTheFileName)
{
    constexpr std::size_t kPtr = sizeof(void*);
    static_assert(sizeof(XDllCmdHndlr) == 3 * kPtr + sizeof(KAF::BString), "handler size");
    const auto* pBytes = reinterpret_cast<const unsigned char*>(&m_handler);
    const void* pWords[3];
    std::memcpy(pWords, pBytes, sizeof pWords);
    EXPECT_EQ(static_cast<const void*>(&m_store), pWords[1]);
    EXPECT_EQ(static_cast<const void*>(&m_agents), pWords[2]);

    // The file name: a BString, its text pointer then its length.
    const char* pName;
    std::uint32_t length;
    std::memcpy(&pName, pBytes + 3 * kPtr, sizeof pName);
    std::memcpy(&length, pBytes + 4 * kPtr, sizeof length);
    ASSERT_NE(nullptr, pName);
    EXPECT_STREQ("/nonexistent/xdll.conf", pName);
    EXPECT_EQ(std::strlen(pName), length);
    EXPECT_NE(m_store.m_fileName.m_pData, pName);
}

TEST(XDllCmdHndlrLayout, AddsItsThreeOperationsAfterTheInheritedOnes)
{
    using KAF::BString;
    EXPECT_EQ(2, VirtualSlot(&XDllCmdHndlr::CmdHndlrName));
    EXPECT_EQ(3, VirtualSlot(&XDllCmdHndlr::CmdCount));
    EXPECT_EQ(4, VirtualSlot(&XDllCmdHndlr::CmdNameAt));
    EXPECT_EQ(
        5, VirtualSlot(static_cast<int (XDllCmdHndlr::*)(const BString&)>(&XDllCmdHndlr::CmdId)));
    EXPECT_EQ(6, VirtualSlot(&XDllCmdHndlr::CmdGetDescr));
    EXPECT_EQ(7, VirtualSlot(&XDllCmdHndlr::CmdGetArgsDescr));
    EXPECT_EQ(8, VirtualSlot(&XDllCmdHndlr::CmdExecute));
    EXPECT_EQ(9, VirtualSlot(&XDllCmdHndlr::CmdGetHndlrName));
    EXPECT_EQ(10, VirtualSlot(&XDllCmdHndlr::CmdGetMap));
}

} // namespace
