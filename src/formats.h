// formats.h: the one table of input formats: each format's name, file-name extensions,
// content signature, how a conversion loads it and how many pages a file gives.
//
// The name tests, content sniffing, the directory filter, the loader's choice and the
// exported generic decoder all read this table, so a new format is one row plus its codec.
#ifndef FOLIAN_FORMATS_H
#define FOLIAN_FORMATS_H

#include <cstdint>

// How a conversion turns a file of the format into pages.
enum FormatLoader {
    LOADER_PNG,      // decoded; compact pages may carry the file's own image data
    LOADER_JPEG,     // probed and embedded byte for byte
    LOADER_PIXELS,   // decoded to RGBA, page by page
    LOADER_FRAMES,   // frames drawn one after another onto one canvas (GIF)
    LOADER_TIFF,     // page by page; fax and JPEG data passed through where PDF reads them
};

struct FormatRow {
    const char *name;            // "png"
    const char *extensions[4];   // lower case, without the dot; the list ends with a null
    bool classic;                // taken by default; the others need `formats all`
    FormatLoader loader;
    // True when the first bytes are this format's signature.
    bool (*sniff)(const uint8_t *data, uint64_t len);
    // The width and height the header declares, for the limits checked before decoding;
    // null where the loader checks them itself.
    bool (*header_size)(const uint8_t *data, uint64_t len, uint64_t *width, uint64_t *height);
    // The number of pages (frames) a file gives, 0 with *message set when it cannot be
    // told; null for formats of one page a file.
    int (*pages)(const uint8_t *data, uint64_t len, const char **message);
    // Page `frame` to RGBA (malloc'd), for the generic decoder and LOADER_PIXELS; `flags`
    // are KV_DECODE_* bits. Null with *message set on failure.
    uint8_t *(*decode)(const uint8_t *data, uint64_t len, int frame, unsigned flags, int *width, int *height,
                       const char **message);
};

// Which rows a caller takes: the classic ones only, or every row.
enum FormatSet { FORMATS_CLASSIC, FORMATS_ALL };

// The row whose extension the name (last dot of its last path component) carries, or null.
const FormatRow *format_by_name(const char *path, FormatSet set);
// The row whose signature the bytes start with, or null.
const FormatRow *format_by_content(const uint8_t *data, uint64_t len, FormatSet set);
// Pages the file gives: 1 for single-page formats, else the row's count (0 on failure).
int format_pages(const FormatRow *row, const uint8_t *data, uint64_t len, const char **message);

#endif
