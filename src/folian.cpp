// folian.cpp: the conversion entry points: loading image files into page records and handing
// them to the PDF writer, for the process-wide functions and for documents with a record.
//
// PNG files are decoded to RGBA; JPEG files are only probed for their size and embedded
// byte for byte. Every failure goes to the report of its call: the process-wide text for
// the historical functions, the document's own text for a document opened with a settings
// record, the caller's buffer for folian_convert. Nothing else is shared, so documents with
// a record run on any number of threads at once.
//
// Each file is read once: the bytes serve the decoder or the probe and, when the settings
// ask for it, the metadata readers, whose findings (orientation, resolution, profile) go
// to the writer beside the page record.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "file_io.h"
#include "folian.h"
#include "formats.h"
#include "gif/gif.h"
#include "tiff/tiff.h"
#include "jpeg/jpeg.h"
#include "listing.h"
#include "mem.h"
#include "ordered_work.h"
#include "meta/meta.h"
#include "os_path.h"
#include "pdf_write.h"
#include "png/png.h"
#include "settings.h"

namespace {

constexpr size_t ERR_SIZE = 512;
constexpr uint64_t MAX_JPEG_BYTES = 1073741824;  // 1 GiB: larger files are refused, not cut

constexpr char MSG_OUT_OF_MEMORY[] = "folian: out of memory";
constexpr char MSG_NOT_IMAGE[] = "not a PNG or JPEG image";

// The process-wide state of the historical entry points: their settings and error text.
char s_err[ERR_SIZE];
Settings s_settings = settings_defaults();

// Where one call's failure goes. `reasons`: the call names why a file is refused (documents
// built a page at a time and conversions with a record); the process-wide list and single
// conversions keep their historical texts.
struct Report {
    char *text;  // ERR_SIZE bytes
    bool reasons;
};

void set_err(Report *r, const char *text) { std::snprintf(r->text, ERR_SIZE, "%s", text); }
void set_err_if_empty(Report *r, const char *text) {
    if (!r->text[0]) set_err(r, text);
}
void clear_err(Report *r) { r->text[0] = '\0'; }

Report process_report() { return Report{s_err, false}; }

// "name: reason", the reason cut when the two are too long.
void name_in_report(Report *r, const char *name) {
    char reason[ERR_SIZE];
    std::memcpy(reason, r->text, ERR_SIZE);
    std::snprintf(r->text, ERR_SIZE, "%s: ", name);
    const size_t used = std::strlen(r->text);
    std::snprintf(r->text + used, ERR_SIZE - used, "%s", reason);
}

// ---- Loading --------------------------------------------------------------------------

// One input as the writer gets it: the page record and what the file says beyond it.
// The placement points into `meta`, which owns the profile.
struct LoadedImage {
    PdfImage im;
    ImageMeta meta;
    PdfPlacement place;
    PdfPassthrough pass;  // compact pages: the PNG file's own image data, when has_pass
    bool has_pass;
    PdfPageExtra extra;
    uint8_t *file;    // the PNG file, read whole, while `pass` points into it
    uint8_t *joined;  // its IDAT data joined, when it came in several chunks
    // Formats decoded page by page: the file, held while pages are due.
    const FormatRow *row;
    uint8_t *source;
    uint64_t source_len;
    int pages, loaded;  // pages the file gives, pages loaded so far
    GifReader frames;   // LOADER_FRAMES: the reader, whose canvas is the page's pixels
    TiffPage tiff;      // LOADER_TIFF: the page, holding the fax data a page carries
    PdfCoded coded;
    bool has_coded;
};

void free_image(LoadedImage *li) {
    if (li->row && li->row->loader == LOADER_FRAMES) {
        li->im.pixels = nullptr;  // the reader's canvas
        gif_close(&li->frames);
    }
    if (li->row && li->row->loader == LOADER_TIFF) tiff_page_free(&li->tiff);
    std::free(li->source);
    std::free(li->im.pixels);
    std::free(li->im.jpeg_data);
    std::free(li->file);
    std::free(li->joined);
    meta_release(&li->meta);
    *li = LoadedImage{};
}

// Profiles are read for the icc key and for archival documents, whose CMYK pages have no
// device colour space to fall back on.
bool keeps_icc(const Settings *s) { return s->icc || s->pdfa != DOC_PDFA_OFF; }
unsigned meta_options(const Settings *s) { return settings_option_bits(s) | (keeps_icc(s) ? FOLIAN_OPT_ICC : 0u); }

// The settings that read what a file says about placing its picture.
bool reads_meta(const Settings *s) { return s->exif_rotation || s->file_dpi || keeps_icc(s); }

// What the writer is to know beyond the record; null when no setting asks for anything,
// so that the page is the record's alone.
const PdfPageExtra *page_extra(LoadedImage *li, const Settings *s) {
    const bool placed = reads_meta(s);
    // Pages of the newer formats are compact, /Indexed where one palette suffices: they
    // have no older bytes to keep.
    const bool decoded = li->row && li->row->loader != LOADER_PNG && li->row->loader != LOADER_JPEG;
    if (!placed && !li->has_pass && !decoded && !s->compact) return nullptr;
    const ImageMeta &m = li->meta;
    li->place = PdfPlacement{m.orientation, m.dpi.known ? m.dpi.x : 0, m.dpi.known ? m.dpi.y : 0,
                             m.icc, m.icc_len, m.icc_components};
    li->extra = PdfPageExtra{li->has_pass ? &li->pass : nullptr, placed ? &li->place : nullptr};
    // A compact page whose pixels are all grey is written grey.
    if (decoded) li->extra.page_flags = PDF_PAGE_COMPACT | PDF_PAGE_INDEXED;
    if (li->has_coded) li->extra.coded = &li->coded;
    if (decoded || s->compact) li->extra.page_flags |= PDF_PAGE_GREY;
    return &li->extra;
}

enum ImageKind { KIND_NONE, KIND_PNG, KIND_JPEG, KIND_PIXELS };

ImageKind kind_of(const FormatRow *row) {
    if (!row) return KIND_NONE;
    return row->loader == LOADER_PNG ? KIND_PNG : row->loader == LOADER_JPEG ? KIND_JPEG : KIND_PIXELS;
}

// What the first bytes say of the classic formats.
ImageKind kind_by_content(const uint8_t *d, uint64_t n) { return kind_of(format_by_content(d, n, FORMATS_CLASSIC)); }

// The pixel limit breached by a width x height picture, or 0 when it fits. `codec_limit`
// applies when the settings set none; 0 there leaves the check to the codec.
uint64_t over_limit(const Settings *s, uint64_t codec_limit, uint64_t w, uint64_t h) {
    const uint64_t limit = settings_pixel_limit(s, codec_limit);
    return limit && w * h > limit ? limit : 0;
}

void report_too_large(Report *r, uint64_t w, uint64_t h, uint64_t limit) {
    std::snprintf(r->text, ERR_SIZE, "%llux%llu is over the limit of %llu pixels", (unsigned long long)w,
                  (unsigned long long)h, (unsigned long long)limit);
}

// Why the probe refused a JPEG-named file: what its content is, or what the decoder, which
// knows every frame type, says of it.
void report_jpeg_refusal(Report *r, const uint8_t *data, uint64_t len) {
    const ImageKind found = kind_by_content(data, len);
    if (found == KIND_NONE) return set_err(r, MSG_NOT_IMAGE);
    if (found == KIND_PNG) return set_err(r, "jpeg: not a JPEG image (the content is PNG)");
    const char *msg = nullptr;
    unsigned char *px = kv_jpeg_decode_ex(data, len, KV_JPEG_ALL, nullptr, nullptr, &msg);
    std::free(px);
    // The probe takes every frame the decoder does but extended-sequential ones, which it
    // takes only when asked.
    set_err(r, px ? "jpeg: extended-sequential frames are embedded only with content-probe on"
                  : msg && *msg ? msg : "jpeg: unsupported file");
}

// A JPEG kept whole for embedding. Failures set no text in the historical reports: the
// caller words the message.
bool load_jpeg(uint8_t *data, uint64_t len, const Settings *s, Report *r, LoadedImage *li) {
    int w, h, comps;
    // The probe's verdict without the wider option is kv_jpeg_info's on the same bytes.
    if (!jpeg_probe_frames(data, len, s->content_probe, &w, &h, &comps)) {
        if (r->reasons) report_jpeg_refusal(r, data, len);
        std::free(data);
        return false;
    }
    // Checked from the header, before the page costs anything more.
    if (const uint64_t limit = over_limit(s, r->reasons ? PDF_MAX_PIXELS : 0, (uint64_t)w, (uint64_t)h)) {
        report_too_large(r, (uint64_t)w, (uint64_t)h, limit);
        std::free(data);
        return false;
    }
    // The historical entry points have no limit of their own, but a frame past the codec's
    // is still named as too large rather than left to the writer's "bad image".
    if (jpeg_too_large((uint64_t)w, (uint64_t)h)) {
        set_err(r, JPEG_ERR_TOO_LARGE);
        std::free(data);
        return false;
    }
    li->im.width = w;
    li->im.height = h;
    li->im.jpeg_data = data;
    li->im.jpeg_len = len;
    li->im.jpeg_components = comps;
    jpeg_read_meta(data, len, meta_options(s), comps, &li->meta);
    return true;
}

// After a successful decode of li->file: points the page at the file's image data when it
// can stand as it is (compact pages). False only when memory runs out joining the chunks:
// the page a conversion writes never depends on how much memory there was.
bool find_passthrough(LoadedImage *li, uint64_t len, const PngDecodeFacts &facts) {
    PngChunks ci;
    if (png_walk_chunks(li->file, len, &ci) || ci.idat_total < 6) return true;
    const uint8_t *idat = li->file + ci.first_idat + 8;
    if (ci.idat_chunks > 1) {
        if (ci.idat_total > SIZE_MAX || !(li->joined = (uint8_t *)mem_malloc((size_t)ci.idat_total))) return false;
        png_join_idat(li->file, ci, li->joined);
        idat = li->joined;
    }
    if (!png_data_plain(ci, facts, idat)) return true;
    PdfPassthrough &p = li->pass;
    p.data = idat;
    p.len = ci.idat_total;
    p.depth = ci.depth;
    p.colors = ci.color == 2 ? 3 : 1;
    if (ci.color == 3) {
        p.palette = ci.plte;
        p.palette_entries = (int)(ci.plte_len / 3);
    }
    li->has_pass = true;
    return true;
}

// A PNG decoded to RGBA. Its file bytes go once the metadata is read, unless a compact page
// carries the file's image data as it is. The decoder's message is the error text.
bool load_png(uint8_t *data, uint64_t len, const Settings *s, Report *r, LoadedImage *li) {
    uint64_t hw, hh, limit;
    if (png_header_size(data, len, &hw, &hh) && (limit = over_limit(s, 0, hw, hh))) {
        report_too_large(r, hw, hh, limit);
        std::free(data);
        return false;
    }
    const char *msg = nullptr;
    int w = 0, h = 0;
    const unsigned png_flags = s->interlaced ? PNG_DECODE_INTERLACED : 0u;
    PngDecodeFacts facts;
    unsigned char *px = png_decode_memory(data, len, &w, &h, &msg, png_flags, &facts);
    if (!px) {
        std::free(data);
        set_err(r, msg && *msg ? msg : "folian: error");
        return false;
    }
    li->im.width = w;
    li->im.height = h;
    li->im.pixels = px;
    // The pixels go to the writer as RGB, so only an RGB profile describes them.
    png_read_meta(data, len, meta_options(s), 3, &li->meta);
    li->file = data;
    if (s->compact) {
        if (!find_passthrough(li, len, facts)) {
            set_err(r, PNG_ERR_MEMORY);
            return false;
        }
    } else {
        std::free(li->file);  // nothing of the file is needed beyond its pixels
        li->file = nullptr;
    }
    return true;
}

// Page li->loaded of a TIFF file: its size checked from the tags first; fax data and
// JPEG data go through as they are where PDF reads them (a JPEG page is then a JPEG record).
bool load_tiff_page(LoadedImage *li, const Settings *s, Report *r) {
    std::free(li->im.pixels);
    std::free(li->im.jpeg_data);
    li->im = PdfImage{};
    tiff_page_free(&li->tiff);
    li->has_coded = false;
    meta_release(&li->meta);
    meta_init(&li->meta);
    const char *msg = nullptr;
    TiffPage &p = li->tiff;
    uint64_t limit;
    if (!tiff_decode_page(li->source, li->source_len, li->loaded, TIFF_DECODE_INFO_ONLY, &p, &msg)) {
        set_err(r, msg);
        return false;
    }
    if ((limit = over_limit(s, 0, (uint64_t)p.width, (uint64_t)p.height))) {
        report_too_large(r, (uint64_t)p.width, (uint64_t)p.height, limit);
        return false;
    }
    tiff_page_free(&p);
    if (!tiff_decode_page(li->source, li->source_len, li->loaded, 0, &p, &msg)) {
        set_err(r, msg);
        return false;
    }
    li->im.width = p.width;
    li->im.height = p.height;
    if (p.pass == TIFF_PASS_JPEG) {
        li->im.jpeg_data = p.pass_data;
        li->im.jpeg_len = p.pass_len;
        li->im.jpeg_components = p.jpeg_components;
        p.pass_data = nullptr;
    } else {
        li->im.pixels = p.pixels;
        p.pixels = nullptr;
    }
    if (p.pass == TIFF_PASS_CCITT) {
        li->coded = PdfCoded{p.pass_data, p.pass_len, p.ccitt.k, p.ccitt.black_is_1, p.ccitt.encoded_byte_align};
        li->has_coded = true;
    }
    tiff_read_meta(li->source, li->source_len, li->loaded, settings_option_bits(s),
                   li->im.jpeg_data ? li->im.jpeg_components : 3, &li->meta);
    li->loaded++;
    return true;
}

// The next page of a file decoded page by page; the format's message on failure.
bool load_next_pixels(LoadedImage *li, const Settings *s, Report *r) {
    const char *msg = nullptr;
    int w = 0, h = 0;
    if (li->row->loader == LOADER_TIFF) return load_tiff_page(li, s, r);
    if (li->row->loader == LOADER_FRAMES) {
        if (!gif_next(&li->frames, &msg)) {
            set_err(r, msg && *msg ? msg : GIF_ERR_FRAME);
            return false;
        }
        li->im.pixels = li->frames.canvas;
        w = li->frames.width, h = li->frames.height;
    } else {
        std::free(li->im.pixels);
        li->im.pixels = li->row->decode(li->source, li->source_len, li->loaded, 0, &w, &h, &msg);
        if (!li->im.pixels) {
            set_err(r, msg && *msg ? msg : "folian: error");
            return false;
        }
    }
    li->im.width = w;
    li->im.height = h;
    li->loaded++;
    return true;
}

// A file of a format decoded to RGBA (GIF, BMP), its first page loaded: the declared size
// is checked against the limit before anything is decoded, and the file is kept while
// further pages are due.
bool load_pixels(uint8_t *data, uint64_t len, const FormatRow *row, const Settings *s, Report *r,
                 LoadedImage *li) {
    li->row = row;
    li->source = data;
    li->source_len = len;
    uint64_t hw, hh, limit;
    if (row->header_size && row->header_size(data, len, &hw, &hh) && (limit = over_limit(s, 0, hw, hh))) {
        report_too_large(r, hw, hh, limit);
        return false;
    }
    const char *msg = "";
    li->pages = format_pages(row, data, len, &msg);
    if (!li->pages) {
        set_err(r, msg);
        return false;
    }
    if (s->first_frame_only) li->pages = 1;
    if (row->loader == LOADER_FRAMES && !gif_open(&li->frames, data, len, &msg)) {
        set_err(r, msg);
        return false;
    }
    return load_next_pixels(li, s, r);
}

enum LoadResult { LOAD_OK, LOAD_FAILED, LOAD_NOT_IMAGE };

// Why a file could not be read, in the reports that name reasons; the PNG text is the
// historical one everywhere.
void report_read_failure(Report *r, ImageKind kind, FileReadStatus st) {
    if (kind == KIND_PNG) return set_err(r, PNG_ERR_READ);
    if (!r->reasons) return;
    set_err(r, st == FILE_READ_TOO_LARGE   ? "jpeg: file larger than 1 GiB"
               : st == FILE_READ_NO_MEMORY ? MSG_OUT_OF_MEMORY
                                           : "jpeg: cannot read file");
}

// Loads a file's bytes (owned from here on) as `kind` (of the format `row`) into `li`.
LoadResult load_data(uint8_t *data, uint64_t len, ImageKind kind, const FormatRow *row, const Settings *s, Report *r,
                     LoadedImage *li) {
    if (kind == KIND_JPEG && len > MAX_JPEG_BYTES) {
        if (r->reasons) set_err(r, "jpeg: file larger than 1 GiB");
        std::free(data);
        return LOAD_FAILED;
    }
    const bool loaded = kind == KIND_JPEG   ? load_jpeg(data, len, s, r, li)
                        : kind == KIND_PNG  ? load_png(data, len, s, r, li)
                                            : load_pixels(data, len, row, s, r, li);
    if (!loaded) {
        free_image(li);
        return LOAD_FAILED;
    }
    if (li->meta.no_memory) {
        // A page without its profile would be another document than the one asked for.
        set_err(r, MSG_OUT_OF_MEMORY);
        free_image(li);
        return LOAD_FAILED;
    }
    return LOAD_OK;
}

// Reads `path` into `li`. Without the wider probe the name decides how the file is read;
// with it the content does, and the name only when the content says neither PNG nor JPEG.
// `named` says the name passed the image-name test: a path that did not (possible only
// with the wider probe) is taken only when its content is a PNG or JPEG file, else it is
// LOAD_NOT_IMAGE, as its name alone would have made it.
LoadResult load_image(const char *path, const Settings *s, bool named, Report *r, LoadedImage *li) {
    *li = LoadedImage{};
    meta_init(&li->meta);
    const bool wide = s->content_probe;
    const FormatSet set = s->all_formats ? FORMATS_ALL : FORMATS_CLASSIC;
    // The name chooses the loader; a name of no format goes to PNG.
    const FormatRow *row = format_by_name(path, set);
    ImageKind kind = row ? kind_of(row) : KIND_PNG;
    uint8_t *data;
    uint64_t len;
    const uint64_t limit = kind == KIND_JPEG && !wide ? MAX_JPEG_BYTES : UINT64_MAX;
    const FileReadStatus read = file_read_whole(path, limit, &data, &len);
    if (read != FILE_READ_OK) {
        if (!named) return LOAD_NOT_IMAGE;
        if (kind == KIND_PIXELS && r->reasons)
            std::snprintf(r->text, ERR_SIZE, "%s: cannot read file", row->name);
        else
            report_read_failure(r, kind, read);
        return LOAD_FAILED;
    }
    if (wide) {
        const FormatRow *found = format_by_content(data, len, set);
        if (!found && !named) {
            std::free(data);
            return LOAD_NOT_IMAGE;
        }
        if (found) row = found, kind = kind_of(found);
    }
    return load_data(data, len, kind, row, s, r, li);
}

// Bytes the caller holds, told by their content. The loaders own what they are given, so
// they get a copy, released with the page before the call returns.
LoadResult load_memory(const uint8_t *data, uint64_t len, const Settings *s, Report *r, LoadedImage *li) {
    *li = LoadedImage{};
    meta_init(&li->meta);
    const FormatRow *row = data ? format_by_content(data, len, s->all_formats ? FORMATS_ALL : FORMATS_CLASSIC) : nullptr;
    const ImageKind kind = row ? kind_of(row) : KIND_NONE;
    if (kind == KIND_NONE) {
        set_err(r, MSG_NOT_IMAGE);
        return LOAD_FAILED;
    }
    uint8_t *copy = len <= SIZE_MAX ? (uint8_t *)mem_malloc((size_t)len) : nullptr;
    if (!copy) {
        set_err(r, MSG_OUT_OF_MEMORY);
        return LOAD_FAILED;
    }
    std::memcpy(copy, data, (size_t)len);
    return load_data(copy, len, kind, row, s, r, li);
}

// Whether a path given by the host goes to the loader: by its name, or, with the wider
// probe, by its content, which the loader then checks.
bool path_admitted(const char *path, const Settings *s, bool *named) {
    *named = path && listing_is_image_path(path, s->all_formats);
    return path && (*named || s->content_probe);
}

// Admits and loads one path for a page.
LoadResult load_page(const char *path, const Settings *s, Report *r, LoadedImage *li) {
    bool named;
    return path_admitted(path, s, &named) ? load_image(path, s, named, r, li) : LOAD_NOT_IMAGE;
}

// Where a page's image comes from: a file, or bytes the caller holds (`data` not null).
struct PageSource {
    const char *path;
    const uint8_t *data;
    uint64_t len;
};

LoadResult load_source(const PageSource &src, const Settings *s, Report *r, LoadedImage *li) {
    return src.data ? load_memory(src.data, src.len, s, r, li) : load_page(src.path, s, r, li);
}

}  // namespace

