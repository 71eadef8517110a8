// markers.cpp: reading one JPEG marker or marker segment, and finding a given segment
// among those in front of the first scan.
#include "jpeg/markers.h"

#include <cstring>

#include "bytes.h"

jpg_marker_status jpg_read_marker(const uint8_t *d, uint64_t n, uint64_t p, jpg_marker *m) {
    if (p >= n) return JPG_MARKER_NO_CODE;
    if (d[p] != 0xFF) return JPG_MARKER_NOT_FF;
    while (p + 1 < n && d[p + 1] == 0xFF) p++;  // fill bytes before the code
    if (p + 1 >= n) return JPG_MARKER_NO_CODE;
    const uint8_t code = d[p + 1];
    m->code = code;
    m->at = p;
    m->has_length = false;
    m->length = 0;
    m->payload = nullptr;
    m->payload_len = 0;
    if ((code >= 0xD0 && code <= 0xD9) || code == 0x01) {
        m->next = p + 2;
        return JPG_MARKER_OK;
    }
    if (code == 0x00) {  // a stuffed byte, not a marker: the byte after it is 0x00, not 0xFF
        m->next = p + 1;
        return JPG_MARKER_OK;
    }
    if (p + 4 > n) return JPG_MARKER_NO_LENGTH;
    const uint32_t len = load_be16(d + p + 2);
    m->has_length = true;
    m->length = len;
    m->next = p + 2 + len;
    if (len < 2) return JPG_MARKER_BAD_LENGTH;
    if (m->next > n) return JPG_MARKER_TRUNCATED;
    m->payload = d + p + 4;
    m->payload_len = len - 2;
    return JPG_MARKER_OK;
}

bool jpg_find_segment(const uint8_t *d, uint64_t n, uint64_t *pos, uint8_t code, const void *sig, size_t sig_len,
                      jpg_marker *m) {
    if (!d) return false;
    uint64_t p = *pos;
    while (p + 4 <= n) {
        jpg_marker mk;
        if (jpg_read_marker(d, n, p, &mk) != JPG_MARKER_OK) return false;
        if (mk.code == 0xDA || mk.code == 0xD9) return false;  // the scan (or the end) comes first
        if (mk.has_length && mk.code == code && mk.payload_len >= sig_len &&
            (sig_len == 0 || std::memcmp(mk.payload, sig, sig_len) == 0)) {
            *m = mk;
            *pos = mk.next;
            return true;
        }
        p = mk.next;
    }
    return false;
}

bool jpg_adobe_payload(const uint8_t *pl, uint32_t n, int32_t *transform) {
    if (n < JPG_ADOBE_LEN || std::memcmp(pl, "Adobe", 5) != 0) return false;
    if (transform) *transform = pl[11];
    return true;
}
