// decode.cpp: one TIFF page to RGBA: the layout checks, strip and tile decoding, sample
// conversion, and the passthrough descriptions of fax and JPEG pages.
//
// Pixels are built in two passes over the output buffer. Each strip or tile (each plane of
// it, for planar files) first stores its samples, reduced to 8 bits, into the bytes of the
// pixels they belong to: colour samples from byte 0, alpha in byte 3. A second pass then
// turns those samples into colour by the page's photometric rule. So planar and
// interleaved files share one path, and no buffer the size of the image is needed besides
// the output. Sixteen-bit samples keep their high byte, as the PNG decoder does.
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "folian.h"
#include "jpeg/jpeg.h"
#include "mem.h"
#include "png/png.h"
#include "tiff/codecs.h"
#include "tiff/ifd.h"
#include "tiff/tiff.h"

namespace {

// ---- Limits ---------------------------------------------------------------------------------
constexpr uint64_t MAX_PIXELS = PNG_MAX_PIXELS;
// A tile may be larger than the image (a small image in one 256 x 256 tile), but not
// absurdly so: at most this many pixels, or the image's own count when that is larger.
constexpr uint64_t MAX_SMALL_CHUNK = 1u << 22;
constexpr uint64_t MAX_SAMPLES = 8;
constexpr uint32_t ALPHA_SLOT = 3;
constexpr int NO_SLOT = -1;

// The page as the checks leave it.
struct Layout {
    uint32_t width, height;
    uint32_t bits, samples, planes, spc;  // spc: samples per pixel within one chunk
    uint32_t photometric, compression;
    uint32_t base;             // colour samples: 1 grey or palette, 3 RGB or YCbCr, 4 CMYK
    bool alpha, associated;
    bool predictor;            // horizontal differencing to undo
    bool tiled;
    uint32_t cw, ch;           // chunk (strip or tile) size in pixels
    uint64_t across, down, chunks;
    uint64_t row_bytes, chunk_bytes;
    TiffField offsets, counts;
    uint8_t palette[256][3];
};

bool is_fax(uint32_t c) { return c == COMP_CCITT_RLE || c == COMP_CCITT_T4 || c == COMP_CCITT_T6; }
bool known_compression(uint32_t c) {
    return c == COMP_NONE || is_fax(c) || c == COMP_LZW || c == COMP_JPEG || c == COMP_DEFLATE ||
           c == COMP_PACKBITS || c == COMP_DEFLATE_OLD;
}
bool depth_in(uint32_t bits, uint32_t mask) { return bits <= 16 && (mask >> bits & 1); }
constexpr uint32_t DEPTHS_GREY = 1u << 1 | 1u << 2 | 1u << 4 | 1u << 8 | 1u << 16;
constexpr uint32_t DEPTHS_PALETTE = 1u << 1 | 1u << 2 | 1u << 4 | 1u << 8;
constexpr uint32_t DEPTHS_RGB = 1u << 8 | 1u << 16;

// Every value of a per-sample tag must agree (the decoder keeps one depth and one format).
const char *uniform_value(const TiffFile &f, const TiffField &fd, uint64_t fallback, uint64_t *value) {
    *value = fallback;
    if (fd.state == FIELD_OUTSIDE) return TIFF_ERR_OFFSET;
    if (fd.state == FIELD_ABSENT || fd.count == 0) return nullptr;
    *value = tiff_field_u(f, fd, 0);
    for (uint64_t i = 1; i < fd.count && i < MAX_SAMPLES; i++)
        if (tiff_field_u(f, fd, i) != *value) return TIFF_ERR_DEPTH;
    return nullptr;
}

// The colour map as 8-bit values: 16-bit entries keep their high byte, except in maps whose
// entries all fit 8 bits, which old writers stored unscaled.
const char *read_palette(const TiffFile &f, const TiffIfd &d, Layout *L) {
    const TiffField &m = d.color_map;
    const uint64_t n = 1u << L->bits;
    if (m.state != FIELD_OK || m.count < 3 * n) return TIFF_ERR_PALETTE;
    bool wide = false;
    for (uint64_t i = 0; i < 3 * n; i++) wide = wide || tiff_field_u(f, m, i) > 255;
    for (uint64_t i = 0; i < n; i++)
        for (int c = 0; c < 3; c++) {
            const uint64_t v = tiff_field_u(f, m, c * n + i);
            L->palette[i][c] = (uint8_t)(wide ? v >> 8 : v);
        }
    return nullptr;
}

const char *check_colour(const TiffFile &f, const TiffIfd &d, Layout *L) {
    const uint32_t p = L->photometric, c = L->compression, bits = L->bits;
    if (c == COMP_JPEG) {
        if (bits == 12) return TIFF_ERR_JPEG12;
        if (bits != 8) return TIFF_ERR_DEPTH;
        if (p == PHOTO_SEPARATED) return TIFF_ERR_JPEG_CMYK;
        const bool grey = p == PHOTO_WHITE_IS_ZERO || p == PHOTO_BLACK_IS_ZERO;
        if (!(grey && L->samples == 1) && !((p == PHOTO_RGB || p == PHOTO_YCBCR) && L->samples == 3))
            return TIFF_ERR_PHOTOMETRIC;
        if (L->planes > 1) return TIFF_ERR_LAYOUT;
        L->base = L->samples;
        return nullptr;
    }
    if (is_fax(c) && (bits != 1 || L->samples != 1)) return TIFF_ERR_DEPTH;
    switch (p) {
    case PHOTO_WHITE_IS_ZERO:
    case PHOTO_BLACK_IS_ZERO:
        L->base = 1;
        if (!depth_in(bits, DEPTHS_GREY)) return TIFF_ERR_DEPTH;
        break;
    case PHOTO_PALETTE:
        L->base = 1;
        if (!depth_in(bits, DEPTHS_PALETTE)) return TIFF_ERR_DEPTH;
        if (const char *err = read_palette(f, d, L)) return err;
        break;
    case PHOTO_RGB:
        L->base = 3;
        if (!depth_in(bits, DEPTHS_RGB)) return TIFF_ERR_DEPTH;
        break;
    case PHOTO_SEPARATED:
        L->base = 4;
        if (d.ink_set != 1) return TIFF_ERR_PHOTOMETRIC;  // only CMYK inks
        if (bits != 8) return TIFF_ERR_DEPTH;
        break;
    case PHOTO_YCBCR: return TIFF_ERR_YCBCR;
    default: return TIFF_ERR_PHOTOMETRIC;
    }
    if (L->samples < L->base) return TIFF_ERR_PHOTOMETRIC;
    if (L->samples > L->base && L->base < 4 && d.extra_samples.state == FIELD_OK && d.extra_samples.count > 0) {
        const uint64_t kind = tiff_field_u(f, d.extra_samples, 0);
        L->alpha = kind == EXTRA_ASSOCIATED || kind == EXTRA_UNASSOCIATED;
        L->associated = kind == EXTRA_ASSOCIATED;
    }
    return nullptr;
}

const char *check_chunks(const TiffFile &f, const TiffIfd &d, Layout *L) {
    L->tiled = d.tile_offsets.state != FIELD_ABSENT || d.tile_width != 0;
    if (L->tiled) {
        if (d.tile_width == 0 || d.tile_length == 0 || d.tile_width > UINT32_MAX || d.tile_length > UINT32_MAX)
            return TIFF_ERR_LAYOUT;
        L->cw = (uint32_t)d.tile_width;
        L->ch = (uint32_t)d.tile_length;
        L->offsets = d.tile_offsets;
        L->counts = d.tile_counts;
    } else {
        if (d.rows_per_strip == 0) return TIFF_ERR_LAYOUT;
        L->cw = L->width;
        L->ch = d.rows_per_strip < L->height ? (uint32_t)d.rows_per_strip : L->height;
        L->offsets = d.strip_offsets;
        L->counts = d.strip_counts;
    }
    const uint64_t area = (uint64_t)L->width * L->height, chunk_area = (uint64_t)L->cw * L->ch;
    if (chunk_area > (area > MAX_SMALL_CHUNK ? area : MAX_SMALL_CHUNK)) return TIFF_ERR_TOO_LARGE;
    L->across = (L->width + (uint64_t)L->cw - 1) / L->cw;
    L->down = (L->height + (uint64_t)L->ch - 1) / L->ch;
    L->chunks = L->across * L->down * L->planes;
    for (const TiffField *fd : {&L->offsets, &L->counts}) {
        if (fd->state == FIELD_ABSENT) return TIFF_ERR_MISSING_TAG;
        if (fd->state == FIELD_OUTSIDE) return TIFF_ERR_OFFSET;
        if (fd->count < L->chunks) return TIFF_ERR_LAYOUT;
    }
    (void)f;
    L->row_bytes = ((uint64_t)L->cw * L->spc * L->bits + 7) / 8;
    L->chunk_bytes = L->row_bytes * L->ch;
    return nullptr;
}

const char *check_layout(const TiffFile &f, const TiffIfd &d, Layout *L) {
    std::memset(L, 0, sizeof *L);
    if (!d.has_width || !d.has_height) return TIFF_ERR_MISSING_TAG;
    if (d.width == 0 || d.height == 0) return TIFF_ERR_IFD;
    if (d.width > MAX_PIXELS || d.height > MAX_PIXELS || d.width * d.height > MAX_PIXELS) return TIFF_ERR_TOO_LARGE;
    L->width = (uint32_t)d.width;
    L->height = (uint32_t)d.height;
    if (d.compression == COMP_OLD_JPEG) return TIFF_ERR_OLD_JPEG;
    if (!known_compression((uint32_t)d.compression) || d.compression > UINT16_MAX) return TIFF_ERR_COMPRESSION;
    L->compression = (uint32_t)d.compression;
    uint64_t format = 1, bits = 1;
    if (const char *err = uniform_value(f, d.sample_format, 1, &format)) return err == TIFF_ERR_DEPTH ? TIFF_ERR_SAMPLE_FORMAT : err;
    if (format == 3) return TIFF_ERR_FLOAT;
    if (format != 1) return TIFF_ERR_SAMPLE_FORMAT;
    if (d.samples == 0 || d.samples > MAX_SAMPLES) return TIFF_ERR_IFD;
    L->samples = (uint32_t)d.samples;
    if (const char *err = uniform_value(f, d.bits, 1, &bits)) return err;
    if (bits == 0 || bits > 16) return TIFF_ERR_DEPTH;
    L->bits = (uint32_t)bits;
    if (d.planar != 1 && d.planar != 2) return TIFF_ERR_LAYOUT;
    L->planes = d.planar == 2 ? L->samples : 1;
    L->spc = d.planar == 2 ? 1 : L->samples;
    if (d.has_photometric) {
        L->photometric = (uint32_t)(d.photometric > 0xFFFF ? 0xFFFF : d.photometric);
    } else {  // files that leave it out: fax data is white-is-zero, colour data RGB
        L->photometric = L->samples >= 3 ? PHOTO_RGB : is_fax(L->compression) ? PHOTO_WHITE_IS_ZERO : PHOTO_BLACK_IS_ZERO;
    }
    if (const char *err = check_colour(f, d, L)) return err;
    if (d.predictor != 1 && (L->compression == COMP_LZW || L->compression == COMP_DEFLATE ||
                             L->compression == COMP_DEFLATE_OLD)) {
        if (d.predictor != 2 || (L->bits != 8 && L->bits != 16)) return TIFF_ERR_PREDICTOR;
        L->predictor = true;
    }
    if (L->compression == COMP_CCITT_T4 && (d.t4_options & T4_UNCOMPRESSED)) return TIFF_ERR_COMPRESSION;
    if (L->compression == COMP_CCITT_T6 && (d.t6_options & T6_UNCOMPRESSED)) return TIFF_ERR_COMPRESSION;
    return check_chunks(f, d, L);
}

// ---- Facts ------------------------------------------------------------------------------------
void fill_facts(const TiffFile &f, const TiffIfd &d, const Layout &L, TiffPage *out) {
    out->width = (int)L.width;
    out->height = (int)L.height;
    out->bits_per_sample = (int)L.bits;
    out->samples_per_pixel = (int)L.samples;
    out->photometric = (int)L.photometric;
    out->compression = (int)L.compression;
    out->has_alpha = L.alpha;
    if (L.photometric == PHOTO_WHITE_IS_ZERO || L.photometric == PHOTO_BLACK_IS_ZERO) {
        out->grey = true;
        out->bilevel = L.bits == 1;
    } else if (L.photometric == PHOTO_PALETTE) {
        bool grey = true, two = true;
        for (uint32_t i = 0; i < (1u << L.bits); i++) {
            const uint8_t *e = L.palette[i];
            grey = grey && e[0] == e[1] && e[1] == e[2];
            two = two && (e[0] == 0 || e[0] == 255);
        }
        out->grey = grey;
        out->bilevel = grey && two;
    }
    out->orientation = d.orientation >= 1 && d.orientation <= 8 ? (int)d.orientation : 0;
    uint64_t xn, xd, yn, yd;
    tiff_field_rational(f, d.x_resolution, 0, &xn, &xd);
    tiff_field_rational(f, d.y_resolution, 0, &yn, &yd);
    const MetaUnit unit = d.resolution_unit == 2 ? META_UNIT_INCH : d.resolution_unit == 3 ? META_UNIT_CM : META_UNIT_NONE;
    out->dpi = meta_dpi_from_rational(xn, xd, yn, yd, unit);
    if (d.icc.state == FIELD_OK && d.icc.count > 0 && d.icc.count <= META_MAX_ICC &&
        icc_check(f.data + d.icc.pos, d.icc.count) != 0) {
        out->icc = f.data + d.icc.pos;
        out->icc_len = d.icc.count;
    }
}

// ---- Chunk data -------------------------------------------------------------------------------
struct Chunk {
    const uint8_t *data;
    uint64_t len;
    bool cut;  // the byte count ran past the end of the file
};

const char *chunk_data(const TiffFile &f, const Layout &L, uint64_t index, Chunk *c) {
    const uint64_t off = tiff_field_u(f, L.offsets, index), count = tiff_field_u(f, L.counts, index);
    if (off > f.len) return TIFF_ERR_OFFSET;
    c->data = f.data + off;
    c->cut = count > f.len - off;
    c->len = c->cut ? f.len - off : count;
    return nullptr;
}

// A growing scratch buffer, released by the page decoder at the end.
struct Scratch {
    uint8_t *p;
    uint64_t size;
};

uint8_t *scratch_get(Scratch *s, uint64_t n) {
    if (n <= s->size && s->p) return s->p;
    if (n > SIZE_MAX) return nullptr;
    uint8_t *q = (uint8_t *)mem_realloc(s->p, n ? (size_t)n : 1);
    if (!q) return nullptr;
    s->p = q;
    s->size = n;
    return q;
}

// The JPEG stream of one chunk: the shared tables (JPEGTables without its end marker)
// joined before the chunk's own data (without its start marker). RGB data gets an Adobe
// segment saying "no colour transform", so that every reader keeps the samples as stored.
constexpr uint8_t ADOBE_NO_TRANSFORM[16] = {0xFF, 0xEE, 0x00, 0x0E, 'A', 'd', 'o', 'b', 'e', 0x00,
                                             0x64, 0x00, 0x00, 0x00, 0x00, 0x00};

uint8_t *merge_jpeg(const TiffFile &f, const TiffIfd &d, const Layout &L, const Chunk &c, uint64_t *out_len,
                    const char **err) {
    *err = TIFF_ERR_JPEG;
    if (c.len < 4 || c.data[0] != 0xFF || c.data[1] != 0xD8) return nullptr;
    const uint8_t *tables = nullptr;
    uint64_t tables_len = 0;
    if (d.jpeg_tables.state == FIELD_OK && d.jpeg_tables.count >= 4) {
        tables = f.data + d.jpeg_tables.pos;
        tables_len = d.jpeg_tables.count;
        if (tables[0] != 0xFF || tables[1] != 0xD8) return nullptr;
        tables += 2;
        tables_len -= 2;
        if (tables[tables_len - 2] == 0xFF && tables[tables_len - 1] == 0xD9) tables_len -= 2;
    }
    const bool adobe = L.photometric == PHOTO_RGB;
    const uint64_t n = 2 + (adobe ? sizeof ADOBE_NO_TRANSFORM : 0) + tables_len + (c.len - 2);
    uint8_t *m = (uint8_t *)mem_malloc((size_t)n);
    if (!m) {
        *err = TIFF_ERR_MEMORY;
        return nullptr;
    }
    uint8_t *p = m;
    *p++ = 0xFF;
    *p++ = 0xD8;
    if (adobe) {
        std::memcpy(p, ADOBE_NO_TRANSFORM, sizeof ADOBE_NO_TRANSFORM);
        p += sizeof ADOBE_NO_TRANSFORM;
    }
    if (tables_len) std::memcpy(p, tables, (size_t)tables_len);
    p += tables_len;
    std::memcpy(p, c.data + 2, (size_t)(c.len - 2));
    *out_len = n;
    *err = nullptr;
    return m;
}

// ---- Samples into pixels -----------------------------------------------------------------------
// The pixel byte that sample s of a chunk pixel goes to, or NO_SLOT for samples dropped.
int sample_slot(const Layout &L, uint32_t plane, uint32_t s) {
    const uint32_t k = L.planes > 1 ? plane : s;
    if (k < L.base) return (int)k;
    if (k == L.base && L.alpha) return (int)ALPHA_SLOT;
    return NO_SLOT;
}

// Stores the samples of a decompressed chunk (host-order 16-bit values when 16 bits deep);
// `get` reads sample i of a row, one instance per depth so the inner loop has no branch on it.
template <typename Get>
void store_rows(const Layout &L, const int *slots, const uint8_t *buf, uint64_t x0, uint64_t y0, uint32_t cols,
                uint32_t rows, uint8_t *px, Get get) {
    for (uint32_t y = 0; y < rows; y++) {
        const uint8_t *row = buf + y * L.row_bytes;
        uint8_t *dst = px + ((y0 + y) * L.width + x0) * 4;
        uint64_t i = 0;
        for (uint32_t x = 0; x < cols; x++, dst += 4)
            for (uint32_t s = 0; s < L.spc; s++, i++)
                if (slots[s] != NO_SLOT) dst[slots[s]] = get(row, i);
    }
}

void store_samples(const Layout &L, const uint8_t *buf, uint32_t plane, uint64_t x0, uint64_t y0, uint32_t cols,
                   uint32_t rows, uint8_t *px) {
    int slots[MAX_SAMPLES];
    for (uint32_t s = 0; s < L.spc; s++) slots[s] = sample_slot(L, plane, s);
    const uint32_t bits = L.bits, mask = (1u << (bits < 16 ? bits : 0)) - 1;
    if (bits == 8) {
        store_rows(L, slots, buf, x0, y0, cols, rows, px, [](const uint8_t *row, uint64_t i) { return row[i]; });
    } else if (bits == 16) {
        store_rows(L, slots, buf, x0, y0, cols, rows, px, [](const uint8_t *row, uint64_t i) {
            uint16_t w;
            std::memcpy(&w, row + 2 * i, 2);
            return (uint8_t)(w >> 8);
        });
    } else {
        store_rows(L, slots, buf, x0, y0, cols, rows, px, [bits, mask](const uint8_t *row, uint64_t i) {
            const uint64_t bit = i * bits;
            return (uint8_t)((row[bit >> 3] >> (8 - bits - (bit & 7))) & mask);
        });
    }
}

// Scales a sample of fewer than 8 bits to 0..255.
uint8_t widen(uint32_t v, uint32_t bits) { return bits >= 8 ? (uint8_t)v : (uint8_t)(v * 255 / ((1u << bits) - 1)); }

// Second pass: the samples stored in each pixel become its colour.
void samples_to_colour(const Layout &L, uint8_t *px) {
    const uint64_t n = (uint64_t)L.width * L.height;
    const bool jpeg = L.compression == COMP_JPEG;
    const uint32_t bits = jpeg ? 8 : L.bits;
    for (uint64_t i = 0; i < n; i++) {
        uint8_t *p = px + 4 * i;
        const uint8_t a = L.alpha ? widen(p[ALPHA_SLOT], bits) : 255;
        switch (L.photometric) {
        case PHOTO_WHITE_IS_ZERO:
        case PHOTO_BLACK_IS_ZERO: {
            uint8_t v = widen(p[0], bits);
            if (L.photometric == PHOTO_WHITE_IS_ZERO) v = (uint8_t)(255 - v);
            p[0] = p[1] = p[2] = v;
            break;
        }
        case PHOTO_PALETTE: {
            const uint8_t *e = L.palette[p[0]];
            p[0] = e[0], p[1] = e[1], p[2] = e[2];
            break;
        }
        case PHOTO_SEPARATED: {  // ink to light: (255 - K)(255 - C) / 255, truncated
            const uint32_t k = 255u - p[3];
            p[0] = (uint8_t)(k * (255u - p[0]) / 255);
            p[1] = (uint8_t)(k * (255u - p[1]) / 255);
            p[2] = (uint8_t)(k * (255u - p[2]) / 255);
            break;
        }
        default: break;  // RGB, and YCbCr already converted by the JPEG decoder
        }
        p[3] = a;
        if (L.associated) {  // premultiplied colour back to straight colour, rounded
            for (int c = 0; c < 3; c++) {
                const uint32_t v = a ? ((uint32_t)p[c] * 255 + a / 2) / a : 0;
                p[c] = (uint8_t)(v > 255 ? 255 : v);
            }
        }
    }
}

// ---- One chunk --------------------------------------------------------------------------------
struct PageJob {
    const TiffFile &f;
    const TiffIfd &d;
    const Layout &L;
    uint8_t *px;
    Scratch raw, rows;
};

const char *decompress(PageJob &job, const Chunk &c, uint32_t rows, uint8_t *out) {
    const Layout &L = job.L;
    const uint8_t *in = c.data;
    const uint64_t need = L.row_bytes * rows;
    const bool reverse = job.d.fill_order == 2 && L.compression != COMP_LZW && L.compression != COMP_DEFLATE &&
                         L.compression != COMP_DEFLATE_OLD;
    if (reverse) {
        uint8_t *copy = scratch_get(&job.raw, c.len);
        if (!copy) return TIFF_ERR_MEMORY;
        std::memcpy(copy, c.data, (size_t)c.len);
        tiff_reverse_bits(copy, c.len);
        in = copy;
    }
    switch (L.compression) {
    case COMP_NONE:
        if (c.len < need) return TIFF_ERR_TRUNCATED;
        std::memcpy(out, in, (size_t)need);
        return nullptr;
    case COMP_PACKBITS: return tiff_unpack_packbits(in, c.len, out, need);
    case COMP_LZW: return tiff_unpack_lzw(in, c.len, out, need);
    case COMP_DEFLATE:
    case COMP_DEFLATE_OLD: return tiff_unpack_deflate(in, c.len, out, need, L.chunk_bytes);
    default: {
        const TiffFaxCoding coding = L.compression == COMP_CCITT_RLE ? FAX_MH_ROWS
                                     : L.compression == COMP_CCITT_T4 ? FAX_T4 : FAX_T6;
        const TiffFax fax{coding, (job.d.t4_options & T4_2D) != 0, L.cw, rows};
        return tiff_unpack_fax(in, c.len, fax, out);
    }
    }
}

// Sixteen-bit samples to host order, then the predictor.
void finish_samples(const PageJob &job, uint8_t *buf, uint32_t rows) {
    const Layout &L = job.L;
    const uint64_t row_samples = (uint64_t)L.cw * L.spc;
    if (L.bits == 16) {
        const uint64_t n = row_samples * rows;
        for (uint64_t i = 0; i < n; i++) {
            const uint16_t v = (uint16_t)tiff_u16(job.f, buf + 2 * i);
            std::memcpy(buf + 2 * i, &v, 2);
        }
    }
    if (!L.predictor) return;
    if (L.bits == 8) tiff_undo_predictor8(buf, rows, row_samples, L.spc);
    else tiff_undo_predictor16(reinterpret_cast<uint16_t *>(buf), rows, row_samples, L.spc);
}

const char *decode_jpeg_chunk(PageJob &job, const Chunk &c, uint64_t x0, uint64_t y0, uint32_t cols, uint32_t rows) {
    const Layout &L = job.L;
    uint64_t n = 0;
    const char *err;
    uint8_t *stream = merge_jpeg(job.f, job.d, L, c, &n, &err);
    if (!stream) return err;
    int w = 0, h = 0;
    const char *msg = nullptr;
    uint8_t *rgba = kv_jpeg_decode_ex(stream, n, KV_JPEG_ALL, &w, &h, &msg);
    std::free(stream);
    if (!rgba) return std::strstr(msg ? msg : "", "memory") ? TIFF_ERR_MEMORY : TIFF_ERR_JPEG;
    if ((uint32_t)w < cols || (uint32_t)h < rows) {
        std::free(rgba);
        return TIFF_ERR_JPEG;
    }
    for (uint32_t y = 0; y < rows; y++) {
        const uint8_t *src = rgba + (size_t)y * (size_t)w * 4;
        uint8_t *dst = job.px + ((y0 + y) * L.width + x0) * 4;
        std::memcpy(dst, src, (size_t)cols * 4);
    }
    std::free(rgba);
    return nullptr;
}

const char *decode_chunk(PageJob &job, uint64_t index) {
    const Layout &L = job.L;
    const uint64_t per_plane = L.across * L.down;
    const uint32_t plane = (uint32_t)(index / per_plane);
    const uint64_t cy = index % per_plane / L.across, cx = index % L.across;
    const uint64_t x0 = cx * L.cw, y0 = cy * L.ch;
    const uint32_t cols = (uint32_t)(L.width - x0 < L.cw ? L.width - x0 : L.cw);
    const uint32_t visible = (uint32_t)(L.height - y0 < L.ch ? L.height - y0 : L.ch);
    const uint32_t rows = L.tiled ? L.ch : visible;  // tiles are coded whole, strips to the image's end
    Chunk c;
    if (const char *err = chunk_data(job.f, L, index, &c)) return err;
    if (L.compression == COMP_JPEG) return decode_jpeg_chunk(job, c, x0, y0, cols, visible);
    uint8_t *buf = scratch_get(&job.rows, L.chunk_bytes);
    if (!buf) return TIFF_ERR_MEMORY;
    if (const char *err = decompress(job, c, rows, buf)) return err;
    finish_samples(job, buf, rows);
    store_samples(L, buf, plane, x0, y0, cols, visible, job.px);
    return nullptr;
}

// ---- Passthrough ------------------------------------------------------------------------------
// A page of one strip whose data a PDF filter decodes to the same pixels.
const char *describe_pass(const TiffFile &f, const TiffIfd &d, const Layout &L, TiffPage *out) {
    if (L.tiled || L.chunks != 1) return nullptr;
    Chunk c;
    if (chunk_data(f, L, 0, &c) || c.cut || c.len == 0) return nullptr;
    if (is_fax(L.compression)) {
        uint8_t *copy = (uint8_t *)mem_malloc((size_t)c.len);
        if (!copy) return TIFF_ERR_MEMORY;
        std::memcpy(copy, c.data, (size_t)c.len);
        if (d.fill_order == 2) tiff_reverse_bits(copy, c.len);
        // Group 3 files may mix 1-D and 2-D rows freely; the largest K allows any mix.
        out->ccitt.k = L.compression == COMP_CCITT_T6 ? -1
                       : L.compression == COMP_CCITT_T4 && (d.t4_options & T4_2D) ? (int)L.height : 0;
        out->ccitt.columns = (int)L.width;
        out->ccitt.rows = (int)L.height;
        out->ccitt.black_is_1 = L.photometric == PHOTO_BLACK_IS_ZERO;
        out->ccitt.encoded_byte_align = L.compression == COMP_CCITT_RLE;
        out->pass = TIFF_PASS_CCITT;
        out->pass_data = copy;
        out->pass_len = c.len;
        return nullptr;
    }
    if (L.compression != COMP_JPEG || L.photometric == PHOTO_WHITE_IS_ZERO) return nullptr;
    uint64_t n = 0;
    const char *err;
    uint8_t *stream = merge_jpeg(f, d, L, c, &n, &err);
    if (!stream) return err == TIFF_ERR_MEMORY ? err : nullptr;
    int w = 0, h = 0, comps = 0;
    if (!jpeg_probe_frames(stream, n, true, &w, &h, &comps) || (uint32_t)w != L.width || (uint32_t)h != L.height ||
        (uint32_t)comps != L.samples) {
        std::free(stream);
        return nullptr;
    }
    out->pass = TIFF_PASS_JPEG;
    out->pass_data = stream;
    out->pass_len = n;
    out->jpeg_components = comps;
    return nullptr;
}

const char *decode_pixels(const TiffFile &f, const TiffIfd &d, const Layout &L, TiffPage *out) {
    const uint64_t n = (uint64_t)L.width * L.height * 4;
    uint8_t *px = (uint8_t *)mem_malloc((size_t)n);
    if (!px) return TIFF_ERR_MEMORY;
    PageJob job{f, d, L, px, {nullptr, 0}, {nullptr, 0}};
    const char *err = nullptr;
    for (uint64_t i = 0; i < L.chunks && !err; i++) err = decode_chunk(job, i);
    std::free(job.raw.p);
    std::free(job.rows.p);
    if (err) {
        std::free(px);
        return err;
    }
    samples_to_colour(L, px);
    out->pixels = px;
    return nullptr;
}

}  // namespace

