/*
 * ccitt_codes.h - the code words of ITU-T Recommendation T.4, as read-only
 * data: the one-dimensional run-length codes for white and for black, and the
 * nine mode codes of two-dimensional coding (also used by T.6).
 *
 * Layout. Each list is indexed by symbol. The run-length lists hold 104
 * words: symbols 0 to 63 are the terminating codes for runs of 0 to 63
 * pixels, 64 to 90 the make-up codes for 64, 128, ... 1728, and 91 to 103 the
 * extended make-up codes for 1792 to 2560 (shared by both colours). A symbol s
 * of 64 or more therefore stands for (s - 63) * 64 pixels. The mode list is
 * indexed 0 VL3, 1 VL2, 2 VL1, 3 V0, 4 VR1, 5 VR2, 6 VR3, 7 pass,
 * 8 horizontal, so that a vertical symbol s means the offset s - 3.
 *
 * Decisions. The words are written as binary literals, digit for digit as the
 * Recommendation prints them, so that the lists can be checked against the
 * printed tables by eye; the decoding tables are built from these lists at
 * library start (bilevel_tables.cpp), and that build fails on any two codes
 * where one is a prefix of the other. EOL and the extension codes are left
 * out: TIFF's modified Huffman rows and T.6 strips as coded here use neither,
 * so meeting one is an invalid code.
 */
#ifndef QUILL_RASTER_CODECS_CCITT_CODES_H
#define QUILL_RASTER_CODECS_CCITT_CODES_H

#include <stdint.h>