// ---- Page at a time ---------------------------------------------------------------------

struct folian_doc {
    PdfDoc doc;
    Settings settings;    // the settings in force when the document began, its own copy
    bool opened;          // folian_doc_open: failures go to `error`, not the process-wide text
    bool open_failed;     // the output cannot be made: `error` says why, every call fails
    bool in_memory;       // folian_doc_open_memory: finished by folian_doc_finish_memory only
    char error[ERR_SIZE];
};

namespace {

Report doc_report(folian_doc *d) { return d->opened ? Report{d->error, true} : Report{s_err, true}; }

void release_doc(folian_doc *d) {
    pdf_doc_free(&d->doc);
    settings_release(&d->settings);
    std::free(d);
}

// A document with its own copy of `s`; null when memory runs out. The writer opens its
// scratch file at once, so an output that cannot be made is known before any page: then
// open_failed is set and `error` names the output and the cause.
folian_doc *new_doc(const char *pdf_path, const Settings *s, bool opened) {
    folian_doc *d = (folian_doc *)mem_calloc(1, sizeof(folian_doc));
    if (!d) return nullptr;
    d->opened = opened;
    if (!settings_clone(s, &d->settings)) {
        std::free(d);
        return nullptr;
    }
    const bool begun = pdf_doc_begin(&d->doc, pdf_path, &d->settings);
    d->open_failed = !pdf_path || !begun || d->doc.message[0];
    if (!pdf_path)
        std::snprintf(d->error, ERR_SIZE, "%s", "folian_doc_open: bad arguments");
    else if (!pdf_page_fits(&d->settings, d->error, ERR_SIZE))
        d->open_failed = true;  // the error names the page size and margins
    else if (d->open_failed)
        std::snprintf(d->error, ERR_SIZE, "%s: %s", pdf_path, d->doc.message[0] ? d->doc.message : MSG_OUT_OF_MEMORY);
    return d;
}

// Whether one more page would pass max-pages; the report says so when it would.
bool over_page_limit(const folian_doc *d, Report *r) {
    const Settings *s = &d->settings;
    if (!s->max_pages || (uint64_t)d->doc.count < s->max_pages) return false;
    std::snprintf(r->text, ERR_SIZE, "page %llu is over the limit of %llu pages", (unsigned long long)d->doc.count + 1,
                  (unsigned long long)s->max_pages);
    return true;
}

// Whether the document takes another page; false with the report set.
bool page_may_follow(folian_doc *d, Report *r) {
    if (d->doc.message[0]) {  // an earlier page broke the document; only abort is left
        set_err(r, d->doc.message);
        return false;
    }
    return !over_page_limit(d, r);
}

// Writes a loaded source's pages (or reports why it was not loaded) and releases the image.
// `ready` (may be null) holds the first page's work done ahead. A file of several pages
// gives them in order; one that fails keeps the pages before it.
int place_loaded_page(folian_doc *d, const char *image_path, LoadResult loaded, LoadedImage *li,
                      const PdfPrepared *ready, Report *r) {
    const Settings *s = &d->settings;
    if (loaded == LOAD_NOT_IMAGE) {
        // A record's documents say what the file is; the process-wide ones keep their text.
        set_err(r, !d->opened                        ? "folian_doc_add: bad image path"
                   : image_path && s->content_probe ? MSG_NOT_IMAGE
                                                    : "not named .png, .jpg or .jpeg");
        return 0;
    }
    if (loaded == LOAD_FAILED) {
        if (!r->text[0]) std::snprintf(r->text, ERR_SIZE, "folian_doc_add: failed on %s",
                                       image_path ? image_path : "bytes");
        return 0;
    }
    // An image the writer refuses is skipped; the document stays as it was.
    int ok;
    for (;;) {
        const PdfPageExtra *extra = page_extra(li, s);
        const char *refused = pdf_page_refusal(&d->doc, &li->im, extra);
        ok = refused ? 0 : 1;
        if (!ok)
            set_err(r, refused);
        else if (!pdf_doc_add_prepared(&d->doc, &li->im, extra, ready)) {
            set_err(r, d->doc.message);
            ok = 0;
        }
        ready = nullptr;  // the work done ahead was the first page's
        if (!ok || li->loaded >= li->pages) break;
        if (over_page_limit(d, r) || !load_next_pixels(li, s, r)) {
            ok = 0;
            break;
        }
    }
    free_image(li);
    return ok;
}

// One source's pages: each image is loaded, checked and written, and released before the
// next.
int add_page(folian_doc *d, const PageSource &src, Report *r) {
    if (!page_may_follow(d, r)) return 0;
    LoadedImage li;
    const LoadResult loaded = load_source(src, &d->settings, r, &li);
    return place_loaded_page(d, src.path, loaded, &li, nullptr, r);
}

// ---- Pages on several threads ----------------------------------------------------------
// Workers load, check and compress the next pages while this thread writes them in order.
// A worker's report goes into its slot and reaches the document's report only when its
// page's turn comes, so the failure reported is the first in page order, as one thread
// at a time would find it.

struct PageSlot {
    LoadResult loaded;
    LoadedImage li;
    PdfPrepared ready;
    char text[ERR_SIZE];
};

struct PageBatch {
    folian_doc *d;
    const char *const *paths;
    int count;
    PageSlot *slots;
    Report *r;
    int (*after_page)(void *ctx, int index);
    void *ctx;
    bool stopped;  // after_page asked to stop
};

void load_into_slot(void *ctx, int index, int slot) {
    PageBatch *b = (PageBatch *)ctx;
    PageSlot *ps = &b->slots[slot];
    ps->text[0] = '\0';
    Report mine{ps->text, true};
    const Settings *s = &b->d->settings;
    ps->loaded = load_page(b->paths[index], s, &mine, &ps->li);
    ps->ready = PdfPrepared{};
    ps->ready.has_alpha = -1;
    if (ps->loaded == LOAD_OK) pdf_prepare_page(&ps->li.im, page_extra(&ps->li, s), s, &ps->ready);
}

void discard_slot(void *ctx, int slot) {
    PageSlot *ps = &((PageBatch *)ctx)->slots[slot];
    if (ps->loaded == LOAD_OK) free_image(&ps->li);
    pdf_prepared_free(&ps->ready);
}

bool write_slot(void *ctx, int index, int slot) {
    PageBatch *b = (PageBatch *)ctx;
    PageSlot *ps = &b->slots[slot];
    const char *path = b->paths[index];
    bool ok = page_may_follow(b->d, b->r);
    if (ok) {
        set_err(b->r, ps->text);
        ok = place_loaded_page(b->d, path, ps->loaded, &ps->li, &ps->ready, b->r) != 0;
    } else {
        discard_slot(ctx, slot);
    }
    pdf_prepared_free(&ps->ready);
    // A stop asked after the last page leaves nothing undone.
    if (ok && b->after_page && !b->after_page(b->ctx, index) && index + 1 < b->count) {
        set_err(b->r, "stopped by the caller");
        b->stopped = true;
        return false;
    }
    return ok;
}

// Adds `count` pages in order on the document's threads; returns how many were added.
int add_pages(folian_doc *d, const char *const *paths, int count, int (*after_page)(void *, int), void *ctx,
              Report *r) {
    const int threads = settings_thread_count(&d->settings);
    const int workers = threads < count ? threads : count;
    const int slot_count = ordered_work_slots(workers);
    PageSlot *slots = (PageSlot *)mem_calloc((size_t)slot_count, sizeof(PageSlot));
    if (!slots) {
        set_err(r, MSG_OUT_OF_MEMORY);
        return 0;
    }
    PageBatch b{d, paths, count, slots, r, after_page, ctx, false};
    const OrderedWork w{&b, count, workers, load_into_slot, write_slot, discard_slot};
    const int added = run_in_order(&w);
    std::free(slots);
    return b.stopped ? added + 1 : added;  // the page after which the host stopped is in
}

int finish_doc(folian_doc *d, Report *r) {
    int ok = 0;
    if (d->doc.count == 0 && !d->doc.message[0])
        set_err(r, "folian_doc_finish: no pages");
    else if (pdf_doc_finish(&d->doc))
        ok = 1;
    else
        set_err(r, d->doc.message[0] ? d->doc.message : "folian_doc_finish: pdf write failed");
    // An opened document that failed stays for folian_doc_error to say why; abort releases it.
    if (ok || !d->opened) release_doc(d);
    return ok;
}

// ---- Documents in memory -----------------------------------------------------------------

// A document built in memory (open_failed only when memory runs out or the settings are refused).
folian_doc *new_memory_doc(const Settings *s) {
    folian_doc *d = (folian_doc *)mem_calloc(1, sizeof(folian_doc));
    if (!d) return nullptr;
    d->opened = d->in_memory = true;
    if (!settings_clone(s, &d->settings)) {
        std::free(d);
        return nullptr;
    }
    const bool begun = pdf_doc_begin_memory(&d->doc, &d->settings);
    if (!pdf_page_fits(&d->settings, d->error, ERR_SIZE))
        d->open_failed = true;  // the error names the page size and margins
    else if (!begun) {
        d->open_failed = true;
        std::snprintf(d->error, ERR_SIZE, "%s", d->doc.message[0] ? d->doc.message : MSG_OUT_OF_MEMORY);
    }
    return d;
}

// A page from bytes; `name` stands before the reason in the message when the host gave one.
int add_memory_page(folian_doc *d, const uint8_t *data, size_t len, const char *name, Report *r) {
    if (!data) {
        set_err(r, "folian_doc_add_memory: bad arguments");
        return 0;
    }
    if (add_page(d, PageSource{nullptr, data, len}, r)) return 1;
    if (name) name_in_report(r, name);
    return 0;
}

// Finishes a memory document into a buffer the caller frees; nothing is handed out on failure.
int finish_memory_doc(folian_doc *d, Report *r, unsigned char **pdf, size_t *len) {
    uint8_t *data = nullptr;
    size_t n = 0;
    int ok = 0;
    if (d->doc.count == 0 && !d->doc.message[0])
        set_err(r, "folian_doc_finish: no pages");
    else if (pdf_doc_finish(&d->doc)) {
        pdf_doc_take_memory(&d->doc, &data, &n);
        ok = 1;
    } else
        set_err(r, d->doc.message[0] ? d->doc.message : "folian_doc_finish: pdf write failed");
    // As with opened file documents, a failure leaves the handle for folian_doc_error.
    if (ok) release_doc(d);
    if (pdf)
        *pdf = data;
    else
        std::free(data);
    if (len) *len = n;
    return ok;
}

// ---- Conversions with a record -----------------------------------------------------------

// Every input's pages: a file is itself, a directory its listing (null for a file).
struct Inputs {
    char ***listed;  // per input: the directory's paths, or null for a file
    int *listed_count;
    int count;
};

void free_inputs(Inputs *in) {
    for (int i = 0; in->listed && i < in->count; i++) std::free(in->listed[i]);
    std::free(in->listed);
    std::free(in->listed_count);
}

// Lists every directory among the inputs and counts the pages; false with the report set.
bool gather_inputs(const char *const *inputs, int count, const Settings *s, Inputs *in, uint64_t *pages,
                   Report *r) {
    in->count = count;
    in->listed = (char ***)mem_calloc((size_t)count, sizeof(char **));
    in->listed_count = (int *)mem_calloc((size_t)count, sizeof(int));
    if (!in->listed || !in->listed_count) {
        set_err(r, MSG_OUT_OF_MEMORY);
        return false;
    }
    *pages = 0;
    for (int i = 0; i < count; i++) {
        if (!inputs[i]) {
            set_err(r, "folian_convert: bad arguments");
            return false;
        }
        if (!os_is_directory(inputs[i])) {
            *pages += 1;
            continue;
        }
        const ListingStatus st = listing_collect(inputs[i], s->natural_order, s->all_formats, &in->listed[i], &in->listed_count[i]);
        const char *why = st == LISTING_CANNOT_OPEN ? "cannot open directory"
                          : st == LISTING_NO_MEMORY  ? "out of memory"
                          : in->listed_count[i] == 0 ? "no images in directory"
                                                     : nullptr;
        if (why) {
            std::snprintf(r->text, ERR_SIZE, "%s: %s", inputs[i], why);
            return false;
        }
        *pages += (uint64_t)in->listed_count[i];
    }
    if (s->max_pages && *pages > s->max_pages) {
        std::snprintf(r->text, ERR_SIZE, "%llu pages are over the limit of %llu pages", (unsigned long long)*pages,
                      (unsigned long long)s->max_pages);
        return false;
    }
    return true;
}

// Adds one page, naming the file in the report when it fails.
bool convert_page(folian_doc *d, const char *path, Report *r) {
    if (add_page(d, PageSource{path, nullptr, 0}, r)) return true;
    name_in_report(r, path);
    return false;
}

// Every page's path in order, the files and the directories' listings; null when memory runs out.
const char **flat_pages(const char *const *inputs, const Inputs *in, uint64_t pages) {
    const char **flat = (const char **)mem_malloc((size_t)pages * sizeof(char *));
    if (!flat) return nullptr;
    size_t n = 0;
    for (int i = 0; i < in->count; i++) {
        if (!in->listed[i]) flat[n++] = inputs[i];
        for (int k = 0; in->listed[i] && k < in->listed_count[i]; k++) flat[n++] = in->listed[i][k];
    }
    return flat;
}

// The pages on the document's threads; a failure is named by its file, as convert_page does.
bool convert_all_threaded(folian_doc *d, const char *const *inputs, const Inputs *in, uint64_t pages,
                          Report *r) {
    const char **flat = flat_pages(inputs, in, pages);
    if (!flat) {
        set_err(r, MSG_OUT_OF_MEMORY);
        return false;
    }
    const int added = add_pages(d, flat, (int)pages, nullptr, nullptr, r);
    if (added < (int)pages) {
        char reason[ERR_SIZE];
        std::memcpy(reason, r->text, ERR_SIZE);
        std::snprintf(r->text, ERR_SIZE, "%s: ", flat[added]);
        const size_t used = std::strlen(r->text);
        std::snprintf(r->text + used, ERR_SIZE - used, "%s", reason);
    }
    std::free(flat);
    return added == (int)pages;
}

bool convert_all(folian_doc *d, const char *const *inputs, const Inputs *in, Report *r) {
    for (int i = 0; i < in->count; i++) {
        if (!in->listed[i]) {
            if (!convert_page(d, inputs[i], r)) return false;
            continue;
        }
        for (int k = 0; k < in->listed_count[i]; k++)
            if (!convert_page(d, in->listed[i][k], r)) return false;
    }
    return true;
}

int convert(const Settings *s, const char *const *inputs, int count, const char *pdf_path, Report *r) {
    if (!inputs || count <= 0 || !pdf_path) {
        set_err(r, "folian_convert: bad arguments");
        return 0;
    }
    Inputs in = {};
    uint64_t pages;
    bool ok = gather_inputs(inputs, count, s, &in, &pages, r);
    folian_doc *d = ok ? new_doc(pdf_path, s, true) : nullptr;
    if (ok && !d) set_err(r, MSG_OUT_OF_MEMORY);
    ok = ok && d;
    if (ok && d->open_failed) {
        // The output cannot be made: said before any image is read.
        set_err(r, d->error);
        ok = false;
    }
    if (ok && settings_thread_count(s) > 1 && pages > 1 && pages <= INT32_MAX)
        ok = convert_all_threaded(d, inputs, &in, pages, r);
    else
        ok = ok && convert_all(d, inputs, &in, r);
    free_inputs(&in);
    if (!ok) {
        if (d) release_doc(d);
        return 0;
    }
    ok = finish_doc(d, r);
    if (!ok) release_doc(d);
    return ok;
}

}  // namespace