void tiff_page_free(TiffPage *page) {
    if (!page) return;
    std::free(page->pixels);
    std::free(page->pass_data);
    std::memset(page, 0, sizeof *page);
}

bool tiff_decode_page(const uint8_t *data, uint64_t len, int index, unsigned flags, TiffPage *out,
                      const char **message) {
    const char *dummy;
    if (!message) message = &dummy;
    TiffPage local;
    if (!out) out = &local;
    std::memset(out, 0, sizeof *out);
    TiffFile f;
    TiffIfd d;
    Layout layout, *L = &layout;
    const char *err = index < 0 ? TIFF_ERR_NO_PAGE : nullptr;
    if (!err) err = tiff_open(data, len, &f);
    if (!err) err = tiff_find_page(f, index, &d);
    if (!err) err = check_layout(f, d, L);
    if (!err) fill_facts(f, d, *L, out);
    const bool info = flags & TIFF_DECODE_INFO_ONLY;
    if (!err && !info && !(flags & TIFF_DECODE_NO_PASS)) err = describe_pass(f, d, *L, out);
    if (!err && !info && !(out->pass != TIFF_PASS_NONE && (flags & TIFF_DECODE_PASS_ONLY)))
        err = decode_pixels(f, d, *L, out);
    if (err) tiff_page_free(out);
    else if (out == &local) tiff_page_free(out);
    *message = err ? err : "";
    return !err;
}
