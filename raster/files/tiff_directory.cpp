/*
 * tiff_directory.cpp - the header and first directory of a TIFF file
 * (tiff_directory.h).
 *
 * Every count and offset comes from the file and is checked against the
 * file's length before anything is read or allocated: the directory's
 * entries must lie inside the file, and so must every array of values
 * taken from it. Values are taken by element, inline or at the field's
 * offset as TIFF lays them out, rather than by the raw field: a SHORT array
 * of two values, or a tag given with a count above 1, then still gives its
 * first value instead of an offset read as a number.
 */
#include "tiff_directory.h"

#include "../../base/holder.h"
#include "file_formats.h"

namespace quill {

namespace {

constexpr uint64_t kSmallestFile = 26;
constexpr uint32_t kMostEntries = 5000;
constexpr uint32_t kEntryBytes = 12;
// BitsPerSample arrays longer than this belong to images the reader does
// not take anyway.
constexpr uint32_t kMostSamples = 16;

// Bytes of one value of an integer type; 0 for the other types.
uint32_t element_bytes(uint16_t type) {
    switch (type) {
    case 1: // BYTE
    case 6: // SBYTE
    case 7: // UNDEFINED
        return 1;
    case 3: // SHORT
    case 8: // SSHORT
        return 2;
    case 4: // LONG
    case 9: // SLONG
        return 4;
    default:
        return 0;
    }
}

enum Tag : uint16_t {
    kSubfileType = 255,
    kImageWidth = 256,
    kImageLength = 257,
    kBitsPerSample = 258,
    kCompression = 259,
    kPhotometric = 262,
    kFillOrder = 266,
    kStripOffsets = 273,
    kSamplesPerPixel = 277,
    kRowsPerStrip = 278,
    kMinSampleValue = 280,
    kPlanarConfiguration = 284,
    kGrayResponseUnit = 290,
    kGrayResponseCurve = 291,
    kColorResponseUnit = 300,
    kColorResponseCurve = 301,
    kPredictor = 317,
    kColorMap = 320,
    kTileWidth = 322,
    kTileOffsets = 324,
};

// The common value of all samples, 0 when they differ or cannot be read.
uint32_t common_bits(TiffFile &file, const TiffEntry &entry) {
    if (entry.count == 0 || entry.count > kMostSamples)
        return 0;
    uint32_t bits[kMostSamples];
    if (!file.values(entry, 0, entry.count, bits))
        return 0;
    for (uint32_t i = 1; i < entry.count; ++i)
        if (bits[i] != bits[0])
            return 0;
    return bits[0];
}

void take_entry(TiffFile &file, uint16_t tag, const TiffEntry &entry, TiffImage &image,
                uint32_t &grayUnit, uint32_t &colourUnit) {
    switch (tag) {
    case kSubfileType:
        image.subfileType = file.value(entry, 1);
        break;
    case kImageWidth:
        image.hasWidth = file.values(entry, 0, 1, &image.width);
        break;
    case kImageLength:
        image.hasHeight = file.values(entry, 0, 1, &image.height);
        break;
    case kBitsPerSample:
        image.bitsPerSample = common_bits(file, entry);
        break;
    case kCompression:
        image.compression = file.value(entry, 1);
        break;
    case kPhotometric:
        image.photometric = file.value(entry, 0);
        break;
    case kFillOrder:
        image.fillOrder = file.value(entry, 1);
        break;
    case kStripOffsets:
        image.stripOffsets = entry;
        break;
    case kSamplesPerPixel:
        image.samplesPerPixel = file.value(entry, 1);
        break;
    case kRowsPerStrip:
        image.rowsPerStrip = file.value(entry, 10);
        break;
    case kMinSampleValue:
        image.minSampleValue = file.value(entry, 0);
        break;
    case kPlanarConfiguration:
        image.planar = file.value(entry, 1);
        break;
    case kGrayResponseUnit:
        grayUnit = file.value(entry, 0);
        break;
    case kColorResponseUnit:
        colourUnit = file.value(entry, 0);
        break;
    case kGrayResponseCurve:
        image.grayCurve = entry;
        break;
    case kColorResponseCurve:
        image.colourCurve = entry;
        break;
    case kPredictor:
        image.predictor = file.value(entry, 1);
        break;
    case kColorMap:
        image.colourMap = entry;
        break;
    case kTileWidth:
    case kTileOffsets:
        image.tiled = true;
        break;
    default:
        break;
    }
}

} // namespace

bool TiffFile::open(const char *name) {
    if (!file_.open(name) || file_.length() < kSmallestFile)
        return false;
    uint8_t header[8];
    if (!file_.read(0, header, sizeof header))
        return false;
    if (header[0] == 'I' && header[1] == 'I')
        bigEndian_ = false;
    else if (header[0] == 'M' && header[1] == 'M')
        bigEndian_ = true;
    else
        return false;
    if (u16(header + 2) != 42)
        return false;
    directory_ = u32(header + 4);
    return true;
}

bool TiffFile::values(const TiffEntry &entry, uint32_t first, uint32_t n, uint32_t *out) {
    uint32_t size = element_bytes(entry.type);
    if (!entry.present || size == 0 || first > entry.count || n > entry.count - first)
        return false;
    uint64_t total = static_cast<uint64_t>(entry.count) * size;
    const uint8_t *inline_ = entry.field;
    uint64_t offset = total <= 4 ? 0 : u32(entry.field);
    if (total > 4 && !file_.holds(offset, total))
        return false;
    // Values at an offset are read in pieces through a small buffer.
    uint8_t chunk[1024];
    uint32_t perChunk = static_cast<uint32_t>(sizeof chunk) / size;
    for (uint32_t done = 0; done < n;) {
        uint32_t take = n - done < perChunk ? n - done : perChunk;
        const uint8_t *p = inline_ + static_cast<size_t>(first + done) * size;
        if (total > 4) {
            if (!file_.read(offset + static_cast<uint64_t>(first + done) * size, chunk, static_cast<size_t>(take) * size))
                return false;
            p = chunk;
        }
        for (uint32_t i = 0; i < take; ++i, p += size)
            out[done + i] = size == 1 ? *p : size == 2 ? u16(p) : u32(p);
        done += take;
    }
    return true;
}

uint32_t TiffFile::value(const TiffEntry &entry, uint32_t fallback) {
    uint32_t v;
    return values(entry, 0, 1, &v) ? v : fallback;
}

bool read_tiff_image(TiffFile &file, TiffImage &image) {
    image = TiffImage();
    uint8_t countBytes[2];
    uint64_t at = file.directory_offset();
    if (!file.input().read(at, countBytes, 2))
        return false;
    uint32_t count = file.u16(countBytes);
    // The offset of the next directory after the entries is not needed,
    // so a directory that ends the file without it is still read.
    if (count == 0 || count > kMostEntries || !file.input().holds(at + 2, static_cast<uint64_t>(count) * kEntryBytes))
        return false;
    HeapBlock<uint8_t> entries;
    if (!entries.allocate(static_cast<size_t>(count) * kEntryBytes) ||
        !file.input().read(at + 2, entries.get(), static_cast<size_t>(count) * kEntryBytes))
        return false;
    uint32_t grayUnit = 0, colourUnit = 0;
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t *p = entries.get() + static_cast<size_t>(i) * kEntryBytes;
        TiffEntry entry;
        entry.present = true;
        entry.type = file.u16(p + 2);
        entry.count = file.u32(p + 4);
        for (int b = 0; b < 4; ++b)
            entry.field[b] = p[8 + b];
        take_entry(file, file.u16(p), entry, image, grayUnit, colourUnit);
    }
    image.responseUnit = grayUnit ? grayUnit : colourUnit;
    return true;
}

int32_t tiff_image_kind(const TiffImage &image) {
    if (!image.hasWidth || !image.hasHeight || image.width == 0 || image.height == 0 ||
        image.width > INT32_MAX || image.height > INT32_MAX)
        return kImageNone;
    uint32_t bits = image.bitsPerSample;
    if (image.samplesPerPixel == 3)
        return bits == 8 && image.photometric == 2 ? kImageColour : kImageNone;
    // Samples of more than 8 bits would need scaling that no frame kind
    // keeps; such images (16-bit grey above all) are not taken rather than
    // loaded as garbage.
    if (image.samplesPerPixel != 1 || bits == 0 || bits > 8)
        return kImageNone;
    if (bits == 1)
        return kImageBilevel;
    return tiff_uses_colour_map(image) ? kImagePalette : kImageGrey;
}

} // namespace quill
