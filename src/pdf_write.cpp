// pdf_write.cpp: the PDF 1.4 writer.
//
// A document is one page per image. Objects are numbered catalog 1, page tree 2, then per
// page: page, image, soft mask (only when some alpha byte is below 255), content stream,
// and the image's ICC profile when the conversion found a usable one in the file.
// Since every page's objects are numbered consecutively, writing pages in order writes the
// objects in number order, so each body goes straight through one write buffer to the file:
// the document is never held in memory. Pixel samples are gathered from the RGBA records
// directly into their zlib blocks in that buffer, without a scratch copy. The file is a
// temporary that replaces the destination only when complete (see file_io.h), so a failure
// never leaves a partial document at the path.
#include "pdf_write.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "format.h"
#include "geometry.h"
#include "jpeg/jpeg.h"
#include "mem.h"
#include "png/filter.h"

struct PdfPage {
    int page_obj, image_obj, smask_obj, content_obj;
    int icc_obj;            // the image's /ICCBased profile stream, after the content; 0 for none
    GeoLayout geo;          // the MediaBox and where the picture goes on it
    int has_alpha;
};

namespace {

constexpr const char *MSG_BAD_ARGS = "pdf_write: bad arguments";
constexpr const char *MSG_BAD_MODE = "pdf_write: bad page size mode";
constexpr const char *MSG_BAD_IMAGE = "pdf_write: bad image";
constexpr const char *MSG_OOM = "pdf_write: oom";
constexpr const char *MSG_CANNOT_OPEN = "pdf_write: cannot open output file";
constexpr const char *MSG_WRITE_FAILED = "pdf_write: write failed";
constexpr const char *MSG_TOO_LARGE = "pdf_write: document too large";
constexpr const char *MSG_NO_ROOM = "pdf_write: the margins leave no room for the picture";
// Pages and texts an archival (PDF/A) document cannot hold.
constexpr const char *MSG_PDFA_CMYK = "pdf_write: a CMYK JPEG without its own CMYK profile cannot be PDF/A";
constexpr const char *MSG_PDFA_ALPHA = "pdf_write: transparency cannot be PDF/A-1b (PDF/A-2b keeps it)";
constexpr const char *MSG_PDFA_ICC = "pdf_write: an ICC profile of version 4 or later cannot be PDF/A-1b";
constexpr const char *MSG_PDFA_PAGE_SIZE = "pdf_write: a page side outside 3 to 14400 points cannot be PDF/A";
constexpr const char *MSG_PDFA_PAGES = "pdf_write: more than 8191 pages cannot be PDF/A-1b";
constexpr const char *MSG_PDFA_TEXT = "pdf_write: a metadata text over 32767 bytes cannot be PDF/A";

// A cross-reference entry holds a ten-digit offset.
constexpr uint64_t MAX_XREF_OFFSET = 9999999999ULL;
// Large enough that a stored zlib block (65540 bytes) and its neighbours go out in few
// system calls; small beside any page image.
constexpr size_t WRITE_BUF_SIZE = 1 << 20;

constexpr char HEADER[] = "%PDF-1.4\n%\xE2\xE3\xCF\xD3\n";  // 15 bytes
constexpr char STREAM_END[] = "\nendstream\n";
constexpr char OBJ_END[] = "\nendobj\n";

// ---- Failures --------------------------------------------------------------------------

// A page the document refuses, for what it is rather than for what went wrong writing it.
bool is_refusal(const char *message) {
    return message == MSG_BAD_IMAGE || message == MSG_PDFA_CMYK || message == MSG_PDFA_ALPHA ||
           message == MSG_PDFA_ICC || message == MSG_PDFA_PAGE_SIZE || message == MSG_PDFA_PAGES;
}

int rank(const char *message) {
    if (is_refusal(message)) return 4;
    if (message == MSG_OOM) return 3;
    if (message == MSG_TOO_LARGE) return 2;
    if (message[0]) return 1;
    return 0;
}

void release_files(PdfDoc *doc) {
    file_out_discard(&doc->out);
    file_out_discard(&doc->scratch);
    std::free(doc->mem);
    doc->mem = nullptr;
    doc->mem_len = doc->mem_cap = 0;
    doc->dest = nullptr;
    doc->buf_len = 0;
}

// Keeps the failure that outranks the other; the files go at once, whatever it was.
bool fail(PdfDoc *doc, const char *message) {
    if (rank(message) > rank(doc->message)) doc->message = message;
    release_files(doc);
    return false;
}

bool file_failed(FileWriteStatus st) { return st == FILE_WRITE_CANNOT_OPEN || st == FILE_WRITE_FAILED; }

// Only a file failure lets the document go on, dry, to find a failure that outranks it.
bool running(const PdfDoc *doc) { return rank(doc->message) <= 1; }

// ---- Output ------------------------------------------------------------------------------

// Appends to a memory document. The buffer grows by half again, so the copies realloc may
// make add up to a few times the document, and large buffers move by remapping.
bool memory_append(PdfDoc *doc, const void *data, size_t n) {
    if (n > SIZE_MAX - doc->mem_len) return false;
    const size_t need = doc->mem_len + n;
    if (need > doc->mem_cap) {
        size_t cap = doc->mem_cap + doc->mem_cap / 2;
        if (cap < need) cap = need;
        if (cap < WRITE_BUF_SIZE) cap = WRITE_BUF_SIZE;
        uint8_t *p = (uint8_t *)mem_realloc(doc->mem, cap);
        if (!p) return false;
        doc->mem = p;
        doc->mem_cap = cap;
    }
    std::memcpy(doc->mem + doc->mem_len, data, n);
    doc->mem_len = need;
    return true;
}

// Hands bytes to where the document goes; false (and the document failed) when they cannot go.
bool emit(PdfDoc *doc, const void *data, size_t n) {
    if (doc->in_memory) return memory_append(doc, data, n) || fail(doc, MSG_OOM);
    return file_out_write(doc->dest, data, n) || fail(doc, MSG_WRITE_FAILED);
}

bool flush(PdfDoc *doc) {
    if (doc->dest && doc->buf_len && !emit(doc, doc->buf, doc->buf_len)) return false;
    doc->buf_len = 0;
    return true;
}

// Room for n contiguous bytes in the buffer (n <= WRITE_BUF_SIZE).
bool reserve(PdfDoc *doc, size_t n) { return WRITE_BUF_SIZE - doc->buf_len >= n || flush(doc); }

// Appends bytes; a dry document only counts them.
void put(PdfDoc *doc, const void *data, uint64_t n) {
    doc->pos += n;
    if (!doc->dest) return;
    if (doc->hashing) md5_update(&doc->content, (const uint8_t *)data, (size_t)n);
    if (n <= WRITE_BUF_SIZE - doc->buf_len) {
        std::memcpy(doc->buf + doc->buf_len, data, (size_t)n);
        doc->buf_len += (size_t)n;
        return;
    }
    if (!flush(doc) || !doc->dest) return;
    if (n < WRITE_BUF_SIZE) {
        std::memcpy(doc->buf, data, (size_t)n);
        doc->buf_len = (size_t)n;
    } else {
        emit(doc, data, (size_t)n);
    }
}

#if defined(__GNUC__)
#define PRINTF_LIKE __attribute__((format(printf, 2, 3)))
#else
#define PRINTF_LIKE
#endif

// Formatted append; every text here is short but the page tree's, which is put in pieces.
PRINTF_LIKE void put_printf(PdfDoc *doc, const char *fmt, ...) {
    char text[512];
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    if (n > 0) put(doc, text, (uint64_t)n < sizeof text ? (uint64_t)n : sizeof text - 1);
}

// A stored-block zlib stream of `n` samples gathered by `fill`, built block by block in
// the write buffer.
template <typename Fill>
void put_zlib(PdfDoc *doc, uint64_t n, Fill fill) {
    // A failed write leaves the document dry; the stream is still counted whole.
    uint64_t end = doc->pos + zlib_stored_size(n);
    if (!doc->dest) {
        doc->pos = end;
        return;
    }
    uint8_t head[2] = {0x78, 0x01};
    put(doc, head, 2);
    uint32_t adler = 1;
    uint64_t first = 0;
    for (;;) {
        uint64_t len = n - first < ZLIB_STORED_MAX ? n - first : ZLIB_STORED_MAX;
        bool final = first + len == n;
        if (!doc->dest || !reserve(doc, 5 + (size_t)len)) {
            doc->pos = end;
            return;
        }
        uint8_t *p = doc->buf + doc->buf_len;
        p[0] = final ? 0x01 : 0x00;
        p[1] = (uint8_t)len;
        p[2] = (uint8_t)(len >> 8);
        p[3] = (uint8_t)~len;
        p[4] = (uint8_t)(~len >> 8);
        if (len) {
            fill(p + 5, first, len);
            adler = adler32_update(adler, p + 5, (size_t)len);
        }
        if (doc->hashing) md5_update(&doc->content, p, 5 + (size_t)len);
        doc->buf_len += 5 + (size_t)len;
        doc->pos += 5 + len;
        first += len;
        if (final) break;
    }
    uint8_t tail[4];
    store_be32(tail, adler);
    put(doc, tail, 4);
}

// ---- Layout ----------------------------------------------------------------------------

bool has_transparency(const PdfImage *im) {
    const uint8_t *px = im->pixels;
    uint64_t n = (uint64_t)im->width * (uint64_t)im->height;
    for (uint64_t i = 0; i < n; i++)
        if (px[i * 4 + 3] != 255) return true;
    return false;
}

// The component count of the samples as written: pixel images always go out as RGB.
int written_components(const PdfImage *im) { return im->jpeg_data ? im->jpeg_components : 3; }

bool carries_profile(const PdfPlacement *place, const PdfImage *im) {
    return place && place->icc && place->icc_len > 0 && place->icc_components == written_components(im);
}

void place_image(PdfPage *pg, const PdfImage *im, const Settings *s, const PdfPlacement *place) {
    GeoPicture pic{im->width, im->height, 0, 0, false, place ? place->orientation : 1};
    geo_picture_dpi(&s->page, s->dpi, place != nullptr, place ? place->dpi_x : 0, place ? place->dpi_y : 0, &pic);
    // Checked when the document began: the margins leave room, and records have a size.
    geo_lay_out(&s->page, &pic, &pg->geo, nullptr, 0);
}

const PdfPlacement *placement_of(const PdfPageExtra *extra) { return extra ? extra->place : nullptr; }

bool page_has_alpha(const PdfImage *im, const PdfPrepared *ready) {
    if (im->jpeg_data) return false;
    return ready && ready->has_alpha >= 0 ? ready->has_alpha != 0 : has_transparency(im);
}

// Geometry and object numbers of a page whose first object is `first_obj`.
void lay_out(PdfPage *pg, const PdfImage *im, const Settings *s, int first_obj, const PdfPageExtra *extra,
             const PdfPrepared *ready) {
    const PdfPlacement *place = placement_of(extra);
    *pg = PdfPage{};
    place_image(pg, im, s, place);
    pg->page_obj = first_obj;
    pg->image_obj = first_obj + 1;
    pg->has_alpha = page_has_alpha(im, ready);
    if (pg->has_alpha) pg->smask_obj = first_obj + 2;
    pg->content_obj = pg->has_alpha ? first_obj + 3 : first_obj + 2;
    if (carries_profile(place, im)) pg->icc_obj = pg->content_obj + 1;
}

// The next free object number after the page's objects.
int page_end(const PdfPage *pg) { return (pg->icc_obj ? pg->icc_obj : pg->content_obj) + 1; }

// Grows a table to hold at least `need` entries of `size` bytes, doubling.
bool grow(void **table, size_t *cap, size_t need, size_t size) {
    if (need <= *cap) return true;
    size_t n = *cap ? *cap : 64;
    while (n < need) n *= 2;
    void *p = mem_realloc(*table, n * size);
    if (!p) return false;
    *table = p;
    *cap = n;
    return true;
}

// Makes room for the page's number in the Kids list and for its objects' offsets.
bool record_page(PdfDoc *doc, const PdfPage *pg) {
    if (!grow((void **)&doc->page_objs, &doc->page_cap, (size_t)doc->count + 1, sizeof(int)) ||
        !grow((void **)&doc->offsets, &doc->offset_cap, (size_t)page_end(pg), sizeof(uint64_t)))
        return fail(doc, MSG_OOM);
    doc->page_objs[doc->count] = pg->page_obj;
    return true;
}

// ---- Page objects ----------------------------------------------------------------------

// The device colour space of samples with `components` components (2 never reaches here).
const char *device_space(int components) {
    if (components == 1) return "/DeviceGray";
    if (components == 4) return "/DeviceCMYK";
    return "/DeviceRGB";
}

// The /ColorSpace value of the page image, with the /Decode entry that follows it where
// the samples need one: the file's profile when it carries one, else the device space.
struct ColourSpace {
    char text[64];
};
ColourSpace image_colour_space(const PdfPage *pg, const PdfImage *im) {
    const int comps = written_components(im);
    // Adobe's CMYK JPEGs store their samples inverted, whatever profile describes them.
    const bool inverted = im->jpeg_data && comps == 4 && jpeg_has_adobe_segment(im->jpeg_data, im->jpeg_len);
    const char *decode = inverted ? " /Decode [1 0 1 0 1 0 1 0]" : "";
    ColourSpace cs;
    if (pg->icc_obj)
        std::snprintf(cs.text, sizeof cs.text, "[/ICCBased %d 0 R]%s", pg->icc_obj, decode);
    else
        std::snprintf(cs.text, sizeof cs.text, "%s%s", device_space(comps), decode);
    return cs;
}

uint64_t pages_len(const PdfDoc *doc) { return doc->pos - doc->page_base; }

void begin_object(PdfDoc *doc, int num) {
    doc->offsets[num] = pages_len(doc);
    put_printf(doc, "%d 0 obj\n", num);
}

void end_object(PdfDoc *doc) { put(doc, OBJ_END, sizeof OBJ_END - 1); }
void end_stream_object(PdfDoc *doc) {
    put(doc, STREAM_END, sizeof STREAM_END - 1);
    end_object(doc);
}

void write_jpeg_image(PdfDoc *doc, const PdfPage *pg, const PdfImage *im) {
    begin_object(doc, pg->image_obj);
    put_printf(doc,
               "<< /Type /XObject /Subtype /Image /Width %d /Height %d /ColorSpace %s "
               "/BitsPerComponent 8 /Filter /DCTDecode /Length %llu >>\nstream\n",
               im->width, im->height, image_colour_space(pg, im).text, (unsigned long long)im->jpeg_len);
    put(doc, im->jpeg_data, im->jpeg_len);
    end_stream_object(doc);
}

void write_rgb_image(PdfDoc *doc, const PdfPage *pg, const PdfImage *im) {
    uint64_t pixels = (uint64_t)im->width * (uint64_t)im->height;
    uint64_t stream_len = zlib_stored_size(pixels * 3);
    const ColourSpace cs = image_colour_space(pg, im);
    begin_object(doc, pg->image_obj);
    if (pg->has_alpha) {
        put_printf(doc,
                   "<< /Type /XObject /Subtype /Image /Width %d /Height %d /ColorSpace "
                   "%s /BitsPerComponent 8 /Filter /FlateDecode /SMask %d 0 R "
                   "/Length %llu >>\nstream\n",
                   im->width, im->height, cs.text, pg->smask_obj, (unsigned long long)stream_len);
    } else {
        put_printf(doc,
                   "<< /Type /XObject /Subtype /Image /Width %d /Height %d /ColorSpace "
                   "%s /BitsPerComponent 8 /Filter /FlateDecode /Length %llu "
                   ">>\nstream\n",
                   im->width, im->height, cs.text, (unsigned long long)stream_len);
    }
    const uint8_t *px = im->pixels;
    put_zlib(doc, pixels * 3, [px](uint8_t *dst, uint64_t first, uint64_t count) {
        // Input byte k is sample k % 3 of pixel k / 3; blocks may split a pixel.
        const uint8_t *src = px + first / 3 * 4;
        uint64_t k = first % 3;
        for (uint64_t i = 0; i < count; i++) {
            dst[i] = src[k];
            if (++k == 3) {
                k = 0;
                src += 4;
            }
        }
    });
    end_stream_object(doc);
}

void write_soft_mask(PdfDoc *doc, const PdfPage *pg, const PdfImage *im) {
    uint64_t pixels = (uint64_t)im->width * (uint64_t)im->height;
    const uint8_t *px = im->pixels;
    begin_object(doc, pg->smask_obj);
    put_printf(doc,
               "<< /Type /XObject /Subtype /Image /Width %d /Height %d /ColorSpace "
               "/DeviceGray /BitsPerComponent 8 /Filter /FlateDecode /Length %llu "
               ">>\nstream\n",
               im->width, im->height, (unsigned long long)zlib_stored_size(pixels));
    put_zlib(doc, pixels, [px](uint8_t *dst, uint64_t first, uint64_t count) {
        const uint8_t *src = px + first * 4 + 3;
        for (uint64_t i = 0; i < count; i++) dst[i] = src[i * 4];
    });
    end_stream_object(doc);
}

// ---- Compact pages ---------------------------------------------------------------------
// A PNG file's image data goes in as it is when PDF's own PNG predictors read it as our
// decoder does; every other plane is PNG-filtered row by row (the type that suits each row,
// /Predictor 15) and deflate-compressed. A compressed stream's length is only known at its
// end, so one plane's stream is held until its header can be written: memory stays within
// one page (the stream is smaller than the samples the caller already holds), and the
// objects keep the numbers and order of the fixed layout.

// The smallest lossless form of a compact page's colours: grey when every pixel has
// R = G = B (1 bit when every level is 0 or 255), an /Indexed page when the page may be one
// and at most 256 colours appear, else RGB. Alpha goes to the soft mask whatever the form.
enum FormKind { FORM_RGB, FORM_GREY, FORM_INDEXED, FORM_ALPHA };
struct PixelForm {
    FormKind kind;
    int depth;             // bits per sample
    bool thorough;         // the deflater's default effort rather than its quick one
    int entries;           // FORM_INDEXED: palette entries
    uint8_t palette[768];  // FORM_INDEXED: R, G, B per entry
    uint32_t keys[512];    // FORM_INDEXED: open-addressed table of colour + 1 (0: empty)
    uint8_t slots[512];    // the palette index of each key
};

uint32_t rgb_key(const uint8_t *px) { return ((uint32_t)px[0] << 16 | (uint32_t)px[1] << 8 | px[2]) + 1; }

// The table slot of a colour: its own, or the empty one where it would go.
size_t colour_slot(const PixelForm &f, uint32_t key) {
    size_t i = (key * 2654435761u) >> 23;  // the top 9 bits of a multiplicative hash
    while (f.keys[i] && f.keys[i] != key) i = (i + 1) & 511;
    return i;
}

// Adds the colour to the palette; false once a 257th appears.
bool index_colour(PixelForm *f, const uint8_t *px) {
    const uint32_t key = rgb_key(px);
    const size_t i = colour_slot(*f, key);
    if (f->keys[i]) return true;
    if (f->entries == 256) return false;
    f->keys[i] = key;
    f->slots[i] = (uint8_t)f->entries;
    std::memcpy(f->palette + 3 * f->entries++, px, 3);
    return true;
}

int index_depth(int entries) { return entries <= 2 ? 1 : entries <= 4 ? 2 : entries <= 16 ? 4 : 8; }

void find_form(const PdfImage *im, bool may_index, bool may_grey, PixelForm *f) {
    const uint64_t n = (uint64_t)im->width * (uint64_t)im->height;
    const uint8_t *px = im->pixels;
    bool grey = may_grey, bilevel = may_grey, indexed = may_index;
    f->entries = 0;
    std::memset(f->keys, 0, sizeof f->keys);
    for (uint64_t i = 0; i < n && (grey || indexed); i++, px += 4) {
        if (grey && (px[0] != px[1] || px[0] != px[2])) grey = bilevel = false;
        if (bilevel && px[0] != 0 && px[0] != 255) bilevel = false;
        if (indexed && !grey) indexed = index_colour(f, px);
    }
    if (grey) {
        f->kind = FORM_GREY;
        f->depth = bilevel ? 1 : 8;
    } else if (indexed) {
        f->kind = FORM_INDEXED;
        f->depth = index_depth(f->entries);
    } else {
        f->kind = FORM_RGB;
        f->depth = 8;
    }
}

int form_samples(FormKind kind) { return kind == FORM_RGB ? 3 : 1; }
uint64_t row_bytes(const PdfImage *im, const PixelForm &f) {
    return ((uint64_t)im->width * (uint64_t)form_samples(f.kind) * (uint64_t)f.depth + 7) / 8;
}

// One row of the plane the form says, packed as PDF reads it (most significant bit first).
void gather_row(const PixelForm &f, const uint8_t *px, size_t w, uint8_t *out, size_t out_len) {
    if (f.kind == FORM_RGB) {
        for (size_t x = 0; x < w; x++) std::memcpy(out + 3 * x, px + 4 * x, 3);
        return;
    }
    if (f.depth == 8) {
        const int at = f.kind == FORM_ALPHA ? 3 : 0;
        for (size_t x = 0; x < w; x++)
            out[x] = f.kind == FORM_INDEXED ? f.slots[colour_slot(f, rgb_key(px + 4 * x))] : px[4 * x + at];
        return;
    }
    std::memset(out, 0, out_len);
    const int per_byte = 8 / f.depth;
    for (size_t x = 0; x < w; x++) {
        const uint8_t *p = px + 4 * x;
        const unsigned v = f.kind == FORM_GREY    ? p[0] >> 7
                           : f.kind == FORM_ALPHA ? p[3] >> 7
                                                  : f.slots[colour_slot(f, rgb_key(p))];
        out[x / per_byte] |= (uint8_t)(v << (8 - f.depth * (int)(x % per_byte + 1)));
    }
}

// One plane of the record in the given form, filtered and compressed into a zlib stream.
// Null when memory runs out.
uint8_t *deflate_plane(const PdfImage *im, const PixelForm &f, size_t *len) {
    const size_t w = (size_t)im->width, n = (size_t)row_bytes(im, f);
    const size_t pixel_bytes = f.kind == FORM_RGB ? 3 : 1;  // the filters' left neighbour
    // Palette indexes and packed samples predict badly from their neighbours: their rows
    // go unfiltered, as PNG encoders leave them.
    const bool unfiltered = f.kind == FORM_INDEXED || f.depth < 8;
    uint8_t *rows = (uint8_t *)mem_malloc(3 * n + 1);
    Deflater *d = rows ? deflate_new(DEFLATE_ZLIB, f.thorough ? DEFLATE_DEFAULT : DEFLATE_QUICK) : nullptr;
    bool ok = d != nullptr;
    uint8_t *cur = rows, *prev = rows ? rows + n : nullptr, *line = rows ? rows + 2 * n : nullptr;
    for (size_t y = 0; ok && y < (size_t)im->height; y++) {
        gather_row(f, im->pixels + y * w * 4, w, cur, n);
        if (unfiltered) {
            line[0] = 0;
            std::memcpy(line + 1, cur, n);
        } else {
            png_filter_row(cur, y ? prev : nullptr, n, (unsigned)pixel_bytes, line);
        }
        ok = deflate_write(d, line, n + 1);
        uint8_t *t = cur;
        cur = prev;
        prev = t;
    }
    uint8_t *z = ok && deflate_finish(d) ? deflate_take(d, len) : nullptr;
    deflate_free(d);
    std::free(rows);
    return z;
}

void put_decode_parms(PdfDoc *doc, int colors, int depth, int columns) {
    put_printf(doc, "/DecodeParms << /Predictor 15 /Colors %d /BitsPerComponent %d /Columns %d >> ", colors,
               depth, columns);
}

void put_soft_mask_ref(PdfDoc *doc, const PdfPage *pg) {
    if (pg->has_alpha) put_printf(doc, "/SMask %d 0 R ", pg->smask_obj);
}

// [/Indexed base hival <lookup>] of `entries` entries, those past the palette black, as the
// decoders read them: a file's palette gets one for every index its depth can hold, a
// palette made here one for each colour it found.
void put_indexed_space(PdfDoc *doc, const uint8_t *palette, int palette_entries, int entries, const char *base) {
    static const char HEX[] = "0123456789ABCDEF";
    put_printf(doc, "[/Indexed %s %d <", base, entries - 1);
    char text[96];
    size_t n = 0;
    for (int i = 0; i < entries * 3; i++) {
        const uint8_t v = i < palette_entries * 3 ? palette[i] : 0;
        text[n++] = HEX[v >> 4];
        text[n++] = HEX[v & 15];
        if (n == sizeof text) {
            put(doc, text, n);
            n = 0;
        }
    }
    put(doc, text, n);
    put_printf(doc, ">] ");
}

// An /Indexed page costs its palette as text beside its stream; where RGB samples, which the
// filters predict, come out smaller in all, the page is RGB. The winner's stream is kept in
// *kept (null when there was nothing to compare). False when memory runs out.
bool keep_smaller_form(const PdfImage *im, PixelForm *f, uint8_t **kept, size_t *kept_len) {
    *kept = nullptr;
    if (f->kind != FORM_INDEXED) return true;
    PixelForm rgb;
    rgb.kind = FORM_RGB;
    rgb.depth = 8;
    rgb.thorough = f->thorough;
    size_t indexed_len = 0, rgb_len = 0;
    uint8_t *a = deflate_plane(im, *f, &indexed_len);
    uint8_t *b = a ? deflate_plane(im, rgb, &rgb_len) : nullptr;
    if (!b) {
        std::free(a);
        return false;
    }
    const bool rgb_wins = rgb_len < indexed_len + 6 * (size_t)f->entries;
    if (rgb_wins) f->kind = FORM_RGB, f->depth = 8;
    std::free(rgb_wins ? a : b);
    *kept = rgb_wins ? b : a;
    *kept_len = rgb_wins ? rgb_len : indexed_len;
    return true;
}

// A compressed plane as an image object; false when memory runs out. `made` (may be null,
// released here) is the plane's stream already compressed in form `f`.
bool write_deflated_image(PdfDoc *doc, const PdfPage *pg, const PdfImage *im, const PixelForm &f,
                          uint8_t *made = nullptr, size_t made_len = 0) {
    size_t len = 0;
    const bool alpha = f.kind == FORM_ALPHA;
    // A plane made ahead for the same form is the same stream; the form decides it whole.
    const PdfPrepared *ready = doc->ready;
    uint8_t *own = nullptr, *z = nullptr;
    if (made)
        z = own = made, len = made_len;
    else if (ready && alpha && ready->alpha_z && ready->alpha_depth == f.depth)
        z = ready->alpha_z, len = ready->alpha_len;
    else if (ready && !alpha && ready->rgb_z && ready->rgb_kind == f.kind && ready->rgb_depth == f.depth)
        z = ready->rgb_z, len = ready->rgb_len;
    else if (!(z = own = deflate_plane(im, f, &len)))
        return fail(doc, MSG_OOM);
    begin_object(doc, alpha ? pg->smask_obj : pg->image_obj);
    put_printf(doc, "<< /Type /XObject /Subtype /Image /Width %d /Height %d /ColorSpace ", im->width, im->height);
    if (f.kind == FORM_INDEXED)
        put_indexed_space(doc, f.palette, f.entries, f.entries, image_colour_space(pg, im).text);
    else
        put_printf(doc, "%s ", f.kind == FORM_RGB ? image_colour_space(pg, im).text : "/DeviceGray");
    put_printf(doc, "/BitsPerComponent %d ", f.depth);
    if (!alpha) put_soft_mask_ref(doc, pg);
    put_printf(doc, "/Filter /FlateDecode ");
    put_decode_parms(doc, form_samples(f.kind), f.depth, im->width);
    put_printf(doc, "/Length %llu >>\nstream\n", (unsigned long long)len);
    put(doc, z, len);
    std::free(own);
    end_stream_object(doc);
    return true;
}

void write_passthrough_image(PdfDoc *doc, const PdfPage *pg, const PdfImage *im, const PdfPassthrough *pass) {
    begin_object(doc, pg->image_obj);
    put_printf(doc, "<< /Type /XObject /Subtype /Image /Width %d /Height %d /ColorSpace ", im->width, im->height);
    // The file's RGB profile describes the palette's colours as well as RGB samples; grey
    // files never carry one here (their profile has the wrong component count).
    const ColourSpace rgb = image_colour_space(pg, im);
    if (pass->palette)
        put_indexed_space(doc, pass->palette, pass->palette_entries, 1 << pass->depth, rgb.text);
    else
        put_printf(doc, "%s ", pass->colors == 3 ? rgb.text : "/DeviceGray");
    put_printf(doc, "/BitsPerComponent %d ", pass->depth);
    put_soft_mask_ref(doc, pg);
    put_printf(doc, "/Filter /FlateDecode ");
    put_decode_parms(doc, pass->colors, pass->depth, im->width);
    put_printf(doc, "/Length %llu >>\nstream\n", (unsigned long long)pass->len);
    put(doc, pass->data, pass->len);
    end_stream_object(doc);
}

bool alpha_bilevel(const PdfImage *im) {
    const uint64_t n = (uint64_t)im->width * (uint64_t)im->height;
    for (uint64_t i = 0; i < n; i++)
        if (im->pixels[4 * i + 3] != 0 && im->pixels[4 * i + 3] != 255) return false;
    return true;
}

// Fax data as the file holds it, for PDF's own CCITT decoder.
void write_coded_image(PdfDoc *doc, const PdfPage *pg, const PdfImage *im, const PdfCoded *c) {
    begin_object(doc, pg->image_obj);
    put_printf(doc,
               "<< /Type /XObject /Subtype /Image /Width %d /Height %d /ColorSpace /DeviceGray "
               "/BitsPerComponent 1 /Filter /CCITTFaxDecode /DecodeParms << /K %d /Columns %d /Rows %d "
               "/BlackIs1 %s /EncodedByteAlign %s >> /Length %llu >>\nstream\n",
               im->width, im->height, c->k, im->width, im->height, c->black_is_1 ? "true" : "false",
               c->byte_align ? "true" : "false", (unsigned long long)c->len);
    put(doc, c->data, c->len);
    end_stream_object(doc);
}

// The colour plane's form of a compact pixel page: grey and /Indexed forms are for
// conversions, which ask for them, and a profile describes RGB samples. A plane made ahead
// (`ready`, may be null) already settled between /Indexed and RGB, so its choice is taken
// rather than compressing the page twice more. False when memory runs out.
bool colour_form(const PdfImage *im, const PdfPageExtra *extra, bool has_profile, const PdfPrepared *ready,
                 PixelForm *f, uint8_t **made, size_t *made_len) {
    *made = nullptr;
    const unsigned flags = extra ? extra->page_flags : 0u;
    const bool newer = (flags & PDF_PAGE_INDEXED) != 0;
    find_form(im, newer, (flags & PDF_PAGE_GREY) && !has_profile, f);
    f->thorough = newer;  // pages of the newer formats have no older bytes to keep
    if (!ready || !ready->rgb_z) return keep_smaller_form(im, f, made, made_len);
    if (f->kind == FORM_INDEXED && ready->rgb_kind == FORM_RGB) f->kind = FORM_RGB, f->depth = 8;
    return true;
}

// The soft mask's form: a page of the newer formats whose pixels are either wholly opaque
// or wholly clear (GIF transparency) gets a 1-bit mask.
void alpha_form(const PdfImage *im, const PdfPageExtra *extra, PixelForm *f) {
    const bool newer = extra && (extra->page_flags & PDF_PAGE_INDEXED);
    f->kind = FORM_ALPHA;
    f->depth = newer && alpha_bilevel(im) ? 1 : 8;
    f->thorough = newer;
}

// The image and soft mask objects of a compact pixel page. A profile describes RGB
// samples, so a page that carries one stays RGB (or /Indexed over it). Grey and /Indexed
// forms are for conversions, which ask for them; hosts' records keep their RGB planes.
void write_compact_images(PdfDoc *doc, const PdfPage *pg, const PdfImage *im, const PdfPageExtra *extra) {
    const PdfPassthrough *pass = extra ? extra->pass : nullptr;
    PixelForm *f = (PixelForm *)mem_malloc(sizeof(PixelForm));
    if (!f) {
        fail(doc, MSG_OOM);
        return;
    }
    if (pass) {
        write_passthrough_image(doc, pg, im, pass);
    } else {
        uint8_t *made;
        size_t made_len = 0;
        if (!colour_form(im, extra, pg->icc_obj != 0, doc->ready, f, &made, &made_len)) {
            std::free(f);
            fail(doc, MSG_OOM);
            return;
        }
        if (!write_deflated_image(doc, pg, im, *f, made, made_len)) {
            std::free(f);
            return;
        }
    }
    alpha_form(im, extra, f);
    if (pg->has_alpha) write_deflated_image(doc, pg, im, *f);
    std::free(f);
}

bool compact_page(const PdfDoc *doc, const PdfPageExtra *extra) {
    return doc->settings.compact || (extra && (extra->page_flags & PDF_PAGE_COMPACT));
}

void write_content(PdfDoc *doc, const PdfPage *pg) {
    // Every number is a page coordinate of at most a few digits, so the text fits.
    char text[512];
    const int n = geo_content(&pg->geo, text, sizeof text);
    begin_object(doc, pg->content_obj);
    put_printf(doc, "<< /Length %d >>\nstream\n", n);
    put(doc, text, (uint64_t)n < sizeof text ? (uint64_t)n : sizeof text - 1);
    // The plain layout counts the text's last line feed as the only one before endstream;
    // an archival document wants a line end of its own there, outside /Length.
    if (doc->info.pdfa != DOC_PDFA_OFF) put(doc, "\n", 1);
    put(doc, "endstream\n", 10);
    end_object(doc);
}

void write_page_object(PdfDoc *doc, const PdfPage *pg) {
    begin_object(doc, pg->page_obj);
    put_printf(doc,
               "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 %s %s] /Resources << "
               "/ProcSet [/PDF /ImageC] /XObject << /Im0 %d 0 R >> >> /Contents %d 0 R >>",
               fixed2(pg->geo.page_w).text, fixed2(pg->geo.page_h).text, pg->image_obj, pg->content_obj);
    end_object(doc);
}

// The profile goes in as the file holds it, unfiltered: like the JPEG data it passes
// through unchanged and streams without a scratch buffer, and the usual profiles (a few
// kilobytes) are small beside the image they describe.
void write_icc_profile(PdfDoc *doc, const PdfPage *pg, const PdfPlacement *place) {
    begin_object(doc, pg->icc_obj);
    put_printf(doc, "<< /N %d /Alternate %s /Length %llu >>\nstream\n", place->icc_components,
               device_space(place->icc_components), (unsigned long long)place->icc_len);
    put(doc, place->icc, place->icc_len);
    end_stream_object(doc);
}

// All objects of one page, in number order: the one place that decides how a page image
// is embedded.
void write_page(PdfDoc *doc, const PdfPage *pg, const PdfImage *im, const PdfPageExtra *extra) {
    write_page_object(doc, pg);
    if (im->jpeg_data) {
        write_jpeg_image(doc, pg, im);
    } else if (extra && extra->coded) {
        write_coded_image(doc, pg, im, extra->coded);
    } else if (compact_page(doc, extra)) {
        write_compact_images(doc, pg, im, extra);
    } else {
        write_rgb_image(doc, pg, im);
        if (pg->has_alpha) write_soft_mask(doc, pg, im);
    }
    write_content(doc, pg);
    if (pg->icc_obj) write_icc_profile(doc, pg, placement_of(extra));
}

// ---- The objects after the pages --------------------------------------------------------

// Their numbers follow the last page's objects, so no page moves; `first` is the number
// after the last page.
struct TailObjects {
    int info, xmp, profile;  // profile: only for PDF/A, else 0
    int end;                 // the next free number after them
};
TailObjects tail_objects(const PdfDoc *doc, int first) {
    TailObjects t{};
    if (!doc->described) {
        t.end = first;
        return t;
    }
    t.info = first;
    t.xmp = first + 1;
    t.profile = doc->info.pdfa != DOC_PDFA_OFF ? first + 2 : 0;
    t.end = first + (t.profile ? 3 : 2);
    return t;
}

// Its bytes as a PDF string, as the length limits count them.
size_t pdf_string_bytes(const char *utf8) {
    std::string s;
    pdf_text_string(utf8, &s);
    return s[0] == '<' ? (s.size() - 2) / 2 : std::strlen(utf8);
}

// An archival document's strings stay within the smallest limit of its readers.
bool pdfa_texts_fit(const DocInfo &info) {
    constexpr size_t PDFA_MAX_STRING = 32767;
    for (const char *t : {info.title, info.author, info.subject, info.keywords, info.creator, info.producer})
        if (t && pdf_string_bytes(t) > PDFA_MAX_STRING) return false;
    return true;
}

void put_stream_object(PdfDoc *doc, int num, const char *dict_start, const std::string &data) {
    begin_object(doc, num);
    put_printf(doc, "<< %s/Length %llu >>\nstream\n", dict_start, (unsigned long long)data.size());
    put(doc, data.data(), data.size());
    end_stream_object(doc);
}

// /Info, the XMP packet (uncompressed, so a reader that knows nothing of PDF finds it) and
// the output intent's profile. False when memory runs out.
bool write_tail(PdfDoc *doc, const TailObjects &t) {
    if (!grow((void **)&doc->offsets, &doc->offset_cap, (size_t)t.end, sizeof(uint64_t))) return fail(doc, MSG_OOM);
    try {
        std::string text;
        doc_info_dictionary(doc->info, &text);
        begin_object(doc, t.info);
        put(doc, text.data(), text.size());
        end_object(doc);
        text.clear();
        doc_xmp_packet(doc->info, &text);
        put_stream_object(doc, t.xmp, "/Type /Metadata /Subtype /XML ", text);
        if (t.profile) {
            doc_srgb_profile(&text);
            put_stream_object(doc, t.profile, "/N 3 /Alternate /DeviceRGB ", text);
        }
    } catch (...) {  // std::string allocation; nothing may escape to the C boundary
        return fail(doc, MSG_OOM);
    }
    return true;
}

// ---- Head and cross-reference table ----------------------------------------------------

void put_catalog(PdfDoc *doc) {
    put_printf(doc, "1 0 obj\n<< /Type /Catalog /Pages 2 0 R");
    const TailObjects t = tail_objects(doc, doc->next_obj);
    if (t.xmp) put_printf(doc, " /Metadata %d 0 R", t.xmp);
    if (t.profile)
        put_printf(doc,
                   " /OutputIntents [<< /Type /OutputIntent /S /GTS_PDFA1 /OutputConditionIdentifier (%s) "
                   "/Info (%s) /DestOutputProfile %d 0 R >>]",
                   DOC_SRGB_NAME, DOC_SRGB_NAME, t.profile);
    put_printf(doc, " >>");
}

// Header, catalog and page tree; objects 1 and 2 are the only ones before the pages. Called
// with doc->next_obj just past the last page's objects.
void write_head(PdfDoc *doc, uint64_t *head_offsets) {
    put(doc, HEADER, sizeof HEADER - 1);
    head_offsets[0] = doc->pos;
    put_catalog(doc);
    end_object(doc);
    head_offsets[1] = doc->pos;
    put_printf(doc, "2 0 obj\n<< /Type /Pages /Kids [");
    for (int i = 0; i < doc->count; i++) put_printf(doc, "%s%d 0 R", i ? " " : "", doc->page_objs[i]);
    put_printf(doc, "] /Count %d >>", doc->count);
    end_object(doc);
}

// `info`: the /Info object's number and the /ID entry, or 0 for neither.
void write_xref(PdfDoc *doc, const uint64_t *head_offsets, uint64_t xref, int info, const char *id) {
    put_printf(doc, "xref\n0 %d\n", doc->next_obj);
    put(doc, "0000000000 65535 f \n", 20);
    for (int i = 1; i < doc->next_obj; i++) {
        uint64_t off = i <= 2 ? head_offsets[i - 1] : doc->head_len + doc->offsets[i];
        put_printf(doc, "%010llu 00000 n \n", (unsigned long long)off);
    }
    put_printf(doc, "trailer\n<< /Size %d /Root 1 0 R", doc->next_obj);
    if (info) put_printf(doc, " /Info %d 0 R %s", info, id);
    put_printf(doc, " >>\nstartxref\n%llu\n%%%%EOF\n", (unsigned long long)xref);
}

bool setup(PdfDoc *doc, const char *path, const Settings *s) {
    *doc = PdfDoc{};
    doc->message = "";
    doc->next_obj = 3;
    if (!s || !geo_dpi_ok(s->dpi)) return fail(doc, MSG_BAD_ARGS);
    if (s->page.paper_w < 0) return fail(doc, MSG_BAD_MODE);
    if (!pdf_page_fits(s, nullptr, 0)) return fail(doc, MSG_NO_ROOM);
    doc->settings = *s;
    doc->info = settings_doc_info(&doc->settings);
    doc->described = doc_info_any(&doc->info);
    md5_init(&doc->content);
    try {
        if (doc->info.pdfa != DOC_PDFA_OFF && !pdfa_texts_fit(doc->info)) return fail(doc, MSG_PDFA_TEXT);
    } catch (...) {
        return fail(doc, MSG_OOM);
    }
    // The caller's text may change or go before the document is finished.
    const size_t n = path ? std::strlen(path) + 1 : 0;
    if (n) doc->path = (char *)mem_malloc(n);
    if (n && !doc->path) return fail(doc, MSG_OOM);
    if (n) std::memcpy(doc->path, path, n);
    doc->buf = (uint8_t *)mem_malloc(WRITE_BUF_SIZE);
    if (!doc->buf) return fail(doc, MSG_OOM);
    return true;
}

// ---- Archival pages ----------------------------------------------------------------------

// The limits of the most restricted reader an archival file is written for: page sides of 3
// to 14400 units, and (PDF/A-1) arrays of at most 8191 entries, so as many pages in the
// one-level page tree.
constexpr double PDFA_MIN_SIDE = 3, PDFA_MAX_SIDE = 14400;
constexpr int PDFA1_MAX_PAGES = 8191;

bool side_fits(double v) { return v >= PDFA_MIN_SIDE && v <= PDFA_MAX_SIDE; }

// Why the document's PDF/A level cannot hold this page (laid out as `pg`, the document's
// page number `index` from 0), or null. With an sRGB output intent the device colour
// spaces allowed are RGB and grey, so CMYK samples need their own profile.
const char *pdfa_refusal(const PdfDoc *doc, const PdfPage *pg, const PdfImage *im, const PdfPageExtra *extra,
                         int index) {
    const int level = doc->info.pdfa;
    if (level == DOC_PDFA_OFF) return nullptr;
    if (written_components(im) == 4 && !pg->icc_obj) return MSG_PDFA_CMYK;
    if (!side_fits(pg->geo.page_w) || !side_fits(pg->geo.page_h)) return MSG_PDFA_PAGE_SIZE;
    if (level != DOC_PDFA_1B) return nullptr;
    if (pg->has_alpha) return MSG_PDFA_ALPHA;
    // Byte 8 of a profile holds its major version; PDF 1.4 readers know versions 2 and below.
    const PdfPlacement *place = placement_of(extra);
    if (pg->icc_obj && (place->icc_len < 128 || place->icc[8] >= 4)) return MSG_PDFA_ICC;
    if (index >= PDFA1_MAX_PAGES) return MSG_PDFA_PAGES;
    return nullptr;
}

// A memory document's head, written once every page is in the buffer: it goes after them
// and then moves in front, through a copy of the head alone.
bool put_head_in_memory(PdfDoc *doc) {
    if (!flush(doc)) return false;
    const size_t pages = doc->mem_len;
    doc->pos = 0;
    write_head(doc, doc->head_offsets);
    doc->head_len = doc->pos;
    if (!flush(doc)) return false;
    const size_t head = (size_t)doc->head_len;
    uint8_t *copy = (uint8_t *)mem_malloc(head);
    if (!copy) return fail(doc, MSG_OOM);
    std::memcpy(copy, doc->mem + pages, head);
    std::memmove(doc->mem + head, doc->mem, pages);
    std::memcpy(doc->mem, copy, head);
    std::free(copy);
    doc->pos += pages;
    doc->page_base = doc->head_len;
    return true;
}

}  // namespace

