/*
 * colour_lists.h - small utilities over lists of 32-bit colour values
 * (Y | U << 8 | V << 16, -1 for none), used by the view code to keep and
 * compare the sets of colours that a view shows. Comparisons are exact
 * 32-bit comparisons. A null list is taken as empty whatever its count.
 */
#ifndef QUILL_RASTER_COLOUR_COLOUR_LISTS_H
#define QUILL_RASTER_COLOUR_COLOUR_LISTS_H

#include <stdint.h>

namespace quill {

// Removes repeated colours in place, keeping the last occurrence of each
// and the order of what is kept; entries of -1 are removed too. Returns the
// new count (0 for a null list or a count below 1).
int32_t colour_list_unique(int32_t *list, int32_t count);

// True when some entry of a occurs in b; false when either list is empty.
bool colour_lists_share(const int32_t *a, int32_t countA, const int32_t *b, int32_t countB);

// True when b is empty (an empty b stands for "no restriction"); false when
// a is empty and b is not; otherwise true when every entry of a is in b.
bool colour_list_all_in(const int32_t *a, int32_t countA, const int32_t *b, int32_t countB);

} // namespace quill

#endif
