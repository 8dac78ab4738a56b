/*
 * tiff_directory.h - the first image file directory of a TIFF file, read
 * into a description of the image for get-info and load (tiff_read.cpp).
 *
 * TiffFile reads a file of either byte order and hands out the values of
 * directory entries, each checked against the file's length before it is
 * read. TiffImage holds the tags the reader uses, with their defaults, and
 * tiff_image_kind() classifies the image.
 */
#ifndef QUILL_RASTER_FILES_TIFF_DIRECTORY_H
#define QUILL_RASTER_FILES_TIFF_DIRECTORY_H

#include "file_io.h"

#include <stddef.h>
#include <stdint.h>

namespace quill {

// One directory entry with its value field as stored (file byte order).
struct TiffEntry {
    bool present = false;
    uint16_t type = 0;
    uint32_t count = 0;
    uint8_t field[4] = {};
};

// TIFF field types the reader takes values of.
enum TiffType : uint16_t {
    kTiffByte = 1,
    kTiffShort = 3,
    kTiffLong = 4,
};

class TiffFile {
public:
    // Opens the file and checks its header (byte order, 42, first directory
    // offset). False when it cannot be read or is not a TIFF file.
    bool open(const char *name);
    InputFile &input() { return file_; }
    uint64_t length() const { return file_.length(); }
    uint32_t directory_offset() const { return directory_; }
    uint16_t u16(const uint8_t *p) const { return bigEndian_ ? get_u16be(p) : get_u16le(p); }
    uint32_t u32(const uint8_t *p) const { return bigEndian_ ? get_u32be(p) : get_u32le(p); }
    // Reads values first .. first + n - 1 of an entry of an integer type
    // (BYTE, SHORT, LONG and their signed and undefined kin) into `out`,
    // from the value field when the whole array fits in it, else from the
    // offset the field holds. False when the entry is absent, of another
    // type, holds fewer values, or its array is not all inside the file.
    bool values(const TiffEntry &entry, uint32_t first, uint32_t n, uint32_t *out);
    // The first value, or `fallback` when there is none.
    uint32_t value(const TiffEntry &entry, uint32_t fallback);

private:
    InputFile file_;
    bool bigEndian_ = false;
    uint32_t directory_ = 0;
};

// The image of the first directory. Scalars hold the tag's first value or
// the default that holds when the tag is absent.
struct TiffImage {
    bool hasWidth = false, hasHeight = false;
    uint32_t width = 0, height = 0;
    // The common value of all samples' BitsPerSample; 0 when they differ.
    uint32_t bitsPerSample = 1;
    uint32_t samplesPerPixel = 1;
    uint32_t compression = 1;
    uint32_t photometric = 0;
    uint32_t subfileType = 1;
    uint32_t fillOrder = 1;
    uint32_t planar = 1;
    uint32_t rowsPerStrip = 10;
    uint32_t minSampleValue = 0;
    uint32_t predictor = 1;
    // GrayResponseUnit, else ColorResponseUnit; 0 when neither is present.
    uint32_t responseUnit = 0;
    bool tiled = false;
    TiffEntry stripOffsets;
    TiffEntry colourMap;
    TiffEntry grayCurve, colourCurve;
};

// Reads the first directory of an opened file. False when the directory
// is malformed or lies outside the file.
bool read_tiff_image(TiffFile &file, TiffImage &image);

// The image kind (1 bilevel, 2 grey, 3 palette, 4 colour) or 0 for an image
// the reader does not take: a missing or zero width or height, or one above
// INT32_MAX; more than one sample unless RGB 8, 8, 8; samples of more than 8
// bits. Not checked here: what only a load needs (tiff_read.cpp).
int32_t tiff_image_kind(const TiffImage &image);

// True when a palette image's colours come from its colour map.
inline bool tiff_uses_colour_map(const TiffImage &image) {
    return image.photometric == 3 && image.colourMap.present;
}

} // namespace quill

#endif