const char *pdf_page_refusal(const PdfDoc *doc, const PdfImage *im, const PdfPageExtra *extra) {
    if (!pdf_image_ok(im)) return MSG_BAD_IMAGE;
    if (doc->info.pdfa == DOC_PDFA_OFF) return nullptr;
    PdfPage pg;
    lay_out(&pg, im, &doc->settings, doc->next_obj, extra, nullptr);
    return pdfa_refusal(doc, &pg, im, extra, doc->count);
}

bool pdf_image_ok(const PdfImage *im) {
    if (!im) return false;
    if (!im->pixels && !im->jpeg_data) return false;
    if (im->width <= 0 || im->height <= 0) return false;
    if ((int64_t)im->width * im->height > PDF_MAX_PIXELS) return false;
    // Two-component JPEGs have no PDF colour space.
    if (im->jpeg_data && im->jpeg_components == 2) return false;
    return true;
}

bool pdf_page_fits(const Settings *s, char *why, size_t why_size) {
    const GeoPicture pic{1, 1, (double)s->dpi, (double)s->dpi, false, 1};
    GeoLayout layout;
    return geo_lay_out(&s->page, &pic, &layout, why, why_size);
}

Settings pdf_settings(int mode, int dpi, unsigned flags) {
    Settings s = settings_defaults();
    if (!geo_page_from_mode(mode, &s.page)) s.page.paper_w = -1;
    s.dpi = dpi;
    s.compact = (flags & PDF_WRITE_COMPACT) != 0;
    return s;
}

