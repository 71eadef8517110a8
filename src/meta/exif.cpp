// exif.cpp: the EXIF reader (orientation, resolution and its unit from IFD0 of a TIFF
// structure) and the conversion of densities to checked dots per inch.
//
// Every offset in the structure is checked against the block before it is followed, and
// only IFD0 is read, so no IFD chain can loop. A tag that is malformed (wrong type, its
// value outside the block) reads as absent; a broken header reads as no EXIF at all.
#include "meta/meta.h"

namespace {

// ---- TIFF constants --------------------------------------------------------------------
constexpr uint16_t TAG_ORIENTATION = 0x0112;
constexpr uint16_t TAG_X_RESOLUTION = 0x011A;
constexpr uint16_t TAG_Y_RESOLUTION = 0x011B;
constexpr uint16_t TAG_RESOLUTION_UNIT = 0x0128;
constexpr uint16_t TYPE_SHORT = 3;
constexpr uint16_t TYPE_LONG = 4;
constexpr uint16_t TYPE_RATIONAL = 5;
constexpr uint32_t IFD_ENTRY_SIZE = 12;
constexpr uint32_t RES_UNIT_INCH = 2;  // TIFF's default when the tag is absent
constexpr uint32_t RES_UNIT_CM = 3;

struct Tiff {
    const uint8_t *d;
    uint64_t len;
    bool big_endian;
};

uint32_t t16(const Tiff &t, uint64_t off) {
    const uint8_t *p = t.d + off;
    return t.big_endian ? (uint32_t)p[0] << 8 | p[1] : (uint32_t)p[1] << 8 | p[0];
}
uint32_t t32(const Tiff &t, uint64_t off) {
    const uint8_t *p = t.d + off;
    return t.big_endian ? (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3]
                        : (uint32_t)p[3] << 24 | (uint32_t)p[2] << 16 | (uint32_t)p[1] << 8 | p[0];
}

// A SHORT or LONG held in the entry itself (count 1), or false.
bool entry_integer(const Tiff &t, uint64_t entry, uint32_t *v) {
    const uint32_t type = t16(t, entry + 2), count = t32(t, entry + 4);
    if (count != 1) return false;
    if (type == TYPE_SHORT) *v = t16(t, entry + 8);
    else if (type == TYPE_LONG) *v = t32(t, entry + 8);
    else return false;
    return true;
}

// A RATIONAL (8 bytes, so always at an offset), or false when it lies outside the block.
bool entry_rational(const Tiff &t, uint64_t entry, uint32_t *num, uint32_t *den) {
    if (t16(t, entry + 2) != TYPE_RATIONAL || t32(t, entry + 4) < 1) return false;
    const uint64_t off = t32(t, entry + 8);
    if (off + 8 > t.len) return false;
    *num = t32(t, off);
    *den = t32(t, off + 4);
    return true;
}

}  // namespace

MetaDpi meta_dpi_from_rational(uint64_t x_num, uint64_t x_den, uint64_t y_num, uint64_t y_den, MetaUnit unit) {
    MetaDpi none = {false, 0, 0};
    if (x_den == 0 || y_den == 0) return none;
    // dots per inch = density * (inches per unit); each factor is exact in integers, so
    // the value is rounded once, by the division.
    uint64_t mul, div;
    switch (unit) {
    case META_UNIT_INCH: mul = 1, div = 1; break;
    case META_UNIT_CM: mul = 254, div = 100; break;
    case META_UNIT_METRE: mul = 254, div = 10000; break;
    default: return none;
    }
    // Numerators are at most 32 bits, so the products stay exact in a double's 53 bits.
    const double x = (double)(x_num * mul) / ((double)x_den * (double)div);
    const double y = (double)(y_num * mul) / ((double)y_den * (double)div);
    if (!geo_dpi_ok(x) || !geo_dpi_ok(y)) return none;
    return {true, x, y};
}

ExifInfo exif_read(const uint8_t *d, uint64_t len) {
    ExifInfo info = {0, {false, 0, 0}};
    if (!d || len < 8) return info;
    Tiff t = {d, len, false};
    if (d[0] == 'M' && d[1] == 'M') t.big_endian = true;
    else if (!(d[0] == 'I' && d[1] == 'I')) return info;
    if (t16(t, 2) != 42) return info;
    const uint64_t ifd = t32(t, 4);
    if (ifd + 2 > len) return info;
    const uint64_t entries = t16(t, ifd);
    // Entries that do not fit the block are not read; those before them still count.
    const uint64_t fit = (len - ifd - 2) / IFD_ENTRY_SIZE;
    const uint64_t n = entries < fit ? entries : fit;

    bool have_orientation = false, have_x = false, have_y = false, have_unit = false;
    uint32_t x_num = 0, x_den = 0, y_num = 0, y_den = 0, unit = RES_UNIT_INCH;
    for (uint64_t i = 0; i < n; i++) {
        const uint64_t e = ifd + 2 + i * IFD_ENTRY_SIZE;
        const uint32_t tag = t16(t, e);
        uint32_t v;
        // The first occurrence of a tag wins, as it does for readers that stop at it.
        if (tag == TAG_ORIENTATION && !have_orientation) {
            have_orientation = true;
            if (entry_integer(t, e, &v) && v >= 1 && v <= 8) info.orientation = (int)v;
        } else if (tag == TAG_X_RESOLUTION && !have_x) {
            have_x = entry_rational(t, e, &x_num, &x_den);
        } else if (tag == TAG_Y_RESOLUTION && !have_y) {
            have_y = entry_rational(t, e, &y_num, &y_den);
        } else if (tag == TAG_RESOLUTION_UNIT && !have_unit) {
            have_unit = true;
            if (!entry_integer(t, e, &unit)) unit = 0;
        }
    }
    if (have_x && have_y) {
        const MetaUnit u = unit == RES_UNIT_INCH ? META_UNIT_INCH : unit == RES_UNIT_CM ? META_UNIT_CM : META_UNIT_NONE;
        info.dpi = meta_dpi_from_rational(x_num, x_den, y_num, y_den, u);
    }
    return info;
}
