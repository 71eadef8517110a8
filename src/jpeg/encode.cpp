// encode.cpp: baseline JPEG encoder: RGBA pixels to a 4:4:4 JFIF file with fixed tables.
//
// The output is fixed to the byte: the unscaled Annex K quantisation tables of T.81, its
// four standard Huffman tables, three full-resolution components, a separable DCT in
// double precision whose every sum runs in index order, no restart markers. Speed comes
// without changing a single rounding:
// - The image goes through in strips of 8 rows, each strip in chunks of 8 block columns
//   whose samples stay in the first-level cache. Colour conversion, level shift, DCT and
//   quantisation run in one function compiled in three forms (plain, which on x86-64 is
//   SSE2, AVX2 and AVX-512), picked once per call from the shared processor probe. The
//   AVX-512 form is written with vector types; a vector lane holds one output
//   coefficient, so independent sums run side by side, each accumulated in the same order
//   as the plain loop; the library is built without fused multiply-add, and quantisation
//   by reciprocal falls back to division wherever it could round otherwise, so the three
//   forms give the same bytes.
// - Huffman codes come from tables made at compile time by the canonical walk of the code
//   lists, and bits leave through a 64-bit accumulator 32 at a time.
// The whole file is assembled in memory and handed to the safe whole-file write.
#include "jpeg/encode.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <type_traits>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "cpu.h"
#include "file_io.h"
#include "folian.h"
#include "jpeg/jpeg.h"
#include "mem.h"

#if defined(__GNUC__) && defined(__x86_64__)
#define FOLIAN_JENC_X86 1
#else
#define FOLIAN_JENC_X86 0
#endif

#if defined(__GNUC__)
#define JENC_INLINE inline __attribute__((always_inline))
#else
#define JENC_INLINE inline
#endif