bool pdf_doc_begin(PdfDoc *doc, const char *path, const Settings *s) {
    if (!setup(doc, path, s)) return false;
    FileWriteStatus st = file_scratch_open(doc->path, &doc->scratch);
    if (st == FILE_WRITE_OK)
        doc->dest = &doc->scratch;
    else if (!file_failed(st))
        return fail(doc, MSG_OOM);
    else
        fail(doc, MSG_CANNOT_OPEN);  // goes on dry: a later failure may outrank this one
    return true;
}

bool pdf_doc_begin_memory(PdfDoc *doc, const Settings *s) {
    if (!setup(doc, nullptr, s)) return false;
    doc->in_memory = true;
    doc->dest = &doc->out;  // never opened: bytes go to doc->mem
    return true;
}

void pdf_doc_take_memory(PdfDoc *doc, uint8_t **data, size_t *len) {
    // The spare room goes back. A failed shrink leaves the larger block, which serves as well,
    // so it is no failure of the call and bypasses the allocation hook.
    uint8_t *fitted = doc->mem_len ? (uint8_t *)std::realloc(doc->mem, doc->mem_len) : nullptr;
    *data = fitted ? fitted : doc->mem;
    *len = doc->mem_len;
    doc->mem = nullptr;
    doc->mem_len = doc->mem_cap = 0;
}

