// pdf_write.h: the PDF writer's internal interface: the page-at-a-time document builder
// behind pdf_write.
#ifndef FOLIAN_PDF_WRITE_H
#define FOLIAN_PDF_WRITE_H

#include <cstdint>
#include <cstring>

#include "bytes.h"
#include "checksum.h"
#include "docinfo.h"
#include "file_io.h"
#include "flate/flate.h"
#include "folian.h"
#include "settings.h"

// ---- Document builder ------------------------------------------------------------------------
// pdf_write in steps, so a caller can hand pages over one after another and free each image
// once its page is added. Object numbers of a page depend only on which earlier pages carry a
// soft mask, so page objects can be written as they come; only the page tree (object 2, which
// lists every page and precedes them all) must wait for the last page. Two ways in:
//   pdf_doc_begin: pages stream into a nameless scratch file beside the output; finishing
//     writes the head, copies the pages after it (in the kernel where it can) and adds the
//     cross-reference table.
//   pdf_doc_begin_known: every image is at hand, so the pages are laid out first and the
//     whole file is written in one pass, head first, with no scratch file.
// Either way the output is a temporary that replaces the destination only when complete,
// and memory stays at one write buffer plus a few bytes per page.
//
// Failures. The first failure ends writing; what is reported is the failure today's whole-
// document writer would have reported for the same inputs, which checks every image before
// it allocates, and sizes the document before it opens the file. So a failure is raised by
// rank: a bad image outranks running out of memory, which outranks a document too large,
// which outranks an output that cannot be opened or written. After a file failure the
// document goes on dry, counting bytes without writing them, so a later "too large" or bad
// image still takes precedence; after any other failure later pages are only checked.

struct PdfPage;  // one page's object numbers and geometry
struct PdfPrepared;  // work on a page done ahead of its turn (below)

// The most pixels a page image may have (width times height).
constexpr int64_t PDF_MAX_PIXELS = 200000000;

struct PdfDoc {
    char *path;            // the destination, the writer's own copy
    Settings settings;     // what the pages are laid out by; texts borrowed from the caller
    int count;             // pages added
    int next_obj;          // next free object number
    int *page_objs;        // page object number of every page added (the Kids list)
    size_t page_cap;
    uint64_t *offsets;     // offsets[i]: where object i >= 3 begins, from the first page's start
    size_t offset_cap;
    PdfPage *plan;         // pdf_doc_begin_known: the layout of every page
    int planned;
    FileOut out;           // the document under its temporary name, once open
    FileOut scratch;       // pdf_doc_begin: the pages until the document is finished
    FileOut *dest;         // where bytes go now; null while the document runs dry
    uint8_t *buf;          // write buffer in front of dest
    size_t buf_len;
    uint64_t pos;          // bytes put so far into the current file (counted when dry too)
    uint64_t page_base;    // pos where the first page begins in the current file
    uint64_t head_len;     // header, catalog and page tree, once written
    uint64_t head_offsets[2];  // where objects 1 and 2 begin
    const char *message;   // "" or the failure text
    // The document's description (settings' metadata keys). When `described`, objects follow
    // the last page: /Info, the XMP stream and, for PDF/A, the output intent's profile.
    DocInfo info;          // texts borrowed, like the settings'
    bool described;
    bool hashing;          // bytes put now go into `content`, the digest the trailer /ID names
    Md5 content;
    // pdf_doc_begin_memory: the document grows here instead of in a file (dest then points
    // at `out`, which stays unopened, only to say the document is not dry).
    bool in_memory;
    uint8_t *mem;
    size_t mem_len, mem_cap;
    const PdfPrepared *ready;  // during pdf_doc_add_prepared: the work done ahead
};

