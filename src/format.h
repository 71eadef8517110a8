// format.h: numbers as they are written into files, the same whatever the host's locale.
//
// printf follows LC_NUMERIC, so a host that switched to a decimal-comma locale would get
// "595,28" inside a document. std::to_chars ignores the locale and rounds the exact binary
// value to nearest, ties to even, as printf's "%.2f" does in the "C" locale (so a tiny
// negative number still prints as "-0.00").
#ifndef FOLIAN_FORMAT_H
#define FOLIAN_FORMAT_H

#include <charconv>

// Room for any finite double with two decimals is far more than the library's page
// geometry needs (at most 12 integer digits); larger values print as "0.00".
struct Fixed2 {
    char text[48];
};

inline Fixed2 fixed2(double v) {
    Fixed2 f;
    std::to_chars_result r = std::to_chars(f.text, f.text + sizeof f.text - 1, v, std::chars_format::fixed, 2);
    if (r.ec != std::errc()) {
        f.text[0] = '0', f.text[1] = '.', f.text[2] = '0', f.text[3] = '0';
        r.ptr = f.text + 4;
    }
    *r.ptr = '\0';
    return f;
}

#endif
