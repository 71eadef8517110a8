// formats.cpp: the table of input formats and the lookups over it (see formats.h).
#include "formats.h"

#include <cstring>

#include "bmp/bmp.h"
#include "folian.h"
#include "gif/gif.h"
#include "png/png.h"
#include "tiff/tiff.h"

namespace {

const char ERR_FRAME[] = "folian: frame index out of range";

// ---- Signatures ------------------------------------------------------------------------

bool is_png(const uint8_t *d, uint64_t n) {
    static const uint8_t SIGNATURE[8] = {137, 80, 78, 71, 13, 10, 26, 10};
    return n >= sizeof SIGNATURE && std::memcmp(d, SIGNATURE, sizeof SIGNATURE) == 0;
}

// A start-of-image followed by the first byte of the next marker.
bool is_jpeg(const uint8_t *d, uint64_t n) { return n >= 3 && d[0] == 0xFF && d[1] == 0xD8 && d[2] == 0xFF; }

bool is_gif(const uint8_t *d, uint64_t n) {
    return n >= 6 && (std::memcmp(d, "GIF87a", 6) == 0 || std::memcmp(d, "GIF89a", 6) == 0);
}

// "BM" alone is too common a start for text; the info header's size must be one BMP uses.
bool is_bmp(const uint8_t *d, uint64_t n) {
    if (n < 18 || d[0] != 'B' || d[1] != 'M') return false;
    const uint32_t size = (uint32_t)d[14] | (uint32_t)d[15] << 8 | (uint32_t)d[16] << 16 | (uint32_t)d[17] << 24;
    return size == 12 || size == 16 || size == 40 || size == 52 || size == 56 || size == 64 || size == 108 ||
           size == 124;
}

// ---- Decoders to RGBA ------------------------------------------------------------------

uint8_t *decode_png(const uint8_t *d, uint64_t n, int, unsigned flags, int *w, int *h, const char **msg) {
    return png_decode_memory(d, n, w, h, msg, (flags & KV_DECODE_INTERLACED) ? PNG_DECODE_INTERLACED : 0u);
}

uint8_t *decode_jpeg(const uint8_t *d, uint64_t n, int, unsigned flags, int *w, int *h, const char **msg) {
    return kv_jpeg_decode_ex(d, n, (flags & KV_DECODE_JPEG_ALL) ? KV_JPEG_ALL : 0u, w, h, msg);
}

uint8_t *decode_gif(const uint8_t *d, uint64_t n, int frame, unsigned, int *w, int *h, const char **msg) {
    int frames;
    return gif_decode_memory(d, n, frame, w, h, &frames, msg);
}

uint8_t *decode_bmp(const uint8_t *d, uint64_t n, int, unsigned, int *w, int *h, const char **msg) {
    return bmp_decode_memory(d, n, w, h, msg);
}

uint8_t *decode_tiff(const uint8_t *d, uint64_t n, int frame, unsigned, int *w, int *h, const char **msg) {
    TiffPage page;
    *w = *h = 0;
    if (!tiff_decode_page(d, n, frame, TIFF_DECODE_NO_PASS, &page, msg)) return nullptr;
    uint8_t *px = page.pixels;
    *w = page.width;
    *h = page.height;
    page.pixels = nullptr;
    tiff_page_free(&page);
    return px;
}

// ---- The table -------------------------------------------------------------------------
// Classic rows first: a name or signature is looked up in table order.
const FormatRow FORMATS[] = {
    {"png", {"png", nullptr}, true, LOADER_PNG, is_png, nullptr, nullptr, decode_png},
    {"jpeg", {"jpg", "jpeg", nullptr}, true, LOADER_JPEG, is_jpeg, nullptr, nullptr, decode_jpeg},
    {"gif", {"gif", nullptr}, false, LOADER_FRAMES, is_gif, gif_header_size, gif_count_frames, decode_gif},
    {"bmp", {"bmp", "dib", nullptr}, false, LOADER_PIXELS, is_bmp, bmp_header_size, nullptr, decode_bmp},
    {"tiff", {"tif", "tiff", nullptr}, false, LOADER_TIFF, tiff_signature, nullptr, tiff_page_count, decode_tiff},
};

bool in_set(const FormatRow &row, FormatSet set) { return set == FORMATS_ALL || row.classic; }

bool ext_equals(const char *ext, const char *want) {
    for (; *ext && *want; ext++, want++) {
        char c = *ext;
        if (c >= 'A' && c <= 'Z') c = (char)(c - 'A' + 'a');
        if (c != *want) return false;
    }
    return *ext == *want;
}

}  // namespace

const FormatRow *format_by_name(const char *path, FormatSet set) {
    const char *slash = std::strrchr(path, '/');
    const char *name = slash ? slash + 1 : path;
    const char *dot = std::strrchr(name, '.');
    if (!dot) return nullptr;
    for (const FormatRow &row : FORMATS) {
        if (!in_set(row, set)) continue;
        for (const char *const *e = row.extensions; *e; e++)
            if (ext_equals(dot + 1, *e)) return &row;
    }
    return nullptr;
}

const FormatRow *format_by_content(const uint8_t *data, uint64_t len, FormatSet set) {
    for (const FormatRow &row : FORMATS)
        if (in_set(row, set) && row.sniff(data, len)) return &row;
    return nullptr;
}

int format_pages(const FormatRow *row, const uint8_t *data, uint64_t len, const char **message) {
    *message = "";
    return row->pages ? row->pages(data, len, message) : 1;
}

// ---- The generic decoder -----------------------------------------------------------------

extern "C" FOLIAN_API unsigned char *kv_decode(const unsigned char *data, size_t len, int frame, unsigned flags,
                                               int *width, int *height, int *frames,
                                               const char **message) noexcept {
    int w = 0, h = 0, pages = 0;
    const char *msg = "folian: not a supported image format";
    uint8_t *px = nullptr;
    const FormatRow *row =
        data ? format_by_content(data, len, (flags & KV_DECODE_CLASSIC) ? FORMATS_CLASSIC : FORMATS_ALL) : nullptr;
    if (row) pages = format_pages(row, data, len, &msg);
    if (pages > 0 && (frame < 0 || frame >= pages)) msg = ERR_FRAME;
    else if (pages > 0) px = row->decode(data, len, frame, flags, &w, &h, &msg);
    if (!px) w = h = 0;
    if (width) *width = w;
    if (height) *height = h;
    if (frames) *frames = pages;
    if (message) *message = msg;
    return px;
}
