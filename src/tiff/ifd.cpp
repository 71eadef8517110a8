// ifd.cpp: the TIFF header, the directory chain and its tags, the page count and the
// metadata reader.
//
// Every value's extent is checked against the file once, when its entry is read; the
// chain is followed with Brent's cycle test, so a loop of any length is found after at
// most a few times its length in steps, with no memory kept per directory.
#include <cstring>

#include "folian.h"
#include "mem.h"
#include "tiff/ifd.h"
#include "tiff/tiff.h"

const char TIFF_ERR_HEADER[] = "tiff: not a TIFF file (bad header)";
const char TIFF_ERR_OFFSET[] = "tiff: offset past end of file";
const char TIFF_ERR_LOOP[] = "tiff: IFD loop";
const char TIFF_ERR_IFD[] = "tiff: bad IFD";
const char TIFF_ERR_NO_PAGE[] = "tiff: no such page";
const char TIFF_ERR_MISSING_TAG[] = "tiff: missing required tag";
const char TIFF_ERR_TOO_LARGE[] = "tiff: image too large";
const char TIFF_ERR_OLD_JPEG[] = "tiff: old-style JPEG compression not supported";
const char TIFF_ERR_COMPRESSION[] = "tiff: unsupported compression";
const char TIFF_ERR_FLOAT[] = "tiff: floating point samples not supported";
const char TIFF_ERR_SAMPLE_FORMAT[] = "tiff: unsupported sample format";
const char TIFF_ERR_JPEG12[] = "tiff: 12-bit JPEG not supported";
const char TIFF_ERR_DEPTH[] = "tiff: unsupported bit depth";
const char TIFF_ERR_PHOTOMETRIC[] = "tiff: unsupported photometric interpretation";
const char TIFF_ERR_YCBCR[] = "tiff: YCbCr supported only with JPEG compression";
const char TIFF_ERR_JPEG_CMYK[] = "tiff: CMYK JPEG not supported";
const char TIFF_ERR_PREDICTOR[] = "tiff: unsupported predictor";
const char TIFF_ERR_LAYOUT[] = "tiff: bad strip or tile layout";
const char TIFF_ERR_PALETTE[] = "tiff: bad or missing palette";
const char TIFF_ERR_TRUNCATED[] = "tiff: truncated image data";
const char TIFF_ERR_PACKBITS[] = "tiff: corrupt PackBits data";
const char TIFF_ERR_LZW[] = "tiff: corrupt LZW data";
const char TIFF_ERR_DEFLATE[] = "tiff: corrupt Deflate data";
const char TIFF_ERR_CCITT[] = "tiff: corrupt CCITT fax data";
const char TIFF_ERR_JPEG[] = "tiff: corrupt JPEG data";
const char TIFF_ERR_MEMORY[] = "tiff: out of memory";

namespace {

// ---- Format constants ------------------------------------------------------------------
constexpr uint32_t MAGIC_CLASSIC = 42, MAGIC_BIG = 43;
// Bytes per value of each field type (0: unknown type): BYTE ASCII SHORT LONG RATIONAL
// SBYTE UNDEFINED SSHORT SLONG SRATIONAL FLOAT DOUBLE IFD, then 16 LONG8, 17 SLONG8, 18 IFD8.
constexpr uint8_t TYPE_SIZE[19] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8, 4, 0, 0, 8, 8, 8};
enum FieldType { T_BYTE = 1, T_SHORT = 3, T_LONG = 4, T_RATIONAL = 5, T_SBYTE = 6, T_UNDEFINED = 7,
                 T_SSHORT = 8, T_SLONG = 9, T_IFD = 13, T_LONG8 = 16, T_SLONG8 = 17, T_IFD8 = 18 };
// Directories hold at most this many entries; more is a damaged count, not a real file.
constexpr uint64_t MAX_ENTRIES = 4096;

uint32_t type_size(uint32_t type) { return type < sizeof TYPE_SIZE ? TYPE_SIZE[type] : 0; }