bool pdf_doc_begin_known(PdfDoc *doc, const char *path, PdfImage *const *images, int count, const Settings *s) {
    return pdf_doc_begin_known_ex(doc, path, images, nullptr, count, s);
}

bool pdf_doc_begin_known_ex(PdfDoc *doc, const char *path, PdfImage *const *images,
                            const PdfPageExtra *const *extras, int count, const Settings *s) {
    if (!setup(doc, path, s)) return false;
    if (count <= 0) return fail(doc, MSG_BAD_ARGS);
    // Every image is checked before anything is allocated for the pages.
    for (int i = 0; i < count; i++)
        if (!pdf_image_ok(images[i])) return fail(doc, MSG_BAD_IMAGE);
    doc->plan = (PdfPage *)mem_calloc((size_t)count, sizeof(PdfPage));
    if (!doc->plan) return fail(doc, MSG_OOM);
    doc->planned = count;
    for (int i = 0; i < count; i++) {
        PdfPage *pg = &doc->plan[i];
        const PdfPageExtra *extra = extras ? extras[i] : nullptr;
        lay_out(pg, images[i], &doc->settings, doc->next_obj, extra, nullptr);
        if (const char *why = pdfa_refusal(doc, pg, images[i], extra, i)) return fail(doc, why);
        if (!record_page(doc, pg)) return false;
        doc->count++;
        doc->next_obj = page_end(pg);
    }
    FileWriteStatus st = file_out_open(doc->path, &doc->out);
    if (st == FILE_WRITE_OK)
        doc->dest = &doc->out;
    else if (!file_failed(st))
        return fail(doc, MSG_OOM);
    else
        fail(doc, MSG_CANNOT_OPEN);
    write_head(doc, doc->head_offsets);
    doc->head_len = doc->page_base = doc->pos;
    doc->count = 0;  // pages are counted again as they are written
    doc->next_obj = 3;
    return true;
}

