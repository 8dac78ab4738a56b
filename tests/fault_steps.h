/*
 * fault_steps.h - an operation run with each of its steps failing in turn:
 * the n-th allocation, or the n-th call of one file operation, for n = 1,
 * 2, ... until the operation succeeds. After each failure the caller checks
 * that nothing was left behind (LibraryFixture checks leaks and open files
 * at the end of the test).
 */
#ifndef QUILL_TESTS_FAULT_STEPS_H
#define QUILL_TESTS_FAULT_STEPS_H

#include "base/test_hooks.h"
#include "raster/core/platform_file.h"

#include <gtest/gtest.h>

namespace quill_test {

constexpr int kFailAllocation = -1;

// `step` is kFailAllocation or a quill::FileOp value; `attempt` returns true
// on success; `failed(n)` runs after the n-th step failed.
template <typename Attempt, typename Failed>
void fail_each_step(int step, Attempt attempt, Failed failed) {
    for (int64_t n = 1; n <= 5000; ++n) {
        if (step == kFailAllocation)
            qs_test_fail_allocation(n);
        else
            qi_test_fail_file_op(step, n);
        bool ok = attempt();
        qs_test_fail_allocation(0);
        if (step != kFailAllocation)
            qi_test_fail_file_op(step, 0);
        if (ok)
            return;
        failed(n);
    }
    ADD_FAILURE() << "step " << step << ": never succeeded";
}

} // namespace quill_test

#endif