// The entry's values: inline in its value slot when they fit, else at the offset it holds.
TiffField read_field(const TiffFile &f, const uint8_t *entry) {
    TiffField fd{};
    fd.type = (uint16_t)tiff_u16(f, entry + 2);
    const uint32_t size = type_size(fd.type);
    fd.count = f.big ? tiff_u64(f, entry + 4) : tiff_u32(f, entry + 4);
    const uint64_t slot = f.big ? 8 : 4;
    const uint8_t *value = entry + (f.big ? 12 : 8);
    if (size == 0) return fd;  // unknown type: read as absent
    if (fd.count > f.len / size) {
        fd.state = FIELD_OUTSIDE;
        return fd;
    }
    const uint64_t bytes = fd.count * size;
    fd.pos = bytes <= slot ? (uint64_t)(value - f.data) : (f.big ? tiff_u64(f, value) : tiff_u32(f, value));
    fd.state = fd.pos <= f.len && bytes <= f.len - fd.pos ? FIELD_OK : FIELD_OUTSIDE;
    return fd;
}

bool is_integer_type(uint32_t t) {
    return t == T_BYTE || t == T_SHORT || t == T_LONG || t == T_SBYTE || t == T_SSHORT || t == T_SLONG ||
           t == T_IFD || t == T_LONG8 || t == T_SLONG8 || t == T_IFD8 || t == T_UNDEFINED;
}

// The first value of a scalar tag, or `fallback` when it has none or is not an integer.
uint64_t scalar(const TiffFile &f, const TiffField &fd, uint64_t fallback) {
    if (fd.state != FIELD_OK || fd.count == 0 || !is_integer_type(fd.type)) return fallback;
    return tiff_field_u(f, fd, 0);
}

void set_defaults(TiffIfd *d) {
    std::memset(d, 0, sizeof *d);
    d->compression = COMP_NONE;
    d->fill_order = 1;
    d->samples = 1;
    d->rows_per_strip = UINT32_MAX;
    d->planar = 1;
    d->predictor = 1;
    d->resolution_unit = 2;
    d->ink_set = 1;
}

}  // namespace

uint32_t tiff_u16(const TiffFile &f, const uint8_t *p) {
    return f.big_endian ? (uint32_t)p[0] << 8 | p[1] : (uint32_t)p[1] << 8 | p[0];
}
uint32_t tiff_u32(const TiffFile &f, const uint8_t *p) {
    return f.big_endian ? (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3]
                        : (uint32_t)p[3] << 24 | (uint32_t)p[2] << 16 | (uint32_t)p[1] << 8 | p[0];
}
uint64_t tiff_u64(const TiffFile &f, const uint8_t *p) {
    const uint64_t a = tiff_u32(f, p), b = tiff_u32(f, p + 4);
    return f.big_endian ? a << 32 | b : b << 32 | a;
}

uint64_t tiff_field_u(const TiffFile &f, const TiffField &fd, uint64_t i) {
    const uint8_t *p = f.data + fd.pos;
    switch (fd.type) {
    case T_BYTE: case T_SBYTE: case T_UNDEFINED: return p[i];
    case T_SHORT: case T_SSHORT: return tiff_u16(f, p + 2 * i);
    case T_LONG: case T_SLONG: case T_IFD: return tiff_u32(f, p + 4 * i);
    case T_LONG8: case T_SLONG8: case T_IFD8: return tiff_u64(f, p + 8 * i);
    default: return 0;
    }
}

void tiff_field_rational(const TiffFile &f, const TiffField &fd, uint64_t i, uint64_t *num, uint64_t *den) {
    *num = *den = 0;
    if (fd.state != FIELD_OK || fd.type != T_RATIONAL || i >= fd.count) return;
    *num = tiff_u32(f, f.data + fd.pos + 8 * i);
    *den = tiff_u32(f, f.data + fd.pos + 8 * i + 4);
}

bool tiff_signature(const uint8_t *data, uint64_t len) {
    if (!data || len < 4) return false;
    const bool ii = data[0] == 'I' && data[1] == 'I', mm = data[0] == 'M' && data[1] == 'M';
    const uint32_t magic = ii ? (uint32_t)data[3] << 8 | data[2] : (uint32_t)data[2] << 8 | data[3];
    return (ii || mm) && (magic == MAGIC_CLASSIC || magic == MAGIC_BIG);
}