namespace quill {

// One code word: its bits (right-aligned, first bit most significant) and
// their number.
struct CodeWord {
    uint16_t code;
    uint8_t length;
};

constexpr uint32_t kRunSymbols = 104;
constexpr uint32_t kModeSymbols = 9;
constexpr uint32_t kFirstMakeUp = 64;   // symbols from here on are make-up codes
constexpr uint32_t kLongestMakeUp = 103; // the 2560-pixel extended make-up code
constexpr uint32_t kLongestMakeUpRun = 2560;

// Mode symbols.
enum Mode : uint32_t {
    kModeVL3 = 0,
    kModeV0 = 3,
    kModeVR3 = 6,
    kModePass = 7,
    kModeHorizontal = 8,
};

// Pixels that a run-length symbol stands for.
constexpr uint32_t run_of_symbol(uint32_t symbol) {
    return symbol < kFirstMakeUp ? symbol : (symbol - 63u) * 64u;
}

// White runs: terminating 0..63, make-up 64..1728, extended make-up 1792..2560.
inline constexpr CodeWord kWhiteCodes[kRunSymbols] = {
    {0b00110101, 8}, {0b000111, 6},   {0b0111, 4},     {0b1000, 4},     // 0-3
    {0b1011, 4},     {0b1100, 4},     {0b1110, 4},     {0b1111, 4},     // 4-7
    {0b10011, 5},    {0b10100, 5},    {0b00111, 5},    {0b01000, 5},    // 8-11
    {0b001000, 6},   {0b000011, 6},   {0b110100, 6},   {0b110101, 6},   // 12-15
    {0b101010, 6},   {0b101011, 6},   {0b0100111, 7},  {0b0001100, 7},  // 16-19
    {0b0001000, 7},  {0b0010111, 7},  {0b0000011, 7},  {0b0000100, 7},  // 20-23
    {0b0101000, 7},  {0b0101011, 7},  {0b0010011, 7},  {0b0100100, 7},  // 24-27
    {0b0011000, 7},  {0b00000010, 8}, {0b00000011, 8}, {0b00011010, 8}, // 28-31
    {0b00011011, 8}, {0b00010010, 8}, {0b00010011, 8}, {0b00010100, 8}, // 32-35
    {0b00010101, 8}, {0b00010110, 8}, {0b00010111, 8}, {0b00101000, 8}, // 36-39
    {0b00101001, 8}, {0b00101010, 8}, {0b00101011, 8}, {0b00101100, 8}, // 40-43
    {0b00101101, 8}, {0b00000100, 8}, {0b00000101, 8}, {0b00001010, 8}, // 44-47
    {0b00001011, 8}, {0b01010010, 8}, {0b01010011, 8}, {0b01010100, 8}, // 48-51
    {0b01010101, 8}, {0b00100100, 8}, {0b00100101, 8}, {0b01011000, 8}, // 52-55
    {0b01011001, 8}, {0b01011010, 8}, {0b01011011, 8}, {0b01001010, 8}, // 56-59
    {0b01001011, 8}, {0b00110010, 8}, {0b00110011, 8}, {0b00110100, 8}, // 60-63
    {0b11011, 5},     {0b10010, 5},     {0b010111, 6},    {0b0110111, 7},   // 64-256
    {0b00110110, 8},  {0b00110111, 8},  {0b01100100, 8},  {0b01100101, 8},  // 320-512
    {0b01101000, 8},  {0b01100111, 8},  {0b011001100, 9}, {0b011001101, 9}, // 576-768
    {0b011010010, 9}, {0b011010011, 9}, {0b011010100, 9}, {0b011010101, 9}, // 832-1024
    {0b011010110, 9}, {0b011010111, 9}, {0b011011000, 9}, {0b011011001, 9}, // 1088-1280
    {0b011011010, 9}, {0b011011011, 9}, {0b010011000, 9}, {0b010011001, 9}, // 1344-1536
    {0b010011010, 9}, {0b011000, 6},    {0b010011011, 9},                   // 1600-1728
    {0b00000001000, 11},  {0b00000001100, 11},  {0b00000001101, 11},        // 1792-1920
    {0b000000010010, 12}, {0b000000010011, 12}, {0b000000010100, 12},       // 1984-2112
    {0b000000010101, 12}, {0b000000010110, 12}, {0b000000010111, 12},       // 2176-2304
    {0b000000011100, 12}, {0b000000011101, 12}, {0b000000011110, 12},       // 2368-2496
    {0b000000011111, 12},                                                   // 2560
};

// Black runs: terminating 0..63, make-up 64..1728, extended make-up 1792..2560.
inline constexpr CodeWord kBlackCodes[kRunSymbols] = {
    {0b0000110111, 10},   {0b010, 3},           {0b11, 2},            {0b10, 2},            // 0-3
    {0b011, 3},           {0b0011, 4},          {0b0010, 4},          {0b00011, 5},         // 4-7
    {0b000101, 6},        {0b000100, 6},        {0b0000100, 7},       {0b0000101, 7},       // 8-11
    {0b0000111, 7},       {0b00000100, 8},      {0b00000111, 8},      {0b000011000, 9},     // 12-15
    {0b0000010111, 10},   {0b0000011000, 10},   {0b0000001000, 10},   {0b00001100111, 11},  // 16-19
    {0b00001101000, 11},  {0b00001101100, 11},  {0b00000110111, 11},  {0b00000101000, 11},  // 20-23
    {0b00000010111, 11},  {0b00000011000, 11},  {0b000011001010, 12}, {0b000011001011, 12}, // 24-27
    {0b000011001100, 12}, {0b000011001101, 12}, {0b000001101000, 12}, {0b000001101001, 12}, // 28-31
    {0b000001101010, 12}, {0b000001101011, 12}, {0b000011010010, 12}, {0b000011010011, 12}, // 32-35
    {0b000011010100, 12}, {0b000011010101, 12}, {0b000011010110, 12}, {0b000011010111, 12}, // 36-39
    {0b000001101100, 12}, {0b000001101101, 12}, {0b000011011010, 12}, {0b000011011011, 12}, // 40-43
    {0b000001010100, 12}, {0b000001010101, 12}, {0b000001010110, 12}, {0b000001010111, 12}, // 44-47
    {0b000001100100, 12}, {0b000001100101, 12}, {0b000001010010, 12}, {0b000001010011, 12}, // 48-51
    {0b000000100100, 12}, {0b000000110111, 12}, {0b000000111000, 12}, {0b000000100111, 12}, // 52-55
    {0b000000101000, 12}, {0b000001011000, 12}, {0b000001011001, 12}, {0b000000101011, 12}, // 56-59
    {0b000000101100, 12}, {0b000001011010, 12}, {0b000001100110, 12}, {0b000001100111, 12}, // 60-63
    {0b0000001111, 10},    {0b000011001000, 12},  {0b000011001001, 12},  {0b000001011011, 12},  // 64-256
    {0b000000110011, 12},  {0b000000110100, 12},  {0b000000110101, 12},  {0b0000001101100, 13}, // 320-512
    {0b0000001101101, 13}, {0b0000001001010, 13}, {0b0000001001011, 13}, {0b0000001001100, 13}, // 576-768
    {0b0000001001101, 13}, {0b0000001110010, 13}, {0b0000001110011, 13}, {0b0000001110100, 13}, // 832-1024
    {0b0000001110101, 13}, {0b0000001110110, 13}, {0b0000001110111, 13}, {0b0000001010010, 13}, // 1088-1280
    {0b0000001010011, 13}, {0b0000001010100, 13}, {0b0000001010101, 13}, {0b0000001011010, 13}, // 1344-1536
    {0b0000001011011, 13}, {0b0000001100100, 13}, {0b0000001100101, 13},                        // 1600-1728
    {0b00000001000, 11},  {0b00000001100, 11},  {0b00000001101, 11},                            // 1792-1920
    {0b000000010010, 12}, {0b000000010011, 12}, {0b000000010100, 12},                           // 1984-2112
    {0b000000010101, 12}, {0b000000010110, 12}, {0b000000010111, 12},                           // 2176-2304
    {0b000000011100, 12}, {0b000000011101, 12}, {0b000000011110, 12},                           // 2368-2496
    {0b000000011111, 12},                                                                       // 2560
};

// Two-dimensional mode codes, in symbol order VL3 VL2 VL1 V0 VR1 VR2 VR3 P H.
inline constexpr CodeWord kModeCodes[kModeSymbols] = {
    {0b0000010, 7}, {0b000010, 6}, {0b010, 3}, {0b1, 1},   {0b011, 3},
    {0b000011, 6},  {0b0000011, 7}, {0b0001, 4}, {0b001, 3},
};

} // namespace quill

#endif