bool pdf_doc_add(PdfDoc *doc, const PdfImage *im) { return pdf_doc_add_ex(doc, im, nullptr); }

bool pdf_doc_add_ex(PdfDoc *doc, const PdfImage *im, const PdfPageExtra *extra) {
    if (!pdf_image_ok(im)) return fail(doc, MSG_BAD_IMAGE);
    if (!running(doc)) return false;
    PdfPage local;
    const PdfPage *pg;
    if (doc->plan) {
        if (doc->count >= doc->planned) return fail(doc, MSG_BAD_ARGS);
        pg = &doc->plan[doc->count];
        // The profile was numbered in the plan; a page that now brings another answer
        // would break the numbering of every later object.
        if ((pg->icc_obj != 0) != carries_profile(placement_of(extra), im)) return fail(doc, MSG_BAD_ARGS);
    } else {
        lay_out(&local, im, &doc->settings, doc->next_obj, extra, doc->ready);
        if (const char *why = pdfa_refusal(doc, &local, im, extra, doc->count)) return fail(doc, why);
        if (!record_page(doc, &local)) return false;
        pg = &local;
    }
    doc->hashing = doc->described;
    write_page(doc, pg, im, extra);
    doc->hashing = false;
    doc->count++;
    doc->next_obj = page_end(pg);
    if (doc->head_len + pages_len(doc) > MAX_XREF_OFFSET) return fail(doc, MSG_TOO_LARGE);
    return doc->message[0] == 0;
}

