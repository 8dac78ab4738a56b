/*
 * tile_store.cpp - records, gaps, directory and compaction of tile stores.
 *
 * Placement of a rewritten record, in order of preference:
 *  1. its old place, grown over the gaps that follow it until it fits;
 *  2. when it is the last record, its old place extended past the end;
 *  3. the end of the store, leaving a gap where it was.
 * Memory stores are compacted when closed, so gaps live only while a frame
 * is locked; swap stores keep their directory in memory between locks and
 * are never walked again, so their gaps are only reused by rewrites.
 *
 * Failure order: a record that moves is written at its new place before the
 * old one is turned into a gap and before the directory changes, so a failed
 * write leaves the tile as it was. In-place rewrites only overwrite bytes
 * that the store already holds, which is not where a full disk fails.
 * The directory holds, behind the offsets, each live record's length: a
 * record is then read, header and data, in one request (one system call for
 * a swap file), and a rewrite knows the span it replaces without reading it.
 * Every header read from the store is still checked against the index and
 * length it should hold, and walks check them against the store's end and
 * the record count, so a damaged swap file fails reads instead of sending
 * them astray.
 */
#include "tile_store.h"

#include "../../base/holder.h"
#include "byte_store.h"
#include "library_state.h"

#include <string.h>

namespace quill {

namespace {
// Highest end a store may reach: offsets must stay clear of the specials.
constexpr uint32_t kMaxEnd = 0xFFFF0000u;

void encode_header(uint8_t out[4], uint32_t value) {
    out[0] = static_cast<uint8_t>(value >> 24);
    out[1] = static_cast<uint8_t>(value);
    out[2] = static_cast<uint8_t>(value >> 8);
    out[3] = static_cast<uint8_t>(value >> 16);
}

uint32_t decode_header(const uint8_t in[4]) {
    return (static_cast<uint32_t>(in[0]) << 24) | in[1] | (static_cast<uint32_t>(in[2]) << 8) |
           (static_cast<uint32_t>(in[3]) << 16);
}

uint32_t length_mask(const TileStore *ts) { return (1u << ts->lengthBits) - 1u; }

bool is_offset(uint32_t entry) { return entry < kReserved; }

// Marks `length` bytes at `offset` as a gap.
bool write_gap(TileStore *ts, uint32_t offset, uint32_t length) {
    if (length == 0)
        return true;
    uint8_t bytes[4];
    if (length < 4) {
        memset(bytes, 0xFF, length);
        return byte_store_write(ts->bytes, offset, bytes, length);
    }
    encode_header(bytes, length | 0x80000000u);
    return byte_store_write(ts->bytes, offset, bytes, 4);
}

// What lies at `offset`: a gap (its length) or a live record (0 with its
// header value). False when the bytes cannot be read or are not sane.
struct Item {
    bool gap;
    uint32_t length; // bytes the item spans, header included
    uint32_t value;  // header value of a live record
};

bool read_item(TileStore *ts, uint32_t offset, Item &item) {
    uint8_t bytes[4];
    // One read for the whole header where it fits: a swap file pays a
    // system call per read. Only a one-byte gap can end the store short.
    bool whole = ts->end >= 4 && offset <= ts->end - 4;
    if (!byte_store_read(ts->bytes, offset, bytes, whole ? 4 : 1))
        return false;
    if (bytes[0] == 0xFF) {
        item = Item{true, 1, 0};
        return true;
    }
    if (!whole)
        return false;
    uint32_t value = decode_header(bytes);
    if (value & 0x80000000u) {
        uint32_t length = value & 0x7FFFFFFFu;
        if (length < 4 || length > ts->end - offset)
            return false;
        item = Item{true, length, 0};
        return true;
    }
    uint32_t length = (value & length_mask(ts)) + 4;
    if (length > ts->end - offset || static_cast<int64_t>(value >> ts->lengthBits) >= ts->recordCount)
        return false;
    item = Item{false, length, value};
    return true;
}

// Rebuilds the directory from the records between 0 and end.
bool walk_records(TileStore *ts) {
    uint32_t offset = 0;
    while (offset < ts->end) {
        Item item;
        if (!read_item(ts, offset, item))
            return false;
        if (!item.gap) {
            uint32_t index = item.value >> ts->lengthBits;
            ts->directory[index] = offset;
            ts->directory[ts->recordCount + index] = item.length - 4;
        }
        offset += item.length;
    }
    return true;
}

// Moves every live record to the front; gaps vanish. Memory moves cannot
// fail, so neither can this for memory stores.
void compact(TileStore *ts) {
    uint32_t readAt = 0, writeAt = 0;
    while (readAt < ts->end) {
        Item item;
        if (!read_item(ts, readAt, item))
            break; // damaged: keep what is behind as it is
        if (!item.gap) {
            if (writeAt != readAt && !byte_store_move(ts->bytes, writeAt, readAt, item.length))
                return;
            ts->directory[item.value >> ts->lengthBits] = writeAt;
            writeAt += item.length;
        }
        readAt += item.length;
    }
    if (readAt < ts->end)
        return;
    ts->end = writeAt;
    ts->freeBytes = 0;
}

// The room a record at `offset` (spanning `space` bytes) can take over from
// the gaps that follow it, stopping once `need` bytes are reached.
uint32_t grow_over_gaps(TileStore *ts, uint32_t offset, uint32_t space, uint32_t need) {
    while (space < need && offset + space < ts->end) {
        Item item;
        if (!read_item(ts, offset + space, item) || !item.gap)
            break;
        space += item.length;
    }
    return space;
}
} // namespace

uint8_t tile_store_length_bits(uint32_t largestRecord) {
    uint8_t bits = 0;
    while (bits < 32 && (largestRecord >> bits) != 0)
        ++bits;
    return bits;
}

int64_t tile_store_max_records(uint8_t lengthBits) {
    // Record index << B must leave bit 31 clear: it tells records from gaps.
    return lengthBits >= 31 ? 0 : (int64_t{1} << (31 - lengthBits));
}

TileStore *tile_store_lookup(int32_t store) {
    return static_cast<TileStore *>(slot_table_lookup(g_library.tileStores, store));
}

int32_t tile_store_create(int32_t storage, int32_t recordCount, uint32_t largestRecord) {
    uint8_t bits = tile_store_length_bits(largestRecord);
    if (storage == 0 || recordCount < 0 || recordCount > tile_store_max_records(bits))
        return -1;
    int32_t index = slot_table_acquire(g_library.tileStores);
    if (index < 0)
        return -1;
    ByteStore *bytes = byte_store_create(storage);
    if (!bytes) {
        slot_table_release(g_library.tileStores, index);
        return -1;
    }
    TileStore record{storage, recordCount, nullptr, bits, bytes, 0, 0, 0};
    slot_table_store(g_library.tileStores, index, &record);
    return index;
}

bool tile_store_open(int32_t store) {
    TileStore *ts = tile_store_lookup(store);
    if (!ts)
        return false;
    if (ts->directory)
        return byte_store_open(ts->bytes);
    HeapBlock<uint32_t> directory(2 * static_cast<size_t>(ts->recordCount));
    if (!directory)
        return false;
    for (int32_t i = 0; i < ts->recordCount; ++i) {
        directory[i] = kNoRecord;
        directory[ts->recordCount + i] = 0;
    }
    if (!byte_store_open(ts->bytes))
        return false;
    ts->directory = directory.get();
    if (!walk_records(ts)) {
        ts->directory = nullptr;
        byte_store_close(ts->bytes);
        return false;
    }
    directory.release();
    ts->open = 1;
    return true;
}

void tile_store_close(int32_t store) {
    TileStore *ts = tile_store_lookup(store);
    if (!ts || !ts->open)
        return;
    if (ts->storage == kStorageSwap) {
        byte_store_close(ts->bytes);
        return;
    }
    if (ts->freeBytes > 0)
        compact(ts);
    byte_store_resize(ts->bytes, ts->end);
    heap_release(ts->directory);
    byte_store_close(ts->bytes);
    ts->open = 0;
}

bool tile_store_delete(int32_t store) {
    TileStore *ts = tile_store_lookup(store);
    if (!ts)
        return false;
    if (ts->open && ts->storage != kStorageSwap)
        return false;
    byte_store_close(ts->bytes);
    heap_release(ts->directory);
    ts->open = 0;
    byte_store_destroy(ts->bytes);
    slot_table_release(g_library.tileStores, store);
    return true;
}

uint32_t tile_store_entry(int32_t store, int32_t index) {
    TileStore *ts = tile_store_lookup(store);
    if (!ts || !ts->directory || index < 0 || index >= ts->recordCount)
        return static_cast<uint32_t>(kRecordFailed);
    return ts->directory[index];
}

int32_t tile_store_read(int32_t store, int32_t index, uint8_t *buffer, uint32_t capacity) {
    TileStore *ts = tile_store_lookup(store);
    if (!ts || !ts->directory || index < 0 || index >= ts->recordCount)
        return kRecordFailed;
    uint32_t offset = ts->directory[index];
    if (!is_offset(offset))
        return static_cast<int32_t>(offset);
    uint32_t length = ts->directory[ts->recordCount + index];
    uint8_t header[4];
    if (length > capacity || !byte_store_read(ts->bytes, offset, header, 4, buffer, length))
        return kRecordFailed;
    if (decode_header(header) != ((static_cast<uint32_t>(index) << ts->lengthBits) | length))
        return kRecordFailed; // damaged on disk
    return static_cast<int32_t>(length);
}

bool tile_store_write(int32_t store, int32_t index, const uint8_t *data, int32_t length) {
    TileStore *ts = tile_store_lookup(store);
    if (!ts || !ts->directory || index < 0 || index >= ts->recordCount)
        return false;
    uint32_t old = ts->directory[index];
    uint32_t &recordLength = ts->directory[ts->recordCount + index];
    uint32_t oldSpan = is_offset(old) ? recordLength + 4 : 0;
    if (length < 0) {
        // A special value: the tile keeps no record.
        ts->directory[index] = static_cast<uint32_t>(length);
        recordLength = 0;
        if (oldSpan) {
            write_gap(ts, old, oldSpan);
            ts->freeBytes += oldSpan;
        }
        return true;
    }
    if (static_cast<uint32_t>(length) > length_mask(ts))
        return false;
    uint32_t need = static_cast<uint32_t>(length) + 4;
    uint8_t header[4];
    encode_header(header, (static_cast<uint32_t>(index) << ts->lengthBits) | static_cast<uint32_t>(length));

    uint32_t space = oldSpan;
    if (oldSpan && space < need && static_cast<uint64_t>(old) + need <= ts->end)
        space = grow_over_gaps(ts, old, space, need);
    bool lastRecord = oldSpan && old + oldSpan == ts->end;
    if (need <= space || lastRecord) {
        if (lastRecord && need > space && static_cast<uint64_t>(old) + need > kMaxEnd)
            return false;
        if (!byte_store_write(ts->bytes, old, header, 4, data, static_cast<uint32_t>(length)))
            return false;
        recordLength = static_cast<uint32_t>(length);
        if (need > space) { // the last record grew past the old end
            ts->end = old + need;
            return true;
        }
        write_gap(ts, old + need, space - need);
        ts->freeBytes += oldSpan;
        ts->freeBytes -= need;
        return true;
    }
    if (static_cast<uint64_t>(ts->end) + need > kMaxEnd)
        return false;
    uint32_t at = ts->end;
    if (!byte_store_write(ts->bytes, at, header, 4, data, static_cast<uint32_t>(length)))
        return false;
    if (oldSpan) {
        write_gap(ts, old, space);
        ts->freeBytes += space;
    }
    ts->directory[index] = at;
    recordLength = static_cast<uint32_t>(length);
    ts->end = at + need;
    return true;
}

// A band of new records goes where tile_store_write() would put them one
// after another (each at the end, as none has an old place), so the store
// is the same byte for byte; the write is one request instead of one a
// tile (on the drawing page's load, 74 writes instead of about 5000).
bool tile_store_append(int32_t store, int32_t first, int32_t count, const int32_t *lengths, uint8_t *records) {
    TileStore *ts = tile_store_lookup(store);
    if (!ts || !ts->directory || first < 0 || count < 0 || count > ts->recordCount - first)
        return false;
    uint64_t total = 0;
    for (int32_t i = 0; i < count; ++i) {
        if (is_offset(ts->directory[first + i]))
            return false;
        if (lengths[i] == kRecordBlank)
            continue;
        if (lengths[i] < 0 || static_cast<uint32_t>(lengths[i]) > length_mask(ts))
            return false;
        uint32_t value = (static_cast<uint32_t>(first + i) << ts->lengthBits) | static_cast<uint32_t>(lengths[i]);
        encode_header(records + total, value);
        total += 4 + static_cast<uint32_t>(lengths[i]);
    }
    if (ts->end + total > kMaxEnd || !byte_store_write(ts->bytes, ts->end, records, static_cast<uint32_t>(total)))
        return false;
    uint32_t at = ts->end;
    for (int32_t i = 0; i < count; ++i) {
        uint32_t &recordLength = ts->directory[ts->recordCount + first + i];
        if (lengths[i] == kRecordBlank) {
            ts->directory[first + i] = kNoRecord;
            recordLength = 0;
            continue;
        }
        ts->directory[first + i] = at;
        recordLength = static_cast<uint32_t>(lengths[i]);
        at += 4 + static_cast<uint32_t>(lengths[i]);
    }
    ts->end = at;
    return true;
}

} // namespace quill
