// filter.cpp: PNG row filtering for encoders: a per-row choice among the five filter
// types by the least sum of absolute (signed) filtered values.
//
// One pass counts the cost of all five types; a second writes the chosen one. The first
// bpp bytes of a row have no left neighbour and the first row has no row above; both are
// read as zero, as the decoder assumes. With SSE2 both passes take 16 bytes at a time past
// the first pixel: every predictor reads only the unfiltered rows, so the bytes of a block
// are independent. The sums are exact either way, so both forms choose the same type and
// write the same bytes.
#include "png/filter.h"

#include "cpu.h"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace {

// |v| with v read as a signed byte.
inline unsigned signed_abs(uint8_t v) { return v < 128 ? v : 256u - v; }

inline uint8_t predict(unsigned type, int a, int b, int c) {
    switch (type) {
    case 1: return (uint8_t)a;
    case 2: return (uint8_t)b;
    case 3: return (uint8_t)((a + b) >> 1);
    case 4: return png_paeth(a, b, c);
    default: return 0;
    }
}

#ifdef __SSE2__
// The predictors of 16 bytes at once; a, b, c as bytes.
inline __m128i predict_avg(__m128i a, __m128i b) {
    return _mm_sub_epi8(_mm_avg_epu8(a, b), _mm_and_si128(_mm_xor_si128(a, b), _mm_set1_epi8(1)));
}
inline __m128i predict_paeth(__m128i a, __m128i b, __m128i c) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i lo = png_paeth_epi16(_mm_unpacklo_epi8(a, zero), _mm_unpacklo_epi8(b, zero), _mm_unpacklo_epi8(c, zero));
    const __m128i hi = png_paeth_epi16(_mm_unpackhi_epi8(a, zero), _mm_unpackhi_epi8(b, zero), _mm_unpackhi_epi8(c, zero));
    return _mm_packus_epi16(lo, hi);
}
// The sum of |v| over 16 bytes read as signed, in the two 64-bit halves.
inline __m128i signed_abs_sum(__m128i v) {
    const __m128i m = _mm_min_epu8(v, _mm_sub_epi8(_mm_setzero_si128(), v));
    return _mm_sad_epu8(m, _mm_setzero_si128());
}
inline uint64_t halves(__m128i v) {
    return (uint64_t)_mm_cvtsi128_si64(v) + (uint64_t)_mm_cvtsi128_si64(_mm_unpackhi_epi64(v, v));
}

struct Block {
    __m128i x, a, b, c;
};
inline Block load_block(const uint8_t *row, const uint8_t *prev, size_t k, unsigned bpp) {
    Block v;
    v.x = _mm_loadu_si128((const __m128i *)(row + k));
    v.a = _mm_loadu_si128((const __m128i *)(row + k - bpp));
    v.b = prev ? _mm_loadu_si128((const __m128i *)(prev + k)) : _mm_setzero_si128();
    v.c = prev ? _mm_loadu_si128((const __m128i *)(prev + k - bpp)) : _mm_setzero_si128();
    return v;
}

// Adds the costs of bytes [bpp, end) to cost, end - bpp being a multiple of 16.
void cost_blocks_sse2(const uint8_t *row, const uint8_t *prev, size_t end, unsigned bpp, uint64_t *cost) {
    __m128i s[5] = {_mm_setzero_si128(), _mm_setzero_si128(), _mm_setzero_si128(), _mm_setzero_si128(),
                    _mm_setzero_si128()};
    for (size_t k = bpp; k < end; k += 16) {
        const Block v = load_block(row, prev, k, bpp);
        s[0] = _mm_add_epi64(s[0], signed_abs_sum(v.x));
        s[1] = _mm_add_epi64(s[1], signed_abs_sum(_mm_sub_epi8(v.x, v.a)));
        s[2] = _mm_add_epi64(s[2], signed_abs_sum(_mm_sub_epi8(v.x, v.b)));
        s[3] = _mm_add_epi64(s[3], signed_abs_sum(_mm_sub_epi8(v.x, predict_avg(v.a, v.b))));
        s[4] = _mm_add_epi64(s[4], signed_abs_sum(_mm_sub_epi8(v.x, predict_paeth(v.a, v.b, v.c))));
    }
    for (int t = 0; t < 5; t++) cost[t] += halves(s[t]);
}