// Both set *doc up and return false only when it cannot be used at all (bad arguments, bad
// page size mode, no memory for its buffer, a bad image among `images`); a file that cannot be
// opened leaves a usable, dry document with the message set. The path is copied; the
// settings are copied too, but the texts they point at must outlive the document.
bool pdf_doc_begin(PdfDoc *doc, const char *path, const Settings *s);
bool pdf_doc_begin_known(PdfDoc *doc, const char *path, PdfImage *const *images, int count, const Settings *s);
// The writer's public arguments as a record: page mode, resolution, PDF_WRITE_* bits. A mode
// outside 0 to 3 gives a page record that begin refuses as a bad page size mode.
Settings pdf_settings(int mode, int dpi, unsigned flags);
// Whether the settings' margins leave room for a picture on their paper (pictures do not
// change the answer); else false with why naming the page size and margins.
bool pdf_page_fits(const Settings *s, char *why, size_t why_size);
inline bool pdf_doc_begin(PdfDoc *doc, const char *path, int mode, int dpi, unsigned flags = 0) {
    const Settings s = pdf_settings(mode, dpi, flags);
    return pdf_doc_begin(doc, path, &s);
}
inline bool pdf_doc_begin_known(PdfDoc *doc, const char *path, PdfImage *const *images, int count, int mode,
                                int dpi, unsigned flags = 0) {
    const Settings s = pdf_settings(mode, dpi, flags);
    return pdf_doc_begin_known(doc, path, images, count, &s);
}
// The checks a page image must pass ("pdf_write: bad image" otherwise).
bool pdf_image_ok(const PdfImage *image);
struct PdfPageExtra;
// Why the document would refuse this page, or null: a bad image, or a page the document's
// PDF/A level cannot hold. A refused page leaves the document as it was; pdf_doc_add_ex
// given the page fails the whole document with the same text.
const char *pdf_page_refusal(const PdfDoc *doc, const PdfImage *image, const PdfPageExtra *extra);
// Lays out and writes one page. With pdf_doc_begin_known, the images in the same order.
// False when this page or an earlier one failed (doc->message says why).
bool pdf_doc_add(PdfDoc *doc, const PdfImage *image);
// ---- What a conversion knows beyond the page record ------------------------------------------
// Hosts hand pdf_write bare PdfImage records; a conversion knows more about each file and
// passes it beside the record. A null part means "as the record alone says".
struct PdfPlacement;    // read from the file: orientation, resolution, colour profile

// Compact pages: a PNG file's own image data, carried as it is. The record's pixels are
// still the decoded image: its alpha decides the soft mask, as on every page. The caller
// owns the bytes until the page is added.
struct PdfPassthrough {
    const uint8_t *data;     // the joined IDAT data: one zlib stream of PNG-filtered rows
    uint64_t len;
    int depth;               // bits per sample: 1, 2, 4 or 8
    int colors;              // samples per pixel: 1 (grey level or palette index) or 3 (RGB)
    const uint8_t *palette;  // palette images: the PLTE entries, 3 bytes each; else null
    int palette_entries;     // 0 to 256; indexes past them are black
};
// A page's compressed data that PDF decodes itself, carried unchanged (a TIFF page's fax
// data). The record's pixels are still the decoded image, for its size and the checks.
struct PdfCoded {
    const uint8_t *data;
    uint64_t len;
    int k;                // /K: -1 two-dimensional, 0 one-dimensional, 1 mixed
    bool black_is_1;      // a 1 bit is black
    bool byte_align;      // /EncodedByteAlign: every coded row starts on a byte boundary
};
// How a page's pixels may be written beyond what the document's flags say.
constexpr unsigned PDF_PAGE_COMPACT = 0x01u;  // compact, whatever the document's flags
constexpr unsigned PDF_PAGE_INDEXED = 0x02u;  // /Indexed when at most 256 colours appear
constexpr unsigned PDF_PAGE_GREY = 0x04u;     // compact: /DeviceGray when every pixel is grey
struct PdfPageExtra {
    const PdfPassthrough *pass;
    const PdfPlacement *place;
    const PdfCoded *coded = nullptr;  // the fax data the page is written with
    unsigned page_flags = 0;          // PDF_PAGE_* bits
};
// How the file wants its picture placed. Whatever the writer cannot use is ignored, so the
// page falls back to what the record alone gives: an orientation outside 2 to 8, a
// resolution outside 1 to 10000 dpi (either direction), a profile whose component count
// differs from the image's as written (pixel images are written as RGB).
struct PdfPlacement {
    int orientation;      // EXIF orientation: the stored picture is drawn upright
    double dpi_x, dpi_y;  // the file's own resolution, used in page mode 0; 0 for none
    const uint8_t *icc;   // an ICC profile for the image's samples, or null; not owned
    uint64_t icc_len;
    int icc_components;   // the profile's component count (1, 3 or 4)
};
// pdf_doc_add with what the conversion knows; a null `extra` is pdf_doc_add. With
// pdf_doc_begin_known_ex, `extra` must say what it said there for this page.
bool pdf_doc_add_ex(PdfDoc *doc, const PdfImage *image, const PdfPageExtra *extra);
// pdf_doc_begin_known for pages that come with extras: `extras` (null, or `count` entries,
// each possibly null) are laid out with their images.
bool pdf_doc_begin_known_ex(PdfDoc *doc, const char *path, PdfImage *const *images,
                            const PdfPageExtra *const *extras, int count, const Settings *s);
