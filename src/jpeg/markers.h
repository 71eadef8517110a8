// markers.h: the one walk over a JPEG stream's marker segments, shared by the probe, the
// decoders, the writer's Adobe check and the metadata readers.
//
// A marker is 0xFF, any number of 0xFF fill bytes, and a code. The restart markers,
// start- and end-of-image and TEM (0x01) stand alone; 0x00 is no marker (a stuffed byte)
// and is reported as a standalone code so that the caller decides; every other code is
// followed by a big-endian length that counts itself and the payload.
#ifndef FOLIAN_JPEG_MARKERS_H
#define FOLIAN_JPEG_MARKERS_H

#include <cstddef>
#include <cstdint>

enum jpg_marker_status {
    JPG_MARKER_OK,
    JPG_MARKER_NOT_FF,       // the byte where a marker must start is not 0xFF
    JPG_MARKER_NO_CODE,      // the 0xFF run reaches the end of the data
    JPG_MARKER_NO_LENGTH,    // no room for the two length bytes
    JPG_MARKER_BAD_LENGTH,   // a length of 0 or 1 (the record is filled in all the same)
    JPG_MARKER_TRUNCATED,    // the segment runs past the end of the data
};

struct jpg_marker {
    uint8_t code;
    uint64_t at;            // offset of the 0xFF just before the code (the last of a fill run)
    bool has_length;        // false for standalone codes and 0x00
    uint32_t length;        // the length field (has_length only)
    const uint8_t *payload; // the length - 2 bytes after the length field (has_length only)
    uint32_t payload_len;
    uint64_t next;          // offset just after the marker or its segment
};

// Reads the marker that starts at offset p of d[0..n).
jpg_marker_status jpg_read_marker(const uint8_t *d, uint64_t n, uint64_t p, jpg_marker *m);

// From offset *pos (2 for a whole file: just past SOI), finds the next segment of code
// `code` whose payload begins with the `sig_len` bytes of `sig`, among the segments in
// front of the first scan. The walk stops at a scan header, an end-of-image marker or
// anything malformed. On success fills *m and sets *pos to m->next, so that calling again
// finds the following one (ICC profiles come in several APP2 chunks).
bool jpg_find_segment(const uint8_t *d, uint64_t n, uint64_t *pos, uint8_t code, const void *sig, size_t sig_len,
                      jpg_marker *m);

// The one rule for an Adobe APP14 payload, as libjpeg reads it: at least 12 bytes
// beginning "Adobe", the colour transform in byte 11. A shorter segment is no Adobe
// segment at all, for the decoder's colour choice and the writer's inverted CMYK alike.
constexpr uint32_t JPG_ADOBE_LEN = 12;
bool jpg_adobe_payload(const uint8_t *payload, uint32_t n, int32_t *transform);

#endif
