// meta.cpp: the metadata record's life: initialised, released, and given a checked profile.
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
