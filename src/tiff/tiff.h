// tiff.h: internal interface of the TIFF decoder: the signature test, the page count, and
// one page decoded to RGBA together with what a writer needs to keep it small (grey,
// bilevel) or to carry its compressed data unchanged (CCITT fax and JPEG strips).
#ifndef FOLIAN_TIFF_H
#define FOLIAN_TIFF_H

#include <cstdint>

#include "meta/meta.h"

// ---- Per-call flags of tiff_decode_page ------------------------------------------------------
// When the page can be passed through (pass != TIFF_PASS_NONE), leave `pixels` null and
// skip decoding the samples; the facts and the passthrough description are still filled.
constexpr unsigned TIFF_DECODE_PASS_ONLY = 0x01u;
// Never describe a passthrough (pass stays TIFF_PASS_NONE, no merged copy is made).
constexpr unsigned TIFF_DECODE_NO_PASS = 0x02u;
// Only the header facts (sizes, layout, grey/bilevel/alpha, metadata): no pixels, no
// passthrough. Every tag is still checked, so a page that would fail to decode for its
// layout fails here too; damaged compressed data is found only by a full decode.
constexpr unsigned TIFF_DECODE_INFO_ONLY = 0x04u;

// ---- Passthrough -----------------------------------------------------------------------------
enum TiffPass {
    TIFF_PASS_NONE = 0,
    TIFF_PASS_CCITT = 1,  // pass_data is the page's fax data, described by `ccitt`
    TIFF_PASS_JPEG = 2,   // pass_data is one complete JPEG stream (SOI to EOI)
};

// Parameters of a CCITT fax stream as a PDF /CCITTFaxDecode filter takes them. The data
// is in most-significant-bit-first order whatever the file's FillOrder (a reversed copy
// is made when needed).
struct TiffCcitt {
    int k;                    // -1 two-dimensional (Group 4), 0 one-dimensional; positive: mixed
                              // 1-D/2-D rows (Group 3 2-D), the row count, so any mix is allowed
    int columns, rows;        // the page's width and height
    bool black_is_1;          // true when a 1 bit is black (PhotometricInterpretation 1)
    bool encoded_byte_align;  // every coded row starts on a byte boundary
};

// ---- One decoded page ----------------------------------------------------------------------
struct TiffPage {
    int width, height;  // pixels as stored (before any orientation), each at least 1
    // width*height*4 bytes R,G,B,A, rows top to bottom, as the library's other decoders
    // give them (malloc'ed; tiff_page_free releases it, or take it and clear the field).
    // Null with TIFF_DECODE_INFO_ONLY, or with TIFF_DECODE_PASS_ONLY when pass is set.
    uint8_t *pixels;

    // Facts from the page's tags (never from scanning the pixels):
    bool grey;      // every pixel has R = G = B (grey photometric, or a palette of greys)
    bool bilevel;   // grey, and every value is 0 or 255 (1-bit grey, or a 1-bit black/white palette)
    bool has_alpha; // an alpha channel was present (associated alpha is un-premultiplied)
    int bits_per_sample;   // as stored: 1, 2, 4, 8 or 16
    int samples_per_pixel; // as stored, extra samples included
    int photometric;       // the PhotometricInterpretation value
    int compression;       // the Compression value

    // Metadata of the page's IFD, read by the rules of meta.h:
    int orientation;        // Orientation (274) 1 to 8; 0 when absent or invalid
    MetaDpi dpi;            // X/YResolution with ResolutionUnit (1 to 10000 dpi, else unknown)
    const uint8_t *icc;     // the InterColorProfile (34675) bytes inside the caller's buffer
    uint64_t icc_len;       // when well-formed by icc_check, else null and 0

    // Passthrough, when the compressed data can go into a PDF unchanged:
    TiffPass pass;
    uint8_t *pass_data;     // malloc'ed, owned by the page (tiff_page_free), null without pass
    uint64_t pass_len;
    TiffCcitt ccitt;        // with TIFF_PASS_CCITT
    int jpeg_components;    // with TIFF_PASS_JPEG: 1 grey, 3 colour; a PDF DCT decoder gives
                            // the same colours as the pixels (an Adobe segment is added to an
                            // RGB stream so that no colour transform is applied)
};

