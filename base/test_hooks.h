/*
 * test_hooks.h - fault injection, compiled only into the test builds of the
 * libraries (QUILL_TEST_HOOKS). The shared libraries that ship carry none of
 * this: their symbols are neither built nor exported there.
 *
 * Allocation: qs_test_fail_allocation(n) makes the n-th allocation from now
 * on fail (1 = the next one); 0 switches failure off. The live-block counter
 * lets a test prove that a failed operation left nothing behind.
 */
#ifndef QUILL_BASE_TEST_HOOKS_H
#define QUILL_BASE_TEST_HOOKS_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(QUILL_TEST_HOOKS)
void qs_test_fail_allocation(int64_t nth);
/* Allocations made since the counter was last reset. */
int64_t qs_test_allocation_count(void);
void qs_test_reset_allocation_count(void);
/* Blocks currently held (allocated and not yet released). */
int64_t qs_test_live_blocks(void);
/* Bytes currently held, and the most held since the last peak reset (which
 * starts the peak at the bytes held now). */
int64_t qs_test_live_bytes(void);
int64_t qs_test_peak_bytes(void);
void qs_test_reset_peak_bytes(void);
#endif

#ifdef __cplusplus
}
#endif

#endif