namespace {

// ---- Fixed tables ----------------------------------------------------------------------

// T.81 Annex K Table K.1 (luminance), natural row-major order, unscaled.
constexpr int s_luma_q[64] = {
    16, 11, 10, 16, 24,  40,  51,  61,  12, 12, 14, 19, 26,  58,  60,  55,
    14, 13, 16, 24, 40,  57,  69,  56,  14, 17, 22, 29, 51,  87,  80,  62,
    18, 22, 37, 56, 68,  109, 103, 77,  24, 35, 55, 64, 81,  104, 113, 92,
    49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99,
};
// Table K.2 (chrominance), natural order, unscaled.
constexpr int s_chroma_q[64] = {
    17, 18, 24, 47, 99, 99, 99, 99, 18, 21, 26, 66, 99, 99, 99, 99,
    24, 26, 56, 99, 99, 99, 99, 99, 47, 66, 99, 99, 99, 99, 99, 99,
    99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99,
    99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99,
};

// Huffman code lists: codes per length 1..16, then the symbols in code order
// (T.81 Tables K.3 to K.6).
constexpr uint8_t s_luma_dc_counts[16] = {0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0};
constexpr uint8_t s_luma_dc_syms[12] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
constexpr uint8_t s_chroma_dc_counts[16] = {0, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0};
constexpr uint8_t s_chroma_dc_syms[12] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
constexpr uint8_t s_luma_ac_counts[16] = {0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 125};
constexpr uint8_t s_luma_ac_syms[162] = {
    0x01, 0x02, 0x03, 0x00, 0x04, 0x11, 0x05, 0x12, 0x21, 0x31, 0x41, 0x06, 0x13, 0x51, 0x61,
    0x07, 0x22, 0x71, 0x14, 0x32, 0x81, 0x91, 0xa1, 0x08, 0x23, 0x42, 0xb1, 0xc1, 0x15, 0x52,
    0xd1, 0xf0, 0x24, 0x33, 0x62, 0x72, 0x82, 0x09, 0x0a, 0x16, 0x17, 0x18, 0x19, 0x1a, 0x25,
    0x26, 0x27, 0x28, 0x29, 0x2a, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x43, 0x44, 0x45,
    0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5a, 0x63, 0x64,
    0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a, 0x83,
    0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99,
    0x9a, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4, 0xb5, 0xb6,
    0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3, 0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca, 0xd2, 0xd3,
    0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe1, 0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7, 0xe8,
    0xe9, 0xea, 0xf1, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa,
};
constexpr uint8_t s_chroma_ac_counts[16] = {0, 2, 1, 2, 4, 4, 3, 4, 7, 5, 4, 4, 0, 1, 2, 119};
constexpr uint8_t s_chroma_ac_syms[162] = {
    0x00, 0x01, 0x02, 0x03, 0x11, 0x04, 0x05, 0x21, 0x31, 0x06, 0x12, 0x41, 0x51, 0x07, 0x61,
    0x71, 0x13, 0x22, 0x32, 0x81, 0x08, 0x14, 0x42, 0x91, 0xa1, 0xb1, 0xc1, 0x09, 0x23, 0x33,
    0x52, 0xf0, 0x15, 0x62, 0x72, 0xd1, 0x0a, 0x16, 0x24, 0x34, 0xe1, 0x25, 0xf1, 0x17, 0x18,
    0x19, 0x1a, 0x26, 0x27, 0x28, 0x29, 0x2a, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x43, 0x44,
    0x45, 0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5a, 0x63,
    0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a,
    0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97,
    0x98, 0x99, 0x9a, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4,
    0xb5, 0xb6, 0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3, 0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca,
    0xd2, 0xd3, 0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7,
    0xe8, 0xe9, 0xea, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa,
};

struct HuffDef {
    const uint8_t *counts;
    const uint8_t *syms;
    int nsyms;
    uint8_t class_id;  // DHT Tc << 4 | Th
};
// In the order the DHT segments are written; index 0/1 serve Y, 2/3 serve Cb and Cr.
constexpr HuffDef huffdefs[4] = {
    {s_luma_dc_counts, s_luma_dc_syms, 12, 0x00},
    {s_luma_ac_counts, s_luma_ac_syms, 162, 0x10},
    {s_chroma_dc_counts, s_chroma_dc_syms, 12, 0x01},
    {s_chroma_ac_counts, s_chroma_ac_syms, 162, 0x11},
};

// A symbol's code: entry = code << 8 | length in bits; 0 for a symbol not in the list.
struct HuffCodes {
    uint32_t e[256];
};

// The canonical walk of T.81 Annex C: codes of one length are consecutive, and the first
// code of the next length is (last code + 1) * 2.
constexpr HuffCodes huff_codes(const HuffDef &def) {
    HuffCodes t{};
    uint32_t code = 0;
    int k = 0;
    for (int len = 1; len <= 16; len++) {
        for (int i = 0; i < def.counts[len - 1]; i++) t.e[def.syms[k++]] = code++ << 8 | (uint32_t)len;
        code <<= 1;
    }
    return t;
}

constexpr HuffCodes s_codes[4] = {huff_codes(huffdefs[0]), huff_codes(huffdefs[1]),
                                  huff_codes(huffdefs[2]), huff_codes(huffdefs[3])};

struct QuantDivisors {
    double d[2][64];  // [0] luminance, [1] chrominance; natural order
};
constexpr QuantDivisors make_divisors() {
    QuantDivisors q{};
    for (int n = 0; n < 64; n++) {
        q.d[0][n] = s_luma_q[n];
        q.d[1][n] = s_chroma_q[n];
    }
    return q;
}
constexpr QuantDivisors s_divisors = make_divisors();

// ---- DCT basis -------------------------------------------------------------------------

// costab[u][x] = C(u) cos((2x + 1) u pi / 16), C(0) = 0.5 / sqrt(2), C(u > 0) = 0.5.
// `rows` holds it as [u][x] for the column pass, `cols` transposed as [x][u] so that the
// row pass reads eight u lanes for one x at once.
struct alignas(64) CosTable {
    double rows[64];
    double cols[64];
};

CosTable make_costab() {
    CosTable t;
    const double pi = 3.141592653589793;
    for (int u = 0; u < 8; u++) {
        double cu = u == 0 ? 0.5 * 0.7071067811865476 : 0.5;
        for (int x = 0; x < 8; x++) {
            // (2x + 1) u pi / 16 in this order; 0.0625 is a power of two, so the scaling
            // itself rounds nothing.
            double c = cu * std::cos((double)((2 * x + 1) * u) * pi * 0.0625);
            t.rows[u * 8 + x] = c;
            t.cols[x * 8 + u] = c;
        }
    }
    return t;
}

// Filled on first use; the initialisation of a function-local static is thread-safe, so
// two first encodes running at once see one complete table.
const CosTable &costab() {
    static const CosTable t = make_costab();
    return t;
}

// ---- Strip transform -------------------------------------------------------------------

// One strip of 8 image rows (or fewer at the bottom, the last row repeated).
struct Strip {
    const uint8_t *pixels;   // the caller's RGBA image
    int width, height;
    int row0;                // first image row of the strip
    int blocks;              // 8 x 8 blocks across
    double *planes;          // one chunk's samples less 128, edges repeated (see fill_chunk)
    int16_t *coefs;          // per block column, per component: 64 quantised values, zig-zag order
    const CosTable *cos;
};

JENC_INLINE int clamp_byte(int v) { return v < 0 ? 0 : v > 255 ? 255 : v; }

// The colour rule for one pixel; the arithmetic order is part of the output's definition.
// The samples are stored level-shifted, ready for the DCT.
JENC_INLINE void convert_pixel(uint32_t v, double *y, double *cb, double *cr) {
    double r = (double)(int)(v & 0xFF);
    double g = (double)(int)(v >> 8 & 0xFF);
    double b = (double)(int)(v >> 16 & 0xFF);
    double fy = (0.587 * g + 0.299 * r) + 0.114 * b + 0.5;
    double fcb = ((-0.168736 * r) - 0.331264 * g) + 0.5 * b + 128.0;
    double fcr = ((0.5 * r) - 0.418688 * g) - 0.081312 * b + 128.0;
    *y = (double)(clamp_byte((int)fy) - 128);
    *cb = (double)(clamp_byte((int)fcb) - 128);
    *cr = (double)(clamp_byte((int)fcr) - 128);
}

JENC_INLINE uint32_t load_pixel(const uint8_t *px) {
    uint32_t v;
    std::memcpy(&v, px, 4);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    v = __builtin_bswap32(v);
#endif
    return v;
}

// q[k] = natural[ZZ[k]], spelled out with constant indices so the compiler can turn the
// whole reordering into a few vector shuffles.
template <size_t... K>
JENC_INLINE void zigzag_copy(const int16_t *natural, int16_t *q, std::index_sequence<K...>) {
    ((q[K] = natural[ZZ[K]]), ...);
}

// Forward DCT and quantisation of one block, leaving q in natural order.
//   rows:    T[y][u] = sum over x of s[y][x] * costab[u][x]
//   columns: F[v][u] = sum over y of costab[v][y] * T[y][u]
//   q[n]   = truncate(F[n] / Q[n] +- 0.5), halves away from zero
// Each sum starts from its x = 0 (or y = 0) product and adds the others in index order;
// starting from 0.0 instead could only change the sign of a zero, which quantises alike.
JENC_INLINE void transform_block(const double *src, size_t stride, const CosTable &ct,
                                 const double *divisors, int16_t *q) {
    double s[64], t[64], f[64];
    for (int y = 0; y < 8; y++)
        for (int x = 0; x < 8; x++) s[y * 8 + x] = src[y * stride + x];
    for (int y = 0; y < 8; y++) {
        double acc[8];
        for (int u = 0; u < 8; u++) acc[u] = s[y * 8] * ct.cols[u];
        for (int x = 1; x < 8; x++)
            for (int u = 0; u < 8; u++) acc[u] += s[y * 8 + x] * ct.cols[x * 8 + u];
        for (int u = 0; u < 8; u++) t[y * 8 + u] = acc[u];
    }
    for (int v = 0; v < 8; v++) {
        double acc[8];
        for (int u = 0; u < 8; u++) acc[u] = ct.rows[v * 8] * t[u];
        for (int y = 1; y < 8; y++)
            for (int u = 0; u < 8; u++) acc[u] += ct.rows[v * 8 + y] * t[y * 8 + u];
        for (int u = 0; u < 8; u++) f[v * 8 + u] = acc[u];
    }
    for (int n = 0; n < 64; n++) {
        double h = f[n] < 0 ? -0.5 : 0.5;
        q[n] = (int16_t)(int)(f[n] / divisors[n] + h);
    }
}

// The strip goes through in chunks of JENC_CHUNK_BLOCKS block columns: the chunk's
// samples (3 x 8 x 64 doubles, 12 KiB) stay in the first-level cache from the colour pass
// to the DCT.
constexpr int JENC_CHUNK_BLOCKS = 8;
constexpr size_t JENC_CHUNK_SPAN = JENC_CHUNK_BLOCKS * 8;  // samples per chunk row
constexpr size_t JENC_CHUNK_DOUBLES = 3 * 8 * JENC_CHUNK_SPAN;

// Puts the samples of the chunk starting at block column bx0 into its planes (Y, Cb, Cr,
// 8 rows of JENC_CHUNK_SPAN each): colour rows by `convert`, then the edges.
template <typename Ops>
JENC_INLINE void fill_chunk(const Strip &st, int bx0, int nblocks) {
    size_t span = (size_t)nblocks * 8;
    int x0 = bx0 * 8;
    int n = st.width - x0 < (int)span ? st.width - x0 : (int)span;  // image columns in the chunk
    double *planes[3] = {st.planes, st.planes + 8 * JENC_CHUNK_SPAN, st.planes + 16 * JENC_CHUNK_SPAN};
    for (int r = 0; r < 8; r++) {
        int row = st.row0 + r;
        if (row >= st.height) {  // below the image: repeat the last row
            for (int c = 0; c < 3; c++)
                std::memcpy(planes[c] + r * JENC_CHUNK_SPAN, planes[c] + (r - 1) * JENC_CHUNK_SPAN,
                            span * sizeof(double));
            continue;
        }
        double *line[3] = {planes[0] + r * JENC_CHUNK_SPAN, planes[1] + r * JENC_CHUNK_SPAN,
                           planes[2] + r * JENC_CHUNK_SPAN};
        Ops::convert_row(st.pixels + ((size_t)row * st.width + x0) * 4, n, line[0], line[1], line[2]);
        for (int c = 0; c < 3; c++)  // right of the image: repeat the last column
            std::fill(line[c] + n, line[c] + span, line[c][n - 1]);
    }
}

// The strip, chunk by chunk: samples, then per block column the Y, Cb and Cr blocks. Ops
// supplies convert_row and transform_block; everything is inlined into each form's
// function, so all of it is compiled for that form's instructions.
//
// The blocks come out in natural order and are put in zig-zag order once the whole chunk
// is transformed: read back at once, the small stores of one block's values could not be
// forwarded to the wide loads of the reordering, and the loads would stall.
template <typename Ops>
JENC_INLINE void transform_strip_chunks(const Strip &st) {
    alignas(64) int16_t natural[JENC_CHUNK_BLOCKS * 3][64];
    for (int bx0 = 0; bx0 < st.blocks; bx0 += JENC_CHUNK_BLOCKS) {
        int nblocks = st.blocks - bx0 < JENC_CHUNK_BLOCKS ? st.blocks - bx0 : JENC_CHUNK_BLOCKS;
        fill_chunk<Ops>(st, bx0, nblocks);
        for (int b = 0; b < nblocks; b++)
            for (int c = 0; c < 3; c++)
                Ops::transform_block(st.planes + (size_t)c * 8 * JENC_CHUNK_SPAN + (size_t)b * 8, *st.cos, c,
                                     natural[b * 3 + c]);
        for (int i = 0; i < nblocks * 3; i++)
            zigzag_copy(natural[i], st.coefs + ((size_t)bx0 * 3 + i) * 64, std::make_index_sequence<64>());
    }
}

struct PlainOps {
    static JENC_INLINE void convert_row(const uint8_t *px, int n, double *y, double *cb, double *cr) {
        for (int i = 0; i < n; i++) convert_pixel(load_pixel(px + 4 * (size_t)i), y + i, cb + i, cr + i);
    }
    static JENC_INLINE void transform_block(const double *src, const CosTable &ct, int c, int16_t *q) {
        ::transform_block(src, JENC_CHUNK_SPAN, ct, s_divisors.d[c == 0 ? 0 : 1], q);
    }
};

void transform_strip_plain(const Strip &st) { transform_strip_chunks<PlainOps>(st); }

#if FOLIAN_JENC_X86
// ---- Vector forms ------------------------------------------------------------------------
//
// The same arithmetic on GCC/clang vector types of N lanes (written for any N dividing 8,
// used with N = 8 for AVX-512), a block row being 8 / N vectors. SSE2 and AVX2 run the
// plain loops compiled for them, which the compiler spreads over their narrower registers
// better than this body. Every lane runs its own sum in the plain order, so the forms agree
// to the bit. Two things differ from the plain loops, neither in the result:
// - Quantisation multiplies by 1/Q instead of dividing by Q. The product lies within two
//   units in the last place of the quotient, far less than JENC_TIE_MARGIN; only when
//   F / Q + h comes within that margin of an integer could the truncation differ, and
//   then the block is quantised again with the division itself.
// - The colour rows take N pixels at a time.

// The helpers below pass vectors by value, which GCC flags as an ABI change where the
// wide registers are absent; they are all inlined, so no call ever crosses that ABI. (GCC
// reports it at the end of the unit, so the setting holds for the rest of the file.)
#if defined(__clang__)
#if __has_warning("-Wpsabi")
#pragma clang diagnostic ignored "-Wpsabi"
#endif
#else
#pragma GCC diagnostic ignored "-Wpsabi"
#endif

template <int N>
struct Lanes {
    // Integers on their way to or from doubles: as wide as a double where the processor
    // converts those directly (AVX-512), else 32-bit.
    typedef typename std::conditional<N == 8, int64_t, int32_t>::type conv_int;
    typedef conv_int c __attribute__((vector_size(sizeof(conv_int) * N)));
    typedef double d __attribute__((vector_size(8 * N)));
    typedef int64_t l __attribute__((vector_size(8 * N)));
    typedef int32_t i __attribute__((vector_size(4 * N)));
    typedef uint32_t u __attribute__((vector_size(4 * N)));
    typedef int16_t s __attribute__((vector_size(2 * N)));
};

constexpr double JENC_TIE_MARGIN = 1.0 / 1024;

struct QuantRecips {
    double r[2][64];
};
constexpr QuantRecips make_recips() {
    QuantRecips q{};
    for (int n = 0; n < 64; n++) {
        q.r[0][n] = 1.0 / s_luma_q[n];
        q.r[1][n] = 1.0 / s_chroma_q[n];
    }
    return q;
}
alignas(64) constexpr QuantRecips s_recips = make_recips();

template <typename V, typename T>
JENC_INLINE V vload(const T *p) {
    V v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <typename V, typename T>
JENC_INLINE void vstore(T *p, V v) {
    std::memcpy(p, &v, sizeof v);
}

// 0.5 with the sign of f. The plain rule gives -0.0 a +0.5, but -0.0 / Q +- 0.5 truncates
// to 0 either way.
template <int N>
JENC_INLINE typename Lanes<N>::d half_away(typename Lanes<N>::d f) {
    using L = Lanes<N>;
    const typename L::d half = typename L::d{} + 0.5;
    const typename L::l sign = typename L::l{} + INT64_MIN;
    return (typename L::d)(((typename L::l)f & sign) | (typename L::l)half);
}

template <int N>
//
// The samples are read one at a time into all lanes. They were stored by the colour pass
// of the whole strip, long before: a wide store read back at once in pieces would stall
// the loads that it has to forward to.
JENC_INLINE void transform_block_vec(const double *src, size_t stride, const CosTable &ct,
                                     const double *recips, const double *divisors, int16_t *q) {
    using L = Lanes<N>;
    using vd = typename L::d;
    using vi = typename L::c;
    using vs = typename L::s;
    constexpr int P = 8 / N;  // vectors per block row
    vd t[8][P];
    for (int y = 0; y < 8; y++) {
        const double *s = src + y * stride;
        vd acc[P];
        for (int j = 0; j < P; j++) acc[j] = s[0] * vload<vd>(ct.cols + j * N);
        for (int x = 1; x < 8; x++)
            for (int j = 0; j < P; j++) acc[j] += s[x] * vload<vd>(ct.cols + x * 8 + j * N);
        for (int j = 0; j < P; j++) t[y][j] = acc[j];
    }
    alignas(64) double f[64];
    vi near = {};
    for (int v = 0; v < 8; v++)
        for (int j = 0; j < P; j++) {
            vd acc = ct.rows[v * 8] * t[0][j];
            for (int y = 1; y < 8; y++) acc += ct.rows[v * 8 + y] * t[y][j];
            int n = v * 8 + j * N;
            vstore(f + n, acc);
            vd tq = acc * vload<vd>(recips + n) + half_away<N>(acc);
            vi k = __builtin_convertvector(tq, vi);
            // An integer within the margin makes the two ends truncate apart. (Zero, where
            // truncation does not change, is never near: |F / Q + h| is at least about 0.5.)
            near |= __builtin_convertvector(tq - JENC_TIE_MARGIN, vi) ^ __builtin_convertvector(tq + JENC_TIE_MARGIN, vi);
            vstore(q + n, __builtin_convertvector(k, vs));
        }
    typename L::conv_int lanes[N], any = 0;
    vstore(lanes, near);
    for (int i = 0; i < N; i++) any |= lanes[i];
    if (any) {
        for (int n = 0; n < 64; n += N) {
            vd fv = vload<vd>(f + n);
            vi k = __builtin_convertvector(fv / vload<vd>(divisors + n) + half_away<N>(fv), vi);
            vstore(q + n, __builtin_convertvector(k, vs));
        }
    }
}

template <int N>
JENC_INLINE typename Lanes<N>::d channel(typename Lanes<N>::u px, unsigned shift) {
    using L = Lanes<N>;
    return __builtin_convertvector(__builtin_convertvector(px >> shift & 0xFF, typename L::c), typename L::d);
}

// Truncated and level-shifted. The plain rule's clamp is left out: no colour leaves
// 0..255 (each rule's weights add up to 1 or cancel, so the sums stay within 0.5 and
// 255.5; checked over all 2^24 colours), so it never acts.
template <int N>
JENC_INLINE typename Lanes<N>::d to_sample(typename Lanes<N>::d f) {
    using L = Lanes<N>;
    return __builtin_convertvector(__builtin_convertvector(f, typename L::c) - 128, typename L::d);
}

template <int N>
JENC_INLINE void convert_row_vec(const uint8_t *px, int width, double *y, double *cb, double *cr) {
    using L = Lanes<N>;
    int i = 0;
    for (; i + N <= width; i += N) {
        typename L::u v = vload<typename L::u>(px + 4 * (size_t)i);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
        for (int k = 0; k < N; k++) v[k] = __builtin_bswap32(v[k]);
#endif
        typename L::d r = channel<N>(v, 0), g = channel<N>(v, 8), b = channel<N>(v, 16);
        vstore(y + i, to_sample<N>((0.587 * g + 0.299 * r) + 0.114 * b + 0.5));
        vstore(cb + i, to_sample<N>(((-0.168736 * r) - 0.331264 * g) + 0.5 * b + 128.0));
        vstore(cr + i, to_sample<N>(((0.5 * r) - 0.418688 * g) - 0.081312 * b + 128.0));
    }
    for (; i < width; i++) convert_pixel(load_pixel(px + 4 * (size_t)i), y + i, cb + i, cr + i);
}

template <int N>
struct VectorOps {
    static JENC_INLINE void convert_row(const uint8_t *px, int n, double *y, double *cb, double *cr) {
        convert_row_vec<N>(px, n, y, cb, cr);
    }
    static JENC_INLINE void transform_block(const double *src, const CosTable &ct, int c, int16_t *q) {
        int t = c == 0 ? 0 : 1;
        transform_block_vec<N>(src, JENC_CHUNK_SPAN, ct, s_recips.r[t], s_divisors.d[t], q);
    }
};

template <int N>
JENC_INLINE void transform_strip_vec(const Strip &st) {
    transform_strip_chunks<VectorOps<N>>(st);
}


// AVX2 runs the plain loops: compiled for it, they beat the vector body at four lanes,
// whose conversions between integers and doubles cost more there than they save.
__attribute__((target("avx2"))) void transform_strip_avx2(const Strip &st) { transform_strip_chunks<PlainOps>(st); }
__attribute__((target("avx512f,avx512vl,avx512bw,avx512dq"))) void transform_strip_avx512(const Strip &st) {
    transform_strip_vec<8>(st);
}
#endif

using TransformFn = void (*)(const Strip &);

TransformFn pick_transform() {
    int form = cpu_form();
#if FOLIAN_JENC_X86
    if (form >= CPU_AVX512) return transform_strip_avx512;
    if (form >= CPU_AVX2) return transform_strip_avx2;
#endif
    (void)form;
    return transform_strip_plain;
}

// ---- Output buffer and entropy coder ---------------------------------------------------

// The growing file image. Capacity starts at 64 KiB and doubles.
struct jenc_buf {
    uint8_t *data;
    uint64_t len;
    uint64_t cap;
};

constexpr uint64_t JENC_INITIAL_CAP = 65536;
// Worst case of one MCU: per block a DC code with its bits (<= 22 bits) and 63 AC codes
// with theirs (<= 26 bits each) plus EOB, about 1700 bits; every byte may be stuffed,
// so 3 blocks stay below 1300 bytes. Checking room once per MCU keeps the coder free of
// per-byte tests.
constexpr uint64_t JENC_MCU_ROOM = 2048;

bool jenc_reserve(jenc_buf *b, uint64_t need) {
    if (b->cap - b->len >= need) return true;
    uint64_t cap = b->cap ? b->cap : JENC_INITIAL_CAP;
    while (cap - b->len < need) cap *= 2;
    if (cap > SIZE_MAX) return false;
    uint8_t *p = (uint8_t *)mem_realloc(b->data, (size_t)cap);
    if (!p) return false;
    b->data = p;
    b->cap = cap;
    return true;
}

// Bits leave most significant first. `acc` holds the pending bits in its low `n` bits
// (higher bits are stale), 0 <= n < 32 between puts; once 32 are pending they go out
// as four bytes, each 0xFF followed by a stuffed 0x00.
struct BitSink {
    uint8_t *p;
    uint64_t acc;
    int n;
};

JENC_INLINE void put_byte_stuffed(BitSink &s, uint32_t byte) {
    *s.p++ = (uint8_t)byte;
    if (byte == 0xFF) *s.p++ = 0;
}

JENC_INLINE void put_bits(BitSink &s, uint32_t bits, int len) {
    s.acc = s.acc << len | bits;
    s.n += len;
    if (s.n < 32) return;
    s.n -= 32;
    uint32_t w = (uint32_t)(s.acc >> s.n);
    // A zero byte of ~w is a 0xFF byte of w (the exact any-zero-byte test).
    if (((~w - 0x01010101u) & w & 0x80808080u) == 0) {
        s.p[0] = (uint8_t)(w >> 24);
        s.p[1] = (uint8_t)(w >> 16);
        s.p[2] = (uint8_t)(w >> 8);
        s.p[3] = (uint8_t)w;
        s.p += 4;
        return;
    }
    for (int sh = 24; sh >= 0; sh -= 8) put_byte_stuffed(s, w >> sh & 0xFF);
}

// Size category: 0 for 0, else the bit length of |v|.
JENC_INLINE int size_category(int v) {
    unsigned a = (unsigned)(v < 0 ? -v : v);
    return a ? 32 - __builtin_clz(a) : 0;
}

// Writes a symbol's code followed by the s low bits of a value: v itself when positive,
// v + 2^s - 1 (the low s bits of v - 1) when negative.
JENC_INLINE void put_coded(BitSink &s, uint32_t entry, int v, int size) {
    uint32_t extra = (uint32_t)(v < 0 ? v - 1 : v) & ((1u << size) - 1);
    put_bits(s, (entry >> 8) << size | extra, (int)(entry & 0xFF) + size);
}

// Bit k set when the k-th value is non-zero.
JENC_INLINE uint64_t nonzero_mask(const int16_t *z) {
#if defined(__SSE2__)
    uint64_t mask = 0;
    const __m128i zero = _mm_setzero_si128();
    for (int i = 0; i < 4; i++) {
        __m128i a = _mm_loadu_si128((const __m128i *)(z + 16 * i));
        __m128i b = _mm_loadu_si128((const __m128i *)(z + 16 * i + 8));
        __m128i eq = _mm_packs_epi16(_mm_cmpeq_epi16(a, zero), _mm_cmpeq_epi16(b, zero));
        mask |= (uint64_t)(uint16_t)~_mm_movemask_epi8(eq) << (16 * i);
    }
    return mask;
#else
    uint64_t mask = 0;
    for (int k = 0; k < 64; k++) mask |= (uint64_t)(z[k] != 0) << k;
    return mask;
#endif
}

void encode_block(BitSink &s, const int16_t *z, uint64_t mask, int *pred, const HuffCodes &dc,
                  const HuffCodes &ac) {
    int diff = z[0] - *pred;
    *pred = z[0];
    int size = size_category(diff);
    put_coded(s, dc.e[size], diff, size);
    int last = 0;
    for (mask &= ~(uint64_t)1; mask; mask &= mask - 1) {
        int k = __builtin_ctzll(mask);
        int run = k - last - 1;
        for (; run > 15; run -= 16) put_bits(s, ac.e[0xF0] >> 8, (int)(ac.e[0xF0] & 0xFF));
        size = size_category(z[k]);
        put_coded(s, ac.e[run * 16 + size], z[k], size);
        last = k;
    }
    if (last < 63) put_bits(s, ac.e[0x00] >> 8, (int)(ac.e[0x00] & 0xFF));
}

void debug_print(int ci, const int16_t *z, uint64_t mask) {
    if (!std::getenv("JENC_DBG")) return;
    std::fprintf(stderr, "ENC ci=%d q[:8]=%d %d %d %d %d %d %d %d nz=%d\n", ci, z[0], z[1], z[2], z[3],
                 z[4], z[5], z[6], z[7], __builtin_popcountll(mask));
}

// ---- Headers ---------------------------------------------------------------------------

uint8_t *put_be16(uint8_t *p, uint32_t v) {
    p[0] = (uint8_t)(v >> 8);
    p[1] = (uint8_t)v;
    return p + 2;
}

uint8_t *put_raw(uint8_t *p, const uint8_t *src, size_t n) {
    std::memcpy(p, src, n);
    return p + n;
}

// SOI through SOS: 623 bytes, the same for every image but the four size bytes.
constexpr size_t JENC_HEADER_LEN = 623;

void write_headers(uint8_t *p, int width, int height) {
    static constexpr uint8_t soi_app0[20] = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J',  'F',  'I',  'F',
                                             0x00, 0x01, 0x01, 0x01, 0x00, 0x30, 0x00, 0x30, 0x00, 0x00};
    p = put_raw(p, soi_app0, sizeof soi_app0);
    const int *tables[2] = {s_luma_q, s_chroma_q};
    for (int t = 0; t < 2; t++) {
        static constexpr uint8_t dqt[4] = {0xFF, 0xDB, 0x00, 0x43};
        p = put_raw(p, dqt, 4);
        *p++ = (uint8_t)t;
        for (int k = 0; k < 64; k++) *p++ = (uint8_t)tables[t][ZZ[k]];
    }
    static constexpr uint8_t sof0[5] = {0xFF, 0xC0, 0x00, 0x11, 0x08};
    p = put_raw(p, sof0, 5);
    p = put_be16(p, (uint32_t)height);
    p = put_be16(p, (uint32_t)width);
    static constexpr uint8_t sof0_comps[10] = {0x03, 0x01, 0x11, 0x00, 0x02, 0x11, 0x01, 0x03, 0x11, 0x01};
    p = put_raw(p, sof0_comps, sizeof sof0_comps);
    for (const HuffDef &h : huffdefs) {
        *p++ = 0xFF;
        *p++ = 0xC4;
        p = put_be16(p, (uint32_t)h.nsyms + 19);
        *p++ = h.class_id;
        p = put_raw(p, h.counts, 16);
        p = put_raw(p, h.syms, (size_t)h.nsyms);
    }
    static constexpr uint8_t sos[14] = {0xFF, 0xDA, 0x00, 0x0C, 0x03, 0x01, 0x00,
                                        0x02, 0x11, 0x03, 0x11, 0x00, 0x3F, 0x00};
    put_raw(p, sos, sizeof sos);
}

// Codes one strip's blocks, MCU by MCU, growing the buffer between MCUs as needed.
bool encode_strip(jenc_buf *out, BitSink &s, const int16_t *coefs, int blocks, bool first_strip,
                  int pred[3]) {
    for (int bx = 0; bx < blocks; bx++) {
        if (out->cap - (uint64_t)(s.p - out->data) < JENC_MCU_ROOM) {
            out->len = (uint64_t)(s.p - out->data);
            if (!jenc_reserve(out, JENC_MCU_ROOM)) return false;
            s.p = out->data + out->len;
        }
        for (int c = 0; c < 3; c++) {
            const int16_t *z = coefs + ((size_t)bx * 3 + c) * 64;
            uint64_t mask = nonzero_mask(z);
            if (first_strip && bx == 0) debug_print(c, z, mask);
            int t = c == 0 ? 0 : 2;
            encode_block(s, z, mask, &pred[c], s_codes[t], s_codes[t + 1]);
        }
    }
    out->len = (uint64_t)(s.p - out->data);
    return true;
}

// Ends the entropy-coded data: eleven 1-bits complete any pending byte with ones, then a
// byte still incomplete is filled with 0-bits (it holds a 0-bit, so it needs no stuffing).
// Then EOI.
bool finish_stream(jenc_buf *out, BitSink &s) {
    if (!jenc_reserve(out, 16)) return false;
    s.p = out->data + out->len;
    put_bits(s, 0x7FF, 11);
    while (s.n >= 8) {
        s.n -= 8;
        put_byte_stuffed(s, (uint32_t)(s.acc >> s.n) & 0xFF);
    }
    if (s.n > 0) *s.p++ = (uint8_t)(s.acc << (8 - s.n));
    *s.p++ = 0xFF;
    *s.p++ = 0xD9;
    out->len = (uint64_t)(s.p - out->data);
    return true;
}

}  // namespace

