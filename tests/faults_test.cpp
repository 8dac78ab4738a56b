// Faults on purpose: every allocation of the create, lock and write paths
// made to fail in turn, and failing swap-file operations. Each must give the
// operation's failure result, leave nothing allocated, and keep every other
// tile readable.
#include "test_support.h"

#include "raster/core/tile_store.h"
#include "raster/core/tiles.h"

#include <functional>
#include <vector>

using namespace quill_test;

namespace {

const uint8_t kPalette[] = {1, 1, 2, 3, 0, 4, 5, 6, 0};

class FaultTest : public LibraryFixture {
protected:
    uint8_t *work(int frame) { return QI_FrameGetData(frame)->workBuffer; }

    void paint(int frame, uint8_t seed) {
        uint32_t bytes = quill::tile_bytes(QI_FrameGetData(frame)->kind);
        for (uint32_t i = 0; i < bytes; ++i)
            work(frame)[i] = static_cast<uint8_t>(seed ^ (i * 13));
    }
    bool tile_has(int frame, int index, uint8_t seed) {
        if (!quill::get_tile(frame, index))
            return false;
        int32_t w, h;
        quill::tile_extent(*QI_FrameGetData(frame), index, w, h);
        uint32_t bytes = QI_GetLineBWi(QI_FrameGetData(frame)->kind, w) * h;
        for (uint32_t i = 0; i < bytes; ++i)
            if (work(frame)[i] != static_cast<uint8_t>(seed ^ (i * 13)))
                return false;
        return true;
    }

    // Runs `attempt` with the n-th allocation failing, for n = 1, 2, ...
    // until it succeeds without meeting the failure. `attempt` returns true
    // on success; `undo` cleans up after a success. After each failure the
    // heap must hold what it held before.
    int fail_each_allocation(const std::function<bool()> &attempt, const std::function<void()> &undo) {
        int failures = 0;
        for (int64_t n = 1; n < 200; ++n) {
            int64_t live = qs_test_live_blocks();
            qs_test_fail_allocation(n);
            bool ok = attempt();
            bool hit = qs_test_allocation_count() >= n;
            qs_test_fail_allocation(0);
            if (ok) {
                // Success despite a failed allocation is right only where
                // the allocation was optional (a shrink that may fail).
                // What a success keeps is checked when the fixture stops.
                undo();
                if (!hit)
                    return failures;
                continue;
            }
            EXPECT_EQ(qs_test_live_blocks(), live) << "allocation " << n << " leaked";
            EXPECT_EQ(qi_test_open_files(), 0);
            ++failures;
        }
        ADD_FAILURE() << "never succeeded";
        return failures;
    }
};

} // namespace

TEST_F(FaultTest, CreateFailsCleanlyAtEveryAllocation) {
    struct Case {
        int kind, storage;
        const uint8_t *palette;
    } cases[] = {{1, 1, nullptr}, {2, 2, nullptr}, {4, 1, kPalette}, {4, 2, kPalette}};
    for (const Case &c : cases) {
        int frame = -1;
        int failures = fail_each_allocation(
            [&] {
                frame = QI_FrameCreate(300, 300, c.kind, c.storage, c.palette, 1);
                return frame >= 0;
            },
            [&] { EXPECT_EQ(QI_FrameDelete(frame), 1); });
        EXPECT_GE(failures, c.palette ? 3 : 1) << "kind " << c.kind << " storage " << c.storage;
        EXPECT_TRUE(swap_.files().empty()) << "a failed create left its swap file";
    }
}

TEST_F(FaultTest, FrameTableGrowthFailureLeavesTheTableWhole) {
    for (int i = 0; i < 16; ++i)
        ASSERT_EQ(QI_FrameCreate(8, 8, 1, 2, nullptr, 0), i);
    int frame = -1;
    int failures = fail_each_allocation(
        [&] {
            frame = QI_FrameCreate(8, 8, 1, 2, nullptr, 0);
            return frame >= 0;
        },
        [&] {});
    EXPECT_GE(failures, 2);
    EXPECT_EQ(frame, 16);
    EXPECT_EQ(swap_.files().size(), 17u);
}

TEST_F(FaultTest, LockFailsCleanlyAtEveryAllocation) {
    for (int storage : {1, 2}) {
        int frame = QI_FrameCreate(300, 300, 4, storage, kPalette, 1);
        ASSERT_GE(frame, 0);
        int failures = fail_each_allocation(
            [&] {
                bool ok = QI_FrameLock(frame) == 1;
                if (!ok) {
                    EXPECT_EQ(QI_FrameGetData(frame)->locked, 0);
                    EXPECT_EQ(QI_FrameGetData(frame)->palette, 1);
                    EXPECT_EQ(QI_FrameGetData(frame)->workBuffer, nullptr);
                }
                return ok;
            },
            [&] { QI_FrameUnlock(frame); });
        EXPECT_GE(failures, 2);
        EXPECT_EQ(QI_FrameDelete(frame), 1);
    }
}