inline bool pdf_doc_begin_known_ex(PdfDoc *doc, const char *path, PdfImage *const *images,
                                   const PdfPageExtra *const *extras, int count, int mode, int dpi,
                                   unsigned flags = 0) {
    const Settings s = pdf_settings(mode, dpi, flags);
    return pdf_doc_begin_known_ex(doc, path, images, extras, count, &s);
}
// pdf_write with settings and, beside each record, what the conversion knows (`extras` may be
// null, and so may any of its entries).
int pdf_write_pages(const char *path, PdfImage *const *images, const PdfPageExtra *const *extras, int count,
                    const Settings *s, const char **message);
inline int pdf_write_pages(const char *path, PdfImage *const *images, const PdfPageExtra *const *extras,
                           int count, int mode, int dpi, unsigned flags, const char **message) {
    const Settings s = pdf_settings(mode, dpi, flags);
    return pdf_write_pages(path, images, extras, count, &s, message);
}
// A document built in memory: the pages go into one growing buffer and finishing moves the
// head in front of them, so no file is touched and memory is the document plus the page at
// hand. The bytes are those a file document with the same pages and settings writes. False
// as pdf_doc_begin (no memory, bad settings).
bool pdf_doc_begin_memory(PdfDoc *doc, const Settings *s);
// After a successful pdf_doc_finish of a memory document: hands over the document, a buffer
// the caller frees, and leaves the PdfDoc without it.
void pdf_doc_take_memory(PdfDoc *doc, uint8_t **data, size_t *len);
// ---- Work done ahead ------------------------------------------------------------------------
// What a page costs beside writing it (the transparency scan and, for compact pages, the
// compressed planes) depends only on the page, so a caller may do it on another thread before
// the page's turn. The bytes written are the same either way; a plane that could not be made
// ahead (memory ran out) is made when the page is written, as without this step.
struct PdfPrepared {
    int has_alpha;       // -1: not known
    uint8_t *rgb_z;      // compact pages: the colour plane's zlib stream, or null
    size_t rgb_len;
    uint8_t *alpha_z;    // compact pages with transparency: the soft mask's, or null
    size_t alpha_len;
    int rgb_kind, rgb_depth;  // the form rgb_z was made in (the writer uses it only if its own)
    int alpha_depth;
};
// Fills *p for the page pdf_doc_add_ex(doc, im, extra) would write under `s`; any thread.
void pdf_prepare_page(const PdfImage *im, const PdfPageExtra *extra, const Settings *s, PdfPrepared *p);
void pdf_prepared_free(PdfPrepared *p);
// pdf_doc_add_ex using what `ready` (may be null) holds for this page.
bool pdf_doc_add_prepared(PdfDoc *doc, const PdfImage *im, const PdfPageExtra *extra, const PdfPrepared *ready);

// Writes the head (when still due) and the cross-reference table, and replaces the
// destination (a memory document keeps its bytes for pdf_doc_take_memory). False with doc->message set on failure, or when an earlier step failed.
bool pdf_doc_finish(PdfDoc *doc);
// Releases everything; an unfinished document leaves no file behind.
void pdf_doc_free(PdfDoc *doc);

#endif
