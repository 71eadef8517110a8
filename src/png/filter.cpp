// filter.cpp: PNG row filtering for encoders: a per-row choice among the five filter
// types by the least sum of absolute (signed) filtered values.
//
// One pass counts the cost of all five types; a second writes the chosen one. The first
// bpp bytes of a row have no left neighbour and the first row has no row above; both are
// read as zero, as the decoder assumes.
#include "png/filter.h"

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

}  // namespace

unsigned png_filter_row(const uint8_t *row, const uint8_t *prev, size_t n, unsigned bpp, uint8_t *out) {
    uint64_t cost[5] = {0, 0, 0, 0, 0};
    for (size_t k = 0; k < n; k++) {
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
    unsigned best = 0;
    for (unsigned t = 1; t < 5; t++)
        if (cost[t] < cost[best]) best = t;
    out[0] = (uint8_t)best;
    for (size_t k = 0; k < n; k++) {
        const int a = k >= bpp ? row[k - bpp] : 0;
        const int b = prev ? prev[k] : 0;
        const int c = prev && k >= bpp ? prev[k - bpp] : 0;
        out[k + 1] = (uint8_t)(row[k] - predict(best, a, b, c));
    }
    return best;
}
