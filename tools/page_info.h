// page_info.h: the verbose line's account of one page: the image's size and format, read
// from the file's header, and how the conversion embeds it.
#ifndef FOLIAN_TOOL_PAGE_INFO_H
#define FOLIAN_TOOL_PAGE_INFO_H

#include <string>

// "227x149 JPEG colour, embedded unchanged", "64x64 PNG RGBA 8-bit, pixels compressed"; a
// file whose header says nothing known gives "unknown format". `options` are the
// FOLIAN_OPT_* bits the document is converted with.
std::string describe_page(const char *path, unsigned options);

#endif
