// filter.h: PNG row filters (filter method 0): the Paeth predictor the decoder's unfilter
// shares, and the encoder side: one row filtered with the type that suits it best.
#ifndef FOLIAN_PNG_FILTER_H
#define FOLIAN_PNG_FILTER_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>

// The Paeth predictor of a (left), b (above) and c (above left): whichever of the three is
// nearest to a + b - c, ties going to a, then b.
inline uint8_t png_paeth(int a, int b, int c) {
    const int pa = std::abs(b - c), pb = std::abs(a - c), pc = std::abs(a + b - 2 * c);
    if (pa <= pb && pa <= pc) return (uint8_t)a;
    return (uint8_t)(pb <= pc ? b : c);
}

// Filters one row of n bytes with bpp bytes per pixel (1 to 8; the left neighbour is the
// byte bpp back). `prev` is the unfiltered row above, or null for the first row. Writes
// the filter type byte and then the n filtered bytes to out (n + 1 bytes) and returns the
// type. The type is the one whose filtered bytes, read as signed, have the least sum of
// absolute values, the lowest type on a tie; rows that use it compress well with deflate.
unsigned png_filter_row(const uint8_t *row, const uint8_t *prev, size_t n, unsigned bpp, uint8_t *out);

#endif
