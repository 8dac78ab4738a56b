// Tile stores: rotated record headers, both gap forms, placement of
// rewritten records, compaction, and damaged records.
#include "test_support.h"

#include "raster/core/byte_store.h"
#include "raster/core/tile_store.h"

#include <vector>

using namespace quill_test;
using quill::TileStore;

namespace {

class TileStoreTest : public LibraryFixture, public ::testing::WithParamInterface<int> {
protected:
    // A store of 10 records of at most 2048 bytes (B = 12), opened.
    int32_t make_store(int32_t storage) {
        int32_t store = quill::tile_store_create(storage, 10, 2048);
        EXPECT_GE(store, 0);
        EXPECT_TRUE(quill::tile_store_open(store));
        return store;
    }
    TileStore *ts(int32_t store) { return quill::tile_store_lookup(store); }
    std::vector<uint8_t> raw(int32_t store, uint32_t offset, uint32_t n) {
        std::vector<uint8_t> bytes(n);
        EXPECT_TRUE(quill::byte_store_read(ts(store)->bytes, offset, bytes.data(), n));
        return bytes;
    }
    bool put(int32_t store, int32_t index, uint32_t length, uint8_t fill) {
        std::vector<uint8_t> data(length, fill);
        return quill::tile_store_write(store, index, data.data(), static_cast<int32_t>(length));
    }
    // The record reads back with its length and fill byte.
    void expect_record(int32_t store, int32_t index, uint32_t length, uint8_t fill) {
        std::vector<uint8_t> buffer(4096, 0);
        ASSERT_EQ(quill::tile_store_read(store, index, buffer.data(), 4096), static_cast<int32_t>(length))
            << "record " << index;
        for (uint32_t i = 0; i < length; ++i)
            ASSERT_EQ(buffer[i], fill) << "record " << index << " byte " << i;
    }
    void finish(int32_t store) {
        quill::tile_store_close(store);
        EXPECT_TRUE(quill::tile_store_delete(store));
    }
};

} // namespace

TEST_P(TileStoreTest, HeadersAreStoredRotated) {
    int32_t store = make_store(GetParam());
    EXPECT_EQ(ts(store)->lengthBits, 12);
    ASSERT_TRUE(put(store, 5, 10, 0xAB));
    // V = 5 << 12 | 10 = 0x0000500A: top byte first, then the low 24 bits
    // little-endian.
    EXPECT_EQ(raw(store, 0, 4), (std::vector<uint8_t>{0x00, 0x0A, 0x50, 0x00}));
    EXPECT_EQ(quill::tile_store_entry(store, 5), 0u);
    expect_record(store, 5, 10, 0xAB);
    EXPECT_EQ(quill::tile_store_read(store, 4, nullptr, 0), quill::kRecordBlank);
    EXPECT_EQ(quill::tile_store_read(store, 10, nullptr, 0), quill::kRecordFailed) << "beyond the count";
    finish(store);
}

