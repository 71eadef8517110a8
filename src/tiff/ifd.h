// ifd.h: the TIFF file structure as the decoder's units share it: the header, one image
// file directory with the tags the decoder reads, and the walk from page to IFD.
//
// Nothing here allocates: array tags (strip offsets, byte counts, the colour map) stay in
// the file and are read one value at a time, after their whole extent was checked.
#ifndef FOLIAN_TIFF_IFD_H
#define FOLIAN_TIFF_IFD_H

#include <cstdint>

// ---- Tags the decoder reads ---------------------------------------------------------------
enum TiffTagId : uint16_t {
    TAG_NEW_SUBFILE_TYPE = 254,
    TAG_SUBFILE_TYPE = 255,
    TAG_IMAGE_WIDTH = 256,
    TAG_IMAGE_LENGTH = 257,
    TAG_BITS_PER_SAMPLE = 258,
    TAG_COMPRESSION = 259,
    TAG_PHOTOMETRIC = 262,
    TAG_FILL_ORDER = 266,
    TAG_STRIP_OFFSETS = 273,
    TAG_ORIENTATION = 274,
    TAG_SAMPLES_PER_PIXEL = 277,
    TAG_ROWS_PER_STRIP = 278,
    TAG_STRIP_BYTE_COUNTS = 279,
    TAG_X_RESOLUTION = 282,
    TAG_Y_RESOLUTION = 283,
    TAG_PLANAR_CONFIG = 284,
    TAG_T4_OPTIONS = 292,
    TAG_T6_OPTIONS = 293,
    TAG_RESOLUTION_UNIT = 296,
    TAG_PREDICTOR = 317,
    TAG_COLOR_MAP = 320,
    TAG_TILE_WIDTH = 322,
    TAG_TILE_LENGTH = 323,
    TAG_TILE_OFFSETS = 324,
    TAG_TILE_BYTE_COUNTS = 325,
    TAG_INK_SET = 332,
    TAG_EXTRA_SAMPLES = 338,
    TAG_SAMPLE_FORMAT = 339,
    TAG_JPEG_TABLES = 347,
    TAG_ICC_PROFILE = 34675,
};

// Values of the tags above that the decoder tells apart.
enum TiffCompression {
    COMP_NONE = 1,
    COMP_CCITT_RLE = 2,  // Modified Huffman rows, each starting on a byte boundary, no EOL
    COMP_CCITT_T4 = 3,
    COMP_CCITT_T6 = 4,
    COMP_LZW = 5,
    COMP_OLD_JPEG = 6,
    COMP_JPEG = 7,
    COMP_DEFLATE = 8,
    COMP_PACKBITS = 32773,
    COMP_DEFLATE_OLD = 32946,
};
enum TiffPhotometric {
    PHOTO_WHITE_IS_ZERO = 0,
    PHOTO_BLACK_IS_ZERO = 1,
    PHOTO_RGB = 2,
    PHOTO_PALETTE = 3,
    PHOTO_SEPARATED = 5,
    PHOTO_YCBCR = 6,
};
constexpr uint32_t T4_2D = 0x1, T4_UNCOMPRESSED = 0x2, T4_FILL = 0x4;
constexpr uint32_t T6_UNCOMPRESSED = 0x2;
constexpr uint32_t EXTRA_ASSOCIATED = 1, EXTRA_UNASSOCIATED = 2;

// ---- The file ----------------------------------------------------------------------------
struct TiffFile {
    const uint8_t *data;
    uint64_t len;
    bool big_endian;  // "MM" byte order
    bool big;         // BigTIFF: 8-byte offsets and counts, 20-byte entries
    uint64_t first_ifd;
};

// One tag's values, their whole extent checked to lie inside the file.
enum TiffFieldState : uint8_t { FIELD_ABSENT = 0, FIELD_OK, FIELD_OUTSIDE };
struct TiffField {
    TiffFieldState state;
    uint16_t type;
    uint64_t count;
    uint64_t pos;  // file offset of the first value
};

// The tags of one directory; scalar tags hold their default when absent.
struct TiffIfd {
    uint64_t offset;
    uint64_t width, height;
    uint64_t new_subfile_type, subfile_type;
    uint64_t compression, photometric, fill_order, samples, rows_per_strip, planar;
    uint64_t t4_options, t6_options, predictor, orientation, resolution_unit, ink_set;
    uint64_t tile_width, tile_length;
    bool has_photometric, has_width, has_height;
    TiffField bits, sample_format, extra_samples, color_map, jpeg_tables, icc;
    TiffField strip_offsets, strip_counts, tile_offsets, tile_counts;
    TiffField x_resolution, y_resolution;
};

// Reads the 8-byte (16 for BigTIFF) header. Returns a failure text or null.
const char *tiff_open(const uint8_t *data, uint64_t len, TiffFile *f);
// Reads the directory at `offset` and the offset of the next one (0 at the chain's end).
const char *tiff_read_ifd(const TiffFile &f, uint64_t offset, TiffIfd *ifd, uint64_t *next);
// True for a directory that is a page (not a reduced-resolution image).
bool tiff_ifd_is_page(const TiffIfd &ifd);
// The directory of page `index` (0-based); TIFF_ERR_NO_PAGE past the last one.
const char *tiff_find_page(const TiffFile &f, int index, TiffIfd *ifd);

// Value i (below field.count) of an integer field (BYTE, SHORT, LONG, LONG8, IFD, and the
// signed kinds read as their bits); 0 for other types.
uint64_t tiff_field_u(const TiffFile &f, const TiffField &field, uint64_t i);
// The two halves of RATIONAL value i.
void tiff_field_rational(const TiffFile &f, const TiffField &field, uint64_t i, uint64_t *num, uint64_t *den);
// File order loads.
uint32_t tiff_u16(const TiffFile &f, const uint8_t *p);
uint32_t tiff_u32(const TiffFile &f, const uint8_t *p);
uint64_t tiff_u64(const TiffFile &f, const uint8_t *p);

#endif
