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

// A cross-reference entry holds a ten-digit offset.
constexpr uint64_t MAX_XREF_OFFSET = 9999999999ULL;
// Large enough that a stored zlib block (65540 bytes) and its neighbours go out in few
// system calls; small beside any page image.
constexpr size_t WRITE_BUF_SIZE = 1 << 20;

constexpr char HEADER[] = "%PDF-1.4\n%\xE2\xE3\xCF\xD3\n";  // 15 bytes
constexpr char STREAM_END[] = "\nendstream\n";
constexpr char OBJ_END[] = "\nendobj\n";

// ---- Failures --------------------------------------------------------------------------

int rank(const char *message) {
    if (message == MSG_BAD_IMAGE) return 4;
    if (message == MSG_OOM) return 3;
    if (message == MSG_TOO_LARGE) return 2;
    if (message[0]) return 1;
    return 0;
}

void release_files(PdfDoc *doc) {
    file_out_discard(&doc->out);
    file_out_discard(&doc->scratch);
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

bool flush(PdfDoc *doc) {
    if (doc->dest && doc->buf_len && !file_out_write(doc->dest, doc->buf, doc->buf_len))
        return fail(doc, MSG_WRITE_FAILED);
    doc->buf_len = 0;
    return true;
}

// Room for n contiguous bytes in the buffer (n <= WRITE_BUF_SIZE).
bool reserve(PdfDoc *doc, size_t n) { return WRITE_BUF_SIZE - doc->buf_len >= n || flush(doc); }

// Appends bytes; a dry document only counts them.
void put(PdfDoc *doc, const void *data, uint64_t n) {
    doc->pos += n;
    if (!doc->dest) return;
    if (n <= WRITE_BUF_SIZE - doc->buf_len) {
        std::memcpy(doc->buf + doc->buf_len, data, (size_t)n);
        doc->buf_len += (size_t)n;
        return;
    }
    if (!flush(doc) || !doc->dest) return;
    if (n < WRITE_BUF_SIZE) {
        std::memcpy(doc->buf, data, (size_t)n);
        doc->buf_len = (size_t)n;
    } else if (!file_out_write(doc->dest, data, (size_t)n)) {
        fail(doc, MSG_WRITE_FAILED);
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

// One plane of the record, `colors` samples per pixel (3: red, green, blue; 1: alpha),
// filtered and compressed into a zlib stream. Null when memory runs out.
uint8_t *deflate_plane(const PdfImage *im, unsigned colors, size_t *len) {
    const size_t w = (size_t)im->width, n = w * colors;
    uint8_t *rows = (uint8_t *)mem_malloc(3 * n + 1);
    Deflater *d = rows ? deflate_new(DEFLATE_ZLIB, DEFLATE_QUICK) : nullptr;
    bool ok = d != nullptr;
    uint8_t *cur = rows, *prev = rows ? rows + n : nullptr, *line = rows ? rows + 2 * n : nullptr;
    for (size_t y = 0; ok && y < (size_t)im->height; y++) {
        const uint8_t *px = im->pixels + y * w * 4;
        if (colors == 3) {
            for (size_t x = 0; x < w; x++) std::memcpy(cur + 3 * x, px + 4 * x, 3);
        } else {
            for (size_t x = 0; x < w; x++) cur[x] = px[4 * x + 3];
        }
        png_filter_row(cur, y ? prev : nullptr, n, colors, line);
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

// A compressed plane as an image object; false when memory runs out.
bool write_deflated_image(PdfDoc *doc, const PdfPage *pg, const PdfImage *im, bool alpha) {
    size_t len = 0;
    const PdfPrepared *ready = doc->ready;
    uint8_t *z = ready ? (alpha ? ready->alpha_z : ready->rgb_z) : nullptr;
    uint8_t *own = nullptr;
    if (z)
        len = alpha ? ready->alpha_len : ready->rgb_len;
    else if (!(z = own = deflate_plane(im, alpha ? 1 : 3, &len)))
        return fail(doc, MSG_OOM);
    begin_object(doc, alpha ? pg->smask_obj : pg->image_obj);
    put_printf(doc, "<< /Type /XObject /Subtype /Image /Width %d /Height %d /ColorSpace %s /BitsPerComponent 8 ",
               im->width, im->height, alpha ? "/DeviceGray" : image_colour_space(pg, im).text);
    if (!alpha) put_soft_mask_ref(doc, pg);
    put_printf(doc, "/Filter /FlateDecode ");
    put_decode_parms(doc, alpha ? 1 : 3, 8, im->width);
    put_printf(doc, "/Length %llu >>\nstream\n", (unsigned long long)len);
    put(doc, z, len);
    std::free(own);
    end_stream_object(doc);
    return true;
}

// [/Indexed base hival <lookup>]: every index the depth can hold has an entry, those
// past the file's palette black, as the decoder reads them.
void put_indexed_space(PdfDoc *doc, const PdfPassthrough *pass, const char *base) {
    static const char HEX[] = "0123456789ABCDEF";
    const int entries = 1 << pass->depth;
    put_printf(doc, "[/Indexed %s %d <", base, entries - 1);
    char text[96];
    size_t n = 0;
    for (int i = 0; i < entries * 3; i++) {
        const uint8_t v = i < pass->palette_entries * 3 ? pass->palette[i] : 0;
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

void write_passthrough_image(PdfDoc *doc, const PdfPage *pg, const PdfImage *im, const PdfPassthrough *pass) {
    begin_object(doc, pg->image_obj);
    put_printf(doc, "<< /Type /XObject /Subtype /Image /Width %d /Height %d /ColorSpace ", im->width, im->height);
    // The file's RGB profile describes the palette's colours as well as RGB samples; grey
    // files never carry one here (their profile has the wrong component count).
    const ColourSpace rgb = image_colour_space(pg, im);
    if (pass->palette)
        put_indexed_space(doc, pass, rgb.text);
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

// The image and soft mask objects of a compact pixel page.
void write_compact_images(PdfDoc *doc, const PdfPage *pg, const PdfImage *im, const PdfPassthrough *pass) {
    if (pass)
        write_passthrough_image(doc, pg, im, pass);
    else if (!write_deflated_image(doc, pg, im, false))
        return;
    if (pg->has_alpha) write_deflated_image(doc, pg, im, true);
}

void write_content(PdfDoc *doc, const PdfPage *pg) {
    // Every number is a page coordinate of at most a few digits, so the text fits.
    char text[512];
    const int n = geo_content(&pg->geo, text, sizeof text);
    begin_object(doc, pg->content_obj);
    put_printf(doc, "<< /Length %d >>\nstream\n", n);
    put(doc, text, (uint64_t)n < sizeof text ? (uint64_t)n : sizeof text - 1);
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
    } else if (doc->settings.compact) {
        write_compact_images(doc, pg, im, extra ? extra->pass : nullptr);
    } else {
        write_rgb_image(doc, pg, im);
        if (pg->has_alpha) write_soft_mask(doc, pg, im);
    }
    write_content(doc, pg);
    if (pg->icc_obj) write_icc_profile(doc, pg, placement_of(extra));
}

// Header, catalog and page tree; objects 1 and 2 are the only ones before the pages.
void write_head(PdfDoc *doc, uint64_t *head_offsets) {
    put(doc, HEADER, sizeof HEADER - 1);
    head_offsets[0] = doc->pos;
    put_printf(doc, "1 0 obj\n<< /Type /Catalog /Pages 2 0 R >>");
    end_object(doc);
    head_offsets[1] = doc->pos;
    put_printf(doc, "2 0 obj\n<< /Type /Pages /Kids [");
    for (int i = 0; i < doc->count; i++) put_printf(doc, "%s%d 0 R", i ? " " : "", doc->page_objs[i]);
    put_printf(doc, "] /Count %d >>", doc->count);
    end_object(doc);
}

void write_xref(PdfDoc *doc, const uint64_t *head_offsets, uint64_t xref) {
    put_printf(doc, "xref\n0 %d\n", doc->next_obj);
    put(doc, "0000000000 65535 f \n", 20);
    for (int i = 1; i < doc->next_obj; i++) {
        uint64_t off = i <= 2 ? head_offsets[i - 1] : doc->head_len + doc->offsets[i];
        put_printf(doc, "%010llu 00000 n \n", (unsigned long long)off);
    }
    put_printf(doc, "trailer\n<< /Size %d /Root 1 0 R >>\nstartxref\n%llu\n%%%%EOF\n",
               doc->next_obj, (unsigned long long)xref);
}

bool setup(PdfDoc *doc, const char *path, const Settings *s) {
    *doc = PdfDoc{};
    doc->message = "";
    doc->next_obj = 3;
    if (!s || !geo_dpi_ok(s->dpi)) return fail(doc, MSG_BAD_ARGS);
    if (s->page.paper_w < 0) return fail(doc, MSG_BAD_MODE);
    if (!pdf_page_fits(s, nullptr, 0)) return fail(doc, MSG_NO_ROOM);
    doc->settings = *s;
    // The caller's text may change or go before the document is finished.
    const size_t n = path ? std::strlen(path) + 1 : 0;
    if (n) doc->path = (char *)mem_malloc(n);
    if (n && !doc->path) return fail(doc, MSG_OOM);
    if (n) std::memcpy(doc->path, path, n);
    doc->buf = (uint8_t *)mem_malloc(WRITE_BUF_SIZE);
    if (!doc->buf) return fail(doc, MSG_OOM);
    return true;
}

}  // namespace

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
        lay_out(pg, images[i], &doc->settings, doc->next_obj, extras ? extras[i] : nullptr, nullptr);
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
        if (!record_page(doc, &local)) return false;
        pg = &local;
    }
    write_page(doc, pg, im, extra);
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
    if (!s->compact) return;
    if (!(extra && extra->pass)) p->rgb_z = deflate_plane(im, 3, &p->rgb_len);
    if (p->has_alpha) p->alpha_z = deflate_plane(im, 1, &p->alpha_len);
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
    if (!doc->plan) {
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
    uint64_t xref = doc->pos;
    if (xref > MAX_XREF_OFFSET) return fail(doc, MSG_TOO_LARGE);
    if (!doc->dest) return false;  // dry: the file failure stands
    write_xref(doc, doc->head_offsets, xref);
    if (!flush(doc) || !doc->dest) return false;
    doc->dest = nullptr;
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
