/*
 * tiff_read.cpp - get-info and load of TIFF files: the first directory's
 * image, in strips, uncompressed (1, and rows padded to 16 bits: 32771),
 * CCITT modified Huffman (2), CCITT T.6 (4), LZW (5) or PackBits (32773);
 * bilevel, grey and palette images of 1 to 8 bits and RGB 8, 8, 8.
 *
 * A load classifies the image (tiff_directory.h), builds the palette that
 * maps samples to grey levels or colours, checks the strip table against
 * the file, and then decodes strip after strip, row after row, straight
 * into the slots QI_FrameFile_LoadLine hands out (line_transfer.h).
 *
 * Strips. Each strip is coded on its own, as TIFF defines: the T.6
 * reference line is all white at the first row of every strip, modified
 * Huffman and LZW restart, and a strip's first row starts on a byte.
 * StripByteCounts is not trusted (writers get it wrong); a strip ends at
 * the nearest greater start of another strip, or at the end of the file,
 * which also serves strips stored out of order. Uncompressed rows are read
 * from the file row by row, so they need no strip buffer at all; a
 * compressed strip is read whole (its length bounded by the file) and
 * decoded row by row into the row's slot: the LZW and PackBits decoders are
 * streams (tiff_lzw.h, packbits.h), so RowsPerStrip (2^32 - 1 from libtiff
 * for a single strip) never sizes a buffer.
 *
 * Colours.
 *  - Bilevel rows: frames hold 1 for white. Stored bits are complemented
 *    when a stored 0 is white: WhiteIsZero, and a 1-bit palette whose
 *    entry 0 is the lighter one. CCITT rows code white runs as 0 bits, so
 *    they keep their colours under WhiteIsZero and are complemented under
 *    BlackIsZero, as TIFF (and libtiff) read them.
 *  - A non-zero MinSampleValue swaps WhiteIsZero and BlackIsZero before
 *    anything else: the reader has always done so, and files made for it
 *    may rely on it.
 *  - Grey and palette samples go through a palette of 2^bits entries: the
 *    colour map (photometric 3), or a GrayResponseCurve of optical
 *    densities, or else an even ramp, reversed for WhiteIsZero. A curve
 *    gives the density of each sample value whatever the photometric, so
 *    it is not reversed.
 *
 * Decisions.
 *  - Predictor (317): libtiff applies it to LZW (and Deflate, which is not
 *    read here) and ignores it on the other compressions; so does this
 *    reader. With LZW, predictor 2 (horizontal differencing) is undone for
 *    8-bit samples (grey, palette, each RGB channel); predictor 2 on other
 *    depths, predictor 3 (floating point) and unknown values are rejected
 *    rather than loaded as wrong pixels.
 *  - A response curve without GrayResponseUnit or ColorResponseUnit is in
 *    hundredths of a density unit, TIFF's default for GrayResponseUnit (2).
 *    A curve with fewer values than the image has sample values, or a unit
 *    outside 1 to 5, is ignored (peers ignore curves altogether).
 *  - A colour map must hold 2^bits colours per plane; a longer one gives
 *    its first 2^bits. Its 16-bit values keep their high byte, 32-bit ones
 *    their top byte. A ColorMap on an image that is not photometric 3 is
 *    ignored, as TIFF readers do.
 *  - PlanarConfiguration 2 is rejected only for RGB: with one sample it
 *    lays out the same bytes as 1.
 *  - Photometric values other than WhiteIsZero, BlackIsZero, RGB (three
 *    samples) and palette (mask, separated, YCbCr, CIELab ...) are
 *    rejected: their samples do not mean what a grey or RGB frame holds.
 *  - StripOffsets of type SHORT are taken for a single strip only; several
 *    strips need LONG offsets.
 */
#include "tiff.h"