const char *tiff_open(const uint8_t *data, uint64_t len, TiffFile *f) {
    if (!tiff_signature(data, len) || len < 8) return TIFF_ERR_HEADER;
    f->data = data;
    f->len = len;
    f->big_endian = data[0] == 'M';
    f->big = tiff_u16(*f, data + 2) == MAGIC_BIG;
    if (!f->big) {
        f->first_ifd = tiff_u32(*f, data + 4);
        return nullptr;
    }
    // BigTIFF: offset size 8, a reserved zero, then the first directory's 8-byte offset.
    if (len < 16 || tiff_u16(*f, data + 4) != 8 || tiff_u16(*f, data + 6) != 0) return TIFF_ERR_HEADER;
    f->first_ifd = tiff_u64(*f, data + 8);
    return nullptr;
}

const char *tiff_read_ifd(const TiffFile &f, uint64_t offset, TiffIfd *d, uint64_t *next) {
    set_defaults(d);
    d->offset = offset;
    const uint64_t count_size = f.big ? 8 : 2, entry_size = f.big ? 20 : 12, next_size = f.big ? 8 : 4;
    if (offset >= f.len || f.len - offset < count_size) return TIFF_ERR_OFFSET;
    const uint64_t n = f.big ? tiff_u64(f, f.data + offset) : tiff_u16(f, f.data + offset);
    if (n == 0 || n > MAX_ENTRIES) return TIFF_ERR_IFD;
    if (f.len - offset - count_size < n * entry_size + next_size) return TIFF_ERR_OFFSET;
    const uint8_t *e = f.data + offset + count_size;
    for (uint64_t i = 0; i < n; i++, e += entry_size) {
        const TiffField fd = read_field(f, e);
        switch (tiff_u16(f, e)) {
        case TAG_NEW_SUBFILE_TYPE: d->new_subfile_type = scalar(f, fd, 0); break;
        case TAG_SUBFILE_TYPE: d->subfile_type = scalar(f, fd, 0); break;
        case TAG_IMAGE_WIDTH: d->has_width = fd.state == FIELD_OK; d->width = scalar(f, fd, 0); break;
        case TAG_IMAGE_LENGTH: d->has_height = fd.state == FIELD_OK; d->height = scalar(f, fd, 0); break;
        case TAG_BITS_PER_SAMPLE: d->bits = fd; break;
        case TAG_COMPRESSION: d->compression = scalar(f, fd, COMP_NONE); break;
        case TAG_PHOTOMETRIC: d->has_photometric = fd.state == FIELD_OK; d->photometric = scalar(f, fd, 0); break;
        case TAG_FILL_ORDER: d->fill_order = scalar(f, fd, 1); break;
        case TAG_STRIP_OFFSETS: d->strip_offsets = fd; break;
        case TAG_ORIENTATION: d->orientation = scalar(f, fd, 0); break;
        case TAG_SAMPLES_PER_PIXEL: d->samples = scalar(f, fd, 1); break;
        case TAG_ROWS_PER_STRIP: d->rows_per_strip = scalar(f, fd, UINT32_MAX); break;
        case TAG_STRIP_BYTE_COUNTS: d->strip_counts = fd; break;
        case TAG_X_RESOLUTION: d->x_resolution = fd; break;
        case TAG_Y_RESOLUTION: d->y_resolution = fd; break;
        case TAG_PLANAR_CONFIG: d->planar = scalar(f, fd, 1); break;
        case TAG_T4_OPTIONS: d->t4_options = scalar(f, fd, 0); break;
        case TAG_T6_OPTIONS: d->t6_options = scalar(f, fd, 0); break;
        case TAG_RESOLUTION_UNIT: d->resolution_unit = scalar(f, fd, 2); break;
        case TAG_PREDICTOR: d->predictor = scalar(f, fd, 1); break;
        case TAG_COLOR_MAP: d->color_map = fd; break;
        case TAG_TILE_WIDTH: d->tile_width = scalar(f, fd, 0); break;
        case TAG_TILE_LENGTH: d->tile_length = scalar(f, fd, 0); break;
        case TAG_TILE_OFFSETS: d->tile_offsets = fd; break;
        case TAG_TILE_BYTE_COUNTS: d->tile_counts = fd; break;
        case TAG_INK_SET: d->ink_set = scalar(f, fd, 1); break;
        case TAG_EXTRA_SAMPLES: d->extra_samples = fd; break;
        case TAG_SAMPLE_FORMAT: d->sample_format = fd; break;
        case TAG_JPEG_TABLES: d->jpeg_tables = fd; break;
        case TAG_ICC_PROFILE: d->icc = fd; break;
        default: break;
        }
    }
    *next = f.big ? tiff_u64(f, e) : tiff_u32(f, e);
    return nullptr;
}

