/*
 * tile_store.h - the coded tile records of one frame, in a byte store.
 *
 * Layout of the byte store: records and gaps from offset 0 to `end`.
 *  - A live record: a 4-byte header holding V = (record index << B) | L,
 *    then L data bytes. The header is stored rotated: the most significant
 *    byte of V first, then its low 24 bits little-endian, so bit 7 of a live
 *    record's first byte is always 0.
 *  - A gap of G >= 4 bytes: the same rotated header holding G with bit 7 of
 *    the first byte set; its other bytes are never read.
 *  - A gap of 1 to 3 bytes: that many 0xFF bytes, each a one-byte gap.
 * The directory maps each record index to its offset or a special value.
 * A rewritten record reuses its place (taking over the gaps behind it) when
 * it fits, else moves to the end; memory stores are compacted at close.
 */
#ifndef QUILL_RASTER_CORE_TILE_STORE_H
#define QUILL_RASTER_CORE_TILE_STORE_H

#include <stdint.h>

namespace quill {

struct ByteStore;

// Directory values that are not offsets.
constexpr uint32_t kNoRecord = 0xFFFFFFFEu;  // blank tile
constexpr uint32_t kReserved = 0xFFFFFFFDu;  // never written; counts as blank
constexpr int32_t kRecordBlank = -2;          // write_record: store no record
constexpr int32_t kRecordFailed = -1;

struct TileStore {
    int32_t storage;      // copied from the frame; 0 marks a free slot
    int32_t recordCount;  // tiles, plus one for a palette
    uint32_t *directory;  // while open: recordCount offsets, then as many
                          // record lengths
    uint8_t lengthBits;   // B: bits of the largest record length
    ByteStore *bytes;
    uint32_t end;         // bytes in use
    uint32_t freeBytes;   // bytes inside [0, end) that are gaps
    int32_t open;         // 1 while the directory exists
};

// B for a largest record length: index of its highest set bit, plus one.
uint8_t tile_store_length_bits(uint32_t largestRecord);
// Largest record count that headers can address with B length bits.
int64_t tile_store_max_records(uint8_t lengthBits);

// Returns the new store's index, or -1.
int32_t tile_store_create(int32_t storage, int32_t recordCount, uint32_t largestRecord);
bool tile_store_open(int32_t store);
void tile_store_close(int32_t store);
bool tile_store_delete(int32_t store);
TileStore *tile_store_lookup(int32_t store);

// The directory entry of `index` (an offset or kNoRecord/kReserved), or
// kRecordFailed as uint32 when index is beyond the record count.
uint32_t tile_store_entry(int32_t store, int32_t index);

// Reads record `index` into buffer (at most capacity bytes). Returns its
// length L >= 0, kRecordBlank (-2) or -3 for a directory special value,
// or -1 when the index is out of range, the read fails, or the record is
// damaged or larger than capacity.
int32_t tile_store_read(int32_t store, int32_t index, uint8_t *buffer, uint32_t capacity);

// Writes record `index` of `length` data bytes, or removes it when length is
// kRecordBlank. False when the store cannot take it; the old record then
// stays readable.
bool tile_store_write(int32_t store, int32_t index, const uint8_t *data, int32_t length);

// Writes the records of tiles [first, first + count), none of which holds a
// record yet, at the end of the store in one request: the places and bytes
// tile_store_write() gives them one by one, for one system call a band on
// a swap file. lengths[i] is tile first + i's record length or
// kRecordBlank; `records` holds the records one after another, each behind
// 4 bytes where its header is put. False, with nothing changed, when a tile
// holds a record or the store cannot take them.
bool tile_store_append(int32_t store, int32_t first, int32_t count, const int32_t *lengths, uint8_t *records);

} // namespace quill

#endif
