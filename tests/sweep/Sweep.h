// The sweep: the operation runs on a fresh fixture with its k-th allocation failing, k = 1, 2, ...
// until it completes, once with that one failing and once with every later one too.
#ifndef TESTS_SWEEP_SWEEP_H
#define TESTS_SWEEP_SWEEP_H

#include <gtest/gtest.h>

#include <new>
#include <typeinfo>

#include "tests/support/AllocationControl.h"

namespace sweep {

// `make()` gives a fixture, `operate` runs armed, `check(fixture, completed)` asserts unarmed. Runs
// end completed or with the planned std::bad_alloc, leaving no block; returns the allocations.
template <typename TMake, typename TOperate, typename TCheck>
long Sweep(TMake make, TOperate operate, TCheck check)
{
    using alloc_control::TFailMode;
    long failingRuns[2] = {0, 0};
    for (TFailMode mode : {TFailMode::Once, TFailMode::FromThenOn}) {
        long& runs = failingRuns[mode == TFailMode::Once ? 0 : 1];
        for (bool done = false; !done && runs < 10000; runs += done ? 0 : 1) {
            SCOPED_TRACE(testing::Message() << (mode == TFailMode::Once ? "once" : "from then on")
                                            << ", k=" << runs + 1);
            const long before = alloc_control::LiveBlocks();
            {
                auto pFixture = make();
                const char* szEnd = "completed";
                {
                    // Nothing in here may assert: GoogleTest allocates.
                    alloc_control::TFailureScope plan(runs + 1, mode);
                    try {
                        operate(*pFixture);
                    } catch (const std::bad_alloc& e) {
                        szEnd = typeid(e) == typeid(std::bad_alloc) ? "bad_alloc" : "a subclass";
                    }
                }
                // Whether the plan failed an allocation, kept once disarmed.
                EXPECT_STREQ(alloc_control::Failed() ? "bad_alloc" : "completed", szEnd);
                done = szEnd[0] != 'b';
                check(*pFixture, done);
            }
            EXPECT_EQ(before, alloc_control::LiveBlocks()) << "blocks left allocated";
        }
    }
    return failingRuns[0];
}

} // namespace sweep

#endif
