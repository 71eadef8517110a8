// pdf_write.cpp: the PDF 1.4 writer and the stored-block zlib stream encoder.
//
// A document is one page per image. Objects are numbered catalog 1, page tree 2, then per
// page: page, image, soft mask (only when some alpha byte is below 255), content stream.
// Since every page's objects are numbered consecutively, writing pages in order writes the
// objects in number order, so each body goes straight into the output buffer: there are no
// per-object copies. Pixel samples are gathered from the RGBA records directly into their
// zlib streams, again without a scratch copy. The finished file is handed to the safe
// whole-file write, so a failure never leaves a partial document at the path.
#include "pdf_write.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "file_io.h"
#include "format.h"
#include "jpeg/jpeg.h"
#include "mem.h"

uint8_t *kv_deflate(const uint8_t *data, uint64_t len, uint64_t *out_len) {
    uint64_t size = zlib_stored_size(len);
    if (size > SIZE_MAX) return nullptr;
    uint8_t *out = (uint8_t *)mem_malloc((size_t)size);
    if (!out) return nullptr;
    zlib_stored_write(out, len, [data](uint8_t *dst, uint64_t first, uint64_t count) {
        std::memcpy(dst, data + first, (size_t)count);
    });
    *out_len = size;
    return out;
}

struct PdfPage {
    int page_obj, image_obj, smask_obj, content_obj;
    double image_w, image_h;
    double page_w, page_h;
    double offset_x, offset_y;
    double scale;
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

constexpr int64_t MAX_PIXELS = 200000000;
constexpr int MAX_DPI = 10000;
// A cross-reference entry holds a ten-digit offset.
constexpr uint64_t MAX_XREF_OFFSET = 9999999999ULL;

struct PaperSize {
    double w, h;
};
// Points (1/72 inch) for modes 1 to 3: A4, US Letter, A3, portrait.
constexpr PaperSize PAPER[4] = {{0, 0}, {595.28, 841.89}, {612, 792}, {841.89, 1190.55}};

constexpr char HEADER[] = "%PDF-1.4\n%\xE2\xE3\xCF\xD3\n";  // 15 bytes
constexpr char STREAM_END[] = "\nendstream\n";
constexpr char OBJ_END[] = "\nendobj\n";

// ---- Output buffer ------------------------------------------------------------------------

// Makes room for `extra` more bytes, growing geometrically. On failure the document is
// lost: the message is set and every later step fails.
bool doc_reserve(PdfDoc *doc, uint64_t extra) {
    if (doc->message[0]) return false;
    if (extra <= doc->cap - doc->len) return true;
    uint64_t need = doc->len + extra;
    uint64_t cap = doc->cap ? doc->cap : 4096;
    while (cap < need) cap = cap > UINT64_MAX / 2 ? need : cap * 2;
    uint8_t *p = cap <= SIZE_MAX ? (uint8_t *)mem_realloc(doc->out, (size_t)cap) : nullptr;
    if (!p) {
        doc->message = MSG_OOM;
        return false;
    }
    doc->out = p;
    doc->cap = cap;
    return true;
}

bool doc_append(PdfDoc *doc, const void *data, uint64_t n) {
    if (!doc_reserve(doc, n)) return false;
    std::memcpy(doc->out + doc->len, data, (size_t)n);
    doc->len += n;
    return true;
}

#if defined(__GNUC__)
#define PRINTF_LIKE __attribute__((format(printf, 2, 3)))
#else
#define PRINTF_LIKE
#endif

// Formatted append; texts of any length are kept whole.
PRINTF_LIKE bool doc_printf(PdfDoc *doc, const char *fmt, ...) {
    char local[2048];
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(local, sizeof local, fmt, ap);
    va_end(ap);
    if (n <= 0) return n == 0;
    if ((size_t)n < sizeof local) return doc_append(doc, local, (uint64_t)n);
    if (!doc_reserve(doc, (uint64_t)n + 1)) return false;
    va_start(ap, fmt);
    std::vsnprintf((char *)doc->out + doc->len, (size_t)n + 1, fmt, ap);
    va_end(ap);
    doc->len += (uint64_t)n;
    return true;
}

bool begin_object(PdfDoc *doc, int num) {
    doc->offsets[num] = doc->len;
    return doc_printf(doc, "%d 0 obj\n", num);
}

bool end_object(PdfDoc *doc) { return doc_append(doc, OBJ_END, sizeof OBJ_END - 1); }

// ---- Layout ----------------------------------------------------------------------------

bool image_is_valid(const PdfImage *im) {
    if (!im) return false;
    if (!im->pixels && !im->jpeg_data) return false;
    if (im->width <= 0 || im->height <= 0) return false;
    if ((int64_t)im->width * im->height > MAX_PIXELS) return false;
    // Two-component JPEGs have no PDF colour space.
    if (im->jpeg_data && im->jpeg_components == 2) return false;
    return true;
}

bool has_transparency(const PdfImage *im) {
    const uint8_t *px = im->pixels;
    uint64_t n = (uint64_t)im->width * (uint64_t)im->height;
    for (uint64_t i = 0; i < n; i++)
        if (px[i * 4 + 3] != 255) return true;
    return false;
}

void place_image(PdfPage *pg, const PdfImage *im, int mode, int dpi) {
    pg->image_w = (im->width * 72.0) / dpi;
    pg->image_h = (im->height * 72.0) / dpi;
    if (mode == 0) {
        pg->page_w = pg->image_w;
        pg->page_h = pg->image_h;
        pg->scale = 1.0;
        pg->offset_x = 0;
        pg->offset_y = 0;
        return;
    }
    pg->page_w = PAPER[mode].w;
    pg->page_h = PAPER[mode].h;
    double by_h = pg->page_h / pg->image_h;
    double by_w = pg->page_w / pg->image_w;
    pg->scale = by_h < by_w ? by_h : by_w;
    pg->offset_x = 0.5 * (pg->page_w - pg->image_w * pg->scale);
    pg->offset_y = 0.5 * (pg->page_h - pg->image_h * pg->scale);
}

// ---- Page objects ----------------------------------------------------------------------

const char *jpeg_colour_space(const PdfImage *im) {
    if (im->jpeg_components == 1) return "/DeviceGray";
    if (im->jpeg_components == 4) {
        return jpeg_has_adobe_segment(im->jpeg_data, im->jpeg_len)
                   ? "/DeviceCMYK /Decode [1 0 1 0 1 0 1 0]"
                   : "/DeviceCMYK";
    }
    return "/DeviceRGB";
}

bool write_jpeg_image(PdfDoc *doc, const PdfPage *pg, const PdfImage *im) {
    return begin_object(doc, pg->image_obj) &&
           doc_printf(doc,
                      "<< /Type /XObject /Subtype /Image /Width %d /Height %d /ColorSpace %s "
                      "/BitsPerComponent 8 /Filter /DCTDecode /Length %llu >>\nstream\n",
                      im->width, im->height, jpeg_colour_space(im),
                      (unsigned long long)im->jpeg_len) &&
           doc_append(doc, im->jpeg_data, im->jpeg_len) &&
           doc_append(doc, STREAM_END, sizeof STREAM_END - 1) && end_object(doc);
}

// Appends a stored-block zlib stream of `n` samples gathered by `fill`.
template <typename Fill>
bool append_zlib(PdfDoc *doc, uint64_t n, Fill fill) {
    uint64_t size = zlib_stored_size(n);
    if (!doc_reserve(doc, size)) return false;
    zlib_stored_write(doc->out + doc->len, n, fill);
    doc->len += size;
    return true;
}

bool write_rgb_image(PdfDoc *doc, const PdfPage *pg, const PdfImage *im) {
    uint64_t pixels = (uint64_t)im->width * (uint64_t)im->height;
    uint64_t stream_len = zlib_stored_size(pixels * 3);
    bool ok = begin_object(doc, pg->image_obj);
    if (pg->has_alpha) {
        ok = ok && doc_printf(doc,
                              "<< /Type /XObject /Subtype /Image /Width %d /Height %d /ColorSpace "
                              "/DeviceRGB /BitsPerComponent 8 /Filter /FlateDecode /SMask %d 0 R "
                              "/Length %llu >>\nstream\n",
                              im->width, im->height, pg->smask_obj, (unsigned long long)stream_len);
    } else {
        ok = ok && doc_printf(doc,
                              "<< /Type /XObject /Subtype /Image /Width %d /Height %d /ColorSpace "
                              "/DeviceRGB /BitsPerComponent 8 /Filter /FlateDecode /Length %llu "
                              ">>\nstream\n",
                              im->width, im->height, (unsigned long long)stream_len);
    }
    const uint8_t *px = im->pixels;
    ok = ok && append_zlib(doc, pixels * 3, [px](uint8_t *dst, uint64_t first, uint64_t count) {
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
    return ok && doc_append(doc, STREAM_END, sizeof STREAM_END - 1) && end_object(doc);
}

bool write_soft_mask(PdfDoc *doc, const PdfPage *pg, const PdfImage *im) {
    uint64_t pixels = (uint64_t)im->width * (uint64_t)im->height;
    const uint8_t *px = im->pixels;
    return begin_object(doc, pg->smask_obj) &&
           doc_printf(doc,
                      "<< /Type /XObject /Subtype /Image /Width %d /Height %d /ColorSpace "
                      "/DeviceGray /BitsPerComponent 8 /Filter /FlateDecode /Length %llu "
                      ">>\nstream\n",
                      im->width, im->height, (unsigned long long)zlib_stored_size(pixels)) &&
           append_zlib(doc, pixels,
                       [px](uint8_t *dst, uint64_t first, uint64_t count) {
                           const uint8_t *src = px + first * 4 + 3;
                           for (uint64_t i = 0; i < count; i++) dst[i] = src[i * 4];
                       }) &&
           doc_append(doc, STREAM_END, sizeof STREAM_END - 1) && end_object(doc);
}

bool write_content(PdfDoc *doc, const PdfPage *pg) {
    char text[256];
    int n = std::snprintf(text, sizeof text, "q\n%s 0 0 %s %s %s cm\n/Im0 Do\nQ\n",
                          fixed2(pg->image_w * pg->scale).text, fixed2(pg->image_h * pg->scale).text,
                          fixed2(pg->offset_x).text, fixed2(pg->offset_y).text);
    return begin_object(doc, pg->content_obj) &&
           doc_printf(doc, "<< /Length %d >>\nstream\n%sendstream\n", n, text) && end_object(doc);
}

bool write_page_object(PdfDoc *doc, const PdfPage *pg) {
    return begin_object(doc, pg->page_obj) &&
           doc_printf(doc,
                      "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 %s %s] /Resources << "
                      "/ProcSet [/PDF /ImageC] /XObject << /Im0 %d 0 R >> >> /Contents %d 0 R >>",
                      fixed2(pg->page_w).text, fixed2(pg->page_h).text, pg->image_obj,
                      pg->content_obj) &&
           end_object(doc);
}

// Header, catalog and page tree: written once every page is laid out.
bool write_document_head(PdfDoc *doc) {
    if (!doc_append(doc, HEADER, sizeof HEADER - 1)) return false;
    if (!begin_object(doc, 1) || !doc_printf(doc, "<< /Type /Catalog /Pages 2 0 R >>") ||
        !end_object(doc))
        return false;
    if (!begin_object(doc, 2) || !doc_printf(doc, "<< /Type /Pages /Kids ["))
        return false;
    for (int i = 0; i < doc->count; i++)
        if (!doc_printf(doc, "%s%d 0 R", i ? " " : "", doc->pages[i].page_obj)) return false;
    return doc_printf(doc, "] /Count %d >>", doc->count) && end_object(doc);
}

bool fail(PdfDoc *doc, const char *message) {
    if (!doc->message[0]) doc->message = message;
    return false;
}

}  // namespace

bool pdf_doc_begin(PdfDoc *doc, int count, int mode, int dpi) {
    *doc = PdfDoc{};
    doc->message = "";
    doc->next_obj = 3;
    if (count <= 0 || dpi < 1 || dpi > MAX_DPI) return fail(doc, MSG_BAD_ARGS);
    if ((unsigned)mode > 3) return fail(doc, MSG_BAD_MODE);
    doc->count = count;
    doc->mode = mode;
    doc->dpi = dpi;
    doc->pages = (PdfPage *)mem_calloc((size_t)count, sizeof(PdfPage));
    if (!doc->pages) return fail(doc, MSG_OOM);
    return true;
}

bool pdf_doc_layout(PdfDoc *doc, const PdfImage *im) {
    if (doc->message[0] || doc->laid_out >= doc->count) return fail(doc, MSG_BAD_ARGS);
    if (!image_is_valid(im)) return fail(doc, MSG_BAD_IMAGE);
    PdfPage *pg = &doc->pages[doc->laid_out++];
    place_image(pg, im, doc->mode, doc->dpi);
    int n = doc->next_obj;
    pg->page_obj = n;
    pg->image_obj = n + 1;
    pg->has_alpha = !im->jpeg_data && has_transparency(im);
    if (pg->has_alpha) pg->smask_obj = n + 2;
    pg->content_obj = pg->has_alpha ? n + 3 : n + 2;
    doc->next_obj = pg->content_obj + 1;
    return true;
}

bool pdf_doc_add_page(PdfDoc *doc, const PdfImage *im) {
    if (doc->message[0] || doc->laid_out != doc->count || doc->added >= doc->count)
        return fail(doc, MSG_BAD_ARGS);
    if (doc->added == 0) {
        doc->offsets = (uint64_t *)mem_calloc((size_t)doc->next_obj, sizeof(uint64_t));
        if (!doc->offsets) return fail(doc, MSG_OOM);
        if (!write_document_head(doc)) return fail(doc, MSG_OOM);
    }
    const PdfPage *pg = &doc->pages[doc->added++];
    bool ok = write_page_object(doc, pg);
    if (im->jpeg_data) {
        ok = ok && write_jpeg_image(doc, pg, im);
    } else {
        ok = ok && write_rgb_image(doc, pg, im);
        if (pg->has_alpha) ok = ok && write_soft_mask(doc, pg, im);
    }
    ok = ok && write_content(doc, pg);
    return ok || fail(doc, MSG_OOM);
}

bool pdf_doc_finish(PdfDoc *doc, const char *path) {
    if (doc->message[0] || doc->added != doc->count) return fail(doc, MSG_BAD_ARGS);
    uint64_t xref = doc->len;
    if (xref > MAX_XREF_OFFSET) return fail(doc, MSG_TOO_LARGE);
    int n_obj = doc->next_obj;
    // Every entry is exactly 20 bytes, so the table can be reserved in one step.
    if (!doc_reserve(doc, 64 + 20 * (uint64_t)n_obj + 128)) return fail(doc, MSG_OOM);
    bool ok = doc_printf(doc, "xref\n0 %d\n", n_obj) &&
              doc_append(doc, "0000000000 65535 f \n", 20);
    for (int i = 1; ok && i < n_obj; i++)
        ok = doc_printf(doc, "%010llu 00000 n \n", (unsigned long long)doc->offsets[i]);
    ok = ok && doc_printf(doc, "trailer\n<< /Size %d /Root 1 0 R >>\nstartxref\n%llu\n%%%%EOF\n",
                          n_obj, (unsigned long long)xref);
    if (!ok) return fail(doc, MSG_OOM);
    if (doc->len > SIZE_MAX) return fail(doc, MSG_TOO_LARGE);
    switch (file_write_whole(path, doc->out, (size_t)doc->len)) {
    case FILE_WRITE_OK: return true;
    case FILE_WRITE_CANNOT_OPEN: return fail(doc, MSG_CANNOT_OPEN);
    default: return fail(doc, MSG_WRITE_FAILED);
    }
}

void pdf_doc_free(PdfDoc *doc) {
    std::free(doc->out);
    std::free(doc->offsets);
    std::free(doc->pages);
    doc->out = nullptr;
    doc->offsets = nullptr;
    doc->pages = nullptr;
}

extern "C" FOLIAN_API int pdf_write(const char *path, PdfImage *const *images, int count, int mode,
                                    int dpi, const char **message) noexcept {
    const char *unused;
    if (!message) message = &unused;  // a host may not want the text
    *message = "";
    if (!path || !images) {
        *message = MSG_BAD_ARGS;
        return 0;
    }
    PdfDoc doc;
    bool ok = pdf_doc_begin(&doc, count, mode, dpi);
    for (int i = 0; ok && i < count; i++) ok = pdf_doc_layout(&doc, images[i]);
    for (int i = 0; ok && i < count; i++) ok = pdf_doc_add_page(&doc, images[i]);
    ok = ok && pdf_doc_finish(&doc, path);
    *message = doc.message;
    pdf_doc_free(&doc);
    return ok ? 1 : 0;
}
