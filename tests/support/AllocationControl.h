// Control over every global operator new of a test process that links AllocationControl.cpp: live
// blocks counted, the k-th allocation throwing once or from then on. Not for sanitizer builds.
#ifndef TESTS_SUPPORT_ALLOCATIONCONTROL_H
#define TESTS_SUPPORT_ALLOCATIONCONTROL_H

#include <cstddef>

namespace alloc_control {

enum class TFailMode {
    Once,      // only the k-th allocation fails
    FromThenOn // the k-th and every later allocation fail
};

// Blocks allocated and not yet freed; none counted where the allocator is not replaced (the
// sanitizer build checks for leaks at exit instead).
#ifdef MUROX_COUNT_ALLOCATIONS
long LiveBlocks();
#else
inline long LiveBlocks()
{
    return 0;
}
#endif

// Makes the k-th allocation from now (k >= 1) throw std::bad_alloc.
void FailAt(long k, TFailMode mode);
// Ends any failure plan.
void Disarm();
// Whether the plan has made an allocation fail since it was armed.
bool Failed();

// Arms a plan for a scope and disarms it when the scope ends, also when an exception leaves it.
class TFailureScope {
public:
    TFailureScope(long k, TFailMode mode) { FailAt(k, mode); }
    ~TFailureScope() { Disarm(); }
    TFailureScope(const TFailureScope&) = delete;
    TFailureScope& operator=(const TFailureScope&) = delete;
};

} // namespace alloc_control

#endif
