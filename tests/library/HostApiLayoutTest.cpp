// What LayoutChecks.h cannot check at compile time: the order of the
// virtual functions the library calls or fills. Under the Itanium C++ ABI
// (x86-64 and 32-bit PowerPC alike) a pointer to a virtual member function
// holds 1 + the byte offset of its slot; slots 0 and 1 are the destructors.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "hostapi/BCmdHandler.h"
#include "hostapi/BMessage.h"

namespace {

using KAF::BCmdHandler;

template <typename TPmf> long Slot(TPmf pmf)
{
    struct {
        std::uintptr_t ptr;
        std::ptrdiff_t adj;
    } rep;
    static_assert(sizeof(pmf) == sizeof(rep), "not an Itanium pointer to member function");
    std::memcpy(&rep, &pmf, sizeof(rep));
    return (rep.ptr & 1) == 0 ? -1 : static_cast<long>((rep.ptr - 1) / sizeof(void*));
}

TEST(HostApiLayout, VirtualFunctionsKeepTheirSlots)
{
    using TLookup = int (BCmdHandler::*)(const KAF::BString&);
    using TLookupWriting = int (BCmdHandler::*)(const KAF::BString&, KAF::ICmdStream&);
    const long slots[] = {
        Slot(&BCmdHandler::CmdHndlrName), Slot(&BCmdHandler::CmdCount),
        Slot(&BCmdHandler::CmdNameAt),    Slot(TLookup(&BCmdHandler::CmdId)),
        Slot(&BCmdHandler::CmdGetDescr),  Slot(&BCmdHandler::CmdGetArgsDescr),
        Slot(&BCmdHandler::CmdExecute),   Slot(&BCmdHandler::CmdGetHndlrName),
        Slot(&BCmdHandler::CmdGetMap),    Slot(&KAF::IMessageSubscriber::Inform),
        Slot(&KAF::ICmdStream::Write),    Slot(TLookupWriting(&BCmdHandler::CmdId))};
    // Write follows the stream's entries that the library never calls; the
    // lookup the handler calls first is not virtual.
    const long expected[] = {2, 3, 4, 5, 6, 7, 8, 9, 10, 2, 3, -1};
    for (std::size_t i = 0; i < sizeof slots / sizeof slots[0]; ++i)
        EXPECT_EQ(expected[i], slots[i]) << "entry " << i;
}

} // namespace