extern "C" {

FOLIAN_API int folian_init(void) noexcept {
    s_err[0] = '\0';
    settings_release(&s_settings);
    s_settings = settings_defaults();
    return 1;
}

FOLIAN_API void folian_cleanup(void) noexcept { s_err[0] = '\0'; }

FOLIAN_API const char *folian_last_error(void) noexcept { return s_err; }

// The process-wide setters are the keys of the process-wide record; a value the key refuses
// leaves the setting as it was, without a message, as these functions always did.
FOLIAN_API void folian_set_page_size(int mode) noexcept {
    static const char *const NAMES[] = {"image", "a4", "letter", "a3"};  // FOLIAN_PAGE_* order
    if ((unsigned)mode <= 3) settings_set(&s_settings, "page-size", NAMES[mode], nullptr, 0);
}

FOLIAN_API void folian_set_dpi(int dpi) noexcept {
    char text[16];
    std::snprintf(text, sizeof text, "%d", dpi);
    settings_set(&s_settings, "dpi", text, nullptr, 0);
}

FOLIAN_API void folian_set_options(unsigned flags) noexcept { settings_set_option_bits(&s_settings, flags); }

FOLIAN_API unsigned folian_get_options(void) noexcept { return settings_option_bits(&s_settings); }

FOLIAN_API int folian_single(const char *image_path, const char *pdf_path) noexcept {
    Report r = process_report();
    clear_err(&r);
    if (!image_path || !pdf_path) {
        set_err(&r, "folian_single: NULL path");
        return 0;
    }
    LoadedImage li;
    const LoadResult loaded = load_page(image_path, &s_settings, &r, &li);
    if (loaded == LOAD_NOT_IMAGE) {
        set_err(&r, "folian_single: not a .png/.jpg image");
        return 0;
    }
    if (loaded == LOAD_FAILED) {
        set_err_if_empty(&r, "folian_single: failed to read image");
        return 0;
    }
    PdfImage *list[1] = {&li.im};
    const PdfPageExtra *extras[1] = {page_extra(&li, &s_settings)};
    const char *msg = nullptr;
    int ok = pdf_write_pages(pdf_path, list, extras, 1, &s_settings, &msg);
    if (ok)
        clear_err(&r);
    else
        set_err_if_empty(&r, msg ? msg : "folian: error");
    free_image(&li);
    return ok;
}

FOLIAN_API int folian_multiple(const char *const *image_paths, int count,
                               const char *pdf_path) noexcept {
    Report r = process_report();
    clear_err(&r);
    if (count <= 0 || !pdf_path || !image_paths) {
        set_err(&r, "folian_multiple: bad arguments");
        return 0;
    }
    PdfDoc doc;
    if (!pdf_doc_begin(&doc, pdf_path, &s_settings)) {
        set_err(&r, "folian_multiple: out of memory");
        pdf_doc_free(&doc);
        return 0;
    }
    // Each image is freed as soon as its page is written. A writer failure is held back
    // until every image has loaded: a file that cannot be read is the more useful report.
    for (int i = 0; i < count; i++) {
        const char *path = image_paths[i];
        LoadedImage li;
        const LoadResult loaded = load_page(path, &s_settings, &r, &li);
        if (loaded == LOAD_NOT_IMAGE) {
            set_err(&r, "folian_multiple: bad image path");
            pdf_doc_free(&doc);
            return 0;
        }
        if (loaded == LOAD_FAILED) {
            if (!s_err[0]) std::snprintf(s_err, ERR_SIZE, "folian_multiple: failed on %s", path);
            pdf_doc_free(&doc);
            return 0;
        }
        pdf_doc_add_ex(&doc, &li.im, page_extra(&li, &s_settings));
        free_image(&li);
    }
    int ok = pdf_doc_finish(&doc) ? 1 : 0;
    if (ok)
        clear_err(&r);
    else
        set_err_if_empty(&r, doc.message[0] ? doc.message : "folian_multiple: pdf write failed");
    pdf_doc_free(&doc);
    return ok;
}

FOLIAN_API int folian_directory(const char *dir_path, const char *pdf_path) noexcept {
    Report r = process_report();
    clear_err(&r);
    if (!dir_path || !pdf_path) {
        set_err(&r, "folian_directory: bad arguments");
        return 0;
    }
    char **paths;
    int count;
    const ListingStatus st = listing_collect(dir_path, s_settings.natural_order, s_settings.all_formats, &paths, &count);
    if (st != LISTING_OK) {
        set_err(&r, st == LISTING_NO_MEMORY ? "folian_directory: out of memory" : "folian_directory: cannot open directory");
        return 0;
    }
    if (count == 0) {
        set_err(&r, "folian_directory: no images in directory");
        return 0;
    }
    int ok = folian_multiple(paths, count, pdf_path);
    std::free(paths);
    return ok ? count : 0;
}

FOLIAN_API folian_doc *folian_doc_begin(const char *pdf_path) noexcept {
    Report r = process_report();
    clear_err(&r);
    if (!pdf_path) {
        set_err(&r, "folian_doc_begin: bad arguments");
        return nullptr;
    }
    folian_doc *d = new_doc(pdf_path, &s_settings, false);
    if (!d || d->open_failed) {
        // A host learns at once that the output cannot be made, before any page is loaded.
        set_err(&r, d && d->doc.message[0] ? d->doc.message : "folian_doc_begin: out of memory");
        if (d) release_doc(d);
        return nullptr;
    }
    return d;
}

FOLIAN_API folian_doc *folian_doc_open(const char *pdf_path, const folian_settings *s) noexcept {
    const Settings defaults = settings_defaults();
    return new_doc(pdf_path, s ? settings_of(s) : &defaults, true);
}

FOLIAN_API const char *folian_doc_error(const folian_doc *d) noexcept {
    return d && d->opened ? d->error : "";
}

FOLIAN_API int folian_doc_add(folian_doc *d, const char *image_path) noexcept {
    if (!d) {
        Report r = process_report();
        set_err(&r, "folian_doc_add: bad arguments");
        return 0;
    }
    if (d->open_failed) return 0;  // the reason it could not be opened stays
    Report r = doc_report(d);
    clear_err(&r);
    return add_page(d, PageSource{image_path, nullptr, 0}, &r);
}

FOLIAN_API int folian_doc_add_pages(folian_doc *d, const char *const *image_paths, int count,
                                    int (*after_page)(void *ctx, int index), void *ctx) noexcept {
    if (!d || !image_paths || count < 0) {
        Report r = d ? doc_report(d) : process_report();
        set_err(&r, "folian_doc_add_pages: bad arguments");
        return 0;
    }
    if (d->open_failed) return 0;
    Report r = doc_report(d);
    clear_err(&r);
    return count ? add_pages(d, image_paths, count, after_page, ctx, &r) : 0;
}

FOLIAN_API int folian_doc_finish(folian_doc *d) noexcept {
    if (!d) {
        Report r = process_report();
        set_err(&r, "folian_doc_finish: bad arguments");
        return 0;
    }
    if (d->open_failed) {
        if (!d->opened) release_doc(d);
        return 0;
    }
    if (d->in_memory) {  // its bytes would be lost: the handle stays for the right call
        std::snprintf(d->error, ERR_SIZE, "%s", "folian_doc_finish: a memory document ends with folian_doc_finish_memory");
        return 0;
    }
    Report r = doc_report(d);
    clear_err(&r);
    return finish_doc(d, &r);
}

FOLIAN_API folian_doc *folian_doc_open_memory(const folian_settings *s) noexcept {
    const Settings defaults = settings_defaults();
    return new_memory_doc(s ? settings_of(s) : &defaults);
}

FOLIAN_API int folian_doc_add_memory(folian_doc *d, const unsigned char *data, size_t len, const char *name) noexcept {
    if (!d) {
        Report r = process_report();
        set_err(&r, "folian_doc_add_memory: bad arguments");
        return 0;
    }
    if (d->open_failed) return 0;
    Report r = doc_report(d);
    clear_err(&r);
    return add_memory_page(d, data, len, name, &r);
}

FOLIAN_API int folian_doc_finish_memory(folian_doc *d, unsigned char **pdf, size_t *len) noexcept {
    if (pdf) *pdf = nullptr;
    if (len) *len = 0;
    if (!d || !d->in_memory) {
        // A file document stays for folian_doc_finish (folian_doc_begin's cannot say why).
        Report r = d ? doc_report(d) : process_report();
        set_err(&r, "folian_doc_finish_memory: not a memory document");
        return 0;
    }
    if (d->open_failed) return 0;  // the reason it could not be opened stays
    Report r = doc_report(d);
    clear_err(&r);
    return finish_memory_doc(d, &r, pdf, len);
}

FOLIAN_API void folian_doc_abort(folian_doc *d) noexcept {
    if (d) release_doc(d);
}

FOLIAN_API int folian_convert(const folian_settings *s, const char *const *inputs, int count, const char *pdf_path,
                              char *error, size_t error_size) noexcept {
    char text[ERR_SIZE] = "";
    Report r{text, true};
    const Settings defaults = settings_defaults();
    const int ok = convert(s ? settings_of(s) : &defaults, inputs, count, pdf_path, &r);
    if (error && error_size) std::snprintf(error, error_size, "%s", ok ? "" : text);
    return ok;
}

FOLIAN_API int folian_list_directory(const char *dir, const folian_settings *s, char ***paths, int *count,
                                     char *error, size_t error_size) noexcept {
    char **list = nullptr;
    int n = 0;
    const char *why = nullptr;
    if (!dir)
        why = "folian_list_directory: bad arguments";
    else if (const ListingStatus st = listing_collect(dir, s && settings_of(s)->natural_order, s && settings_of(s)->all_formats, &list, &n))
        why = st == LISTING_NO_MEMORY ? "out of memory" : "cannot open directory";
    if (error && error_size) {
        if (why && dir)
            std::snprintf(error, error_size, "%s: %s", dir, why);
        else
            std::snprintf(error, error_size, "%s", why ? why : "");
    }
    if (paths)
        *paths = list;
    else
        std::free(list);
    if (count) *count = n;
    return why ? 0 : 1;
}

}  // extern "C"
