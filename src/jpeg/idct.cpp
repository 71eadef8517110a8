// idct.cpp: the JPEG decoder's arithmetic kernels: block reconstruction (dequantisation,
// the separable double-precision inverse DCT, level shift, rounding and clamping) and the
// YCbCr to RGBA rows.
//
// The result must equal the plain form exactly: every output is a double sum taken from
// frequency 0 upwards, first over the row's coefficients, then over the column's row
// results. Two things make it fast without changing a single rounding:
// - Zero terms are skipped. A product with a zero coefficient is +0 or -0 and adding it
//   leaves a sum unchanged (up to the sign of a zero, which the final +128 removes), so
//   the entropy decoder hands over a mask of the coefficients it wrote, only those are
//   dequantised, and rows without any are never transformed nor read by the column pass.
// - Each pass works on whole rows of 8 lanes: lane x of a row holds the sum for output
//   column x, and all lanes add their terms in the same order, so vector units only run
//   independent sums side by side. No multiply is fused with its add (the library is
//   compiled without contraction). The SSE2, AVX2 and AVX-512 forms are one body on
//   vector types, differing from the plain loops only in how many lanes one instruction
//   covers and in keeping each output row in registers.
#include <atomic>
#include <cmath>
#include <cstring>
#include <type_traits>

#include "bytes.h"
#include "cpu.h"
#include "jpeg/decode.h"

namespace {

// Filled once, by jpg_costab; read by the transforms only after a call to it.
double s_costab[8][8];

void build_costab() {
    const double pi = 3.141592653589793;
    for (int u = 0; u < 8; u++) {
        double cf = (u > 0 ? 1.0 : 0.7071067811865476) * 0.5;
        s_costab[u][0] = cf * std::cos(u * pi * 0.0625);
        for (int x = 1; x < 8; x++) s_costab[u][x] = cf * std::cos(((2 * x + 1) * u) * pi * 0.0625);
    }
}

inline uint8_t clamp_sample(double s) {
    // Below 0 gives 0; otherwise the integer part of min(s, 255) + 0.5.
    s = s < 0.0 ? 0.0 : s;
    s = s > 255.0 ? 255.0 : s;
    return (uint8_t)(int)(s + 0.5);
}

#if defined(__GNUC__)
#define JPG_INLINE inline __attribute__((always_inline))
#else
#define JPG_INLINE inline
#endif

// nz: bit i set when coef[i] may be non-zero; a clear bit promises coef[i] == 0.
JPG_INLINE void idct_body(int32_t *coef, uint64_t nz, const int32_t *qt, uint8_t *dst, size_t stride) {
    const double(*cs)[8] = s_costab;
    // Dequantised terms, only where a coefficient is; a zero product that slips through
    // (a wrapped DC term) adds nothing, like any other zero term.
    double f[64];
    unsigned rows = 0;  // bit r: row r has terms
    for (uint64_t m = nz; m; m &= m - 1) {
        int i = low_bit(m);
        f[i] = (double)(int32_t)((uint32_t)coef[i] * (uint32_t)qt[i]);
        coef[i] = 0;  // ready for the next block
        rows |= 1u << (i >> 3);
    }
    if (nz <= 1) {
        // Every sum has one term: (F0 cs[0][x]) cs[0][y], and cs[0][*] are all equal.
        uint8_t v = nz ? clamp_sample((f[0] * cs[0][0]) * cs[0][0] + 128.0) : 128;
        for (int y = 0; y < 8; y++) std::memset(dst + y * stride, v, 8);
        return;
    }

    // Row pass: t[r][x] = sum over u of F[r][u] cs[u][x].
    double t[8][8];
    for (unsigned rm = rows; rm; rm &= rm - 1) {
        int r = low_bit(rm);
        unsigned um = (unsigned)(nz >> (8 * r)) & 0xFF;
        int u = low_bit(um);
        double fu = f[8 * r + u];
        double acc[8];
        for (int x = 0; x < 8; x++) acc[x] = fu * cs[u][x];
        for (um &= um - 1; um; um &= um - 1) {
            u = low_bit(um);
            fu = f[8 * r + u];
            for (int x = 0; x < 8; x++) acc[x] += fu * cs[u][x];
        }
        std::memcpy(t[r], acc, sizeof acc);
    }

    // Column pass: s[y][x] = sum over v of t[v][x] cs[v][y], rows without terms skipped.
    double s[8][8];
    int v = low_bit(rows);
    for (int y = 0; y < 8; y++) {
        double c = cs[v][y];
        for (int x = 0; x < 8; x++) s[y][x] = t[v][x] * c;
    }
    for (unsigned rm = rows & (rows - 1); rm; rm &= rm - 1) {
        v = low_bit(rm);
        for (int y = 0; y < 8; y++) {
            double c = cs[v][y];
            for (int x = 0; x < 8; x++) s[y][x] += t[v][x] * c;
        }
    }
    for (int y = 0; y < 8; y++) {
        uint8_t *row = dst + y * stride;
        for (int x = 0; x < 8; x++) row[x] = clamp_sample(s[y][x] + 128.0);
    }
}

#if defined(__GNUC__) && defined(__x86_64__)
// The block on GCC/clang vector types of N lanes, a row being 8 / N vectors: the same
// sums in the same order as idct_body, with each output row held in registers from its
// first term to its rounding, which the compiler does not find by itself in the loops
// above. Used for SSE2, AVX2 and AVX-512 (N = 2, 4, 8).

// The helpers pass vectors by value, which GCC flags as an ABI change where the wide
// registers are absent; they are all inlined, so no call ever crosses that ABI. (GCC
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
    typedef double d __attribute__((vector_size(8 * N)));
    // Integers on their way from doubles: as wide as a double where the processor
    // converts those directly (AVX-512), else 32-bit.
    typedef typename std::conditional<N == 8, int64_t, int32_t>::type conv_int;
    typedef conv_int c __attribute__((vector_size(sizeof(conv_int) * N)));
    typedef uint8_t b __attribute__((vector_size(N)));
};

