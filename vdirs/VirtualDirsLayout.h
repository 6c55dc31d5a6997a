// Compile-time guards of the table's layout, which the daemon reads inline.
// Offsets are written in terms of the pointer size so that the same checks
// hold on 64-bit hosts and on the 32-bit target. Included only where the
// library is built.
#ifndef VDIRS_VIRTUALDIRSLAYOUT_H
#define VDIRS_VIRTUALDIRSLAYOUT_H

#include <cstddef>
#include <type_traits>

#include "hostapi/LayoutChecks.h"
#include "vdirs/VirtualDirs.h"

// A friend of VirtualDirs, so that the checks may name its private fields.
struct VirtualDirsLayout {
    static constexpr std::size_t kStr = sizeof(KAF::BString);

    // VirtualDir: key, value1, value2, nothing else.
    static_assert(offsetof(VirtualDir, key) == 0, "VirtualDir::key moved");
    static_assert(offsetof(VirtualDir, value1) == kStr, "VirtualDir::value1 moved");
    static_assert(offsetof(VirtualDir, value2) == 2 * kStr, "VirtualDir::value2 moved");
    static_assert(sizeof(VirtualDir) == 3 * kStr, "VirtualDir size changed");

    // VirtualDirs: m_pDirs, m_count, m_capacity; no virtual table.
    static_assert(!std::is_polymorphic<VirtualDirs>::value, "VirtualDirs has no virtual table");
    static_assert(std::is_standard_layout<VirtualDirs>::value, "VirtualDirs is a plain layout");
    static_assert(offsetof(VirtualDirs, m_pDirs) == 0, "VirtualDirs::m_pDirs moved");
    static_assert(offsetof(VirtualDirs, m_count) == hostapi_layout::kPtr,
                  "VirtualDirs::m_count moved");
    static_assert(offsetof(VirtualDirs, m_capacity) == hostapi_layout::kPtr + 4,
                  "VirtualDirs::m_capacity moved");
    static_assert(std::is_same<decltype(VirtualDirs::m_count), int32_t>::value,
                  "VirtualDirs::m_count is signed 32-bit");
    static_assert(std::is_same<decltype(VirtualDirs::m_capacity), int32_t>::value,
                  "VirtualDirs::m_capacity is signed 32-bit");
    static_assert(sizeof(VirtualDirs) == hostapi_layout::PtrAligned(hostapi_layout::kPtr + 8),
                  "VirtualDirs size changed");
};

#endif
