// ref_jpeg.h: a plain reference of the baseline JPEG decoder, written for clarity, not
// speed: the bit-serial reader, Huffman decoding one bit at a time against a flat table
// indexed by code value, the double-precision inverse DCT summing every term in order
// (zeros included), whole-image planes, and per-pixel double-precision colour. Tests and
// the fuzzer compare the library's fast paths against it.
#ifndef FOLIAN_REF_JPEG_H
#define FOLIAN_REF_JPEG_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

// costab[u][x] = C(u) / 2 x cos((2x + 1) u pi / 16), formed as the decoder forms it.
void ref_jpeg_costab(double costab[8][8]);

// One block: dequantise (wrapping 32-bit products), rows then columns each summed from
// 0.0 over all eight terms in order, +128, clamp and round. out is 8 x 8, row-major.
void ref_jpeg_idct_block(const int32_t coef[64], const int32_t qt[64], uint8_t out[64]);

// YCbCr to RGB by the double-precision rule, truncated and clamped.
void ref_jpeg_ycc(uint8_t y, uint8_t cb, uint8_t cr, uint8_t rgb[3]);

// A Huffman table as the plain procedure keeps it: the symbol of each code value (a code
// value without one reads as -1) and maxcode per length.
struct RefJpegHuff {
    std::map<int32_t, int32_t> sym;
    int32_t maxcode[16];
};
// Builds from counts and symbols; false when a code value would reach 65,536.
bool ref_jpeg_huff_build(RefJpegHuff *t, const uint8_t counts[16], const uint8_t *symbols);

// The bit-serial reader over entropy-coded bytes.
struct RefJpegBits {
    const uint8_t *data;
    uint64_t len, pos;
    int nbits, cur;
    int state;  // 0 normal, 1 ended or invalid code, 2 marker met
};
int ref_jpeg_bit(RefJpegBits *b);
// Decodes one symbol bit by bit: the symbol, -1 when decoding stops (state 1) or -2 when
// a marker was met (state 2).
int ref_jpeg_decode_symbol(RefJpegBits *b, const RefJpegHuff *t);

// Whole decode with the library's rules. On success returns true with width x height
// RGBA pixels; on failure false with the message.
bool ref_jpeg_decode(const uint8_t *data, size_t len, int *width, int *height, std::vector<uint8_t> *rgba,
                     std::string *message);

#endif
