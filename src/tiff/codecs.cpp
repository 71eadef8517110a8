// codecs.cpp: the byte-oriented TIFF decompressors (PackBits, LZW, Deflate) and the
// horizontal predictor.
//
// All state lives on the stack of the call (the LZW string table is 4096 entries of five
// bytes), so the decoders are re-entrant and allocate nothing.
#include <cstring>

#include "flate/flate.h"
#include "tiff/codecs.h"
#include "tiff/tiff.h"

namespace {

// ---- LZW constants -------------------------------------------------------------------------
constexpr uint32_t LZW_CLEAR = 256, LZW_EOI = 257, LZW_FIRST = 258;
constexpr uint32_t LZW_MIN_BITS = 9, LZW_MAX_BITS = 12, LZW_TABLE = 1u << LZW_MAX_BITS;
constexpr uint32_t LZW_NONE = 0xFFFF;

}  // namespace

const char *tiff_unpack_packbits(const uint8_t *in, uint64_t in_len, uint8_t *out, uint64_t out_len) {
    uint64_t i = 0, o = 0;
    while (o < out_len) {
        if (i >= in_len) return TIFF_ERR_TRUNCATED;
        const int n = (int8_t)in[i++];
        if (n == -128) continue;  // a no-op byte
        const uint64_t room = out_len - o;
        if (n >= 0) {  // n + 1 literal bytes
            const uint64_t count = (uint64_t)n + 1;
            if (in_len - i < count && in_len - i < room) return TIFF_ERR_TRUNCATED;
            const uint64_t take = count < room ? count : room;
            std::memcpy(out + o, in + i, (size_t)take);
            i += count;
            o += take;
        } else {  // the next byte 1 - n times
            if (i >= in_len) return TIFF_ERR_TRUNCATED;
            const uint64_t count = (uint64_t)(1 - n);
            const uint64_t take = count < room ? count : room;
            std::memset(out + o, in[i++], (size_t)take);
            o += take;
        }
    }
    return nullptr;
}

// Codes are read most significant bit first. The code width grows one code early: the
// writer switches when the next free entry is one below the width's limit (511, 1023,
// 2047), and so must the reader.
const char *tiff_unpack_lzw(const uint8_t *in, uint64_t in_len, uint8_t *out, uint64_t out_len) {
    // The older bit-reversed variant opens with a clear code stored least significant bit first.
    if (in_len >= 2 && in[0] == 0 && (in[1] & 1)) return TIFF_ERR_LZW;
    uint16_t prefix[LZW_TABLE], length[LZW_TABLE];
    uint8_t suffix[LZW_TABLE], first[LZW_TABLE];
    for (uint32_t c = 0; c < 256; c++) {
        prefix[c] = LZW_NONE;
        length[c] = 1;
        suffix[c] = first[c] = (uint8_t)c;
    }
    uint32_t next = LZW_FIRST, width = LZW_MIN_BITS, prev = LZW_NONE;
    uint64_t bitbuf = 0, i = 0, o = 0;
    uint32_t bits = 0;
    while (o < out_len) {
        while (bits < width && i < in_len) {
            bitbuf = bitbuf << 8 | in[i++];
            bits += 8;
        }
        if (bits < width) return TIFF_ERR_TRUNCATED;
        const uint32_t code = (uint32_t)(bitbuf >> (bits - width)) & ((1u << width) - 1);
        bits -= width;
        if (code == LZW_CLEAR) {
            next = LZW_FIRST;
            width = LZW_MIN_BITS;
            prev = LZW_NONE;
            continue;
        }
        if (code == LZW_EOI) return TIFF_ERR_TRUNCATED;  // the rows are not all there
        if (prev == LZW_NONE) {
            if (code > 255) return TIFF_ERR_LZW;
            out[o++] = (uint8_t)code;
            prev = code;
            continue;
        }
        if (code > next || (code == next && next == LZW_TABLE)) return TIFF_ERR_LZW;
        if (next < LZW_TABLE) {  // the new entry: the previous string and the first byte of this one
            prefix[next] = (uint16_t)prev;
            suffix[next] = code < next ? first[code] : first[prev];
            first[next] = first[prev];
            length[next] = (uint16_t)(length[prev] + 1);
            next++;
            if (next + 1 >= (1u << width) && width < LZW_MAX_BITS) width++;
        }
        // The string of `code`, written back to front and clipped to the rows' end.
        const uint32_t n = length[code];
        uint32_t c = code;
        for (uint32_t k = n; k-- > 0;) {
            if (o + k < out_len) out[o + k] = suffix[c];
            c = prefix[c];
        }
        o += n < out_len - o ? n : out_len - o;
        prev = code;
    }
    return nullptr;
}

const char *tiff_unpack_deflate(const uint8_t *in, uint64_t in_len, uint8_t *out, uint64_t out_len,
                                uint64_t capacity) {
    // zlib header: method 8, a window of at most 32 KiB, check bits, no preset dictionary.
    if (in_len < 2) return TIFF_ERR_TRUNCATED;
    if ((in[0] & 0x0F) != 8 || (in[0] >> 4) > 7 || ((uint32_t)in[0] << 8 | in[1]) % 31 != 0 || (in[1] & 0x20))
        return TIFF_ERR_DEFLATE;
    const int32_t n = flate_inflate(in + 2, (size_t)(in_len - 2), out, (size_t)capacity);
    if (n < 0) return TIFF_ERR_DEFLATE;
    if ((uint64_t)n < out_len) return TIFF_ERR_TRUNCATED;
    return nullptr;
}

void tiff_undo_predictor8(uint8_t *data, uint64_t rows, uint64_t row_samples, uint32_t stride) {
    for (uint64_t y = 0; y < rows; y++) {
        uint8_t *row = data + y * row_samples;
        for (uint64_t i = stride; i < row_samples; i++) row[i] = (uint8_t)(row[i] + row[i - stride]);
    }
}

void tiff_undo_predictor16(uint16_t *data, uint64_t rows, uint64_t row_samples, uint32_t stride) {
    for (uint64_t y = 0; y < rows; y++) {
        uint16_t *row = data + y * row_samples;
        for (uint64_t i = stride; i < row_samples; i++) row[i] = (uint16_t)(row[i] + row[i - stride]);
    }
}

void tiff_reverse_bits(uint8_t *data, uint64_t len) {
    for (uint64_t i = 0; i < len; i++) {
        uint32_t b = data[i];
        b = (b & 0xF0) >> 4 | (b & 0x0F) << 4;
        b = (b & 0xCC) >> 2 | (b & 0x33) << 2;
        b = (b & 0xAA) >> 1 | (b & 0x55) << 1;
        data[i] = (uint8_t)b;
    }
}
