/*
 * pixel_copy_test.cpp - the pixel-copy engine held to a per-pixel oracle.
 *
 * The oracle below reads one source pixel, applies the colour keys and
 * converts it to the destination kind, written straight from the rules of
 * the keys and the kinds and nothing else. PixelCopier::row and
 * ::row_indexed must leave exactly the same bytes in a destination filled
 * with random bytes beforehand, which also proves that pad bits and bytes
 * outside the copied run are not touched.
 *
 * Source rows are allocated to exactly the bytes that hold pixel sx + count
 * - 1 (or the last indexed column), each in its own vector, so that
 * AddressSanitizer reports any read past the row, in particular by the
 * byte-wise bilevel paths that fetch eight bits at a time.
 */
#include "quillimg.h"
#include "raster/core/pixel_copy.h"

#include <gtest/gtest.h>

#include <stdint.h>

#include <random>
#include <vector>

namespace {

constexpr int32_t kWhite = QI_COLOR_WHITE; // (255, 127, 127)
constexpr int32_t kBlack = QI_COLOR_BLACK; // (0, 127, 127)
constexpr int32_t kNone = -1;

struct Keys {
    int32_t a, b;
};

// Key pairs covering every rule: plain copies, painting, keeping, the
// threshold of 128 for bilevel destinations, full colours, and a grey key
// whose upper bytes are not neutral (a grey source compares its low byte
// only, a colour source all three bytes).
const Keys kKeyPairs[] = {
    {kNone, kNone},         {kWhite, kBlack},       {kBlack, kWhite},     {kNone, kBlack},
    {kWhite, kNone},        {kNone, 0x7F7F80},      {0x7F7F80, kNone},    {0x7F7F80, 0x7F7F7F},
    {kBlack, kBlack},       {kWhite, kWhite},       {0x2040A0, 0x10E060}, {0x10E060, 0x2040A0},
    {kNone, 0x123480},      {0x7F7F10, 0x123480},   {kBlack, kNone},      {kNone, kWhite},
};

const int32_t kKinds[] = {1, 2, 4};

uint32_t pixel_bytes(int32_t kind) { return kind == 4 ? 3u : 1u; }

// Bytes that hold pixels 0 .. width - 1 of a row, no padding.
size_t row_bytes(int32_t kind, int32_t width) {
    if (kind == 1)
        return (static_cast<size_t>(width) + 7) / 8;
    return static_cast<size_t>(width) * pixel_bytes(kind);
}

// The oracle: the colour (Y | U << 8 | V << 16) that source pixel x puts in
// its destination pixel, or false when the destination pixel is kept.
bool oracle_colour(int32_t kind, const uint8_t *row, int32_t x, const Keys &keys, uint32_t &colour) {
    if (kind == 1) {
        bool white = (row[x / 8] >> (7 - x % 8)) & 1;
        if (keys.a == kNone && keys.b == kNone) {
            colour = white ? kWhite : kBlack;
            return true;
        }
        int32_t paint = white ? keys.a : keys.b;
        if (paint == kNone)
            return false;
        colour = static_cast<uint32_t>(paint);
        return true;
    }
    if (kind == 2) {
        uint32_t level = row[x];
        if (keys.b != kNone && level == (static_cast<uint32_t>(keys.b) & 0xFF))
            return false;
        colour = level | 0x7F7F00u; // (level, 127, 127)
        return true;
    }
    const uint8_t *p = row + 3 * x;
    uint32_t c = p[0] | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16);
    if (keys.b != kNone && c == (static_cast<uint32_t>(keys.b) & 0xFFFFFF))
        return false;
    colour = c;
    return true;
}

void oracle_store(int32_t kind, uint8_t *row, int32_t x, uint32_t colour) {
    uint8_t level = static_cast<uint8_t>(colour);
    if (kind == 1) {
        uint8_t bit = static_cast<uint8_t>(0x80 >> (x % 8));
        if (level >= 128)
            row[x / 8] |= bit;
        else
            row[x / 8] &= static_cast<uint8_t>(~bit);
    } else if (kind == 2) {
        row[x] = level;
    } else {
        row[3 * x] = level;
        row[3 * x + 1] = static_cast<uint8_t>(colour >> 8);
        row[3 * x + 2] = static_cast<uint8_t>(colour >> 16);
    }
}

