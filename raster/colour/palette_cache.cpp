/*
 * palette_cache.cpp - reading and writing the cache file of an inverse
 * colour map.
 *
 * Format (little-endian): int32 count; count x 4 bytes of colours; the
 * 262144-byte map. 4 + 4 * count + 262144 bytes in all.
 *
 * Reading. The file is hostile: it may be damaged, cut short, written for
 * another palette, or not ours at all. It serves only when its length is
 * exactly that of a cache for this count (so a file that is longer is not
 * taken either: we never write one, and its tail would be a foreign
 * record), its count and colours equal ours byte for byte (the fourth byte
 * of each colour included, since that is the key the host chose), and every
 * map entry names an index below the count. Without the last check a
 * damaged file whose colours happen to match would hand the mapping indices
 * that the host's palette does not have.
 *
 * Writing. The file is written under the name plus ".tmp" in the same
 * directory and renamed over the cache name only after every byte was
 * written and the file closed without error. A process stopped midway thus
 * leaves at most the temporary, never a short file under the cache name,
 * and a failed write leaves the old cache as it was. (Durability across a
 * power cut would need a flush to disk before the rename; a lost cache
 * only costs a rebuild, so we do not pay for that.) A fixed buffer holds the
 * temporary's name: a cache name too long for it is simply not written,
 * which keeps the write free of allocations of its own.
 */
#include "palette_cache.h"

#include "palette_kernels.h"
#include "../core/platform_file.h"

#include <string.h>

namespace quill {

namespace {

constexpr size_t kMaxPath = 4096;
const char kTemporarySuffix[] = ".tmp";

// The count and the colours, as they open the file.
size_t cache_header(const uint8_t *colours, int count, uint8_t *header) {
    uint32_t n = static_cast<uint32_t>(count);
    for (int i = 0; i < 4; ++i)
        header[i] = static_cast<uint8_t>(n >> (8 * i));
    memcpy(header + 4, colours, 4 * static_cast<size_t>(count));
    return 4 + 4 * static_cast<size_t>(count);
}

bool entries_below(const uint8_t *map, int count) {
    if (count >= 256)
        return true;
    uint8_t largest = 0;
    for (size_t i = 0; i < kColourMapCells; ++i)
        largest = map[i] > largest ? map[i] : largest;
    return largest < count;
}

bool read_matching(PlatformFile *file, const uint8_t *colours, int count, uint8_t *map) {
    uint8_t expected[4 + 1024], found[4 + 1024];
    size_t headerBytes = cache_header(colours, count, expected);
    return pf_length(file) == static_cast<int64_t>(palette_cache_size(count)) &&
           pf_read_at(file, 0, found, headerBytes, map, kColourMapCells) &&
           memcmp(found, expected, headerBytes) == 0 && entries_below(map, count);
}

} // namespace

bool palette_cache_read(const char *path, const uint8_t *colours, int count, uint8_t *map) {
    if (!path || !*path || count < 1 || count > 256)
        return false;
    PlatformFile *file = pf_open(path, FileMode::Read);
    if (!file)
        return false;
    bool served = read_matching(file, colours, count, map);
    pf_close(file);
    return served;
}

void palette_cache_write(const char *path, const uint8_t *colours, int count, const uint8_t *map) {
    if (!path || !*path || count < 1 || count > 256)
        return;
    size_t length = strlen(path);
    char temporary[kMaxPath];
    if (length + sizeof kTemporarySuffix > sizeof temporary)
        return;
    memcpy(temporary, path, length);
    memcpy(temporary + length, kTemporarySuffix, sizeof kTemporarySuffix);
    PlatformFile *file = pf_open(temporary, FileMode::ReadWrite);
    if (!file)
        return;
    uint8_t header[4 + 1024];
    size_t headerBytes = cache_header(colours, count, header);
    bool written = pf_write_at(file, 0, header, headerBytes, map, kColourMapCells);
    written = pf_close(file) && written;
    if (!written || !pf_rename(temporary, path))
        pf_delete(temporary);
}

} // namespace quill
