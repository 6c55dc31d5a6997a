// The parts of the host contract that a compile-time check cannot see:
// virtual-table order, and base-class placement.
#include <gtest/gtest.h>

#include "hostapi/BCmdHandler.h"
#include "hostapi/BFileNV.h"
#include "hostapi/BMessage.h"
#include "hostapi/LayoutChecks.h"
#include "support/VirtualSlot.h"

namespace {

using KAF::BCmdHandler;

TEST(HostApiLayout, CommandHandlerVirtualOrder)
{
    EXPECT_EQ(2, VirtualSlot(&BCmdHandler::CmdHndlrName));
    EXPECT_EQ(3, VirtualSlot(&BCmdHandler::CmdCount));
    EXPECT_EQ(4, VirtualSlot(&BCmdHandler::CmdNameAt));
    EXPECT_EQ(5, VirtualSlot(
                     static_cast<int (BCmdHandler::*)(const KAF::BString&)>(&BCmdHandler::CmdId)));
    EXPECT_EQ(6, VirtualSlot(&BCmdHandler::CmdGetDescr));
    EXPECT_EQ(7, VirtualSlot(&BCmdHandler::CmdGetArgsDescr));
    EXPECT_EQ(8, VirtualSlot(&BCmdHandler::CmdExecute));
    EXPECT_EQ(9, VirtualSlot(&BCmdHandler::CmdGetHndlrName));
    EXPECT_EQ(10, VirtualSlot(&BCmdHandler::CmdGetMap));
    // The lookup the handler calls first is not virtual.
    EXPECT_EQ(-1,
              VirtualSlot(static_cast<int (BCmdHandler::*)(const KAF::BString&, KAF::ICmdStream&)>(
                  &BCmdHandler::CmdId)));
}

TEST(HostApiLayout, SubscriberAndStreamVirtualOrder)
{
    EXPECT_EQ(2, VirtualSlot(&KAF::IMessageSubscriber::Inform));
    // Write follows the stream's entries that the library never calls.
    EXPECT_EQ(3, VirtualSlot(&KAF::ICmdStream::Write));
}

TEST(HostApiLayout, StoreIsPassedAsItsConfigurationUnchanged)
{
    KAF::BFileNV store;
    KAF::INonVolatile* pConfig = &store;
    EXPECT_EQ(static_cast<void*>(&store), static_cast<void*>(pConfig));
}

} // namespace
