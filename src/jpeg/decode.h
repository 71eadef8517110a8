// decode.h: the baseline JPEG decoder's internal interface, shared by its two units
// (decode.cpp: stream parsing, entropy decoding, output assembly; idct.cpp: block
// reconstruction) and reached by the tests and the benchmark.
#ifndef FOLIAN_JPEG_DECODE_H
#define FOLIAN_JPEG_DECODE_H

#include <cstddef>
#include <cstdint>

// One Huffman table in decoding form. The bit-serial procedure (extend the code one bit
// at a time, accept at the first length l whose largest code `maxcode[l]` is not below
// it) is answered for codes of up to JPG_FAST_BITS bits by one look-up in `fast`; longer
// codes walk `maxcode` from length JPG_FAST_BITS + 1. Canonical codes grow strictly from
// one length to the next, so the code c of length l is symbol `vals[c + valoff[l]]`.
constexpr int JPG_FAST_BITS = 10;
constexpr int JPG_MAX_SYMBOLS = 16 * 255;  // 16 counts of at most 255 codes each

struct jpg_huff {
    // Entry for the next JPG_FAST_BITS bits: symbol | code length << 8; length 0 means
    // the code is longer than JPG_FAST_BITS bits (or no code matches at all).
    uint16_t fast[1 << JPG_FAST_BITS];
    // For AC tables: the whole coefficient when a code with its value bits fits in the
    // next JPG_FAST_BITS bits and carries a value (S > 0): code length | S << 4 | R << 8 |
    // value << 16 (the EXTENDed value as a 16-bit two's complement number); 0 otherwise.
    uint32_t ac_fast[1 << JPG_FAST_BITS];
    int32_t maxcode[17];  // [l]: largest code value of length l, -1 when none; [0] unused
    int32_t valoff[17];   // [l]: index of the first symbol of length l minus its code
    int32_t nvals;
    uint8_t vals[JPG_MAX_SYMBOLS];
};

struct jpg_component {
    int32_t id;
    int32_t h, v;    // sampling factors, 1 to 15
    int32_t tq;      // quantisation table selector
    int32_t td, ta;  // DC and AC table selectors from the scan header
    int32_t pred;    // DC predictor; wraps like a 32-bit two's complement value
    int32_t qt[64];  // quantisation table, natural order
    uint8_t *plane;  // plane_w x plane_h samples, whole MCUs, zeroed at allocation
    int32_t plane_w, plane_h;
    const jpg_huff *dc, *ac;  // tables named by the scan header (owned by the decoder)
};

// All the working state of one decoding call; never shared between calls. Zeroed at the
// start (no tables, no frame, no restart interval).
struct jpg_decoder {
    int32_t qt[4][64];
    bool qt_defined[4];
    jpg_huff dc_tab[4], ac_tab[4];
    bool dc_defined[4], ac_defined[4];
    jpg_component comp[4];
    int32_t ncomp;  // 0 until a frame header is read
    int32_t width, height;
    int32_t restart_interval;
    int32_t adobe_transform;
    bool adobe_seen;  // transform 0 from a segment differs from no segment at all
    unsigned flags;       // the call's KV_JPEG_* options; 0 for the baseline entry points
    uint32_t max_quant;   // largest quantisation value accepted: 255, or 65535 with options
    bool progressive;     // the frame is a progressive (0xC2) one
    const uint8_t *first_sos;  // the first scan header's payload, when the multi-scan decoder takes it
    uint32_t first_sos_len;
};

// The table and miscellaneous segments every decoder reads the same way: DHT, DQT, DRI
// and the Adobe APP14; other codes are passed over. Returns a message or null.
const char *jpg_parse_table_segment(jpg_decoder *d, uint8_t code, const uint8_t *payload, uint32_t n);

// Builds the RGBA image from whole component planes (plane_h rows each) by the same
// upsampling and colour rules as the single-scan decoder. Returns a message or null.
const char *jpg_assemble_planes(const jpg_decoder *d, uint8_t **out);

// The multi-scan decoder (progressive.cpp): every scan of a progressive or multi-scan
// sequential frame from the first scan header (d->first_sos, its entropy-coded data at
// `scan`) up to the end-of-image marker, into coefficients, then planes, then *out.
const char *jpg_decode_scans(jpg_decoder *d, const uint8_t *data, uint64_t len, uint64_t scan, uint8_t **out);

// Builds a table from the 16 code counts and the symbols. Returns false when a code value
// would reach 65,536.
bool jpg_huff_build(jpg_huff *t, const uint8_t counts[16], const uint8_t *symbols);

// The double-precision basis: costab[u][x] = C(u) / 2 x cos((2x + 1) u pi / 16), built on
// first use and kept for the life of the process.
const double (*jpg_costab())[8];

// Block reconstruction: dequantises coef (natural order) with qt as wrapping 32-bit
// products, runs the separable double-precision inverse DCT (rows, then columns, each
// sum from frequency 0 up), level-shifts, rounds and clamps, and writes 8 rows of 8
// samples at dst, `stride` bytes apart. Clears coef for the next block.
void jpg_idct_store(int32_t *coef, const int32_t *qt, uint8_t *dst, size_t stride);
// The same, told which coefficients may be non-zero: bit i of nz clear promises
// coef[i] == 0. Only those entries are read and cleared.
void jpg_idct_store_sparse(int32_t *coef, uint64_t nz, const int32_t *qt, uint8_t *dst, size_t stride);

// The inverse DCT and the colour rows run in the vector form cpu_form() names (cpu.h).

// Colour from YCbCr (Cb and Cr centred on 128), in double precision: red = 1.402 Cr + Y,
// green = Y - 0.344136 Cb - 0.714136 Cr (subtracted in that order), blue = 1.772 Cb + Y,
// each truncated toward zero, then clamped to 0..255.
inline uint8_t jpg_clamp_u8(int32_t v) { return (uint8_t)(v < 0 ? 0 : v > 255 ? 255 : v); }

inline void jpg_ycc_to_rgb(uint8_t y, uint8_t cb, uint8_t cr, uint8_t *rgb) {
    double yv = y, cbv = cb - 128, crv = cr - 128;
    rgb[0] = jpg_clamp_u8((int32_t)(1.402 * crv + yv));
    rgb[1] = jpg_clamp_u8((int32_t)(yv - 0.344136 * cbv - 0.714136 * crv));
    rgb[2] = jpg_clamp_u8((int32_t)(1.772 * cbv + yv));
}

// One row of YCbCr samples (all at full resolution) to n RGBA pixels with alpha 255, by
// the rule above, in the widest vector form the inverse DCT uses.
void jpg_ycc_row(const uint8_t *y, const uint8_t *cb, const uint8_t *cr, int32_t n, uint8_t *rgba);

#endif
