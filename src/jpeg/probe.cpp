// probe.cpp: the JPEG whole-file reader and the header probe that finds a frame's size
// and component count without decoding.
//
// The probe walks marker segments from offset 2 and stops at the first baseline (C0)
// or progressive (C2) frame header (and, when the caller asks, at an 8-bit extended-
// sequential C1 one); every other segment, other frame types included, is passed over
// by its length.
#include <cstdlib>
#include <cstring>

#include "bytes.h"
#include "file_io.h"
#include "folian.h"
#include "jpeg/jpeg.h"
#include "jpeg/markers.h"

int jpg_read_file(const char *path, jpg_buf *buf) {
    uint8_t *data;
    uint64_t len;
    if (file_read_whole(path, UINT64_MAX, &data, &len) != FILE_READ_OK) return 0;
    if (len < 2) {
        std::free(data);
        return 0;
    }
    buf->data = data;
    buf->len = len;
    return 1;
}

bool jpeg_probe_memory(const uint8_t *d, uint64_t n, int *width_out, int *height_out,
                       int *components_out) {
    return jpeg_probe_frames(d, n, false, width_out, height_out, components_out);
}

namespace {

// Frame headers the probe reports. An extended-sequential frame (C1) is the baseline
// process with more tables and finer quantisation; any reader of baseline JPEG data shows
// it, but only with 8-bit samples (PDF's DCT filter knows no 12-bit ones).
constexpr uint32_t FRAME_PRECISION_AT = 4;
bool reported_frame(const uint8_t *d, const jpg_marker &m, bool extended) {
    if (m.length <= 8) return false;
    if (m.code == 0xC0 || m.code == 0xC2) return true;
    return extended && m.code == 0xC1 && d[m.at + FRAME_PRECISION_AT] == 8;
}

}  // namespace

bool jpeg_probe_frames(const uint8_t *d, uint64_t n, bool extended, int *width_out, int *height_out,
                       int *components_out) {
    if (n < 6) return false;
    uint32_t width = 0, height = 0, comps = 0;
    uint64_t p = 2;  // the first two bytes (normally SOI) are not examined
    for (;;) {
        jpg_marker m;
        const jpg_marker_status st = jpg_read_marker(d, n, p, &m);
        // A length of 0 or 1 is not refused here: the walk goes on from where it points.
        if (st != JPG_MARKER_OK && st != JPG_MARKER_BAD_LENGTH) return false;
        comps = 0;
        bool frame_done = false;
        if (reported_frame(d, m, extended)) {
            height = load_be16(d + m.at + 5);
            width = load_be16(d + m.at + 7);
            comps = d[m.at + 9];
            frame_done = comps != 0;
        }
        if (frame_done || m.next + 4 > n) break;
        p = m.next;
    }
    if (width == 0 || height == 0 || comps < 1 || comps > 4) return false;
    if (width_out) *width_out = (int)width;
    if (height_out) *height_out = (int)height;
    if (components_out) *components_out = (int)comps;
    return true;
}

bool jpeg_has_adobe_segment(const uint8_t *d, uint64_t n) {
    uint64_t pos = 2;
    jpg_marker m;
    // The decoder passes over a short segment and reads a later one; so does this.
    while (jpg_find_segment(d, n, &pos, 0xEE, "Adobe", 5, &m))
        if (jpg_adobe_payload(m.payload, m.payload_len, nullptr)) return true;
    return false;
}

extern "C" FOLIAN_API int kv_jpeg_info(const char *path, int *width, int *height, int *components) noexcept {
    jpg_buf buf = {nullptr, 0};
    if (!jpg_read_file(path, &buf)) return 0;
    bool ok = jpeg_probe_memory(buf.data, buf.len, width, height, components);
    std::free(buf.data);
    return ok ? 1 : 0;
}