int jpeg_encode_memory(int width, int height, const uint8_t *pixels, uint8_t **result,
                       uint64_t *result_len) {
    if (width <= 0 || height <= 0 || !pixels) return 0;
    if (width > 65535 || height > 65535) return 0;  // SOF0 holds 16 bits each
    const CosTable &ct = costab();
    int blocks = (width + 7) / 8;
    size_t plane_bytes = JENC_CHUNK_DOUBLES * sizeof(double);  // a multiple of 64: the coefficients stay aligned
    size_t coef_count = (size_t)blocks * 3 * 64;
    uint8_t *work = (uint8_t *)mem_malloc(plane_bytes + coef_count * sizeof(int16_t));
    if (!work) return 0;
    jenc_buf out = {nullptr, 0, 0};
    if (!jenc_reserve(&out, JENC_INITIAL_CAP)) {
        std::free(work);
        return 0;
    }
    write_headers(out.data, width, height);
    out.len = JENC_HEADER_LEN;

    Strip st = {pixels, width, height, 0, blocks, (double *)work, (int16_t *)(work + plane_bytes), &ct};
    TransformFn transform = pick_transform();
    BitSink s = {out.data + out.len, 0, 0};
    int pred[3] = {0, 0, 0};
    bool ok = true;
    for (int row0 = 0; ok && row0 < height; row0 += 8) {
        st.row0 = row0;
        transform(st);
        ok = encode_strip(&out, s, st.coefs, blocks, row0 == 0, pred);
    }
    ok = ok && finish_stream(&out, s);
    std::free(work);
    if (!ok) {
        std::free(out.data);
        return 0;
    }
    *result = out.data;
    *result_len = out.len;
    return 1;
}

extern "C" FOLIAN_API int kv_jpeg_write(const char *path, int width, int height,
                                        const unsigned char *pixels) noexcept {
    if (!path) return 0;
    uint8_t *data = nullptr;
    uint64_t len = 0;
    if (!jpeg_encode_memory(width, height, pixels, &data, &len)) return 0;
    int ok = len <= SIZE_MAX && file_write_whole(path, data, (size_t)len) == FILE_WRITE_OK;
    std::free(data);
    return ok;
}
