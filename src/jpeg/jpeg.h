// jpeg.h: what the JPEG probe, decoder and encoder share: the zig-zag order and the
// whole-file reader record.
#ifndef FOLIAN_JPEG_H
#define FOLIAN_JPEG_H

#include <cstdint>

// Zig-zag order of ITU-T T.81 Figure A.6: ZZ[k] is the natural (row-major) index of
// the k-th coefficient in coding order.
constexpr uint8_t ZZ[64] = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,
    12, 19, 26, 33, 40, 48, 41, 34, 27, 20, 13, 6,  7,  14, 21, 28,
    35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51,
    58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63,
};

// A whole file in memory; `data` is malloc'ed and owned by whoever received it.
struct jpg_buf {
    uint8_t *data;
    uint64_t len;
};

// The largest frame the decoder and the conversion take, in pixels, and what they say
// of a larger one.
constexpr uint64_t JPEG_MAX_PIXELS = 200000000;
inline bool jpeg_too_large(uint64_t width, uint64_t height) { return width * height > JPEG_MAX_PIXELS; }
extern const char JPEG_ERR_TOO_LARGE[];  // "jpeg: image too large"

// Reads a whole file of at least 2 bytes into a cleared `buf`. Returns 1 or 0 (nothing held).
int jpg_read_file(const char *path, jpg_buf *buf);

// The header probe over a file already in memory: the size and component count (1 to 4)
// of the first baseline or progressive frame header. Leaves the outputs untouched on failure;
// a null output is not written.
bool jpeg_probe_memory(const uint8_t *data, uint64_t len, int *width, int *height, int *components);
// The same, reporting also an extended-sequential (0xC1) frame of 8-bit samples when
// `extended` is set; with it clear, this is jpeg_probe_memory.
bool jpeg_probe_frames(const uint8_t *data, uint64_t len, bool extended, int *width, int *height,
                       int *components);

// True when the stream carries an Adobe application segment (APP14 beginning "Adobe")
// before its first scan: such files store CMYK inverted.
bool jpeg_has_adobe_segment(const uint8_t *data, uint64_t len);

#endif
