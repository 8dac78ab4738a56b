/*
 * slot_table_test.cpp - the handle table behind frames and tile stores.
 *
 * Every case runs for the layouts the library uses (44-byte frame records
 * with marker -1, 32-byte tile-store records with marker 0) and for the
 * smallest slot. Records carry a byte pattern derived from their handle, so
 * a record that moved, was cut short or was overwritten when the array grew
 * or shrank shows up. Beside the fixed scenarios, a random sequence of
 * acquires and releases is checked against a small model of the table's
 * rules (lowest free handle first, grow by 16 when full, give back at most
 * 16 slots per release).
 */
#include "base/test_hooks.h"
#include "raster/core/slot_table.h"

#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <ostream>
#include <random>
#include <string>
#include <vector>

namespace {

struct Layout {
    uint32_t slotSize;
    uint32_t marker;
};

std::ostream &operator<<(std::ostream &os, const Layout &l) {
    return os << "slot size " << l.slotSize << ", marker 0x" << std::hex << l.marker << std::dec;
}

class SlotTable : public ::testing::TestWithParam<Layout> {
protected:
    void SetUp() override {
        liveBefore_ = qs_test_live_blocks();
        table_ = quill::slot_table_create(GetParam().slotSize, GetParam().marker);
        ASSERT_NE(table_, nullptr);
    }
    void TearDown() override {
        qs_test_fail_allocation(0);
        quill::slot_table_destroy(table_);
        EXPECT_EQ(table_, nullptr);
        EXPECT_EQ(qs_test_live_blocks(), liveBefore_) << "heap blocks leaked";
    }

    // The record kept for handle `id`: its first word is id + 1 (never the
    // marker of any layout tested), the rest a pattern of the id.
    std::vector<uint8_t> record(int32_t id) const {
        std::vector<uint8_t> bytes(GetParam().slotSize);
        for (size_t k = 0; k < bytes.size(); ++k)
            bytes[k] = static_cast<uint8_t>(id * 37 + static_cast<int32_t>(k) * 11 + 5);
        const uint32_t first = static_cast<uint32_t>(id) + 1;
        memcpy(bytes.data(), &first, 4);
        return bytes;
    }

    // Acquires a slot and stores the record of its handle there.
    int32_t add() {
        const int32_t handle = quill::slot_table_acquire(table_);
        if (handle >= 0) {
            EXPECT_TRUE(quill::slot_table_store(table_, handle, record(handle).data()));
        }
        return handle;
    }

    // Fills the table with handles 0 .. n-1 in order.
    void fill(int32_t n) {
        for (int32_t i = 0; i < n; ++i)
            ASSERT_EQ(add(), i);
    }

    // Whether the slot of `handle` is in use and holds its record unchanged.
    ::testing::AssertionResult holds_record(int32_t handle) const {
        const void *slot = quill::slot_table_lookup(table_, handle);
        if (!slot)
            return ::testing::AssertionFailure() << "handle " << handle << " reads as free";
        const std::vector<uint8_t> expected = record(handle);
        if (memcmp(slot, expected.data(), expected.size()) != 0)
            return ::testing::AssertionFailure() << "handle " << handle << " holds other bytes";
        return ::testing::AssertionSuccess();
    }