// ---- Entry points ----------------------------------------------------------------------------
// True when the bytes start with a TIFF or BigTIFF header of either byte order.
bool tiff_signature(const uint8_t *data, uint64_t len);

// Number of pages: the IFDs of the main chain in file order, reduced-resolution images
// (NewSubfileType bit 0) left out; SubIFDs are never followed. 0 on failure with *message
// set (a loop, an offset past the end, no page at all); *message = "" on success. A
// message pointer may be null.
int tiff_page_count(const uint8_t *data, uint64_t len, const char **message);

// Decodes page `index` (0-based, counted as tiff_page_count counts) of a whole file held
// in memory. `flags` are TIFF_DECODE_* bits. On success fills *out and returns true with
// *message = ""; on failure returns false, leaves *out cleared (nothing to free) and sets
// *message to one of the texts below. The input is only read and must outlive the page
// (icc points into it). Re-entrant: no state outside the call.
bool tiff_decode_page(const uint8_t *data, uint64_t len, int index, unsigned flags, TiffPage *out,
                      const char **message);

// Releases the page's buffers and clears the record. Null is allowed.
void tiff_page_free(TiffPage *page);

// Fills `m` from page `index` as jpeg_read_meta and png_read_meta do for their files:
// `options` (FOLIAN_OPT_ORIENTATION, FOLIAN_OPT_FILE_DPI, FOLIAN_OPT_ICC) says what to
// read, and a profile is kept (copied) only when its component count equals `components`
// (0 keeps any). A page that cannot be read leaves `m` as "none".
void tiff_read_meta(const uint8_t *data, uint64_t len, int index, unsigned options, int components,
                    ImageMeta *m);

// ---- Failure texts ----------------------------------------------------------------------------
extern const char TIFF_ERR_HEADER[];       // "tiff: not a TIFF file (bad header)"
extern const char TIFF_ERR_OFFSET[];       // "tiff: offset past end of file"
extern const char TIFF_ERR_LOOP[];         // "tiff: IFD loop"
extern const char TIFF_ERR_IFD[];          // "tiff: bad IFD"
extern const char TIFF_ERR_NO_PAGE[];      // "tiff: no such page"
extern const char TIFF_ERR_MISSING_TAG[];  // "tiff: missing required tag"
extern const char TIFF_ERR_TOO_LARGE[];    // "tiff: image too large"
extern const char TIFF_ERR_OLD_JPEG[];     // "tiff: old-style JPEG compression not supported"
extern const char TIFF_ERR_COMPRESSION[];  // "tiff: unsupported compression"
extern const char TIFF_ERR_FLOAT[];        // "tiff: floating point samples not supported"
extern const char TIFF_ERR_SAMPLE_FORMAT[];// "tiff: unsupported sample format"
extern const char TIFF_ERR_JPEG12[];       // "tiff: 12-bit JPEG not supported"
extern const char TIFF_ERR_DEPTH[];        // "tiff: unsupported bit depth"
extern const char TIFF_ERR_PHOTOMETRIC[];  // "tiff: unsupported photometric interpretation"
extern const char TIFF_ERR_YCBCR[];        // "tiff: YCbCr supported only with JPEG compression"
extern const char TIFF_ERR_JPEG_CMYK[];    // "tiff: CMYK JPEG not supported"
extern const char TIFF_ERR_PREDICTOR[];    // "tiff: unsupported predictor"
extern const char TIFF_ERR_LAYOUT[];       // "tiff: bad strip or tile layout"
extern const char TIFF_ERR_PALETTE[];      // "tiff: bad or missing palette"
extern const char TIFF_ERR_TRUNCATED[];    // "tiff: truncated image data"
extern const char TIFF_ERR_PACKBITS[];     // "tiff: corrupt PackBits data"
extern const char TIFF_ERR_LZW[];          // "tiff: corrupt LZW data"
extern const char TIFF_ERR_DEFLATE[];      // "tiff: corrupt Deflate data"
extern const char TIFF_ERR_CCITT[];        // "tiff: corrupt CCITT fax data"
extern const char TIFF_ERR_JPEG[];         // "tiff: corrupt JPEG data"
extern const char TIFF_ERR_MEMORY[];       // "tiff: out of memory"

#endif
