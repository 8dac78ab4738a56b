/*
 * palette_cache.h - the cache file of inverse colour maps: the map of a
 * palette kept on disk, keyed by the palette's exact colour list.
 */
#ifndef QUILL_RASTER_COLOUR_PALETTE_CACHE_H
#define QUILL_RASTER_COLOUR_PALETTE_CACHE_H

#include <stddef.h>
#include <stdint.h>

namespace quill {

// Bytes of a cache file for `count` colours.
inline uint64_t palette_cache_size(int count) { return 4 + 4 * static_cast<uint64_t>(count) + 262144; }

// Fills `map` (262144 bytes) from the cache file at `path` when the file
// holds exactly these `count` colours (1 to 256) and a map whose every
// entry is below `count`. False for no path, no file, a file of another
// size, other colours or a bad entry; `map` may then hold anything.
bool palette_cache_read(const char *path, const uint8_t *colours, int count, uint8_t *map);

// Writes the cache file at `path` through a temporary file beside it that
// is renamed into place; on any failure the temporary goes and a file
// already at `path` stays as it was. Nothing is reported: a cache that
// cannot be written only costs a rebuild next time.
void palette_cache_write(const char *path, const uint8_t *colours, int count, const uint8_t *map);

} // namespace quill

#endif
