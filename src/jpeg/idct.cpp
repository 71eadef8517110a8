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
//   compiled without contraction), and the AVX2 and AVX-512 forms differ from the plain
//   one only in how many lanes one instruction covers.
#include <atomic>
#include <cmath>
#include <cstring>
#if defined(_MSC_VER)
#include <intrin.h>
#endif

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

// Index of the lowest set bit of a non-zero mask.
inline int low_bit(uint64_t m) {
#if defined(_MSC_VER)
    unsigned long i;
    _BitScanForward64(&i, m);
    return (int)i;
#else
    return __builtin_ctzll(m);
#endif
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
__attribute__((target("avx2"))) void idct_avx2(int32_t *coef, uint64_t nz, const int32_t *qt,
                                               uint8_t *dst, size_t stride) {
    idct_body(coef, nz, qt, dst, stride);
}
__attribute__((target("avx512f,avx512vl,avx512bw,avx512dq"))) void idct_avx512(
    int32_t *coef, uint64_t nz, const int32_t *qt, uint8_t *dst, size_t stride) {
    idct_body(coef, nz, qt, dst, stride);
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
std::atomic<ycc_fn> s_ycc{nullptr};

using idct_fn = void (*)(int32_t *, uint64_t, const int32_t *, uint8_t *, size_t);
std::atomic<int> s_vector_limit{2};
std::atomic<idct_fn> s_idct{nullptr};

// 0 plain, 1 AVX2, 2 AVX-512, within the test limit.
int pick_form() {
    int limit = s_vector_limit.load(std::memory_order_relaxed);
#ifdef JPG_HAVE_X86_FORMS
    __builtin_cpu_init();
    if (limit >= 2 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
        __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512dq"))
        return 2;
    if (limit >= 1 && __builtin_cpu_supports("avx2")) return 1;
#endif
    (void)limit;
    return 0;
}

idct_fn pick_idct() {
#ifdef JPG_HAVE_X86_FORMS
    int form = pick_form();
    if (form == 2) return idct_avx512;
    if (form == 1) return idct_avx2;
#endif
    return idct_plain;
}

ycc_fn pick_ycc() {
#ifdef JPG_HAVE_X86_FORMS
    int form = pick_form();
    if (form == 2) return ycc_avx512;
    if (form == 1) return ycc_avx2;
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
    idct_fn fn = s_idct.load(std::memory_order_acquire);
    if (!fn) {
        jpg_costab();
        fn = pick_idct();
        s_idct.store(fn, std::memory_order_release);
    }
    fn(coef, nz, qt, dst, stride);
}

void jpg_idct_store(int32_t *coef, const int32_t *qt, uint8_t *dst, size_t stride) {
    uint64_t nz = 0;
    for (int i = 0; i < 64; i++)
        if (coef[i]) nz |= 1ull << i;
    jpg_idct_store_sparse(coef, nz, qt, dst, stride);
}

void jpg_ycc_row(const uint8_t *y, const uint8_t *cb, const uint8_t *cr, int32_t n, uint8_t *rgba) {
    ycc_fn fn = s_ycc.load(std::memory_order_acquire);
    if (!fn) {
        fn = pick_ycc();
        s_ycc.store(fn, std::memory_order_release);
    }
    fn(y, cb, cr, n, rgba);
}

int jpg_idct_set_vector_limit(int limit) {
    int old = s_vector_limit.exchange(limit);
    s_idct.store(nullptr);
    s_ycc.store(nullptr);
    return old;
}
