/*
 * byte_store.h - a growable run of bytes, in 64 KB memory chunks or in a
 * swap file of its own.
 *
 * Memory stores grow chunk by chunk so that no large block ever moves; while
 * closed, the last chunk is cut down to what is used. Swap files are named
 * "<hex>.qsw" in the swap directory, exist from create to destroy, and are
 * exactly `size` bytes long while closed.
 */
#ifndef QUILL_RASTER_CORE_BYTE_STORE_H
#define QUILL_RASTER_CORE_BYTE_STORE_H

#include <stdint.h>

namespace quill {

struct PlatformFile;

constexpr uint32_t kChunkBytes = 65536;
constexpr int32_t kStorageSwap = 2;

struct ByteStore {
    int32_t storage;     // 2 swap file, other non-zero memory
    PlatformFile *file;  // swap file, while open
    uint8_t **chunks;    // memory: ceil(size / 64 KB) chunks
    uint32_t size;       // logical bytes
    uint8_t open;
    uint64_t number;     // swap file name, unique among live stores
};

ByteStore *byte_store_create(int32_t storage);
bool byte_store_open(ByteStore *store);
void byte_store_close(ByteStore *store);
bool byte_store_resize(ByteStore *store, uint32_t size);
// Writes part1 then part2 at offset (offset <= size), growing the store.
bool byte_store_write(ByteStore *store, uint32_t offset, const void *part1, uint32_t n1,
                      const void *part2 = nullptr, uint32_t n2 = 0);
// Reads n1 bytes into part1, then n2 bytes into part2, from offset.
bool byte_store_read(ByteStore *store, uint32_t offset, void *part1, uint32_t n1, void *part2 = nullptr,
                     uint32_t n2 = 0);
// Copies n bytes from `from` to `to` front to back (safe when to < from).
bool byte_store_move(ByteStore *store, uint32_t to, uint32_t from, uint32_t n);
// Releases a closed store and deletes its file; false when still open.
bool byte_store_destroy(ByteStore *&store);
int64_t byte_store_size(const ByteStore *store);
// The swap file's path; false when it does not fit.
bool byte_store_path(const ByteStore *store, char *out, uint32_t capacity);

} // namespace quill

#endif
