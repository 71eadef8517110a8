// meta.cpp: the metadata record's life, and the placement matrix that draws an image
// upright for each of the eight EXIF orientations.
#include <cstdlib>

#include "meta/meta.h"

void meta_init(ImageMeta *m) { *m = ImageMeta{0, {false, 0, 0}, nullptr, 0, 0, false}; }

void meta_release(ImageMeta *m) {
    std::free(m->icc);
    meta_init(m);
}

void meta_take_icc(ImageMeta *m, uint8_t *icc, uint64_t len, int components) {
    const int n = icc_check(icc, len);
    if (n == 0 || (components != 0 && n != components)) {
        std::free(icc);
        return;
    }
    std::free(m->icc);
    m->icc = icc;
    m->icc_len = len;
    m->icc_components = n;
}

bool orientation_swaps_sides(int orientation) { return orientation >= 5 && orientation <= 8; }

void orientation_matrix(int o, double w, double h, double x, double y, double m[6]) {
    // The image fills the unit square, its first row at the top. With (u, v) the stored
    // picture's position (v downward) and (X, Y) the upright one's, EXIF gives
    //   2: X = 1-u, Y = v   3: X = 1-u, Y = 1-v   4: X = u, Y = 1-v   5: X = v, Y = u
    //   6: X = 1-v, Y = u   7: X = 1-v, Y = 1-u   8: X = v, Y = 1-u
    // and the page point is (x + w X, y + h (1 - Y)) with u = s, v = 1 - t for the unit
    // square's point (s, t); each row below is that map written as a matrix.
    static const double T[9][6] = {
        {1, 0, 0, 1, 0, 0},   // 0: none, as 1
        {1, 0, 0, 1, 0, 0},   // 1: upright
        {-1, 0, 0, 1, 1, 0},  // 2: mirrored left to right
        {-1, 0, 0, -1, 1, 1}, // 3: turned by 180 degrees
        {1, 0, 0, -1, 0, 1},  // 4: mirrored top to bottom
        {0, -1, -1, 0, 1, 1}, // 5: mirrored along the main diagonal
        {0, -1, 1, 0, 0, 1},  // 6: to be turned 90 degrees clockwise
        {0, 1, 1, 0, 0, 0},   // 7: mirrored along the other diagonal
        {0, 1, -1, 0, 1, 0},  // 8: to be turned 90 degrees anticlockwise
    };
    const double *t = T[o >= 1 && o <= 8 ? o : 0];
    // a and b scale the image's x axis, c and d its y axis; e and f the box corner.
    m[0] = t[0] * w;
    m[1] = t[1] * h;
    m[2] = t[2] * w;
    m[3] = t[3] * h;
    m[4] = x + t[4] * w;
    m[5] = y + t[5] * h;
}
