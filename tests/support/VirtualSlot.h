// The virtual-table slot of a virtual member function.
//
// Under the Itanium C++ ABI (x86-64 and 32-bit PowerPC alike) a pointer to
// a virtual member function holds 1 + the byte offset of its slot, followed
// by a this-adjustment. Slots 0 and 1 are the two destructor entries.
#ifndef TESTS_SUPPORT_VIRTUALSLOT_H
#define TESTS_SUPPORT_VIRTUALSLOT_H

#include <cstddef>
#include <cstdint>
#include <cstring>

template <typename TPmf> long VirtualSlot(TPmf pmf)
{
    struct TRepresentation {
        std::uintptr_t ptr;
        std::ptrdiff_t adj;
    } rep;
    static_assert(sizeof(pmf) == sizeof(rep), "not an Itanium pointer to member function");
    std::memcpy(&rep, &pmf, sizeof(rep));
    if ((rep.ptr & 1) == 0)
        return -1; // not virtual
    return static_cast<long>((rep.ptr - 1) / sizeof(void*));
}

#endif
