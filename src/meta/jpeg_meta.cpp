// jpeg_meta.cpp: the metadata of a JPEG file: JFIF density (APP0), EXIF (APP1) and the
// ICC profile (APP2 chunks), found among the application segments before the first scan.
//
// Resolution: a JFIF density in dots per inch or per centimetre comes first; a JFIF
// block that gives only an aspect ratio (unit 0), or none at all, leaves the word to EXIF.
#include <cstring>

#include "bytes.h"
#include "folian.h"
#include "meta/meta.h"

namespace {

constexpr uint8_t M_SOS = 0xDA, M_EOI = 0xD9, M_APP0 = 0xE0, M_APP1 = 0xE1, M_APP15 = 0xEF;
// Room for a whole ICC profile in 255 chunks beside the other application segments.
constexpr uint32_t MAX_APP_SEGMENTS = 320;

constexpr char JFIF_TAG[] = "JFIF";    // with its NUL: 5 bytes
constexpr uint32_t JFIF_MIN_LEN = 12;  // tag, version (2), units, X density (2), Y density (2)
constexpr char EXIF_TAG[6] = {'E', 'x', 'i', 'f', 0, 0};

bool is_standalone(uint8_t m) { return (m >= 0xD0 && m <= 0xD8) || m == 0x01; }

MetaDpi jfif_dpi(const JpegSegment &s) {
    const MetaDpi none = {false, 0, 0};
    if (s.len < JFIF_MIN_LEN || std::memcmp(s.data, JFIF_TAG, sizeof JFIF_TAG) != 0) return none;
    const uint8_t units = s.data[7];
    const uint32_t x = load_be16(s.data + 8), y = load_be16(s.data + 10);
    const MetaUnit u = units == 1 ? META_UNIT_INCH : units == 2 ? META_UNIT_CM : META_UNIT_NONE;
    return meta_dpi_from_rational(x, 1, y, 1, u);
}

bool is_jfif(const JpegSegment &s) {
    return s.marker == M_APP0 && s.len >= sizeof JFIF_TAG && std::memcmp(s.data, JFIF_TAG, sizeof JFIF_TAG) == 0;
}
bool is_exif(const JpegSegment &s) {
    return s.marker == M_APP1 && s.len >= sizeof EXIF_TAG && std::memcmp(s.data, EXIF_TAG, sizeof EXIF_TAG) == 0;
}

}  // namespace

uint32_t jpeg_find_app_segments(const uint8_t *d, uint64_t n, JpegSegment *out, uint32_t max) {
    uint32_t count = 0;
    uint64_t p = 2;  // after the start-of-image marker, which the probe does not check either
    while (p + 2 <= n) {
        if (d[p] != 0xFF) break;
        if (d[p + 1] == 0xFF) {  // fill byte before a marker code
            p++;
            continue;
        }
        const uint8_t m = d[p + 1];
        if (is_standalone(m)) {
            p += 2;
            continue;
        }
        if (m == 0x00 || m == M_SOS || m == M_EOI || p + 4 > n) break;
        const uint32_t seg_len = load_be16(d + p + 2);
        if (seg_len < 2 || p + 2 + seg_len > n) break;
        if (m >= M_APP0 && m <= M_APP15 && count < max) out[count++] = {m, d + p + 4, seg_len - 2};
        p += 2 + seg_len;
    }
    return count;
}

void jpeg_read_meta(const uint8_t *data, uint64_t len, unsigned options, int components, ImageMeta *m) {
    if (!data || !(options & (FOLIAN_OPT_ORIENTATION | FOLIAN_OPT_FILE_DPI | FOLIAN_OPT_ICC))) return;
    JpegSegment segs[MAX_APP_SEGMENTS];
    const uint32_t count = jpeg_find_app_segments(data, len, segs, MAX_APP_SEGMENTS);

    const JpegSegment *jfif = nullptr, *exif = nullptr;
    for (uint32_t i = 0; i < count; i++) {
        if (!jfif && is_jfif(segs[i])) jfif = &segs[i];
        if (!exif && is_exif(segs[i])) exif = &segs[i];
    }
    ExifInfo ex = {0, {false, 0, 0}};
    if (exif) ex = exif_read(exif->data + sizeof EXIF_TAG, exif->len - sizeof EXIF_TAG);
    if (options & FOLIAN_OPT_ORIENTATION) m->orientation = ex.orientation;
    if (options & FOLIAN_OPT_FILE_DPI) {
        const MetaDpi j = jfif ? jfif_dpi(*jfif) : MetaDpi{false, 0, 0};
        m->dpi = j.known ? j : ex.dpi;
    }
    if (options & FOLIAN_OPT_ICC) {
        uint64_t icc_len = 0;
        uint8_t *icc = icc_join_jpeg_chunks(segs, count, &icc_len, &m->no_memory);
        meta_take_icc(m, icc, icc_len, components);
    }
}