void write_blocks_sse2(const uint8_t *row, const uint8_t *prev, size_t end, unsigned bpp, unsigned type, uint8_t *out) {
    for (size_t k = bpp; k < end; k += 16) {
        const Block v = load_block(row, prev, k, bpp);
        __m128i pred;
        switch (type) {
        case 1: pred = v.a; break;
        case 2: pred = v.b; break;
        case 3: pred = predict_avg(v.a, v.b); break;
        case 4: pred = predict_paeth(v.a, v.b, v.c); break;
        default: pred = _mm_setzero_si128(); break;
        }
        _mm_storeu_si128((__m128i *)(out + k), _mm_sub_epi8(v.x, pred));
    }
}
#endif

// Bytes [from, to) in the plain form.
void cost_plain(const uint8_t *row, const uint8_t *prev, size_t from, size_t to, unsigned bpp, uint64_t *cost) {
    for (size_t k = from; k < to; k++) {
        const int x = row[k];
        const int a = k >= bpp ? row[k - bpp] : 0;
        const int b = prev ? prev[k] : 0;
        const int c = prev && k >= bpp ? prev[k - bpp] : 0;
        cost[0] += signed_abs((uint8_t)x);
        cost[1] += signed_abs((uint8_t)(x - a));
        cost[2] += signed_abs((uint8_t)(x - b));
        cost[3] += signed_abs((uint8_t)(x - ((a + b) >> 1)));
        cost[4] += signed_abs((uint8_t)(x - png_paeth(a, b, c)));
    }
}

void write_plain(const uint8_t *row, const uint8_t *prev, size_t from, size_t to, unsigned bpp, unsigned type,
                 uint8_t *out) {
    for (size_t k = from; k < to; k++) {
        const int a = k >= bpp ? row[k - bpp] : 0;
        const int b = prev ? prev[k] : 0;
        const int c = prev && k >= bpp ? prev[k - bpp] : 0;
        out[k] = (uint8_t)(row[k] - predict(type, a, b, c));
    }
}

}  // namespace

unsigned png_filter_row(const uint8_t *row, const uint8_t *prev, size_t n, unsigned bpp, uint8_t *out) {
    uint64_t cost[5] = {0, 0, 0, 0, 0};
    // Blocks of 16 bytes from the first byte with a left neighbour; the rest plain.
    size_t block_end = 0;
#ifdef __SSE2__
    if (cpu_form() >= CPU_SSE2 && n >= bpp + 16) block_end = bpp + (n - bpp) / 16 * 16;
#endif
    if (block_end) {
#ifdef __SSE2__
        cost_plain(row, prev, 0, bpp, bpp, cost);
        cost_blocks_sse2(row, prev, block_end, bpp, cost);
        cost_plain(row, prev, block_end, n, bpp, cost);
#endif
    } else {
        cost_plain(row, prev, 0, n, bpp, cost);
    }
    unsigned best = 0;
    for (unsigned t = 1; t < 5; t++)
        if (cost[t] < cost[best]) best = t;
    out[0] = (uint8_t)best;
    if (block_end) {
#ifdef __SSE2__
        write_plain(row, prev, 0, bpp, bpp, best, out + 1);
        write_blocks_sse2(row, prev, block_end, bpp, best, out + 1);
        write_plain(row, prev, block_end, n, bpp, best, out + 1);
#endif
    } else {
        write_plain(row, prev, 0, n, bpp, best, out + 1);
    }
    return best;
}
