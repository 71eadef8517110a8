// meta.h: readers of the metadata that JPEG and PNG files carry beside their pixels: EXIF
// orientation and resolution, JFIF and pHYs density, and embedded ICC profiles.
//
// The readers never fail a conversion: whatever is missing, out of range or broken reads
// as "none", and the image is then placed as if the file said nothing.
#ifndef FOLIAN_META_H
#define FOLIAN_META_H

#include <cstddef>
#include <cstdint>

#include "geometry.h"

// ---- What the readers report ---------------------------------------------------------
constexpr double META_MIN_DPI = GEO_MIN_DPI;  // resolutions outside geo_dpi_ok are ignored
constexpr double META_MAX_DPI = GEO_MAX_DPI;
constexpr uint64_t META_MAX_ICC = 16u << 20;  // larger profiles are dropped

// Resolution in dots per inch, horizontal and vertical kept apart; `known` is false when
// the file gives none (or only an aspect ratio, or a value out of range).
struct MetaDpi {
    bool known;
    double x, y;
};

struct ImageMeta {
    int orientation;      // EXIF Orientation 1 to 8; 0 when absent, invalid or unreadable
    MetaDpi dpi;
    uint8_t *icc;         // a checked ICC profile (mem_malloc'ed, owned), or null
    uint64_t icc_len;
    int icc_components;   // 1 GRAY, 3 RGB, 4 CMYK; 0 without a profile
    bool no_memory;       // a profile was there but memory ran out before it was kept
};

// Clears every field; call before a reader.
void meta_init(ImageMeta *m);
// Frees the profile and clears the record.
void meta_release(ImageMeta *m);
// Keeps `icc` (a mem_malloc'ed candidate of `len` bytes, or null) as the record's profile
// when it passes icc_check and matches `components` (0 matches any); frees it otherwise.
void meta_take_icc(ImageMeta *m, uint8_t *icc, uint64_t len, int components);

// Fill `m` from a whole JPEG or PNG file in memory. `options` says what to read
// (FOLIAN_OPT_ORIENTATION, FOLIAN_OPT_FILE_DPI, FOLIAN_OPT_ICC); the rest stays "none".
// A profile is kept only when its component count equals `components` (the count of the
// image as it will be written); components 0 keeps any well-formed profile. Only a
// profile allocation can run out of memory, and then the profile is left out and
// `no_memory` set, so that a caller can report it rather than write a different page.
void jpeg_read_meta(const uint8_t *data, uint64_t len, unsigned options, int components, ImageMeta *m);
void png_read_meta(const uint8_t *data, uint64_t len, unsigned options, int components, ImageMeta *m);

// ---- EXIF ------------------------------------------------------------------------------
struct ExifInfo {
    int orientation;  // 1 to 8, or 0
    MetaDpi dpi;
};
// Reads IFD0 of a TIFF structure (the bytes after "Exif\0\0" in JPEG APP1, or a PNG eXIf
// chunk), either byte order. Only IFD0 is looked at: IFD1 describes the thumbnail.
ExifInfo exif_read(const uint8_t *tiff, uint64_t len);

// ---- Resolution helpers ----------------------------------------------------------------
// A pair of densities in `unit` (1 dots per inch, 2 dots per centimetre, 3 dots per metre;
// anything else is no unit) as checked dots per inch.
enum MetaUnit { META_UNIT_NONE = 0, META_UNIT_INCH = 1, META_UNIT_CM = 2, META_UNIT_METRE = 3 };
MetaDpi meta_dpi_from_rational(uint64_t x_num, uint64_t x_den, uint64_t y_num, uint64_t y_den, MetaUnit unit);

// ---- ICC profiles ----------------------------------------------------------------------
// Component count of a well-formed profile (1, 3 or 4), or 0: the header's size field
// must equal `len`, 'acsp' must sit at offset 36, the colour space must be GRAY, RGB or
// CMYK, and the class one that may describe an image (not a device link, abstract or
// named-colour profile). Its tag table must fit the profile with every tag's data inside
// it, and the tags that turn the image's values into colours (a device-to-connection
// table, or the grey curve, or the three colorants and curves of RGB) must be present
// and of their types.
int icc_check(const uint8_t *p, uint64_t len);

// One APPn segment: its marker (0xE0 to 0xEF) and the payload after the length field.
struct JpegSegment {
    uint8_t marker;
    const uint8_t *data;
    uint32_t len;
};
// The APPn segments before the first scan, in file order; at most `max` are stored and
// their count returned. A broken marker structure ends the list where it breaks.
uint32_t jpeg_find_app_segments(const uint8_t *data, uint64_t len, JpegSegment *out, uint32_t max);

// Joins the APP2 "ICC_PROFILE" chunks among `segs` in sequence order into a new
// mem_malloc'ed buffer. Null when there are none, or when a chunk is missing, repeated
// or disagrees on the count, or memory runs out (then *no_memory is set).
uint8_t *icc_join_jpeg_chunks(const JpegSegment *segs, uint32_t count, uint64_t *len, bool *no_memory);
// Inflates the zlib stream of a PNG iCCP chunk's profile (after name and method) into a
// new mem_malloc'ed buffer of at most META_MAX_ICC bytes, its Adler-32 checked. Null on
// any fault; *no_memory is set when the fault is memory running out.
uint8_t *icc_inflate_zlib(const uint8_t *z, uint64_t len, uint64_t *out_len, bool *no_memory);

#endif