// Random source pixels. Grey and colour pixels are drawn often from the
// key's own bytes (and near misses of it), so that keyed pixels occur.
void fill_source(std::mt19937 &rng, int32_t kind, int32_t width, const Keys &keys, std::vector<uint8_t> &row) {
    row.assign(row_bytes(kind, width), 0);
    if (kind == 1) {
        for (uint8_t &b : row)
            b = static_cast<uint8_t>(rng());
        return;
    }
    uint32_t key = static_cast<uint32_t>(keys.b == kNone ? kWhite : keys.b);
    for (int32_t x = 0; x < width; ++x) {
        uint32_t c;
        switch (rng() % 8) {
        case 0:
        case 1:
            c = key;
            break;
        case 2:
            c = key ^ (0x100u << (rng() % 16)); // differs in U or V only
            break;
        case 3:
            c = kWhite;
            break;
        case 4:
            c = kBlack;
            break;
        case 5:
            c = 0x7F7F7Fu + (rng() % 2); // either side of the threshold
            break;
        default:
            c = rng();
            break;
        }
        if (kind == 2) {
            row[x] = static_cast<uint8_t>(c);
        } else {
            row[3 * x] = static_cast<uint8_t>(c);
            row[3 * x + 1] = static_cast<uint8_t>(c >> 8);
            row[3 * x + 2] = static_cast<uint8_t>(c >> 16);
        }
    }
}

std::vector<uint8_t> random_destination(std::mt19937 &rng, int32_t kind, int32_t width) {
    // A few bytes beyond the last destination pixel must stay as they are.
    std::vector<uint8_t> row(row_bytes(kind, width) + 5);
    for (uint8_t &b : row)
        b = static_cast<uint8_t>(rng());
    return row;
}

// The expected destination of a straight copy.
std::vector<uint8_t> oracle_row(int32_t sourceKind, const std::vector<uint8_t> &source, int32_t sx,
                                int32_t destinationKind, std::vector<uint8_t> destination, int32_t dx, int32_t count,
                                const Keys &keys) {
    for (int32_t i = 0; i < count; ++i) {
        uint32_t colour;
        if (oracle_colour(sourceKind, source.data(), sx + i, keys, colour))
            oracle_store(destinationKind, destination.data(), dx + i, colour);
    }
    return destination;
}

// One straight copy against the oracle; returns false on a mismatch (the
// failure is already reported).
bool check_row(std::mt19937 &rng, int32_t sourceKind, int32_t destinationKind, const Keys &keys, int32_t sx,
               int32_t dx, int32_t count) {
    std::vector<uint8_t> source;
    fill_source(rng, sourceKind, sx + count, keys, source);
    std::vector<uint8_t> destination = random_destination(rng, destinationKind, dx + count);
    std::vector<uint8_t> expected =
        oracle_row(sourceKind, source, sx, destinationKind, destination, dx, count, keys);
    quill::PixelCopier copier(sourceKind, destinationKind, keys.a, keys.b);
    copier.row(source.data(), sx, destination.data(), dx, count);
    if (destination == expected)
        return true;
    ADD_FAILURE() << "row: source kind " << sourceKind << ", destination kind " << destinationKind << ", keys "
                  << std::hex << keys.a << "/" << keys.b << std::dec << ", sx " << sx << ", dx " << dx
                  << ", count " << count;
    return false;
}

} // namespace

TEST(PixelCopy, RowMatchesThePerPixelRulesForEveryKindPairAndKeyPair) {
    std::mt19937 rng(20240611);
    for (int32_t sourceKind : kKinds)
        for (int32_t destinationKind : kKinds)
            for (const Keys &keys : kKeyPairs)
                for (int iteration = 0; iteration < 120; ++iteration) {
                    int32_t sx = static_cast<int32_t>(rng() % 21), dx = static_cast<int32_t>(rng() % 21);
                    int32_t count = static_cast<int32_t>(rng() % 301);
                    if (!check_row(rng, sourceKind, destinationKind, keys, sx, dx, count))
                        break;
                }
}

