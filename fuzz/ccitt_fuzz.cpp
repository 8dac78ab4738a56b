/*
 * ccitt_fuzz - feeds arbitrary bytes to the CCITT row decoders as a TIFF
 * strip would present them, and checks what comes out.
 *
 * Input: bytes 0 and 1 are the row width (big-endian; 0 is rejected), byte 2
 * picks the decoder (even: T.6, odd: modified Huffman); the rest is the
 * strip. Rows are decoded until one fails (at most kMostRows, and no more
 * than kMostPixels pixels in all, so that one input stays fast).
 *
 * Checks (a failed check traps, which libFuzzer reports as a crash):
 *  - every decoded row is a canonical run list: ascending, non-empty,
 *    inside the width, no two pairs touching, no more than (width + 1) / 2;
 *  - a row that decoded used no bit past the end of the data;
 *  - drawing a row and finding its runs again gives the same list;
 *  - the decoded rows coded again with the T.6 encoder decode to the same
 *    rows (the encoder and decoder agree on whatever the fuzzer found).
 *
 * Seeds (fuzz/corpus/ccitt): the raw first strip of one-strip TIFFs written
 * by libtiff, behind the three bytes above; "-g4" seeds are T.6 (with
 * libtiff's EOFB), "-mh" seeds modified Huffman. Images:
 *  - text: pbmtext "Quill 1:2" (69 x 29);
 *  - gray: pbmmake -gray 37 23 (alternating pixels, the worst case);
 *  - drawing: pamcut -left 6000 -top 4000 -width 300 -height 160 of the
 *    standard page.pbm (lines and halftone);
 *  - wide: pamcut -left 200 -top 300 -width 2600 -height 12 of page.pbm
 *    (white runs past 2560: extended make-up codes).
 *  - tile-repeats (128 x 128) and wide-repeats (600 x 40): rows repeated,
 *    strokes ending at the right edge, rows of more than 56 changes
 *    repeated (the decoder's repeated-row and V0-run paths), made by a
 *    script as PBM (also the seeds tile_record/bilevel-repeats and
 *    bilevel-edge, 60 x 12, behind that target's three bytes).
 * Each went through pnmtotiff -none -miniswhite, then tiffcp -c g4
 * -r 100000 for the T.6 seeds or, for the modified Huffman ones, a libtiff
 * program copying the scanlines into a file with Compression 2 (no
 * command-line tool writes it); the strip is taken at StripOffsets.
 */
#include "quillimg.h"
#include "raster/codecs/bilevel_tables.h"
#include "raster/codecs/black_runs.h"
#include "raster/codecs/ccitt.h"

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <vector>

namespace {

constexpr uint32_t kMostRows = 512;
constexpr uint64_t kMostPixels = 1u << 24;

void check(bool condition) {
    if (!condition)
        __builtin_trap();
}

bool canonical(const uint16_t *pairs, uint32_t count, uint32_t width) {
    if (count > (width + 1) / 2)
        return false;
    for (uint32_t i = 0; i < count; ++i) {
        if (pairs[2 * i] >= pairs[2 * i + 1] || pairs[2 * i + 1] > width)
            return false;
        if (i > 0 && pairs[2 * i] <= pairs[2 * i - 1])
            return false;
    }
    return true;
}

using Row = std::vector<uint16_t>;

// Decodes rows until one fails; returns the rows that decoded.
std::vector<Row> decode_rows(const uint8_t *data, size_t size, uint32_t width, bool modifiedHuffman) {
    std::vector<Row> rows;
    quill::T6Decoder decoder;
    if (!modifiedHuffman && !decoder.init(width))
        return rows;
    quill::BitReader reader(data, size);
    Row pairs((width + 1) / 2 * 2);
    uint32_t most = static_cast<uint32_t>(kMostPixels / width);
    for (uint32_t y = 0; y < kMostRows && y < most; ++y) {
        uint32_t count = 0;
        bool ok = modifiedHuffman
                      ? quill::mh_decode_row(reader, width, pairs.data(), static_cast<uint32_t>(pairs.size() / 2), count)
                      : decoder.decode_row(reader, pairs.data(), static_cast<uint32_t>(pairs.size() / 2), count);
        if (!ok)
            break;
        check(canonical(pairs.data(), count, width));
        check(reader.bit_position() <= size * 8);
        rows.emplace_back(pairs.begin(), pairs.begin() + 2 * count);
    }
    return rows;
}

// Drawing a row and finding its runs again gives the row back.
void check_drawing(const std::vector<Row> &rows, uint32_t width) {
    std::vector<uint8_t> bits(((width + 15) / 16) * 2);
    Row again((width + 1) / 2 * 2);
    for (const Row &row : rows) {
        quill::unpack_black_runs(bits.data(), width, row.data(), static_cast<uint32_t>(row.size() / 2));
        uint32_t n = quill::pack_black_runs(bits.data(), width, again.data(), quill::g_runTable);
        check(n * 2 == row.size() && (row.empty() || memcmp(again.data(), row.data(), row.size() * 2) == 0));
    }
}

// The rows coded again with our encoder decode to the same rows.
void check_recoding(const std::vector<Row> &rows, uint32_t width) {
    if (rows.empty())
        return;
    quill::T6Encoder encoder;
    check(encoder.init(width));
    // Coding a row never takes more than 4 bytes per pixel plus a few words.
    std::vector<uint8_t> code((static_cast<size_t>(width) * 4 + 64) * rows.size());
    size_t length = 0;
    for (const Row &row : rows) {
        int32_t n = encoder.encode_row(row.data(), static_cast<uint32_t>(row.size() / 2), code.data() + length,
                                       static_cast<uint32_t>(code.size() - length));
        check(n >= 0);
        length += static_cast<size_t>(n);
    }
    int32_t last = encoder.finish(code.data() + length, static_cast<uint32_t>(code.size() - length));
    check(last >= 0);
    length += static_cast<size_t>(last);
    std::vector<Row> back = decode_rows(code.data(), length, width, false);
    check(back == rows);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 3 || size > (1u << 16))
        return 0;
    // The library holds the code tables; it stays started between inputs.
    static const bool started = QI_InitFrameFunctions("", "", nullptr) == 1;
    if (!started)
        return 0;
    uint32_t width = static_cast<uint32_t>(data[0]) << 8 | data[1];
    if (width == 0)
        return 0;
    std::vector<Row> rows = decode_rows(data + 3, size - 3, width, data[2] & 1);
    check_drawing(rows, width);
    check_recoding(rows, width);
    return 0;
}