void pdf_prepare_page(const PdfImage *im, const PdfPageExtra *extra, const Settings *s, PdfPrepared *p) {
    *p = PdfPrepared{};
    p->has_alpha = -1;
    if (!pdf_image_ok(im) || im->jpeg_data) return;
    p->has_alpha = has_transparency(im) ? 1 : 0;
    if (!(s->compact || (extra && (extra->page_flags & PDF_PAGE_COMPACT))) || (extra && extra->coded)) return;
    PixelForm *f = (PixelForm *)mem_malloc(sizeof(PixelForm));
    if (!f) return;  // made when the page is written
    uint8_t *made;
    if (!(extra && extra->pass) &&
        colour_form(im, extra, carries_profile(placement_of(extra), im), nullptr, f, &made, &p->rgb_len)) {
        p->rgb_z = made ? made : deflate_plane(im, *f, &p->rgb_len);
        p->rgb_kind = f->kind, p->rgb_depth = f->depth;
    }
    if (p->has_alpha) {
        alpha_form(im, extra, f);
        p->alpha_z = deflate_plane(im, *f, &p->alpha_len);
        p->alpha_depth = f->depth;
    }
    std::free(f);
}

void pdf_prepared_free(PdfPrepared *p) {
    std::free(p->rgb_z);
    std::free(p->alpha_z);
    *p = PdfPrepared{};
    p->has_alpha = -1;
}

