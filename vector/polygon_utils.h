/*
 * polygon_utils.h - what the polygon utilities share inside quillvec: the
 * origin that QV_GetPolyObjParms records for the graph builder, and the
 * point-word helpers.
 */
#ifndef QUILL_VECTOR_POLYGON_UTILS_H
#define QUILL_VECTOR_POLYGON_UTILS_H

#include <stdint.h>

namespace quill {

// Point words: x in the low 16 bits, y in the high 16 bits.
inline uint32_t point_x(uint32_t point) { return point & 0xFFFFu; }
inline uint32_t point_y(uint32_t point) { return point >> 16; }
inline uint32_t make_point(uint32_t x, uint32_t y) { return (x & 0xFFFFu) | (y << 16); }

// The count of a Wpoly whose count word is `word`: bit 31 is the hole flag.
inline uint32_t wpoly_count(uint32_t word) { return word & 0x7FFFFFFFu; }

// The origin recorded by the last QV_GetPolyObjParms, as a point word
// (minimum x of the first contour, y of its first point). The graph builder
// subtracts it from the quantised points of the object just measured.
uint32_t poly_object_origin();

} // namespace quill

#endif
