/*
 * packbits.h - PackBits decoding (TIFF compression 32773) of a strip, as a
 * stream of bytes taken a row at a time.
 *
 * A control byte n of 0 to 127 copies the next n + 1 bytes, 129 to 255
 * repeats the next byte 257 - n times, 128 does nothing. Writers code each
 * row on its own, but a run that crosses into the next row is decoded as
 * the strip's stream of bytes, as libtiff reads whole strips: the part past
 * the row is carried into the next read rather than failing the file.
 */
#ifndef QUILL_RASTER_FILES_PACKBITS_H
#define QUILL_RASTER_FILES_PACKBITS_H

#include <stddef.h>
#include <stdint.h>

namespace quill {

class PackBitsDecoder {
public:
    // Starts decoding the strip (data, size); the data must stay alive.
    void start(const uint8_t *data, size_t size);
    // Writes the next n decoded bytes to `out`. False when the strip ends
    // before they are complete.
    bool read(uint8_t *out, size_t n);

private:
    const uint8_t *data_ = nullptr;
    size_t size_ = 0;
    size_t position_ = 0;
    // The run or copy under way: bytes of it still to come.
    size_t pending_ = 0;
    bool pendingCopy_ = false; // copy from the input, else repeat runByte_
    uint8_t runByte_ = 0;
};

} // namespace quill

#endif
