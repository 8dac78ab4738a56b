/*
 * byte_store.cpp - memory chunks and swap files behind the tile store.
 *
 * Swap-file names: the number is the address of the store's record, which is
 * unique among the stores alive in this process. Another process sharing the
 * swap directory, or a file left by a crash, may already own that name, so
 * the file is created exclusively and, when the name is taken, the next
 * numbers up to the record's size are tried: they fall inside this record's
 * own bytes and so cannot be any other live store's first choice.
 *
 * Swap writes never need padding: a write starts at or before the end, so
 * the file grows by the write itself.
 */
#include "byte_store.h"

#include "../../base/holder.h"
#include "library_state.h"
#include "platform_file.h"

#include <stdio.h>
#include <string.h>

namespace quill {

namespace {
uint32_t chunks_for(uint32_t size) { return (size >> 16) + ((size & 0xFFFF) ? 1 : 0); }

bool is_swap(const ByteStore *store) { return store->storage == kStorageSwap; }

bool format_path(uint64_t number, char *out, uint32_t capacity) {
    char name[32];
    snprintf(name, sizeof name, "%llx.qsw", static_cast<unsigned long long>(number));
    return pf_join_path(out, capacity, g_library.directory, name);
}

bool create_swap_file(ByteStore *store) {
    char path[kDirectoryBytes + 32];
    uint64_t base = reinterpret_cast<uintptr_t>(store);
    for (uint64_t k = 0; k < sizeof(ByteStore); ++k) {
        if (!format_path(base + k, path, sizeof path))
            return false;
        if (pf_exists(path))
            continue;
        PlatformFile *file = pf_open(path, FileMode::CreateExclusive);
        if (!file)
            return false;
        pf_close(file);
        store->number = base + k;
        return true;
    }
    return false;
}

// Grows a memory store from its current chunk count to `count` chunks.
bool add_chunks(ByteStore *store, uint32_t count) {
    uint32_t have = chunks_for(store->size);
    void *directory = store->chunks;
    if (count > UINT32_MAX / sizeof(uint8_t *) ||
        !qs_realloc(&directory, count * static_cast<uint32_t>(sizeof(uint8_t *))))
        return false;
    store->chunks = static_cast<uint8_t **>(directory);
    for (uint32_t i = have; i < count; ++i) {
        store->chunks[i] = static_cast<uint8_t *>(qs_malloc(kChunkBytes));
        if (!store->chunks[i]) {
            // Keep the store as it was; the directory may stay larger.
            while (i > have)
                heap_release(store->chunks[--i]);
            return false;
        }
    }
    return true;
}

void drop_chunks(ByteStore *store, uint32_t count) {
    uint32_t have = chunks_for(store->size);
    for (uint32_t i = count; i < have; ++i)
        heap_release(store->chunks[i]);
    void *directory = store->chunks;
    if (qs_realloc(&directory, count * static_cast<uint32_t>(sizeof(uint8_t *))))
        store->chunks = static_cast<uint8_t **>(directory);
}

// Copies between a flat buffer and the chunks, across chunk boundaries.
void copy_to_chunks(ByteStore *store, uint32_t offset, const uint8_t *data, uint32_t n) {
    while (n > 0) {
        uint32_t inChunk = offset & 0xFFFF;
        uint32_t piece = kChunkBytes - inChunk < n ? kChunkBytes - inChunk : n;
        memcpy(store->chunks[offset >> 16] + inChunk, data, piece);
        offset += piece;
        data += piece;
        n -= piece;
    }
}

void copy_from_chunks(const ByteStore *store, uint32_t offset, uint8_t *data, uint32_t n) {
    while (n > 0) {
        uint32_t inChunk = offset & 0xFFFF;
        uint32_t piece = kChunkBytes - inChunk < n ? kChunkBytes - inChunk : n;
        memcpy(data, store->chunks[offset >> 16] + inChunk, piece);
        offset += piece;
        data += piece;
        n -= piece;
    }
}

uint32_t min3(uint32_t a, uint32_t b, uint32_t c) {
    uint32_t m = a < b ? a : b;
    return m < c ? m : c;
}

// Memory move without a temporary: pieces never cross a chunk boundary on
// either side, and front-to-back order never overwrites unread bytes when
// to < from.
void move_in_chunks(ByteStore *store, uint32_t to, uint32_t from, uint32_t n) {
    while (n > 0) {
        uint32_t piece = min3(n, kChunkBytes - (to & 0xFFFF), kChunkBytes - (from & 0xFFFF));
        memmove(store->chunks[to >> 16] + (to & 0xFFFF), store->chunks[from >> 16] + (from & 0xFFFF),
                piece);
        to += piece;
        from += piece;
        n -= piece;
    }
}

bool fits(uint32_t offset, uint32_t n, uint32_t limit) {
    return static_cast<uint64_t>(offset) + n <= limit;
}
} // namespace

ByteStore *byte_store_create(int32_t storage) {
    HeapBlock<ByteStore> store(1);
    if (!store)
        return nullptr;
    *store.get() = ByteStore{storage, nullptr, nullptr, 0, 0, 0};
    if (is_swap(store.get()) && !create_swap_file(store.get()))
        return nullptr;
    return store.release();
}

bool byte_store_path(const ByteStore *store, char *out, uint32_t capacity) {
    return format_path(store->number, out, capacity);
}

bool byte_store_open(ByteStore *store) {
    if (store->open)
        return true;
    if (is_swap(store)) {
        char path[kDirectoryBytes + 32];
        if (!byte_store_path(store, path, sizeof path))
            return false;
        store->file = pf_open(path, FileMode::Update);
        if (!store->file)
            return false;
    } else if (store->size & 0xFFFF) {
        void *last = store->chunks[chunks_for(store->size) - 1];
        if (!qs_realloc(&last, kChunkBytes))
            return false;
        store->chunks[chunks_for(store->size) - 1] = static_cast<uint8_t *>(last);
    }
    store->open = 1;
    return true;
}

void byte_store_close(ByteStore *store) {
    if (!store->open)
        return;
    if (is_swap(store)) {
        // A failed trim leaves a longer file; its logical content is intact.
        pf_set_length(store->file, store->size);
        pf_close(store->file);
        store->file = nullptr;
    } else if (store->size & 0xFFFF) {
        // Give back the unused tail; if the shrink fails the chunk stays whole.
        void *last = store->chunks[chunks_for(store->size) - 1];
        if (qs_realloc(&last, store->size & 0xFFFF))
            store->chunks[chunks_for(store->size) - 1] = static_cast<uint8_t *>(last);
    }
    store->open = 0;
}

bool byte_store_resize(ByteStore *store, uint32_t size) {
    if (!store->open)
        return false;
    if (is_swap(store)) {
        // Reach a larger size by writing filler at the old end.
        uint8_t filler[16384];
        memset(filler, 0, sizeof filler);
        uint32_t at = store->size;
        while (at < size) {
            uint32_t piece = size - at < sizeof filler ? size - at : sizeof filler;
            if (!pf_write_at(store->file, at, filler, piece))
                return false;
            at += piece;
        }
        store->size = size;
        return true;
    }
    uint32_t want = chunks_for(size);
    uint32_t have = chunks_for(store->size);
    if (want > have && !add_chunks(store, want))
        return false;
    if (want < have)
        drop_chunks(store, want);
    store->size = size;
    return true;
}

bool byte_store_write(ByteStore *store, uint32_t offset, const void *part1, uint32_t n1,
                      const void *part2, uint32_t n2) {
    if (!store->open || offset > store->size)
        return false;
    uint64_t end = static_cast<uint64_t>(offset) + n1 + n2;
    if (end > UINT32_MAX)
        return false;
    if (n1 + n2 == 0)
        return true;
    if (is_swap(store)) {
        if (!pf_write_at(store->file, offset, part1, n1, part2, n2))
            return false;
        if (end > store->size)
            store->size = static_cast<uint32_t>(end);
        return true;
    }
    if (end > store->size && !byte_store_resize(store, static_cast<uint32_t>(end)))
        return false;
    copy_to_chunks(store, offset, static_cast<const uint8_t *>(part1), n1);
    if (n2)
        copy_to_chunks(store, offset + n1, static_cast<const uint8_t *>(part2), n2);
    return true;
}

bool byte_store_read(ByteStore *store, uint32_t offset, void *part1, uint32_t n1, void *part2, uint32_t n2) {
    if (!store->open || static_cast<uint64_t>(offset) + n1 + n2 > store->size)
        return false;
    if (n1 + n2 == 0)
        return true;
    if (is_swap(store))
        return pf_read_at(store->file, offset, part1, n1, part2, n2);
    copy_from_chunks(store, offset, static_cast<uint8_t *>(part1), n1);
    if (n2)
        copy_from_chunks(store, offset + n1, static_cast<uint8_t *>(part2), n2);
    return true;
}

bool byte_store_move(ByteStore *store, uint32_t to, uint32_t from, uint32_t n) {
    if (!store->open || !fits(from, n, store->size) || !fits(to, n, store->size))
        return false;
    if (n == 0 || to == from)
        return true;
    if (!is_swap(store)) {
        move_in_chunks(store, to, from, n);
        return true;
    }
    HeapBlock<uint8_t> temporary(n < kChunkBytes ? n : kChunkBytes);
    if (!temporary)
        return false;
    while (n > 0) {
        uint32_t piece = n < kChunkBytes ? n : kChunkBytes;
        if (!pf_read_at(store->file, from, temporary.get(), piece) ||
            !pf_write_at(store->file, to, temporary.get(), piece))
            return false;
        to += piece;
        from += piece;
        n -= piece;
    }
    return true;
}

bool byte_store_destroy(ByteStore *&store) {
    if (!store)
        return true;
    if (store->open)
        return false;
    if (is_swap(store)) {
        char path[kDirectoryBytes + 32];
        if (byte_store_path(store, path, sizeof path))
            pf_delete(path);
    } else {
        drop_chunks(store, 0);
        heap_release(store->chunks);
    }
    heap_release(store);
    return true;
}

int64_t byte_store_size(const ByteStore *store) { return store ? store->size : -1; }

} // namespace quill