TEST_F(FaultTest, TileWriteFailuresKeepEveryTileReadable) {
    for (int storage : {1, 2}) {
        int frame = QI_FrameCreate(1024, 1024, 2, storage, nullptr, 0);
        ASSERT_EQ(QI_FrameLock(frame), 1);
        // Fill enough tiles that the next write needs a new 64 KB chunk
        // (11 records of 16388 bytes leave less than one record in 3 chunks).
        for (int i = 0; i < 11; ++i) {
            paint(frame, static_cast<uint8_t>(i));
            ASSERT_TRUE(quill::put_tile(frame, i));
        }
        int failures = fail_each_allocation(
            [&] {
                paint(frame, 200);
                return quill::put_tile(frame, 11);
            },
            [&] {});
        if (storage == 1) {
            EXPECT_GE(failures, 1) << "growing a memory store allocates";
        }
        for (int i = 0; i < 11; ++i)
            EXPECT_TRUE(tile_has(frame, i, static_cast<uint8_t>(i))) << "tile " << i;
        EXPECT_TRUE(tile_has(frame, 11, 200));
        QI_FrameUnlock(frame);
        EXPECT_EQ(QI_FrameDelete(frame), 1);
    }
}

TEST_F(FaultTest, FailedSwapWriteLosesOnlyThatWrite) {
    int frame = QI_FrameCreate(512, 512, 2, 2, nullptr, 0);
    ASSERT_EQ(QI_FrameLock(frame), 1);
    for (int i = 0; i < 16; ++i) {
        paint(frame, static_cast<uint8_t>(i));
        ASSERT_TRUE(quill::put_tile(frame, i));
    }
    // A rewrite that moves to the end and an append, both failing.
    qi_test_fail_file_op(static_cast<int>(quill::FileOp::Write), 1);
    paint(frame, 99);
    EXPECT_FALSE(quill::put_tile(frame, 3));
    quill::TileStore *ts = quill::tile_store_lookup(QI_FrameGetData(frame)->tileStore);
    uint32_t end = ts->end;
    for (int i = 0; i < 16; ++i)
        EXPECT_TRUE(tile_has(frame, i, static_cast<uint8_t>(i))) << "tile " << i;
    EXPECT_EQ(ts->end, end);

    // The frame goes on working after the failure.
    paint(frame, 77);
    EXPECT_TRUE(quill::put_tile(frame, 3));
    EXPECT_TRUE(tile_has(frame, 3, 77));
    QI_FrameUnlock(frame);
    ASSERT_EQ(QI_FrameLock(frame), 1);
    EXPECT_TRUE(tile_has(frame, 15, 15));
}

TEST_F(FaultTest, SwapFileThatCannotBeCreatedOrReopenedFailsCreateAndLock) {
    qi_test_fail_file_op(static_cast<int>(quill::FileOp::Open), 1);
    EXPECT_EQ(QI_FrameCreate(100, 100, 1, 2, nullptr, 0), -1);
    EXPECT_TRUE(swap_.files().empty());
    int frame = QI_FrameCreate(100, 100, 1, 2, nullptr, 0);
    ASSERT_GE(frame, 0);
    qi_test_fail_file_op(static_cast<int>(quill::FileOp::Open), 1);
    EXPECT_EQ(QI_FrameLock(frame), 0);
    EXPECT_EQ(QI_FrameGetData(frame)->locked, 0);
    EXPECT_EQ(QI_FrameLock(frame), 1);
}

TEST_F(FaultTest, FailedReadFailsGetTileOnly) {
    int frame = QI_FrameCreate(256, 128, 2, 2, nullptr, 0);
    ASSERT_EQ(QI_FrameLock(frame), 1);
    paint(frame, 5);
    ASSERT_TRUE(quill::put_tile(frame, 0));
    paint(frame, 6);
    ASSERT_TRUE(quill::put_tile(frame, 1));
    qi_test_fail_file_op(static_cast<int>(quill::FileOp::Read), 1);
    EXPECT_FALSE(quill::get_tile(frame, 0));
    EXPECT_TRUE(tile_has(frame, 0, 5));
    EXPECT_TRUE(tile_has(frame, 1, 6));
}

TEST_F(FaultTest, CreateWithPaletteFailsCleanlyWhenTheSwapWriteFails) {
    qi_test_fail_file_op(static_cast<int>(quill::FileOp::Write), 1);
    EXPECT_EQ(QI_FrameCreate(100, 100, 4, 2, kPalette, 1), -1);
    EXPECT_TRUE(swap_.files().empty());
}
