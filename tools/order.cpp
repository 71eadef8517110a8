// order.cpp: the directory filter and the two name orders of the tool.
//
// The library order is reproduced, not approximated: the same comparison over the same
// joined paths handed to the same qsort, so a directory converts to the bytes the library's
// own directory conversion writes, even where two names differ only in letter case.
#include "order.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

unsigned fold(unsigned char c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; }

bool ext_is(const char *ext, const char *want) {
    for (; *ext && *want; ext++, want++)
        if (fold((unsigned char)*ext) != (unsigned char)*want) return false;
    return *ext == *want;
}

int folded_cmp(const char *a, const char *b) {
    const unsigned char *x = (const unsigned char *)a, *y = (const unsigned char *)b;
    for (;; x++, y++) {
        unsigned cx = fold(*x), cy = fold(*y);
        if (cx != cy || cx == 0) return (int)cx - (int)cy;
    }
}

int qsort_folded_cmp(const void *a, const void *b) {
    return folded_cmp(*(const char *const *)a, *(const char *const *)b);
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

bool is_listed_image(const char *name) {
    if (name[0] == '.') return false;
    const char *dot = std::strrchr(name, '.');
    return dot && (ext_is(dot + 1, "png") || ext_is(dot + 1, "jpg") || ext_is(dot + 1, "jpeg"));
}

void sort_library_order(std::vector<std::string> *paths) {
    std::vector<const char *> items;
    for (const std::string &p : *paths) items.push_back(p.c_str());
    if (!items.empty()) std::qsort(items.data(), items.size(), sizeof(const char *), qsort_folded_cmp);
    std::vector<std::string> sorted(items.begin(), items.end());
    paths->swap(sorted);
}

// Digit runs compare by value: leading zeros skipped, then the longer run is the larger
// number, then digit by digit. "007" and "7" are equal here and left to the tie-breaks.
int natural_cmp(const char *a, const char *b) {
    const char *x = a, *y = b;
    while (*x && *y) {
        if (is_digit(*x) && is_digit(*y)) {
            while (*x == '0') x++;
            while (*y == '0') y++;
            const char *xs = x, *ys = y;
            while (is_digit(*x)) x++;
            while (is_digit(*y)) y++;
            if (x - xs != y - ys) return x - xs < y - ys ? -1 : 1;
            int c = std::strncmp(xs, ys, (size_t)(x - xs));
            if (c) return c;
            continue;
        }
        unsigned cx = fold((unsigned char)*x), cy = fold((unsigned char)*y);
        if (cx != cy) return (int)cx - (int)cy;
        x++, y++;
    }
    if (*x || *y) return *x ? 1 : -1;
    int c = folded_cmp(a, b);
    return c ? c : std::strcmp(a, b);
}

void sort_natural_order(std::vector<std::string> *paths) {
    std::sort(paths->begin(), paths->end(),
              [](const std::string &a, const std::string &b) { return natural_cmp(a.c_str(), b.c_str()) < 0; });
}