    quill::SlotTable *table_ = nullptr;
    int64_t liveBefore_ = 0;
};

TEST_P(SlotTable, StartsWithSixteenFreeSlots) {
    EXPECT_EQ(table_->capacity, 16);
    EXPECT_EQ(table_->used, 0);
    EXPECT_EQ(table_->slotSize, GetParam().slotSize);
    EXPECT_EQ(table_->freeMarker, GetParam().marker);
    EXPECT_EQ(quill::slot_table_highest(table_), -1);
    for (int32_t i = 0; i < 16; ++i) {
        uint32_t first;
        memcpy(&first, table_->slots + static_cast<size_t>(i) * GetParam().slotSize, 4);
        EXPECT_EQ(first, GetParam().marker) << "slot " << i;
        EXPECT_EQ(quill::slot_table_lookup(table_, i), nullptr) << "slot " << i;
    }
}

TEST_P(SlotTable, LowestFreeHandleIsReusedFirst) {
    fill(6);
    quill::slot_table_release(table_, 4);
    quill::slot_table_release(table_, 1);
    quill::slot_table_release(table_, 2);
    EXPECT_EQ(table_->used, 3);
    EXPECT_EQ(add(), 1);
    EXPECT_EQ(add(), 2);
    EXPECT_EQ(add(), 4);
    EXPECT_EQ(add(), 6);
    EXPECT_EQ(table_->used, 7);
    for (int32_t i = 0; i <= 6; ++i)
        EXPECT_TRUE(holds_record(i));
}

TEST_P(SlotTable, AcquiredSlotReadsFreeUntilARecordIsStored) {
    const int32_t handle = quill::slot_table_acquire(table_);
    ASSERT_EQ(handle, 0);
    EXPECT_EQ(table_->used, 1);
    EXPECT_EQ(quill::slot_table_lookup(table_, handle), nullptr);
    EXPECT_EQ(quill::slot_table_highest(table_), -1);
    ASSERT_TRUE(quill::slot_table_store(table_, handle, record(handle).data()));
    EXPECT_TRUE(holds_record(handle));
    EXPECT_EQ(quill::slot_table_highest(table_), 0);
}

TEST_P(SlotTable, GrowsBySixteenWhenFull) {
    fill(16);
    EXPECT_EQ(table_->capacity, 16);
    EXPECT_EQ(add(), 16);
    EXPECT_EQ(table_->capacity, 32);
    EXPECT_EQ(table_->used, 17);
    for (int32_t i = 0; i < 17; ++i)
        EXPECT_TRUE(holds_record(i));
    for (int32_t i = 17; i < 32; ++i)
        EXPECT_EQ(quill::slot_table_lookup(table_, i), nullptr) << "new slot " << i << " must be free";
    EXPECT_EQ(quill::slot_table_highest(table_), 16);

    for (int32_t i = 17; i < 33; ++i)
        ASSERT_EQ(add(), i);
    EXPECT_EQ(table_->capacity, 48);
    EXPECT_EQ(table_->used, 33);
    for (int32_t i = 0; i < 33; ++i)
        EXPECT_TRUE(holds_record(i));
}

TEST_P(SlotTable, StoreRefusesIndicesOutsideTheArray) {
    fill(3);
    const std::vector<uint8_t> other = record(99);
    EXPECT_FALSE(quill::slot_table_store(table_, 16, other.data()));
    EXPECT_FALSE(quill::slot_table_store(table_, 1000, other.data()));
    EXPECT_FALSE(quill::slot_table_store(table_, -1, other.data()));
    for (int32_t i = 0; i < 3; ++i)
        EXPECT_TRUE(holds_record(i));
    // The last slot of the array is still within reach.
    EXPECT_TRUE(quill::slot_table_store(table_, 15, other.data()));
    EXPECT_EQ(memcmp(quill::slot_table_lookup(table_, 15), other.data(), other.size()), 0);
}

TEST_P(SlotTable, LookupOfNoHandleBeyondCapacityOrFreeSlotIsNull) {
    fill(5);
    quill::slot_table_release(table_, 2);
    const int32_t cases[] = {-1, -2, 2, 5, 15, 16, 17, 1 << 20};
    for (int32_t index : cases)
        EXPECT_EQ(quill::slot_table_lookup(table_, index), nullptr) << "index " << index;
    for (int32_t index : {0, 1, 3, 4})
        EXPECT_TRUE(holds_record(index));
}

TEST_P(SlotTable, RecordStartingWithTheMarkerReadsAsFree) {
    fill(4);
    std::vector<uint8_t> masked = record(3);
    memcpy(masked.data(), &GetParam().marker, 4);
    ASSERT_TRUE(quill::slot_table_store(table_, 3, masked.data()));
    EXPECT_EQ(quill::slot_table_lookup(table_, 3), nullptr);
    EXPECT_EQ(quill::slot_table_highest(table_), 2);
    // A slot that reads as free is handed out again.
    quill::slot_table_release(table_, 0);
    EXPECT_EQ(add(), 0);
    EXPECT_EQ(add(), 3);
}

TEST_P(SlotTable, HighestFollowsTheTopSlotInUse) {
    EXPECT_EQ(quill::slot_table_highest(table_), -1);
    fill(20);
    EXPECT_EQ(quill::slot_table_highest(table_), 19);
    quill::slot_table_release(table_, 19);
    EXPECT_EQ(quill::slot_table_highest(table_), 18);
    quill::slot_table_release(table_, 17);
    EXPECT_EQ(quill::slot_table_highest(table_), 18);
    quill::slot_table_release(table_, 18);
    EXPECT_EQ(quill::slot_table_highest(table_), 16);
    for (int32_t i = 0; i <= 16; ++i)
        quill::slot_table_release(table_, i);
    EXPECT_EQ(quill::slot_table_highest(table_), -1);
    EXPECT_EQ(table_->used, 0);
}

TEST_P(SlotTable, TopSlotsGoBackOnTheReleaseThatFreesThemAll) {
    fill(33);
    ASSERT_EQ(table_->capacity, 48);
    // Ascending: slot 32 keeps the top block busy until the very last release.
    for (int32_t i = 16; i <= 31; ++i) {
        quill::slot_table_release(table_, i);
        EXPECT_EQ(table_->capacity, 48) << "after releasing " << i;
    }
    quill::slot_table_release(table_, 32);
    EXPECT_EQ(table_->capacity, 32);
    EXPECT_EQ(table_->used, 16);
    for (int32_t i = 0; i < 16; ++i)
        EXPECT_TRUE(holds_record(i));
    EXPECT_EQ(quill::slot_table_highest(table_), 15);
    // 16 used of 32: another step would leave no spare block, so none is taken.
    EXPECT_EQ(add(), 16);
    quill::slot_table_release(table_, 16);
    EXPECT_EQ(table_->capacity, 32);
}

TEST_P(SlotTable, DescendingReleasesShrinkOnceUsedPlusSixteenFallsBelowCapacity) {
    fill(33);
    // Releasing 32 frees the top block but leaves 32 + 16 == 48: no shrink.
    quill::slot_table_release(table_, 32);
    EXPECT_EQ(table_->capacity, 48);
    quill::slot_table_release(table_, 31);
    EXPECT_EQ(table_->capacity, 32);
    for (int32_t i = 30; i >= 16; --i) {
        quill::slot_table_release(table_, i);
        EXPECT_EQ(table_->capacity, 32) << "after releasing " << i;
    }
    for (int32_t i = 0; i < 16; ++i)
        EXPECT_TRUE(holds_record(i));
}

TEST_P(SlotTable, AtMostOneStepIsGivenBackPerRelease) {
    fill(64);
    ASSERT_EQ(table_->capacity, 64);
    // Slot 63 holds the top block: nothing shrinks while it is in use.
    for (int32_t i = 16; i <= 62; ++i)
        quill::slot_table_release(table_, i);
    EXPECT_EQ(table_->capacity, 64);
    EXPECT_EQ(table_->used, 17);
    // Now three blocks are free at once, but only one goes per release.
    quill::slot_table_release(table_, 63);
    EXPECT_EQ(table_->capacity, 48);
    quill::slot_table_release(table_, 15);
    EXPECT_EQ(table_->capacity, 32);
    quill::slot_table_release(table_, 14);
    EXPECT_EQ(table_->capacity, 16);
    // Never below the first block.
    for (int32_t i = 13; i >= 0; --i) {
        quill::slot_table_release(table_, i);
        EXPECT_EQ(table_->capacity, 16) << "after releasing " << i;
        for (int32_t j = 0; j < i; ++j)
            ASSERT_TRUE(holds_record(j));
    }
    EXPECT_EQ(table_->used, 0);
}

TEST_P(SlotTable, FailedGrowthReturnsNoHandleAndKeepsTheTable) {
    fill(16);
    const int64_t live = qs_test_live_blocks();
    qs_test_fail_allocation(1);
    EXPECT_EQ(quill::slot_table_acquire(table_), -1);
    EXPECT_EQ(table_->capacity, 16);
    EXPECT_EQ(table_->used, 16);
    EXPECT_EQ(qs_test_live_blocks(), live);
    for (int32_t i = 0; i < 16; ++i)
        EXPECT_TRUE(holds_record(i));
    // Memory is back: the table grows as usual.
    EXPECT_EQ(add(), 16);
    EXPECT_EQ(table_->capacity, 32);
    for (int32_t i = 0; i <= 16; ++i)
        EXPECT_TRUE(holds_record(i));
}

TEST_P(SlotTable, FailedShrinkKeepsTheCapacity) {
    fill(33);
    for (int32_t i = 16; i <= 31; ++i)
        quill::slot_table_release(table_, i);
    qs_test_fail_allocation(1);
    quill::slot_table_release(table_, 32);
    EXPECT_EQ(table_->capacity, 48);
    EXPECT_EQ(table_->used, 16);
    EXPECT_EQ(quill::slot_table_lookup(table_, 32), nullptr);
    EXPECT_EQ(quill::slot_table_highest(table_), 15);
    for (int32_t i = 0; i < 16; ++i)
        EXPECT_TRUE(holds_record(i));
    // The next release tries again.
    quill::slot_table_release(table_, 15);
    EXPECT_EQ(table_->capacity, 32);
    for (int32_t i = 0; i < 15; ++i)
        EXPECT_TRUE(holds_record(i));
}

TEST_P(SlotTable, RandomUseMatchesTheTableRules) {
    // The model: which handles are in use, and the capacity.
    std::vector<bool> inUse(16, false);
    int32_t used = 0;
    std::mt19937 rng(7u + GetParam().slotSize);
    for (int step = 0; step < 3000; ++step) {
        SCOPED_TRACE(testing::Message() << "step " << step);
        const int32_t capacity = static_cast<int32_t>(inUse.size());
        // Drift up for the first half and down for the second, so that the
        // table both grows past several blocks and shrinks back.
        const int acquireOdds = step < 1500 ? 60 : 40;
        if (used == 0 || static_cast<int>(rng() % 100) < acquireOdds) {
            int32_t expected;
            if (used == capacity) {
                inUse.resize(inUse.size() + 16, false);
                expected = used;
            } else {
                expected = 0;
                while (inUse[static_cast<size_t>(expected)])
                    ++expected;
            }
            inUse[static_cast<size_t>(expected)] = true;
            ++used;
            ASSERT_EQ(add(), expected);
        } else {
            // Release a random handle in use.
            int32_t pick = static_cast<int32_t>(rng() % static_cast<uint32_t>(used));
            int32_t handle = 0;
            for (;; ++handle)
                if (inUse[static_cast<size_t>(handle)] && pick-- == 0)
                    break;
            inUse[static_cast<size_t>(handle)] = false;
            --used;
            bool topFree = true;
            for (size_t i = inUse.size() - 16; i < inUse.size(); ++i)
                topFree = topFree && !inUse[i];
            if (used + 16 < static_cast<int32_t>(inUse.size()) && topFree)
                inUse.resize(inUse.size() - 16);
            quill::slot_table_release(table_, handle);
        }
        ASSERT_EQ(table_->capacity, static_cast<int32_t>(inUse.size()));
        ASSERT_EQ(table_->used, used);
        int32_t highest = -1;
        for (size_t i = 0; i < inUse.size(); ++i)
            if (inUse[i])
                highest = static_cast<int32_t>(i);
        ASSERT_EQ(quill::slot_table_highest(table_), highest);
    }
    // Every record survived the moves of the array.
    for (size_t i = 0; i < inUse.size(); ++i) {
        if (inUse[i])
            EXPECT_TRUE(holds_record(static_cast<int32_t>(i)));
        else
            EXPECT_EQ(quill::slot_table_lookup(table_, static_cast<int32_t>(i)), nullptr);
    }
}

INSTANTIATE_TEST_SUITE_P(SlotLayouts, SlotTable,
                         ::testing::Values(Layout{44, 0xFFFFFFFFu}, Layout{32, 0u}, Layout{4, 0x12345678u}),
                         [](const ::testing::TestParamInfo<Layout> &layout) {
                             return "Size" + std::to_string(layout.param.slotSize);
                         });

// ---- Creation and destruction ------------------------------------------

TEST(SlotTableLifecycle, CreateAndDestroyHoldNothingAfterwards) {
    const int64_t before = qs_test_live_blocks();
    quill::SlotTable *table = quill::slot_table_create(44, 0xFFFFFFFFu);
    ASSERT_NE(table, nullptr);
    for (int i = 0; i < 40; ++i)
        ASSERT_GE(quill::slot_table_acquire(table), 0);
    quill::slot_table_destroy(table);
    EXPECT_EQ(table, nullptr);
    EXPECT_EQ(qs_test_live_blocks(), before);
}

TEST(SlotTableLifecycle, CreateFailsCleanlyWhenMemoryRunsOut) {
    const int64_t before = qs_test_live_blocks();
    // Failing either of its two allocations gives no table.
    for (int64_t nth : {1, 2}) {
        SCOPED_TRACE(nth);
        qs_test_fail_allocation(nth);
        EXPECT_EQ(quill::slot_table_create(32, 0), nullptr);
        qs_test_fail_allocation(0);
        EXPECT_EQ(qs_test_live_blocks(), before);
    }
}

} // namespace