bool tiff_ifd_is_page(const TiffIfd &d) {
    // Reduced-resolution images: NewSubfileType bit 0, or the older SubfileType value 2.
    return (d.new_subfile_type & 1) == 0 && d.subfile_type != 2;
}

namespace {

// Walks the chain, calling visit(ifd, page_number) for every page until it returns true.
// Returns a failure text or null; *pages receives the number of pages seen.
template <typename Visit>
const char *walk_pages(const TiffFile &f, int *pages, Visit visit) {
    *pages = 0;
    uint64_t off = f.first_ifd, saved = f.first_ifd, power = 1, steps = 0;
    TiffIfd d;
    while (off != 0) {
        uint64_t next = 0;
        if (const char *err = tiff_read_ifd(f, off, &d, &next)) return err;
        if (tiff_ifd_is_page(d)) {
            if (visit(d, *pages)) return nullptr;
            if (*pages == INT32_MAX) return TIFF_ERR_IFD;
            ++*pages;
        }
        if (next == saved) return TIFF_ERR_LOOP;
        if (++steps == power) {  // Brent: move the saved offset forward at powers of two
            saved = next;
            power *= 2;
            steps = 0;
        }
        off = next;
    }
    return nullptr;
}

}  // namespace

const char *tiff_find_page(const TiffFile &f, int index, TiffIfd *ifd) {
    bool found = false;
    int pages = 0;
    const char *err = walk_pages(f, &pages, [&](const TiffIfd &d, int page) {
        if (page != index) return false;
        *ifd = d;
        found = true;
        return true;
    });
    if (err) return err;
    return found ? nullptr : TIFF_ERR_NO_PAGE;
}

int tiff_page_count(const uint8_t *data, uint64_t len, const char **message) {
    const char *dummy;
    if (!message) message = &dummy;
    TiffFile f;
    int pages = 0;
    const char *err = tiff_open(data, len, &f);
    if (!err) err = walk_pages(f, &pages, [](const TiffIfd &, int) { return false; });
    if (!err && pages == 0) err = TIFF_ERR_NO_PAGE;
    *message = err ? err : "";
    return err ? 0 : pages;
}

void tiff_read_meta(const uint8_t *data, uint64_t len, int index, unsigned options, int components,
                    ImageMeta *m) {
    if (!data || !(options & (FOLIAN_OPT_ORIENTATION | FOLIAN_OPT_FILE_DPI | FOLIAN_OPT_ICC))) return;
    TiffPage page;
    const char *msg;
    if (!tiff_decode_page(data, len, index, TIFF_DECODE_INFO_ONLY, &page, &msg)) return;
    if (options & FOLIAN_OPT_ORIENTATION) m->orientation = page.orientation;
    if (options & FOLIAN_OPT_FILE_DPI) m->dpi = page.dpi;
    if ((options & FOLIAN_OPT_ICC) && page.icc) {
        uint8_t *copy = (uint8_t *)mem_malloc((size_t)page.icc_len);
        if (copy) {
            std::memcpy(copy, page.icc, (size_t)page.icc_len);
            meta_take_icc(m, copy, page.icc_len, components);
        } else {
            m->no_memory = true;
        }
    }
    tiff_page_free(&page);
}
