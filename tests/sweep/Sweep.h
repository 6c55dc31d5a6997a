// Allocation-failure sweeps: an operation is run with its k-th allocation
// failing, for k = 1, 2, ... until it completes, once with only that
// allocation failing and once with every allocation from then on failing.
#ifndef TESTS_SWEEP_SWEEP_H
#define TESTS_SWEEP_SWEEP_H

#include <gtest/gtest.h>

#include <new>
#include <typeinfo>

#include "support/AllocationControl.h"

namespace sweep {

using alloc_control::TFailMode;

constexpr TFailMode kModes[] = {TFailMode::Once, TFailMode::FromThenOn};

// No operation here needs anywhere near this many allocations: a sweep
// that gets this far is stuck.
constexpr long kMaxK = 10000;

inline const char* ModeName(TFailMode mode)
{
    return mode == TFailMode::Once ? "fail once" : "fail from then on";
}

enum class TOutcome { Completed, BadAlloc, OtherException };

// One run under a plan: how it ended, and whether the plan failed an
// allocation. Taken without any GoogleTest assertion, which would allocate.
struct TAttempt {
    TOutcome outcome;
    bool failed;
};

template <typename TFn> TAttempt Armed(long k, TFailMode mode, TFn&& operation)
{
    TAttempt attempt{TOutcome::Completed, false};
    {
        alloc_control::TFailureScope plan(k, mode);
        try {
            operation();
        } catch (const std::bad_alloc& e) {
            // Exactly the allocator's exception, not one made from it.
            attempt.outcome =
                typeid(e) == typeid(std::bad_alloc) ? TOutcome::BadAlloc : TOutcome::OtherException;
        } catch (...) {
            attempt.outcome = TOutcome::OtherException;
        }
        attempt.failed = alloc_control::Failed();
    }
    return attempt;
}

// Checks how an attempt ended; true once the operation completed (or
// failed in a way that ends the sweep), false when the planned failure
// reached the caller as std::bad_alloc.
inline bool Completed(const TAttempt& attempt, long k)
{
    if (attempt.outcome == TOutcome::OtherException) {
        ADD_FAILURE() << "an exception other than std::bad_alloc, k=" << k;
        return true;
    }
    if (attempt.outcome == TOutcome::Completed) {
        EXPECT_FALSE(attempt.failed) << "a failed allocation was swallowed, k=" << k;
        return true;
    }
    EXPECT_TRUE(attempt.failed) << "k=" << k;
    return false;
}

} // namespace sweep

#endif
