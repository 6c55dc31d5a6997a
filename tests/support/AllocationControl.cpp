#include "tests/support/AllocationControl.h"

#include <cstdlib>
#include <new>

// Only the basic forms are replaced: the standard library's array and nothrow forms call them.
namespace alloc_control {

// Plain integers: single-threaded tests, and counters that work before any static constructor.
static long s_allocations = 0;
static long s_live = 0;
static long s_failAt = 0; // 0: no plan; else the allocation number that fails
static bool s_fromThenOn = false;
static bool s_failed = false;

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
}

bool Failed()
{
    return s_failed;
}

} // namespace alloc_control

void* operator new(std::size_t size)
{
    using namespace alloc_control;
    // A failed allocation is not counted: every later one then has the number that fails.
    if (s_failAt != 0 && s_allocations + 1 >= s_failAt) {
        s_failed = true;
        s_failAt = s_fromThenOn ? s_failAt : 0;
        throw std::bad_alloc();
    }
    void* p = std::malloc(size == 0 ? 1 : size);
    if (p == nullptr)
        throw std::bad_alloc();
    ++s_allocations;
    ++s_live;
    return p;
}

void operator delete(void* p) noexcept
{
    alloc_control::s_live -= p != nullptr;
    std::free(p);
}

void operator delete(void* p, std::size_t) noexcept
{
    operator delete(p);
}