bool pdf_doc_add_prepared(PdfDoc *doc, const PdfImage *im, const PdfPageExtra *extra, const PdfPrepared *ready) {
    doc->ready = ready;
    const bool ok = pdf_doc_add_ex(doc, im, extra);
    doc->ready = nullptr;
    return ok;
}

bool pdf_doc_finish(PdfDoc *doc) {
    if (doc->count == 0) return fail(doc, MSG_BAD_ARGS);
    if (!running(doc)) return false;
    if (doc->in_memory) {
        if (!put_head_in_memory(doc)) return false;
    } else if (!doc->plan) {
        // The pages are complete in the scratch file: now the head can be written before them.
        if (!flush(doc)) return false;
        uint64_t pages = pages_len(doc);
        FileOut *scratch = doc->dest;
        if (doc->dest) {
            FileWriteStatus st = file_out_open(doc->path, &doc->out);
            if (st != FILE_WRITE_OK) {
                fail(doc, file_failed(st) ? MSG_CANNOT_OPEN : MSG_OOM);
                scratch = nullptr;
            }
        }
        doc->dest = scratch ? &doc->out : nullptr;
        doc->pos = 0;
        write_head(doc, doc->head_offsets);
        doc->head_len = doc->pos;
        if (!flush(doc)) return false;
        if (doc->dest && !file_out_copy(&doc->out, &doc->scratch)) fail(doc, MSG_WRITE_FAILED);
        file_out_discard(&doc->scratch);
        doc->pos += pages;
        doc->page_base = doc->head_len;
    }
    const TailObjects tail = tail_objects(doc, doc->next_obj);
    char id[DOC_ID_TEXT] = "";
    if (doc->described) {
        doc->hashing = true;
        const bool written = write_tail(doc, tail);
        doc->hashing = false;
        if (!written) return false;
        doc->next_obj = tail.end;
        uint8_t digest[16];
        md5_final(&doc->content, digest);
        doc_id_entry(digest, id);
    }
    uint64_t xref = doc->pos;
    if (xref > MAX_XREF_OFFSET) return fail(doc, MSG_TOO_LARGE);
    if (!doc->dest) return false;  // dry: the file failure stands
    write_xref(doc, doc->head_offsets, xref, tail.info, id);
    if (!flush(doc) || !doc->dest) return false;
    doc->dest = nullptr;
    if (doc->in_memory) return true;  // the caller takes the bytes
    FileWriteStatus st = file_out_commit(&doc->out);
    if (st != FILE_WRITE_OK) return fail(doc, MSG_WRITE_FAILED);
    return true;
}

