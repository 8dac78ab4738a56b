/*
 * bilevel_tables.h - the tables of the bilevel run codecs, built at library
 * start: the 4096-byte per-byte run table of the run finder, and the
 * two-level decoding tables of the white, black and mode code lists.
 *
 * The library lifecycle calls the create and release functions in its start
 * and stop sequence; a failed build fails the library start.
 *
 * Run table: 256 entries of kRunEntryBytes bytes, one per byte value v (bit 7
 * is the leftmost pixel, 0 is black): byte 0 holds the number n (0 to 4) of
 * black runs in v, bytes 1 + 2i and 2 + 2i the first pixel and the pixel
 * after the end (0 to 8) of run i, left to right.
 *
 * Decoding table (one block from qs_malloc):
 *   header      uint32 byte offset of the first-level entries, uint16 k
 *   sub-headers one per sub-table: uint32 byte offset of its entries,
 *               uint16 width w (6 bytes each, numbered from 0)
 *   entries     uint16 each, 2^k first-level entries, then the sub-tables.
 * An entry holds the number of bits it consumes in its low byte and the
 * symbol in its high byte; low byte 0xFF means "continue in the sub-table
 * whose number is the high byte", and kNoCode marks a bit sequence that
 * starts no code word. Decoding looks up the next k bits, and for a long code
 * the next w bits in its sub-table: at most two lookups per code word.
 */
#ifndef QUILL_RASTER_CODECS_BILEVEL_TABLES_H
#define QUILL_RASTER_CODECS_BILEVEL_TABLES_H

#include "ccitt_codes.h"

#include <stdint.h>

namespace quill {

constexpr uint32_t kRunTableBytes = 4096;
constexpr uint32_t kRunEntryBytes = 16;
constexpr uint16_t kNoCode = 0xFEFE;
constexpr uint8_t kContinue = 0xFF;
constexpr uint32_t kTableHeaderBytes = 6;
constexpr uint32_t kLongestFirstLevel = 8; // k above this fails the build
constexpr uint32_t kModeFirstLevel = 3;    // the mode list's first-level width

extern uint8_t *g_runTable;
// The three decoding tables; null while the library is stopped.
extern uint8_t *g_whiteTable;
extern uint8_t *g_blackTable;
extern uint8_t *g_modeTable;

bool bilevel_run_table_create();
void bilevel_run_table_release();
bool bilevel_code_tables_create();
void bilevel_code_tables_release();

// Fills a run table (kRunTableBytes bytes) as described above.
void fill_run_table(uint8_t *table);

// Builds the decoding table of `count` code words (symbol = index, at most
// 254 symbols, each code 1 to 16 bits long) with first-level width k; k = 0
// picks the width from 1 to 8 that gives the smallest table (the first of
// equal sizes). On success *table receives a qs_malloc block (the caller's)
// and *bytes its size. Fails, leaving nothing allocated, when k is above 8,
// a code word is malformed, two code words conflict (one is a prefix of the
// other, so that an entry would be filled twice) or memory runs out.
bool build_decode_table(const CodeWord *codes, uint32_t count, uint32_t k, uint8_t **table,
                        uint32_t *bytes);

// Total bytes of the decoding table for first-level width k (1 to 8): 6
// bytes per header (the main one and one per sub-table), 2 per entry.
// 0 when a code word is malformed or k is out of range.
uint32_t decode_table_bytes(const CodeWord *codes, uint32_t count, uint32_t k);

} // namespace quill

#endif