#include "../../base/holder.h"
#include "../../base/raster_line.h"
#include "../codecs/black_runs.h"
#include "../codecs/ccitt.h"
#include "../core/run_tiles.h"
#include "../core/tiles.h"
#include "line_transfer.h"
#include "packbits.h"
#include "quillimg.h"
#include "tiff_directory.h"
#include "tiff_lzw.h"

#include <algorithm>
#include <math.h>
#include <string.h>

namespace quill {

namespace {

enum Compression : uint32_t {
    kNoCompression = 1,
    kModifiedHuffman = 2,
    kGroup4 = 4,
    kLzw = 5,
    kWordPadded = 32771,
    kPackBits = 32773,
};

enum Photometric : uint32_t {
    kWhiteIsZero = 0,
    kBlackIsZero = 1,
    kRgb = 2,
    kPaletteColour = 3,
};

constexpr uint32_t kHorizontalPredictor = 2;

// Sample values mapped to blue, green, red.
struct SamplePalette {
    uint32_t size = 0;
    uint8_t bgr[256][3] = {};
};

uint32_t photometric_after_swap(const TiffImage &image) {
    uint32_t p = image.photometric;
    if ((p == kWhiteIsZero || p == kBlackIsZero) && image.minSampleValue != 0)
        p = 1 - p;
    return p;
}

// ---- Palette -----------------------------------------------------------

// The byte of an optical density given in millionths: the first level i
// whose density, -log10((i + 1) / 256), lies below it.
uint8_t density_to_byte(uint64_t micro) {
    for (uint32_t i = 0; i < 256; ++i) {
        double threshold = 1e6 * -log10((i + 1) / 256.0);
        if (static_cast<uint64_t>(llround(threshold)) < micro)
            return static_cast<uint8_t>(i);
    }
    return 255;
}

bool colour_map_palette(TiffFile &file, const TiffImage &image, SamplePalette &palette) {
    const TiffEntry &map = image.colourMap;
    uint32_t perPlane = map.count / 3;
    if (perPlane < palette.size)
        return false;
    // The values' width decides their scale: keep the top byte.
    uint32_t shift = map.type == kTiffShort || map.type == 8 ? 8 : map.type == kTiffLong || map.type == 9 ? 24 : 0;
    uint32_t values[256];
    for (uint32_t plane = 0; plane < 3; ++plane) {
        if (!file.values(map, plane * perPlane, palette.size, values))
            return false;
        for (uint32_t i = 0; i < palette.size; ++i)
            palette.bgr[i][2 - plane] = static_cast<uint8_t>(values[i] >> shift);
    }
    return true;
}

// False when the image has no usable curve.
bool curve_palette(TiffFile &file, const TiffImage &image, SamplePalette &palette) {
    const TiffEntry &curve = image.grayCurve.present ? image.grayCurve : image.colourCurve;
    uint32_t unit = image.responseUnit ? image.responseUnit : 2;
    uint32_t values[256];
    if (!curve.present || unit < 1 || unit > 5 || !file.values(curve, 0, palette.size, values))
        return false;
    uint64_t scale = 1;
    for (uint32_t u = unit; u < 6; ++u)
        scale *= 10;
    for (uint32_t i = 0; i < palette.size; ++i) {
        uint8_t level = density_to_byte(values[i] * scale);
        memset(palette.bgr[i], level, 3);
    }
    return true;
}

void ramp_palette(uint32_t photometric, SamplePalette &palette) {
    uint32_t n = palette.size;
    for (uint32_t i = 0; i < n; ++i) {
        uint8_t level = static_cast<uint8_t>((255 * i + (n - 1) / 2) / (n - 1));
        uint32_t entry = photometric == kWhiteIsZero ? n - 1 - i : i;
        memset(palette.bgr[entry], level, 3);
    }
}

// The palette of samples of `bits` bits (2^bits entries); false when a
// colour map is due but unusable.
bool build_palette(TiffFile &file, const TiffImage &image, uint32_t bits, SamplePalette &palette) {
    palette.size = 1u << bits;
    if (tiff_uses_colour_map(image))
        return colour_map_palette(file, image, palette);
    if (!curve_palette(file, image, palette))
        ramp_palette(photometric_after_swap(image), palette);
    return true;
}

uint32_t luma(const uint8_t *bgr) { return 114u * bgr[0] + 587u * bgr[1] + 299u * bgr[2]; }

// ---- Rows --------------------------------------------------------------

// Sets the bits of a bilevel row from `width` to the end of its `bytes`.
void whiten_padding(uint8_t *row, uint32_t width, uint32_t bytes) {
    uint32_t full = width / 8;
    if (width % 8 != 0) {
        row[full] = static_cast<uint8_t>(row[full] | (0xFFu >> (width % 8)));
        ++full;
    }
    if (full < bytes)
        memset(row + full, 0xFF, bytes - full);
}

void complement(uint8_t *row, uint32_t bytes) {
    for (uint32_t i = 0; i < bytes; ++i)
        row[i] = static_cast<uint8_t>(~row[i]);
}

// Undoes horizontal differencing of 8-bit samples, `samples` per pixel.
void undo_predictor(uint8_t *row, uint32_t bytes, uint32_t samples) {
    for (uint32_t i = samples; i < bytes; ++i)
        row[i] = static_cast<uint8_t>(row[i] + row[i - samples]);
}

void rgb_to_bgr(uint8_t *row, uint32_t width) {
    for (uint32_t x = 0; x < width; ++x, row += 3)
        std::swap(row[0], row[2]);
}

// One byte per pixel from samples of `bits` bits (most significant first),
// each mapped through `map`.
void expand_samples(const uint8_t *in, uint32_t bits, uint32_t width, const uint8_t *map, uint8_t *out) {
    if (bits == 8) {
        for (uint32_t x = 0; x < width; ++x)
            out[x] = map[in[x]];
        return;
    }
    // Depths of 3, 5, 6 and 7 bits put samples across byte boundaries: a
    // sample is taken from a 16-bit window, whose second byte is read only
    // when the sample reaches into it (it may be past the row otherwise).
    uint32_t mask = (1u << bits) - 1;
    uint64_t bit = 0;
    for (uint32_t x = 0; x < width; ++x, bit += bits) {
        const uint8_t *p = in + (bit >> 3);
        uint32_t offset = static_cast<uint32_t>(bit & 7);
        uint32_t window = static_cast<uint32_t>(p[0]) << 8;
        if (offset + bits > 8)
            window |= p[1];
        out[x] = map[(window >> (16 - bits - offset)) & mask];
    }
}

// ---- The load ----------------------------------------------------------

class TiffLoader {
public:
    TiffLoader(TiffFile &file, const TiffImage &image, int32_t kind) : file_(file), image_(image), kind_(kind) {}
    bool run();

private:
    bool check_loadable() const;
    bool prepare_colours();
    bool hand_over_palette(const SamplePalette &palette);
    bool read_strip_table();
    bool prepare_buffers();
    bool read_strip(uint32_t strip, size_t &length);
    bool load_strip(uint32_t strip);
    bool load_runs(int32_t frame);
    bool load_strip_runs(uint32_t strip, int32_t frame);
    bool add_ccitt_row(BitReader &reader);
    bool store_band(int32_t frame);
    bool decode_ccitt_pairs(BitReader &reader, const uint16_t *&pairs, uint32_t &count);
    bool decode_ccitt_row(BitReader &reader, uint8_t *slot);
    bool fetch(uint8_t *out);
    bool decode_row(uint8_t *slot);
    bool compressed() const { return compression_ != kNoCompression && compression_ != kWordPadded; }
    bool ccitt() const { return compression_ == kModifiedHuffman || compression_ == kGroup4; }