void pdf_doc_free(PdfDoc *doc) {
    release_files(doc);
    std::free(doc->buf);
    std::free(doc->page_objs);
    std::free(doc->offsets);
    std::free(doc->plan);
    std::free(doc->path);
    doc->path = nullptr;
    doc->buf = nullptr;
    doc->page_objs = nullptr;
    doc->offsets = nullptr;
    doc->plan = nullptr;
}

int pdf_write_pages(const char *path, PdfImage *const *images, const PdfPageExtra *const *extras, int count,
                    const Settings *s, const char **message) {
    const char *unused;
    if (!message) message = &unused;  // a host may not want the text
    *message = "";
    if (!path || !images || count <= 0 || !s || !geo_dpi_ok(s->dpi)) {
        *message = MSG_BAD_ARGS;
        return 0;
    }
    PdfDoc doc;
    bool ok = pdf_doc_begin_known_ex(&doc, path, images, extras, count, s);
    for (int i = 0; ok && i < count; i++) ok = pdf_doc_add_ex(&doc, images[i], extras ? extras[i] : nullptr);
    ok = ok && pdf_doc_finish(&doc);
    *message = doc.message;
    pdf_doc_free(&doc);
    return ok ? 1 : 0;
}

extern "C" FOLIAN_API int pdf_write(const char *path, PdfImage *const *images, int count, int mode,
                                    int dpi, const char **message) noexcept {
    return pdf_write_pages(path, images, nullptr, count, mode, dpi, 0, message);
}

extern "C" FOLIAN_API int pdf_write_ex(const char *path, PdfImage *const *images, int count, int mode, int dpi,
                                       unsigned flags, const char **message) noexcept {
    return pdf_write_pages(path, images, nullptr, count, mode, dpi, flags, message);
}

extern "C" FOLIAN_API int pdf_write_settings(const char *path, PdfImage *const *images, int count,
                                             const folian_settings *s, char *error, size_t error_size) noexcept {
    const Settings defaults = settings_defaults();
    const Settings *set = s ? settings_of(s) : &defaults;
    char why[256] = "";
    const char *message = why;
    // The writer's own text for a page without room is a constant; this one names the sizes.
    const int ok = pdf_page_fits(set, why, sizeof why) ? pdf_write_pages(path, images, nullptr, count, set, &message) : 0;
    if (error && error_size) std::snprintf(error, error_size, "%s", message);
    return ok;
}
