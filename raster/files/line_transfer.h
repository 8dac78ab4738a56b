/*
 * line_transfer.h - the one transfer under way between a frame and an image
 * file, and the row hand-over of QI_FrameFile_LoadLine and
 * QI_FrameFile_SaveLine.
 *
 * A load gathers up to 128 rows in the line buffer and stores them into the
 * frame with one rectangle write; a save fetches up to 128 rows with one
 * rectangle read and hands them out one by one. Colour rows cross the
 * protocol as (B, G, R) pixels and frames hold (Y, U, V): the conversion
 * happens here, once per block. Only one transfer exists at a time.
 */
#ifndef QUILL_RASTER_FILES_LINE_TRANSFER_H
#define QUILL_RASTER_FILES_LINE_TRANSFER_H
#include "file_formats.h"

#include <stdint.h>

namespace quill {

constexpr int32_t kBlockLines = 128;

// Sets up a load of an image of `info` into a frame kept in `storage`; for
// image kinds 1, 2 and 4 the frame is created and locked now, for kind 3 at
// the palette hand-over. False (nothing left) when memory or the frame fails.
bool load_transfer_begin(const FileInfo &info, int32_t storage);
// Ends the load: unlocks the frame and frees the state. Returns the frame
// when `ok` and every row arrived, else deletes the frame and returns -1.
int32_t load_transfer_end(bool ok);

// Sets up a save of a locked frame; fills `info` (a colour frame carrying a
// palette is image kind 3). False when memory fails.
bool save_transfer_begin(int32_t frame, FileInfo &info);
void save_transfer_end();

// The protocol, for C++ callers: the address of the line buffer, or of the
// place of the next row; null on failure or cancel.
uint8_t *load_line(int32_t bytes, int32_t line);
bool save_line(void *out, int32_t line, bool runs);

// Run-list loads: a reader that codes whole tile rows of a bilevel image
// into the frame itself (run_tiles.h) instead of handing rows over.
// The frame of a bilevel load that has not taken a row yet, locked; else -1.
int32_t load_transfer_run_frame();
// Before the reader stores the block of up to 128 rows starting at `line`
// (the next row, a multiple of 128): reports progress as the row hand-over
// does. False on a cancel or a line out of turn.
bool load_transfer_block_begin(int32_t line);
// After the block's `rows` rows are stored; false when they are not the
// block's (128, or the rows left).
bool load_transfer_block_stored(int32_t rows);

// Bytes that QI_FrameFile_SaveLine writes for one row of a bilevel image of
// `width` pixels as a run list: a 16-bit count and at most (width + 1) / 2
// pairs.
inline uint32_t run_list_bytes(int32_t width) { return 2 + 4 * ((static_cast<uint32_t>(width) + 1) / 2); }

} // namespace quill

#endif
