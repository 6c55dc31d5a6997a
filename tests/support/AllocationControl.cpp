#include "support/AllocationControl.h"

#include <cstdlib>
#include <new>

namespace alloc_control {

namespace {

// Plain integers: the tests that use this are single-threaded, and the
// counters must work before any static constructor has run.
long s_allocations = 0;
long s_live = 0;
long s_failAt = 0; // 0: no plan; else the allocation number that fails
bool s_fromThenOn = false;
bool s_failed = false;

// Takes the next allocation number; true when the plan makes it fail. A
// failed allocation is not counted.
bool NextFails()
{
    const long number = ++s_allocations;
    if (s_failAt == 0 || number < s_failAt || (number > s_failAt && !s_fromThenOn))
        return false;
    --s_allocations;
    s_failed = true;
    if (!s_fromThenOn)
        s_failAt = 0;
    return true;
}

void* AllocateOrNull(std::size_t size)
{
    if (NextFails())
        return nullptr;
    void* p = std::malloc(size == 0 ? 1 : size);
    if (p == nullptr) {
        --s_allocations;
        return nullptr;
    }
    ++s_live;
    return p;
}

void* Allocate(std::size_t size)
{
    void* p = AllocateOrNull(size);
    if (p == nullptr)
        throw std::bad_alloc();
    return p;
}

void Free(void* p)
{
    if (p == nullptr)
        return;
    --s_live;
    std::free(p);
}

} // namespace

long Allocations()
{
    return s_allocations;
}

long LiveBlocks()
{
    return s_live;
}

void FailAt(long k, TFailMode mode)
{
    s_failAt = s_allocations + (k < 1 ? 1 : k);
    s_fromThenOn = mode == TFailMode::FromThenOn;
    s_failed = false;
}

void Disarm()
{
    s_failAt = 0;
    s_fromThenOn = false;
}

bool Failed()
{
    return s_failed;
}

} // namespace alloc_control

void* operator new(std::size_t size)
{
    return alloc_control::Allocate(size);
}

void* operator new[](std::size_t size)
{
    return alloc_control::Allocate(size);
}

void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    return alloc_control::AllocateOrNull(size);
}

void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept
{
    return operator new(size, tag);
}

void operator delete(void* p) noexcept
{
    alloc_control::Free(p);
}

void operator delete[](void* p) noexcept
{
    alloc_control::Free(p);
}

void operator delete(void* p, std::size_t) noexcept
{
    alloc_control::Free(p);
}

void operator delete[](void* p, std::size_t) noexcept
{
    alloc_control::Free(p);
}
