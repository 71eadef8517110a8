// listing.cpp: the directory filter, case-insensitive name order and natural order.
//
// Entries are gathered as separate texts, sorted, then packed into one block with their
// pointer array, so a host releases a listing with one free whatever its length.
#include "listing.h"

#include <cstdlib>
#include <cstring>

#include "formats.h"
#include "mem.h"
#include "os_path.h"

namespace {

unsigned fold(unsigned char c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; }

int folded_cmp(const char *a, const char *b) {
    const unsigned char *x = (const unsigned char *)a, *y = (const unsigned char *)b;
    for (;; x++, y++) {
        unsigned cx = fold(*x), cy = fold(*y);
        if (cx != cy || cx == 0) return (int)cx - (int)cy;
    }
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Digit runs compare by value: leading zeros skipped, then the longer run is the larger
// number, then digit by digit. "007" and "7" are equal here and left to the tie-breaks:
// case-insensitive order, then bytes, so the order is total.
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

int qsort_folded(const void *a, const void *b) {
    return folded_cmp(*(const char *const *)a, *(const char *const *)b);
}
int qsort_natural(const void *a, const void *b) {
    return natural_cmp(*(const char *const *)a, *(const char *const *)b);
}

struct PathList {
    char **items;
    int count, cap;
};

void free_paths(PathList *list) {
    for (int i = 0; i < list->count; i++) std::free(list->items[i]);
    std::free(list->items);
    *list = PathList{};
}

// "dir/name", allocated whole: a cut path could name another file, which would then be
// converted in the entry's place.
char *join_path(const char *dir, const char *name) {
    size_t dir_len = std::strlen(dir), name_len = std::strlen(name);
    char *joined = (char *)mem_malloc(dir_len + 1 + name_len + 1);
    if (!joined) return nullptr;
    std::memcpy(joined, dir, dir_len);
    joined[dir_len] = '/';
    std::memcpy(joined + dir_len + 1, name, name_len + 1);
    return joined;
}

bool add_path(PathList *list, char *path) {
    if (list->count == list->cap) {
        int cap = list->cap ? list->cap * 2 : 32;
        char **grown = (char **)mem_realloc(list->items, (size_t)cap * sizeof(char *));
        if (!grown) return false;
        list->items = grown;
        list->cap = cap;
    }
    list->items[list->count++] = path;
    return true;
}

// A subdirectory or device named like an image is no page; a link to a file is.
ListingStatus collect(const char *dir, bool all_formats, PathList *list) {
    OsDir *d = os_dir_open(dir);
    if (!d) return LISTING_CANNOT_OPEN;
    ListingStatus st = LISTING_OK;
    while (const char *name = os_dir_next(d)) {
        if (name[0] == '.' || !listing_is_image_path(name, all_formats)) continue;
        char *path = join_path(dir, name);
        if (!path) {
            st = LISTING_NO_MEMORY;
            break;
        }
        if (!os_dir_entry_is_file(d, path, name)) {
            std::free(path);
            continue;
        }
        if (!add_path(list, path)) {
            std::free(path);
            st = LISTING_NO_MEMORY;
            break;
        }
    }
    os_dir_close(d);
    return st;
}

// The pointer array followed by the texts, in one block.
char **pack(const PathList *list) {
    size_t bytes = (size_t)list->count * sizeof(char *);
    for (int i = 0; i < list->count; i++) bytes += std::strlen(list->items[i]) + 1;
    char **out = (char **)mem_malloc(bytes);
    if (!out) return nullptr;
    char *text = (char *)(out + list->count);
    for (int i = 0; i < list->count; i++) {
        const size_t n = std::strlen(list->items[i]) + 1;
        std::memcpy(text, list->items[i], n);
        out[i] = text;
        text += n;
    }
    return out;
}

}  // namespace

bool listing_is_image_path(const char *path, bool all_formats) {
    return format_by_name(path, all_formats ? FORMATS_ALL : FORMATS_CLASSIC) != nullptr;
}

ListingStatus listing_collect(const char *dir, bool natural, bool all_formats, char ***paths, int *count) {
    *paths = nullptr;
    *count = 0;
    PathList list = {};
    ListingStatus st = collect(dir, all_formats, &list);
    if (st == LISTING_OK && list.count) {
        // The joined paths share the directory prefix, so in effect the names are compared.
        std::qsort(list.items, (size_t)list.count, sizeof(char *), natural ? qsort_natural : qsort_folded);
        *paths = pack(&list);
        if (*paths)
            *count = list.count;
        else
            st = LISTING_NO_MEMORY;
    }
    free_paths(&list);
    return st;
}
