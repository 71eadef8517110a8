// filter.h: PNG row filters (filter method 0): the Paeth predictor the decoder's unfilter
// shares, and the encoder side: one row filtered with the type that suits it best.
#ifndef FOLIAN_PNG_FILTER_H
#define FOLIAN_PNG_FILTER_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

// The Paeth predictor of a (left), b (above) and c (above left): whichever of the three is
// nearest to a + b - c, ties going to a, then b.
inline uint8_t png_paeth(int a, int b, int c) {
    const int pa = std::abs(b - c), pb = std::abs(a - c), pc = std::abs(a + b - 2 * c);
    if (pa <= pb && pa <= pc) return (uint8_t)a;
    return (uint8_t)(pb <= pc ? b : c);
}

#ifdef __SSE2__
// Paeth on 16-bit lanes: with p = a + b - c, |p - a| = |b - c|, |p - b| = |a - c| and
// |p - c| = |(b - c) + (a - c)|. The smallest distance picks the predictor, ties going to
// a, then b, as the PNG standard orders them.
inline __m128i png_abs_epi16(__m128i x) {
    const __m128i neg = _mm_sub_epi16(_mm_setzero_si128(), x);
    return _mm_max_epi16(x, neg);
}
inline __m128i png_select_si128(__m128i mask, __m128i yes, __m128i no) {
    return _mm_or_si128(_mm_and_si128(mask, yes), _mm_andnot_si128(mask, no));
}
// The Paeth predictor of left a, above b and upper-left c, each sample in a 16-bit lane.
inline __m128i png_paeth_epi16(__m128i a, __m128i b, __m128i c) {
    const __m128i pa = png_abs_epi16(_mm_sub_epi16(b, c));
    const __m128i pb = png_abs_epi16(_mm_sub_epi16(a, c));
    const __m128i pc = png_abs_epi16(_mm_add_epi16(_mm_sub_epi16(b, c), _mm_sub_epi16(a, c)));
    const __m128i smallest = _mm_min_epi16(pc, _mm_min_epi16(pa, pb));
    return png_select_si128(_mm_cmpeq_epi16(smallest, pa), a, png_select_si128(_mm_cmpeq_epi16(smallest, pb), b, c));
}
#endif

// Filters one row of n bytes with bpp bytes per pixel (1 to 8; the left neighbour is the
// byte bpp back). `prev` is the unfiltered row above, or null for the first row. Writes
// the filter type byte and then the n filtered bytes to out (n + 1 bytes) and returns the
// type. The type is the one whose filtered bytes, read as signed, have the least sum of
// absolute values, the lowest type on a tie; rows that use it compress well with deflate.
unsigned png_filter_row(const uint8_t *row, const uint8_t *prev, size_t n, unsigned bpp, uint8_t *out);

#endif
