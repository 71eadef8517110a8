// codecs.h: the TIFF decoder's decompressors, one strip or tile at a time: PackBits, LZW,
// Deflate, the CCITT fax codings, and the horizontal predictor.
//
// Each fills exactly the `out_len` bytes the caller expects (the chunk's rows) and returns
// null, or a failure text when the data is damaged or ends before the rows are filled.
// Data left over after the last row is ignored, as writers pad strips.
#ifndef FOLIAN_TIFF_CODECS_H
#define FOLIAN_TIFF_CODECS_H

#include <cstddef>
#include <cstdint>

const char *tiff_unpack_packbits(const uint8_t *in, uint64_t in_len, uint8_t *out, uint64_t out_len);
const char *tiff_unpack_lzw(const uint8_t *in, uint64_t in_len, uint8_t *out, uint64_t out_len);
// A zlib stream (header, deflate data; the Adler-32 is not needed to fill the rows). Some
// writers code the last strip with all its nominal rows: up to `capacity` bytes may be
// written, and at least `out_len` must be.
const char *tiff_unpack_deflate(const uint8_t *in, uint64_t in_len, uint8_t *out, uint64_t out_len,
                                uint64_t capacity);

// The fax codings as the Compression tag names them.
enum TiffFaxCoding {
    FAX_MH_ROWS,  // Modified Huffman, every row starting on a byte boundary, no end-of-line codes
    FAX_T4,       // one-dimensional rows, or mixed rows when two_d, each after an end-of-line code
    FAX_T6,       // two-dimensional rows, each coded against the one above
};
struct TiffFax {
    TiffFaxCoding coding;
    bool two_d;      // FAX_T4 only: every row's end-of-line code is followed by a 1-D/2-D tag bit
    uint32_t width;  // pixels per row
    uint32_t rows;
};
// Decodes the rows into `out`: rows of (width + 7) / 8 bytes, the first pixel in the top
// bit, 1 for a pixel the coding calls black. The input is read most significant bit first.
const char *tiff_unpack_fax(const uint8_t *in, uint64_t in_len, const TiffFax &fax, uint8_t *out);

// Undoes horizontal differencing in place: rows of `row_samples` samples, each sample
// adding the one `stride` samples before it; 8-bit bytes or host-order 16-bit values.
void tiff_undo_predictor8(uint8_t *data, uint64_t rows, uint64_t row_samples, uint32_t stride);
void tiff_undo_predictor16(uint16_t *data, uint64_t rows, uint64_t row_samples, uint32_t stride);

// Reverses the bit order of every byte (FillOrder 2 data to the usual order).
void tiff_reverse_bits(uint8_t *data, uint64_t len);

#endif