// The bilevel-to-bilevel copy has byte-wise paths: a memcpy between masked
// edge bytes when source and destination share their bit phase and the
// copy is plain, and shifted eight-bit fetches otherwise. Every phase pair
// and the counts around byte and word edges go through both.
TEST(PixelCopy, BilevelRowsMatchTheRulesAtEveryBitPhase) {
    const Keys keyPairs[] = {
        {kNone, kNone},         // plain: fast paths
        {kWhite, kBlack},       // the same, spelt out
        {0x7F7F80, 0x7F7F7F},   // plain too, by the threshold
        {kBlack, kWhite},       // inverting
        {kNone, kBlack},        // keeps white positions
        {kWhite, kNone},        // keeps black positions
        {kBlack, kBlack},       // paints everything black
    };
    const int32_t counts[] = {0, 1, 2, 7, 8, 9, 15, 16, 17, 24, 63, 64, 65, 129, 300};
    std::mt19937 rng(77);
    for (const Keys &keys : keyPairs)
        for (int32_t sx = 0; sx <= 20; ++sx)
            for (int32_t dx = 0; dx <= 20; ++dx)
                for (int32_t count : counts)
                    if (!check_row(rng, 1, 1, keys, sx, dx, count))
                        return;
}

TEST(PixelCopy, RowLeavesTheDestinationAloneForZeroCount) {
    std::mt19937 rng(5);
    for (int32_t sourceKind : kKinds)
        for (int32_t destinationKind : kKinds) {
            std::vector<uint8_t> source(4, 0x00);
            std::vector<uint8_t> destination = random_destination(rng, destinationKind, 16);
            std::vector<uint8_t> before = destination;
            quill::PixelCopier(sourceKind, destinationKind, kNone, kNone)
                .row(source.data(), 3, destination.data(), 5, 0);
            EXPECT_EQ(destination, before) << sourceKind << " -> " << destinationKind;
        }
}

TEST(PixelCopy, RowIndexedMatchesThePerPixelRules) {
    std::mt19937 rng(31337);
    for (int32_t sourceKind : kKinds)
        for (int32_t destinationKind : kKinds)
            for (const Keys &keys : kKeyPairs)
                for (int iteration = 0; iteration < 60; ++iteration) {
                    int32_t dx = static_cast<int32_t>(rng() % 21);
                    int32_t count = static_cast<int32_t>(rng() % 301);
                    int32_t sourceWidth = 1 + static_cast<int32_t>(rng() % 320);
                    // Columns as a stretch makes them (runs of repeats,
                    // skips) or scattered, always inside the source row.
                    std::vector<int32_t> columns(static_cast<size_t>(count));
                    bool scattered = iteration % 2;
                    for (int32_t i = 0; i < count; ++i)
                        columns[i] = scattered ? static_cast<int32_t>(rng() % sourceWidth)
                                               : static_cast<int32_t>(static_cast<int64_t>(i) * sourceWidth /
                                                                      (count ? count : 1));
                    std::vector<uint8_t> source;
                    fill_source(rng, sourceKind, sourceWidth, keys, source);
                    std::vector<uint8_t> destination = random_destination(rng, destinationKind, dx + count);
                    std::vector<uint8_t> expected = destination;
                    for (int32_t i = 0; i < count; ++i) {
                        uint32_t colour;
                        if (oracle_colour(sourceKind, source.data(), columns[i], keys, colour))
                            oracle_store(destinationKind, expected.data(), dx + i, colour);
                    }
                    quill::PixelCopier copier(sourceKind, destinationKind, keys.a, keys.b);
                    copier.row_indexed(source.data(), columns.data(), destination.data(), dx, count);
                    if (destination != expected) {
                        ADD_FAILURE() << "row_indexed: source kind " << sourceKind << ", destination kind "
                                      << destinationKind << ", keys " << std::hex << keys.a << "/" << keys.b
                                      << std::dec << ", dx " << dx << ", count " << count << ", source width "
                                      << sourceWidth;
                        break;
                    }
                }
}

// A copy keeps destination pixels exactly when some source pixel can be
// left out: a bilevel source with one of A and B missing, a grey or colour
// source with a key B. The engine's answer decides whether a tile is
// decoded before it is overwritten, so it must agree with the exported one.
TEST(PixelCopy, KeepsDestinationExactlyWhenSomePixelCanBeLeftOut) {
    for (int32_t sourceKind : kKinds)
        for (const Keys &keys : kKeyPairs) {
            bool keeps = sourceKind == 1 ? (keys.a == kNone) != (keys.b == kNone) : keys.b != kNone;
            for (int32_t destinationKind : kKinds)
                EXPECT_EQ(quill::PixelCopier(sourceKind, destinationKind, keys.a, keys.b).keeps_destination(), keeps)
                    << sourceKind << " -> " << destinationKind << " keys " << keys.a << "/" << keys.b;
            EXPECT_EQ(QI_IsTranspOperation(sourceKind, keys.a, keys.b), keeps ? 1 : 0);
        }
}
