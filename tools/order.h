// order.h: which entries of a directory become pages, and in which order: the library's own
// filter and case-insensitive name order, or the numbered order people expect.
#ifndef FOLIAN_TOOL_ORDER_H
#define FOLIAN_TOOL_ORDER_H

#include <string>
#include <vector>

// What the library takes from a directory: a name that does not start with '.' and ends in
// ".png", ".jpg" or ".jpeg" in any letter case.
bool is_listed_image(const char *name);

// Sorts "dir/name" paths as the library sorts a directory: bytes compared with ASCII letters
// folded to lower case, by the same qsort on the same listing, so equal names keep the same
// relative order the library gives them.
void sort_library_order(std::vector<std::string> *paths);

// Sorts "dir/name" paths with runs of digits compared as numbers ("2.jpg" before "10.jpg"),
// the rest as the library compares; ties fall back to the library's order, then to bytes.
void sort_natural_order(std::vector<std::string> *paths);

// Negative, zero or positive as a sorts before, with or after b in natural order.
int natural_cmp(const char *a, const char *b);

#endif
