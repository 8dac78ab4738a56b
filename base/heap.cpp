/*
 * heap.cpp - the one heap shared by the three libraries.
 *
 * quillstd sits on the process allocator: every library and the host link
 * this one copy, so a block may be released by whoever holds it last. A
 * private heap would buy nothing here and would cost a second allocator.
 *
 * qs_free and qs_realloc take the address of the caller's pointer so that a
 * released address never stays behind in a variable or a record field.
 * A realloc to size 0 therefore releases the block, nulls the pointer and
 * reports success: the byte store shrinks its chunk directory to nothing
 * this way and later frees that directory again, which must be harmless.
 *
 * Test builds count allocations, live blocks and bytes (with their peak,
 * for tests that bound an operation's working memory) and can fail the n-th
 * allocation on purpose (test_hooks.h).
 */
#include "quillstd.h"
#include "test_hooks.h"

#include <stdlib.h>
#if defined(QUILL_TEST_HOOKS)
#include <malloc.h>
#endif

#if defined(QUILL_TEST_HOOKS)
namespace {
int64_t g_failAt = 0;      // the allocation number that fails, 0 = none
int64_t g_allocations = 0; // allocations attempted since the last reset
int64_t g_live = 0;        // blocks held
int64_t g_liveBytes = 0;   // bytes held (as the allocator sized the blocks)
int64_t g_peakBytes = 0;   // most bytes held since the last peak reset

void count_bytes(void *block, int64_t sign) {
    g_liveBytes += sign * static_cast<int64_t>(malloc_usable_size(block));
    if (g_liveBytes > g_peakBytes)
        g_peakBytes = g_liveBytes;
}

// True when this allocation attempt is the one chosen to fail.
bool allocation_fails() {
    ++g_allocations;
    if (g_failAt > 0 && g_allocations == g_failAt) {
        g_failAt = 0;
        return true;
    }
    return false;
}
} // namespace

extern "C" void qs_test_fail_allocation(int64_t nth) {
    g_allocations = 0;
    g_failAt = nth;
}
extern "C" int64_t qs_test_allocation_count(void) { return g_allocations; }
extern "C" void qs_test_reset_allocation_count(void) { g_allocations = 0; }
extern "C" int64_t qs_test_live_blocks(void) { return g_live; }
extern "C" int64_t qs_test_live_bytes(void) { return g_liveBytes; }
extern "C" int64_t qs_test_peak_bytes(void) { return g_peakBytes; }
extern "C" void qs_test_reset_peak_bytes(void) { g_peakBytes = g_liveBytes; }
#define QS_ALLOCATION_FAILS() allocation_fails()
#define QS_LIVE_ADD(n) (g_live += (n))
#define QS_BYTES_ADD(block, sign) count_bytes(block, sign)
#else
#define QS_ALLOCATION_FAILS() false
#define QS_LIVE_ADD(n) ((void)0)
#define QS_BYTES_ADD(block, sign) ((void)0)
#endif

extern "C" QS_API void *qs_malloc(uint32_t size) {
    if (QS_ALLOCATION_FAILS())
        return nullptr;
    void *block = malloc(size == 0 ? 1 : size);
    if (block) {
        QS_LIVE_ADD(1);
        QS_BYTES_ADD(block, 1);
    }
    return block;
}

extern "C" QS_API void qs_free(void **block) {
    if (!block || !*block)
        return;
    QS_BYTES_ADD(*block, -1);
    free(*block);
    QS_LIVE_ADD(-1);
    *block = nullptr;
}

extern "C" QS_API int qs_realloc(void **block, uint32_t size) {
    if (!block)
        return 0;
    if (!*block) {
        void *fresh = qs_malloc(size);
        if (!fresh)
            return 0;
        *block = fresh;
        return 1;
    }
    if (size == 0) {
        qs_free(block);
        return 1;
    }
    if (QS_ALLOCATION_FAILS())
        return 0;
    QS_BYTES_ADD(*block, -1);
    void *moved = realloc(*block, size);
    if (!moved) {
        QS_BYTES_ADD(*block, 1);
        return 0;
    }
    QS_BYTES_ADD(moved, 1);
    *block = moved;
    return 1;
}