    TiffFile &file_;
    const TiffImage &image_;
    int32_t kind_;
    uint32_t width_ = 0, height_ = 0;
    uint32_t compression_ = 0;
    uint32_t samples_ = 1;
    uint32_t bits_ = 0;     // per sample
    uint32_t rowBytes_ = 0; // a stored row, packed
    uint32_t lineBytes_ = 0;
    uint32_t rowsPerStrip_ = 0;
    uint32_t strips_ = 0;
    bool invert_ = false;    // bilevel: complement the stored bits
    bool predictor_ = false; // undo horizontal differencing
    uint8_t map_[256] = {};  // grey: sample to level; palette: identity

    HeapBlock<uint32_t> starts_;
    HeapBlock<uint64_t> ends_; // past each strip's last byte
    HeapBlock<uint8_t> strip_; // a compressed strip
    HeapBlock<uint8_t> row_;   // samples of fewer than 8 bits
    HeapBlock<uint16_t> pairs_;
    T6Decoder t6_;
    LzwDecoder lzw_;
    PackBitsDecoder packBits_;
    uint64_t position_ = 0, end_ = 0; // uncompressed: next row in the file, strip end
    uint32_t nextRow_ = 0;
    uint8_t *slot_ = nullptr;
    // The run-list load of CCITT strips.
    RunGrid grid_;
    HeapBlock<uint16_t> complement_; // a row's pairs with colours swapped
    HeapBlock<uint8_t> coderScratch_;
};

bool TiffLoader::check_loadable() const {
    const TiffImage &im = image_;
    if (im.width > static_cast<uint32_t>(kMaxFileSide) || im.height > static_cast<uint32_t>(kMaxFileSide))
        return false;
    if (!im.stripOffsets.present || im.tiled || im.subfileType != 1 || im.fillOrder != 1)
        return false;
    if (im.planar != 1 && (im.samplesPerPixel != 1 || im.planar != 2))
        return false;
    uint32_t p = im.photometric;
    if (kind_ != kImageColour && p != kWhiteIsZero && p != kBlackIsZero && p != kPaletteColour)
        return false;
    switch (im.compression) {
    case kNoCompression:
    case kWordPadded:
    case kPackBits:
        return true;
    case kModifiedHuffman:
    case kGroup4:
        return kind_ == kImageBilevel;
    case kLzw:
        return im.predictor == 1 || (im.predictor == kHorizontalPredictor && im.bitsPerSample == 8);
    default:
        return false;
    }
}

bool TiffLoader::hand_over_palette(const SamplePalette &palette) {
    uint8_t *record = load_line(0, -1);
    if (!record)
        return false;
    record[0] = static_cast<uint8_t>(palette.size - 1);
    for (uint32_t i = 0; i < palette.size; ++i) {
        uint8_t *entry = record + 1 + 4 * i;
        memcpy(entry, palette.bgr[i], 3);
        entry[3] = 0;
    }
    return load_line(static_cast<int32_t>(4 * palette.size + 1), -2) != nullptr;
}

bool TiffLoader::prepare_colours() {
    SamplePalette palette;
    if (kind_ == kImageBilevel) {
        uint32_t p = photometric_after_swap(image_);
        if (tiff_uses_colour_map(image_)) {
            if (!build_palette(file_, image_, 1, palette))
                return false;
            invert_ = luma(palette.bgr[0]) > luma(palette.bgr[1]);
        } else {
            invert_ = p == kWhiteIsZero;
        }
        return true;
    }
    if (kind_ == kImageColour)
        return true;
    if (!build_palette(file_, image_, bits_, palette))
        return false;
    for (uint32_t i = 0; i < 256; ++i)
        map_[i] = kind_ == kImagePalette ? static_cast<uint8_t>(i) : palette.bgr[i < palette.size ? i : 0][0];
    return kind_ == kImagePalette ? hand_over_palette(palette) : true;
}

bool TiffLoader::read_strip_table() {
    const TiffEntry &offsets = image_.stripOffsets;
    if (offsets.count == 1) {
        rowsPerStrip_ = height_;
    } else {
        // Several strips need LONG offsets; RowsPerStrip (2^32 - 1 means
        // one strip) is clamped to the image.
        if (offsets.type != kTiffLong || image_.rowsPerStrip == 0)
            return false;
        rowsPerStrip_ = image_.rowsPerStrip < height_ ? image_.rowsPerStrip : height_;
    }
    strips_ = (height_ - 1) / rowsPerStrip_ + 1;
    // Offsets past those the image needs are not read: at most one a row.
    if (offsets.count < strips_ || !starts_.allocate(strips_) || !ends_.allocate(strips_) ||
        !file_.values(offsets, 0, strips_, starts_.get()))
        return false;
    HeapBlock<uint32_t> sorted;
    if (!sorted.allocate(strips_))
        return false;
    for (uint32_t s = 0; s < strips_; ++s) {
        if (starts_[s] > file_.length())
            return false;
        sorted[s] = starts_[s];
    }
    std::sort(sorted.get(), sorted.get() + strips_);
    // A strip ends where the nearest strip after it starts, or at the end
    // of the file: writers may store strips in any order.
    const uint32_t *last = sorted.get() + strips_;
    for (uint32_t s = 0; s < strips_; ++s) {
        const uint32_t *above = std::upper_bound(static_cast<const uint32_t *>(sorted.get()), last, starts_[s]);
        ends_[s] = above == last ? file_.length() : *above;
    }
    return true;
}

bool TiffLoader::prepare_buffers() {
    if (compressed()) {
        uint64_t longest = 0;
        for (uint32_t s = 0; s < strips_; ++s)
            longest = std::max(longest, ends_[s] - starts_[s]);
        if (longest > SIZE_MAX)
            return false;
        if (!strip_.allocate(longest ? longest : 1))
            return false;
    }
    if ((kind_ == kImageGrey || kind_ == kImagePalette) && bits_ < 8 && !row_.allocate(rowBytes_))
        return false;
    switch (compression_) {
    case kModifiedHuffman:
        return pairs_.allocate(static_cast<size_t>(width_ + 1) / 2 * 2);
    case kGroup4:
        return t6_.init(width_);
    case kLzw:
        return lzw_.init();
    default:
        return true;
    }
}

bool TiffLoader::run() {
    width_ = image_.width;
    height_ = image_.height;
    compression_ = image_.compression;
    samples_ = image_.samplesPerPixel;
    bits_ = image_.bitsPerSample;
    if (!check_loadable())
        return false;
    rowBytes_ = static_cast<uint32_t>((static_cast<uint64_t>(samples_) * bits_ * width_ + 7) / 8);
    lineBytes_ = raster_line_bytes(kind_ == kImagePalette ? kImageGrey : kind_, static_cast<int32_t>(width_));
    predictor_ = compression_ == kLzw && image_.predictor == kHorizontalPredictor;
    if (!read_strip_table() || !prepare_buffers() || !prepare_colours())
        return false;
    if (ccitt() && run_paths_take(static_cast<int32_t>(width_))) {
        int32_t frame = load_transfer_run_frame();
        if (frame >= 0)
            return load_runs(frame);
    }
    slot_ = load_line(0, -1);
    if (!slot_)
        return false;
    for (uint32_t s = 0; s < strips_; ++s)
        if (!load_strip(s))
            return false;
    return nextRow_ == height_;
}

// Reads a compressed strip whole and restarts its decoder, or places the
// row position of an uncompressed one; `length` is the bytes read.
bool TiffLoader::read_strip(uint32_t strip, size_t &length) {
    uint64_t start = starts_[strip], end = ends_[strip];
    length = compressed() ? static_cast<size_t>(end - start) : 0;
    if (compressed()) {
        if (!file_.input().read(start, strip_.get(), length))
            return false;
        lzw_.start(strip_.get(), length);
        packBits_.start(strip_.get(), length);
        if (compression_ == kGroup4)
            t6_.reset();
    } else {
        position_ = start;
        end_ = end;
    }
    return true;
}

bool TiffLoader::load_strip(uint32_t strip) {
    size_t length = 0;
    if (!read_strip(strip, length))
        return false;
    BitReader reader(strip_.get(), length);
    uint32_t rows = std::min(rowsPerStrip_, height_ - nextRow_);
    for (uint32_t r = 0; r < rows; ++r) {
        bool ok = compression_ == kModifiedHuffman || compression_ == kGroup4 ? decode_ccitt_row(reader, slot_)
                                                                               : decode_row(slot_);
        if (!ok)
            return false;
        slot_ = load_line(static_cast<int32_t>(lineBytes_), static_cast<int32_t>(nextRow_));
        if (!slot_)
            return false;
        ++nextRow_;
    }
    return true;
}

// ---- The run-list load of CCITT strips ---------------------------------
//
// Rows go from the decoder's run list (complemented under BlackIsZero, as
// the drawn rows are) into a run grid of 128 rows cut at the tile columns,
// and every full grid is coded into its tile row (run_tiles.h): no row is
// drawn, gathered or scanned for runs again. Bands span strips: the T.6
// reference restarts with each strip, the tile rows with every 128 rows.
// The frame and the progress reports are the row hand-over's: the transfer
// made the frame, reports each block's first row and judges the end.

// The runs of the row's other colour: the gaps between the pairs.
constexpr uint32_t kBandRows = kTileSide;

uint32_t complement_runs(const uint16_t *pairs, uint32_t count, uint32_t width, uint16_t *out) {
    uint32_t n = 0, white = 0; // white: the first pixel after the last run
    for (uint32_t i = 0; i <= count; ++i) {
        uint32_t start = i < count ? pairs[2 * i] : width;
        if (start > white) {
            out[2 * n] = static_cast<uint16_t>(white);
            out[2 * n + 1] = static_cast<uint16_t>(start);
            ++n;
        }
        if (i < count)
            white = pairs[2 * i + 1];
    }
    return n;
}

bool TiffLoader::load_runs(int32_t frame) {
    // A complement has at most one pair more than the row it comes from.
    if (!grid_.init(static_cast<int32_t>(width_)) || !complement_.allocate(2 * (grid_.row_capacity() + 1)) ||
        !coderScratch_.allocate(run_coder_scratch()))
        return false;
    for (uint32_t s = 0; s < strips_; ++s)
        if (!load_strip_runs(s, frame))
            return false;
    return nextRow_ == height_;
}

bool TiffLoader::load_strip_runs(uint32_t strip, int32_t frame) {
    size_t length = 0;
    if (!read_strip(strip, length))
        return false;
    BitReader reader(strip_.get(), length);
    uint32_t rows = std::min(rowsPerStrip_, height_ - nextRow_);
    for (uint32_t r = 0; r < rows; ++r) {
        if (nextRow_ % kBandRows == 0) {
            if (!load_transfer_block_begin(static_cast<int32_t>(nextRow_)))
                return false;
            grid_.start(static_cast<int32_t>(std::min(kBandRows, height_ - nextRow_)));
        }
        if (!add_ccitt_row(reader))
            return false;
        ++nextRow_;
        if ((nextRow_ % kBandRows == 0 || nextRow_ == height_) && !store_band(frame))
            return false;
    }
    return true;
}

bool TiffLoader::add_ccitt_row(BitReader &reader) {
    const uint16_t *pairs = nullptr;
    uint32_t count = 0;
    if (!decode_ccitt_pairs(reader, pairs, count))
        return false;
    if (!invert_) {
        count = complement_runs(pairs, count, width_, complement_.get());
        pairs = complement_.get();
    }
    return grid_.add_row(pairs, count);
}

bool TiffLoader::store_band(int32_t frame) {
    return code_tile_row(frame, static_cast<int32_t>((nextRow_ - 1) / kBandRows), grid_, coderScratch_.get()) &&
           load_transfer_block_stored(grid_.rows());
}

bool TiffLoader::decode_ccitt_pairs(BitReader &reader, const uint16_t *&pairs, uint32_t &count) {
    if (compression_ == kGroup4) {
        if (!t6_.decode_row(reader))
            return false;
        pairs = t6_.pairs();
        count = t6_.pair_count();
        return true;
    }
    pairs = pairs_.get();
    return mh_decode_row(reader, width_, pairs_.get(), (width_ + 1) / 2, count);
}

// CCITT codes white runs as 0 bits: drawn rows have the code's colours,
// which are the image's under WhiteIsZero and complemented otherwise.
bool TiffLoader::decode_ccitt_row(BitReader &reader, uint8_t *slot) {
    if (compression_ == kGroup4) {
        if (!t6_.decode_row(reader))
            return false;
        t6_.unpack_row(slot);
    } else {
        uint32_t count = 0;
        if (!mh_decode_row(reader, width_, pairs_.get(), (width_ + 1) / 2, count))
            return false;
        unpack_black_runs(slot, width_, pairs_.get(), count);
    }
    if (!invert_) {
        complement(slot, lineBytes_);
        whiten_padding(slot, width_, lineBytes_);
    }
    return true;
}

// The next stored row's rowBytes_ bytes.
bool TiffLoader::fetch(uint8_t *out) {
    switch (compression_) {
    case kLzw:
        return lzw_.read(out, rowBytes_);
    case kPackBits:
        return packBits_.read(out, rowBytes_);
    default: {
        if (position_ > end_ || rowBytes_ > end_ - position_ || !file_.input().read(position_, out, rowBytes_))
            return false;
        uint32_t stride = compression_ == kWordPadded ? (rowBytes_ + 1) / 2 * 2 : rowBytes_;
        position_ += stride;
        return true;
    }
    }
}

bool TiffLoader::decode_row(uint8_t *slot) {
    switch (kind_) {
    case kImageBilevel:
        if (!fetch(slot))
            return false;
        if (invert_)
            complement(slot, rowBytes_);
        whiten_padding(slot, width_, lineBytes_);
        return true;
    case kImageColour:
        if (!fetch(slot))
            return false;
        if (predictor_)
            undo_predictor(slot, rowBytes_, 3);
        rgb_to_bgr(slot, width_);
        memset(slot + rowBytes_, 0, lineBytes_ - rowBytes_);
        return true;
    default: {
        // 8-bit samples are mapped in place; narrower ones are unpacked
        // from the row buffer.
        uint8_t *in = bits_ == 8 ? slot : row_.get();
        if (!fetch(in))
            return false;
        if (predictor_)
            undo_predictor(in, rowBytes_, 1);
        expand_samples(in, bits_, width_, map_, slot);
        memset(slot + width_, 0, lineBytes_ - width_);
        return true;
    }
    }
}

} // namespace

int tiff_get_info(const char *name, FileInfo &info) {
    TiffFile file;
    TiffImage image;
    if (!file.open(name) || !read_tiff_image(file, image))
        return 0;
    int32_t kind = tiff_image_kind(image);
    if (kind == kImageNone)
        return 0;
    info.width = static_cast<int32_t>(image.width);
    info.height = static_cast<int32_t>(image.height);
    info.kind = kind;
    return 1;
}

int tiff_load(const char *name, const FileInfo &info) {
    TiffFile file;
    TiffImage image;
    if (!file.open(name) || !read_tiff_image(file, image))
        return 0;
    int32_t kind = tiff_image_kind(image);
    // The transfer was set up from get-info: the file must still agree.
    if (kind == kImageNone || kind != info.kind || static_cast<int64_t>(image.width) != info.width ||
        static_cast<int64_t>(image.height) != info.height)
        return 0;
    TiffLoader loader(file, image, kind);
    return loader.run() ? 1 : 0;
}

} // namespace quill