TEST_P(TileStoreTest, ShorterRecordsLeaveOneByteOrHeadedGaps) {
    int32_t store = make_store(GetParam());
    ASSERT_TRUE(put(store, 0, 20, 1)); // spans 24 bytes at 0
    ASSERT_TRUE(put(store, 1, 20, 2)); // at 24
    ASSERT_TRUE(put(store, 0, 17, 3)); // 3 bytes spare: three 0xFF gaps
    EXPECT_EQ(raw(store, 21, 3), (std::vector<uint8_t>{0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(ts(store)->freeBytes, 3u);
    ASSERT_TRUE(put(store, 1, 6, 4)); // 14 bytes spare: a headed gap at 34
    EXPECT_EQ(raw(store, 34, 4), (std::vector<uint8_t>{0x80, 14, 0, 0}));
    EXPECT_EQ(ts(store)->freeBytes, 17u);
    expect_record(store, 0, 17, 3);
    expect_record(store, 1, 6, 4);
    EXPECT_EQ(quill::tile_store_entry(store, 0), 0u);
    EXPECT_EQ(quill::tile_store_entry(store, 1), 24u);
    finish(store);
}

TEST_P(TileStoreTest, RewriteReusesItsPlaceAndTakesOverTheGapsBehindIt) {
    int32_t store = make_store(GetParam());
    ASSERT_TRUE(put(store, 0, 100, 1)); // 0..103
    ASSERT_TRUE(put(store, 1, 50, 2));  // 104..157
    ASSERT_TRUE(put(store, 2, 1, 3));   // 158..162
    ASSERT_TRUE(put(store, 3, 40, 4));  // 163..206, the last record
    ASSERT_TRUE(put(store, 0, 100, 5)) << "same length";
    EXPECT_EQ(quill::tile_store_entry(store, 0), 0u);
    ASSERT_TRUE(quill::tile_store_write(store, 1, nullptr, quill::kRecordBlank));
    ASSERT_TRUE(quill::tile_store_write(store, 2, nullptr, quill::kRecordBlank));
    EXPECT_EQ(ts(store)->freeBytes, 54u + 5u);
    // 104 + 54 bytes of room reach the 154 that a 150-byte record needs:
    // it stays in place and the gap after the second is left alone.
    ASSERT_TRUE(put(store, 0, 150, 6));
    EXPECT_EQ(quill::tile_store_entry(store, 0), 0u);
    EXPECT_EQ(ts(store)->end, 207u) << "nothing appended";
    EXPECT_EQ(ts(store)->freeBytes, 4u + 5u) << "the gap taken over is no longer free";
    EXPECT_EQ(raw(store, 154, 4), (std::vector<uint8_t>{0x80, 4, 0, 0}));
    EXPECT_EQ(raw(store, 158, 4), (std::vector<uint8_t>{0x80, 5, 0, 0}));
    expect_record(store, 0, 150, 6);
    // Reaching 163 takes both gaps.
    ASSERT_TRUE(put(store, 0, 159, 7));
    EXPECT_EQ(quill::tile_store_entry(store, 0), 0u);
    EXPECT_EQ(ts(store)->freeBytes, 0u);
    expect_record(store, 0, 159, 7);
    expect_record(store, 3, 40, 4);
    finish(store);
}

TEST_P(TileStoreTest, RecordThatNoLongerFitsMovesToTheEnd) {
    int32_t store = make_store(GetParam());
    ASSERT_TRUE(put(store, 0, 100, 1)); // 0..103
    ASSERT_TRUE(put(store, 1, 100, 2)); // 104..207
    ASSERT_TRUE(put(store, 0, 101, 3));
    EXPECT_EQ(quill::tile_store_entry(store, 0), 208u);
    EXPECT_EQ(ts(store)->end, 313u);
    EXPECT_EQ(ts(store)->freeBytes, 104u);
    EXPECT_EQ(raw(store, 0, 4), (std::vector<uint8_t>{0x80, 104, 0, 0}));
    // The last record grows where it stands.
    ASSERT_TRUE(put(store, 0, 300, 4));
    EXPECT_EQ(quill::tile_store_entry(store, 0), 208u);
    EXPECT_EQ(ts(store)->end, 512u);
    expect_record(store, 0, 300, 4);
    expect_record(store, 1, 100, 2);
    finish(store);
}

TEST_P(TileStoreTest, CloseCompactsMemoryStoresAndKeepsSwapDirectories) {
    int32_t store = make_store(GetParam());
    for (int i = 0; i < 10; ++i)
        ASSERT_TRUE(put(store, i, 30 + 10 * i, static_cast<uint8_t>(i)));
    for (int i = 0; i < 10; i += 3)
        ASSERT_TRUE(quill::tile_store_write(store, i, nullptr, quill::kRecordBlank));
    ASSERT_TRUE(put(store, 1, 3, 0x77));   // leaves a headed gap
    ASSERT_TRUE(put(store, 2, 47, 0x66));  // leaves one-byte gaps
    uint32_t live = 0;
    for (int i = 0; i < 10; ++i)
        if (i % 3 != 0)
            live += 4 + (i == 1 ? 3 : i == 2 ? 47 : 30 + 10 * i);
    quill::tile_store_close(store);
    if (GetParam() == 2) {
        EXPECT_EQ(ts(store)->open, 1) << "a swap store keeps its directory";
        EXPECT_NE(ts(store)->freeBytes, 0u) << "swap stores are not compacted";
    } else {
        EXPECT_EQ(ts(store)->open, 0);
        EXPECT_EQ(ts(store)->end, live);
        EXPECT_EQ(ts(store)->freeBytes, 0u);
        EXPECT_EQ(quill::byte_store_size(ts(store)->bytes), live);
    }
    ASSERT_TRUE(quill::tile_store_open(store));
    for (int i = 0; i < 10; ++i) {
        if (i % 3 == 0)
            EXPECT_EQ(quill::tile_store_entry(store, i), quill::kNoRecord);
        else
            expect_record(store, i, i == 1 ? 3 : i == 2 ? 47 : 30 + 10 * i,
                          i == 1 ? 0x77 : i == 2 ? 0x66 : static_cast<uint8_t>(i));
    }
    finish(store);
}

TEST_P(TileStoreTest, DamagedRecordsFailReadsWithoutHarmingOthers) {
    int32_t store = make_store(GetParam());
    ASSERT_TRUE(put(store, 0, 100, 1));
    ASSERT_TRUE(put(store, 1, 100, 2));
    ASSERT_TRUE(put(store, 2, 100, 3));
    // Damage record 1's header three ways: a length past the end, another
    // record's index, a gap marker.
    const std::vector<std::vector<uint8_t>> damage = {
        {0x00, 0xFF, 0x1F, 0x00}, {0x00, 100, 0x20, 0x00}, {0x80, 0x04, 0x00, 0x00}};
    for (const auto &header : damage) {
        uint32_t at = quill::tile_store_entry(store, 1);
        ASSERT_TRUE(quill::byte_store_write(ts(store)->bytes, at, header.data(), 4));
        std::vector<uint8_t> buffer(4096);
        EXPECT_EQ(quill::tile_store_read(store, 1, buffer.data(), 4096), quill::kRecordFailed);
        expect_record(store, 0, 100, 1);
        expect_record(store, 2, 100, 3);
        // The store knows the record's span without its header: a rewrite
        // mends the tile in place.
        ASSERT_TRUE(put(store, 1, 100, 2));
        EXPECT_EQ(quill::tile_store_entry(store, 1), at);
        expect_record(store, 1, 100, 2);
        expect_record(store, 2, 100, 3);
    }
    std::vector<uint8_t> small(50);
    EXPECT_EQ(quill::tile_store_read(store, 0, small.data(), 50), quill::kRecordFailed)
        << "a record larger than the buffer is refused";
    if (GetParam() != 2) {
        // Reopening a damaged memory store must fail, not invent records.
        const uint8_t header[4] = {0x00, 0xFF, 0x1F, 0x00}; // a length past the end
        ASSERT_TRUE(quill::byte_store_write(ts(store)->bytes, quill::tile_store_entry(store, 1), header, 4));
        TileStore *t = ts(store);
        t->freeBytes = 0; // skip compaction so the damage survives the close
        quill::tile_store_close(store);
        EXPECT_FALSE(quill::tile_store_open(store));
        EXPECT_EQ(ts(store)->directory, nullptr);
        EXPECT_TRUE(quill::tile_store_delete(store));
        return;
    }
    finish(store);
}

TEST_P(TileStoreTest, LimitsOfTheHeaderAreEnforced) {
    EXPECT_EQ(quill::tile_store_length_bits(2048), 12);
    EXPECT_EQ(quill::tile_store_length_bits(16384), 15);
    EXPECT_EQ(quill::tile_store_length_bits(49153), 16);
    EXPECT_EQ(quill::tile_store_create(GetParam(), (1 << 19) + 1, 2048), -1)
        << "indices that would reach bit 31";
    int32_t store = make_store(GetParam());
    std::vector<uint8_t> big(4096, 1);
    EXPECT_FALSE(quill::tile_store_write(store, 0, big.data(), 4096)) << "longer than B bits";
    finish(store);
}

TEST_P(TileStoreTest, OpenMemoryStoreCannotBeDeleted) {
    int32_t store = make_store(GetParam());
    if (GetParam() == 2) {
        EXPECT_TRUE(quill::tile_store_delete(store)) << "a swap store is closed and deleted";
        return;
    }
    EXPECT_FALSE(quill::tile_store_delete(store));
    finish(store);
}

INSTANTIATE_TEST_SUITE_P(MemoryAndSwap, TileStoreTest, ::testing::Values(1, 2),
                         [](const auto &param) { return param.param == 2 ? "Swap" : "Memory"; });
