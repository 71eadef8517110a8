// libpng_ref.h: libpng as the oracle for the PNG decoder, under our decoder's rules, for
// the tests and the benchmark (not part of the library). Header-only, so that only the
// targets that include it need libpng at link time.
#ifndef FOLIAN_LIBPNG_REF_H
#define FOLIAN_LIBPNG_REF_H

#include <png.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace libpng_ref_detail {

struct Reader {
    const uint8_t *data;
    size_t len, pos;
    std::string error;
};

inline void read_fn(png_structp png, png_bytep out, size_t n) {
    Reader *r = (Reader *)png_get_io_ptr(png);
    if (r->len - r->pos < n) png_error(png, "read past the end of the data");
    std::memcpy(out, r->data + r->pos, n);
    r->pos += n;
}

inline void error_fn(png_structp png, png_const_charp msg) {
    Reader *r = (Reader *)png_get_error_ptr(png);
    r->error = msg;
    png_longjmp(png, 1);
}

inline void warning_fn(png_structp, png_const_charp) {}

// `want(size)` returns the buffer to fill once the size is known, or null to give up.
template <typename Want>
inline bool decode(const uint8_t *data, size_t len, int *width, int *height, std::string *error, Want want) {
    Reader r{data, len, 0, {}};
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &r, error_fn, warning_fn);
    if (!png) return false;
    png_infop info = png_create_info_struct(png);
    png_bytep *volatile rows = nullptr;
    if (!info || setjmp(png_jmpbuf(png))) {
        delete[] rows;
        png_destroy_read_struct(&png, &info, nullptr);
        if (error) *error = r.error;
        return false;
    }
    png_set_crc_action(png, PNG_CRC_QUIET_USE, PNG_CRC_QUIET_USE);
    png_set_read_fn(png, &r, read_fn);
    png_read_info(png, info);
    png_uint_32 w, h;
    int depth, color, interlace;
    png_get_IHDR(png, info, &w, &h, &depth, &color, &interlace, nullptr, nullptr);
    const bool trns = png_get_valid(png, info, PNG_INFO_tRNS) != 0;
    if (color == PNG_COLOR_TYPE_PALETTE) {
        png_set_palette_to_rgb(png);
        if (trns) png_set_tRNS_to_alpha(png);
    }
    if (color == PNG_COLOR_TYPE_GRAY) {
        if (depth < 8) png_set_expand_gray_1_2_4_to_8(png);
        if (depth <= 8 && trns) png_set_tRNS_to_alpha(png);
    }
    if (depth == 16) png_set_strip_16(png);
    if (color == PNG_COLOR_TYPE_GRAY || color == PNG_COLOR_TYPE_GRAY_ALPHA) png_set_gray_to_rgb(png);
    png_set_filler(png, 0xFF, PNG_FILLER_AFTER);
    if (interlace != PNG_INTERLACE_NONE) png_set_interlace_handling(png);
    png_read_update_info(png, info);
    if (png_get_rowbytes(png, info) != (size_t)w * 4) png_error(png, "rows are not 4 bytes per pixel");
    uint8_t *out = want((size_t)w * h * 4);
    if (!out) png_error(png, "no buffer");
    rows = new png_bytep[h];
    for (png_uint_32 y = 0; y < h; y++) rows[y] = out + (size_t)y * w * 4;
    png_read_image(png, rows);
    delete[] rows;
    png_destroy_read_struct(&png, &info, nullptr);
    *width = (int)w;
    *height = (int)h;
    return true;
}

}  // namespace libpng_ref_detail

// Decodes a PNG held in memory to 8-bit RGBA with libpng, set up to follow our decoder:
// palette and grey below 8 bits expanded, 16-bit samples reduced to their high byte
// (png_set_strip_16, not rounded), tRNS applied only to palette images and to grey
// images of depth 8 or less, alpha 255 elsewhere, grey copied to red, green and blue.
// Chunk CRCs are not checked (our decoder never checks them). Returns false with libpng's
// message in *error when libpng fails. *rgba receives width*height*4 bytes.
inline bool libpng_decode_rgba(const uint8_t *data, size_t len, std::vector<uint8_t> *rgba, int *width,
                               int *height, std::string *error) {
    return libpng_ref_detail::decode(data, len, width, height, error, [&](size_t n) {
        rgba->assign(n, 0);
        return rgba->data();
    });
}

// The same decode into a caller-sized buffer (at least width*height*4 bytes), with no
// vector: for timing libpng without extra copies.
inline bool libpng_decode_rgba_into(const uint8_t *data, size_t len, uint8_t *rgba, size_t capacity, int *width,
                                    int *height) {
    return libpng_ref_detail::decode(data, len, width, height, nullptr,
                                     [&](size_t n) { return n <= capacity ? rgba : nullptr; });
}

#endif
