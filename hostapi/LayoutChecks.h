// Compile-time guards of the layouts shared with the daemon.
//
// The daemon and the library are built separately and read each other's
// objects inline, so a field that moves is a silent memory corruption.
// These checks turn it into a build failure, on every target: offsets are
// written in terms of the pointer size so that one set of checks holds on
// 64-bit hosts and on the 32-bit target alike.
#ifndef HOSTAPI_LAYOUTCHECKS_H
#define HOSTAPI_LAYOUTCHECKS_H

#include <cstddef>
#include <type_traits>

#include "hostapi/BCmdHandler.h"
#include "hostapi/BFileNV.h"
#include "hostapi/BMessage.h"
#include "hostapi/BString.h"
#include "hostapi/CliEntry.h"
#include "hostapi/DLLExtAgents.h"

namespace hostapi_layout {

constexpr std::size_t kPtr = sizeof(void*);

// Rounds n up to the alignment of a pointer, as the compilers pad.
constexpr std::size_t PtrAligned(std::size_t n)
{
    return (n + alignof(void*) - 1) / alignof(void*) * alignof(void*);
}

} // namespace hostapi_layout

// offsetof on classes with a virtual table is conditionally supported; both
// compilers of this project support it for classes without virtual bases.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"

static_assert(sizeof(char) == 1 && sizeof(int) == 4, "32-bit int expected");

// BString: m_pData, m_length, m_capacity.
static_assert(offsetof(KAF::BString, m_pData) == 0, "BString::m_pData moved");
static_assert(offsetof(KAF::BString, m_length) == hostapi_layout::kPtr, "BString::m_length moved");
static_assert(offsetof(KAF::BString, m_capacity) == hostapi_layout::kPtr + 4,
              "BString::m_capacity moved");
static_assert(sizeof(KAF::BString::m_length) == 4 && sizeof(KAF::BString::m_capacity) == 4,
              "BString lengths are 32-bit");
static_assert(std::is_unsigned<decltype(KAF::BString::m_length)>::value,
              "BString::m_length is unsigned");
static_assert(sizeof(KAF::BString) == hostapi_layout::PtrAligned(hostapi_layout::kPtr + 8),
              "BString size changed");
static_assert(!std::is_polymorphic<KAF::BString>::value, "BString has no virtual table");

// BStringArray: the framework's field, m_pItems, m_count.
static_assert(offsetof(KAF::BStringArray, m_pItems) == hostapi_layout::kPtr,
              "BStringArray::m_pItems moved");
static_assert(offsetof(KAF::BStringArray, m_count) == 2 * hostapi_layout::kPtr,
              "BStringArray::m_count moved");
static_assert(std::is_signed<decltype(KAF::BStringArray::m_count)>::value &&
                  sizeof(KAF::BStringArray::m_count) == 4,
              "BStringArray::m_count is signed 32-bit");

// BMessage: virtual table, m_msgId, m_text.
static_assert(offsetof(KAF::BMessage, m_msgId) == hostapi_layout::kPtr, "BMessage::m_msgId moved");
static_assert(offsetof(KAF::BMessage, m_text) ==
                  hostapi_layout::PtrAligned(hostapi_layout::kPtr + 4),
              "BMessage::m_text moved");
static_assert(sizeof(KAF::BMessage) ==
                  hostapi_layout::PtrAligned(hostapi_layout::kPtr + 4) + sizeof(KAF::BString),
              "BMessage size changed");

// Interfaces and bases without data: a virtual table pointer only.
static_assert(sizeof(KAF::BCmdHandler) == hostapi_layout::kPtr, "BCmdHandler carries no data");
static_assert(sizeof(KAF::IMessageSubscriber) == hostapi_layout::kPtr,
              "IMessageSubscriber carries no data");
static_assert(sizeof(KAF::INonVolatile) == hostapi_layout::kPtr, "INonVolatile carries no data");

// BFileNV: INonVolatile first, then m_fileName.
static_assert(std::is_base_of<KAF::INonVolatile, KAF::BFileNV>::value,
              "BFileNV is an INonVolatile");
static_assert(offsetof(KAF::BFileNV, m_fileName) == hostapi_layout::kPtr,
              "BFileNV::m_fileName moved");

// CliEntry: cmdId, cmdName, descr, argsDescr.
static_assert(offsetof(CliEntry, cmdId) == 0, "CliEntry::cmdId moved");
static_assert(offsetof(CliEntry, cmdName) == hostapi_layout::kPtr, "CliEntry::cmdName moved");
static_assert(offsetof(CliEntry, descr) == 2 * hostapi_layout::kPtr, "CliEntry::descr moved");
static_assert(offsetof(CliEntry, argsDescr) == 3 * hostapi_layout::kPtr,
              "CliEntry::argsDescr moved");
static_assert(sizeof(CliEntry) == 4 * hostapi_layout::kPtr, "CliEntry size changed");

// ExtAgent: name, path, web, load, status, loaded lead the record.
static_assert(offsetof(ExtAgent, name) == 0, "ExtAgent::name moved");
static_assert(offsetof(ExtAgent, path) == sizeof(KAF::BString), "ExtAgent::path moved");
static_assert(offsetof(ExtAgent, web) == 2 * sizeof(KAF::BString), "ExtAgent::web moved");
static_assert(offsetof(ExtAgent, load) == 3 * sizeof(KAF::BString), "ExtAgent::load moved");
static_assert(offsetof(ExtAgent, status) == 3 * sizeof(KAF::BString) + 4, "ExtAgent::status moved");
static_assert(offsetof(ExtAgent, loaded) == 3 * sizeof(KAF::BString) + 8, "ExtAgent::loaded moved");

#pragma GCC diagnostic pop

#endif
