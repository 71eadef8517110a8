// probe.cpp: the JPEG whole-file reader and the header probe that finds a frame's size
// and component count without decoding.
//
// The probe walks marker segments from offset 2 and stops at the first baseline (C0)
// or progressive (C2) frame header; every other segment, other frame types included,
// is passed over by its length.
#include <cstdlib>
#include <cstring>

#include "bytes.h"
#include "file_io.h"
#include "folian.h"
#include "jpeg/jpeg.h"

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
    if (n < 6) return false;
    uint32_t width = 0, height = 0, comps = 0;
    uint64_t p = 2;  // the first two bytes (normally SOI) are not examined
    for (;;) {
        if (d[p] != 0xFF) return false;
        while (p + 1 < n && d[p + 1] == 0xFF) p++;  // fill bytes before the marker code
        if (p + 1 >= n) return false;
        uint8_t m = d[p + 1];
        comps = 0;
        uint64_t next;
        bool frame_done = false;
        if ((m >= 0xD0 && m <= 0xD9) || m == 0x01) {
            next = p + 2;
        } else if (m == 0x00) {
            next = p + 1;  // holds 0x00, so the next pass fails
        } else {
            if (p + 4 > n) return false;
            uint32_t seg_len = load_be16(d + p + 2);
            next = p + 2 + seg_len;
            if (next > n) return false;
            if ((m == 0xC0 || m == 0xC2) && seg_len > 8) {
                height = load_be16(d + p + 5);
                width = load_be16(d + p + 7);
                comps = d[p + 9];
                frame_done = comps != 0;
            }
        }
        if (frame_done || next + 4 > n) break;
        p = next;
    }
    if (width == 0 || height == 0 || comps < 1 || comps > 4) return false;
    if (width_out) *width_out = (int)width;
    if (height_out) *height_out = (int)height;
    if (components_out) *components_out = (int)comps;
    return true;
}

bool jpeg_has_adobe_segment(const uint8_t *d, uint64_t n) {
    uint64_t p = 2;
    while (p + 4 <= n) {
        if (d[p] != 0xFF) return false;
        uint8_t m = d[p + 1];
        if (m == 0xFF) {  // fill byte
            p++;
            continue;
        }
        if ((m >= 0xD0 && m <= 0xD8) || m == 0x01) {
            p += 2;
            continue;
        }
        if (m == 0xDA || m == 0xD9) return false;  // the scan (or the end) comes first
        uint32_t seg_len = load_be16(d + p + 2);
        if (seg_len < 2 || p + 2 + seg_len > n) return false;
        if (m == 0xEE && seg_len >= 2 + 5 && std::memcmp(d + p + 4, "Adobe", 5) == 0) return true;
        p += 2 + seg_len;
    }
    return false;
}

extern "C" FOLIAN_API int kv_jpeg_info(const char *path, int *width, int *height, int *components) noexcept {
    jpg_buf buf = {nullptr, 0};
    if (!jpg_read_file(path, &buf)) return 0;
    bool ok = jpeg_probe_memory(buf.data, buf.len, width, height, components);
    std::free(buf.data);
    return ok ? 1 : 0;
}