template <typename V>
JPG_INLINE V vload(const double *p) {
    V v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <int N>
JPG_INLINE void idct_vec(int32_t *coef, uint64_t nz, const int32_t *qt, uint8_t *dst, size_t stride) {
    using vd = typename Lanes<N>::d;
    constexpr int P = 8 / N;
    const double(*cs)[8] = s_costab;
    double f[64];
    unsigned rows = 0;
    for (uint64_t m = nz; m; m &= m - 1) {
        int i = low_bit(m);
        f[i] = (double)(int32_t)((uint32_t)coef[i] * (uint32_t)qt[i]);
        coef[i] = 0;
        rows |= 1u << (i >> 3);
    }
    if (nz <= 1) {
        uint8_t v = nz ? clamp_sample((f[0] * cs[0][0]) * cs[0][0] + 128.0) : 128;
        for (int y = 0; y < 8; y++) std::memset(dst + y * stride, v, 8);
        return;
    }
    vd t[8][P];
    for (unsigned rm = rows; rm; rm &= rm - 1) {
        int r = low_bit(rm);
        unsigned um = (unsigned)(nz >> (8 * r)) & 0xFF;
        int u = low_bit(um);
        double fu = f[8 * r + u];
        vd acc[P];
        for (int j = 0; j < P; j++) acc[j] = fu * vload<vd>(cs[u] + j * N);
        for (um &= um - 1; um; um &= um - 1) {
            u = low_bit(um);
            fu = f[8 * r + u];
            for (int j = 0; j < P; j++) acc[j] += fu * vload<vd>(cs[u] + j * N);
        }
        for (int j = 0; j < P; j++) t[r][j] = acc[j];
    }
    int v0 = low_bit(rows);
    for (int y = 0; y < 8; y++)
        for (int j = 0; j < P; j++) {
            vd acc = t[v0][j] * cs[v0][y];
            for (unsigned rm = rows & (rows - 1); rm; rm &= rm - 1) {
                int v = low_bit(rm);
                acc += t[v][j] * cs[v][y];
            }
            // clamp_sample, lane by lane.
            vd sv = acc + 128.0;
            sv = sv < 0.0 ? vd{} : sv;
            sv = sv > 255.0 ? vd{} + 255.0 : sv;
            typename Lanes<N>::b px = __builtin_convertvector(
                __builtin_convertvector(sv + 0.5, typename Lanes<N>::c), typename Lanes<N>::b);
            std::memcpy(dst + y * stride + j * N, &px, sizeof px);
        }
}
#endif

// Each lane converts one pixel with the scalar rule's operations, so every vector form
// gives the same bytes; the pixel is stored as one word holding R, G, B, 255 in memory order.
JPG_INLINE void ycc_row_body(const uint8_t *y, const uint8_t *cb, const uint8_t *cr, int32_t n,
                             uint8_t *rgba) {
    for (int32_t x = 0; x < n; x++) {
        double yv = y[x], cbv = (int32_t)cb[x] - 128, crv = (int32_t)cr[x] - 128;
        int32_t r = (int32_t)(1.402 * crv + yv);
        int32_t g = (int32_t)(yv - 0.344136 * cbv - 0.714136 * crv);
        int32_t b = (int32_t)(1.772 * cbv + yv);
        r = r < 0 ? 0 : r > 255 ? 255 : r;
        g = g < 0 ? 0 : g > 255 ? 255 : g;
        b = b < 0 ? 0 : b > 255 ? 255 : b;
        uint32_t px = (uint32_t)r | (uint32_t)g << 8 | (uint32_t)b << 16 | 0xFF000000u;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
        px = __builtin_bswap32(px);
#endif
        std::memcpy(rgba + 4 * x, &px, 4);
    }
}

void ycc_plain(const uint8_t *y, const uint8_t *cb, const uint8_t *cr, int32_t n, uint8_t *rgba) {
    ycc_row_body(y, cb, cr, n, rgba);
}

void idct_plain(int32_t *coef, uint64_t nz, const int32_t *qt, uint8_t *dst, size_t stride) {
    idct_body(coef, nz, qt, dst, stride);
}

#if defined(__GNUC__) && defined(__x86_64__)
#define JPG_HAVE_X86_FORMS 1
void idct_sse2(int32_t *coef, uint64_t nz, const int32_t *qt, uint8_t *dst, size_t stride) {
    idct_vec<2>(coef, nz, qt, dst, stride);
}
__attribute__((target("avx2"))) void idct_avx2(int32_t *coef, uint64_t nz, const int32_t *qt,
                                               uint8_t *dst, size_t stride) {
    idct_vec<4>(coef, nz, qt, dst, stride);
}
__attribute__((target("avx512f,avx512vl,avx512bw,avx512dq"))) void idct_avx512(
    int32_t *coef, uint64_t nz, const int32_t *qt, uint8_t *dst, size_t stride) {
    idct_vec<8>(coef, nz, qt, dst, stride);
}
__attribute__((target("avx2"))) void ycc_avx2(const uint8_t *y, const uint8_t *cb, const uint8_t *cr,
                                              int32_t n, uint8_t *rgba) {
    ycc_row_body(y, cb, cr, n, rgba);
}
__attribute__((target("avx512f,avx512vl,avx512bw,avx512dq"))) void ycc_avx512(
    const uint8_t *y, const uint8_t *cb, const uint8_t *cr, int32_t n, uint8_t *rgba) {
    ycc_row_body(y, cb, cr, n, rgba);
}
#endif

using ycc_fn = void (*)(const uint8_t *, const uint8_t *, const uint8_t *, int32_t, uint8_t *);
using idct_fn = void (*)(int32_t *, uint64_t, const int32_t *, uint8_t *, size_t);

// The forms follow the shared probe on every call, so a test that narrows it sees the
// narrower form at once.
idct_fn pick_idct() {
#ifdef JPG_HAVE_X86_FORMS
    int form = cpu_form();
    if (form >= CPU_AVX512) return idct_avx512;
    if (form >= CPU_AVX2) return idct_avx2;
    if (form >= CPU_SSE2) return idct_sse2;
#endif
    return idct_plain;
}

ycc_fn pick_ycc() {
#ifdef JPG_HAVE_X86_FORMS
    int form = cpu_form();
    if (form >= CPU_AVX512) return ycc_avx512;
    if (form >= CPU_AVX2) return ycc_avx2;
#endif
    return ycc_plain;
}

}  // namespace

const double (*jpg_costab())[8] {
    // A function-local static is initialised exactly once, and a thread that comes in
    // while another builds the table waits for it: two first calls never write at once.
    static const bool built = (build_costab(), true);
    (void)built;
    return s_costab;
}

void jpg_idct_store_sparse(int32_t *coef, uint64_t nz, const int32_t *qt, uint8_t *dst, size_t stride) {
    jpg_costab();
    pick_idct()(coef, nz, qt, dst, stride);
}

void jpg_idct_store(int32_t *coef, const int32_t *qt, uint8_t *dst, size_t stride) {
    uint64_t nz = 0;
    for (int i = 0; i < 64; i++)
        if (coef[i]) nz |= 1ull << i;
    jpg_idct_store_sparse(coef, nz, qt, dst, stride);
}

void jpg_ycc_row(const uint8_t *y, const uint8_t *cb, const uint8_t *cr, int32_t n, uint8_t *rgba) {
    pick_ycc()(y, cb, cr, n, rgba);
}
