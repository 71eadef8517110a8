// folian.cpp: the conversion entry points: settings, the last-error text, loading image files
// into page records and handing them to the PDF writer.
//
// PNG files are decoded to RGBA; JPEG files are only probed for their size and embedded
// byte for byte. Every call starts with an empty error text, so a failure always reports
// its own cause; the decoder's message is kept over the generic one where both apply.
//
// Each file is read once: the bytes serve the decoder or the probe and, when the options
// ask for it, the metadata readers, whose findings (orientation, resolution, profile) go
// to the writer beside the page record.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "file_io.h"
#include "folian.h"
#include "jpeg/jpeg.h"
#include "mem.h"
#include "meta/meta.h"
#include "os_path.h"
#include "pdf_write.h"
#include "png/png.h"

namespace {

constexpr size_t ERR_SIZE = 512;
constexpr int DEFAULT_DPI = 150;
constexpr int MAX_DPI = 10000;
constexpr uint64_t MAX_JPEG_BYTES = 1073741824;  // 1 GiB: larger files are refused, not cut

char s_err[ERR_SIZE];
int s_page_size = 0;
int s_dpi = DEFAULT_DPI;
unsigned s_options = 0;
constexpr unsigned KNOWN_OPTIONS = FOLIAN_OPT_COMPACT | FOLIAN_OPT_INTERLACED | FOLIAN_OPT_WIDE_PROBE |
                                   FOLIAN_OPT_ORIENTATION | FOLIAN_OPT_FILE_DPI | FOLIAN_OPT_ICC;
// The options that read what a file says about placing its picture.
constexpr unsigned META_OPTIONS = FOLIAN_OPT_ORIENTATION | FOLIAN_OPT_FILE_DPI | FOLIAN_OPT_ICC;
constexpr char MSG_OUT_OF_MEMORY[] = "folian: out of memory";

void set_err(const char *text) { std::snprintf(s_err, ERR_SIZE, "%s", text); }
void set_err_if_empty(const char *text) {
    if (!s_err[0]) set_err(text);
}
void clear_err() { s_err[0] = '\0'; }

bool ext_equals(const char *ext, const char *want) {
    for (; *ext && *want; ext++, want++) {
        char c = *ext;
        if (c >= 'A' && c <= 'Z') c = (char)(c - 'A' + 'a');
        if (c != *want) return false;
    }
    return *ext == *want;
}

bool is_image_path(const char *path) {
    const char *slash = std::strrchr(path, '/');
    const char *name = slash ? slash + 1 : path;
    const char *dot = std::strrchr(name, '.');
    if (!dot) return false;
    return ext_equals(dot + 1, "png") || ext_equals(dot + 1, "jpg") || ext_equals(dot + 1, "jpeg");
}

// The loader chooses by the last dot of the whole path; anything not JPEG goes to PNG.
bool has_jpeg_extension(const char *path) {
    const char *dot = std::strrchr(path, '.');
    return dot && (ext_equals(dot + 1, "jpg") || ext_equals(dot + 1, "jpeg"));
}

int name_cmp(const void *a, const void *b) {
    const unsigned char *x = *(const unsigned char *const *)a;
    const unsigned char *y = *(const unsigned char *const *)b;
    for (;; x++, y++) {
        unsigned cx = *x, cy = *y;
        if (cx >= 'A' && cx <= 'Z') cx += 'a' - 'A';
        if (cy >= 'A' && cy <= 'Z') cy += 'a' - 'A';
        if (cx != cy || cx == 0) return (int)cx - (int)cy;
    }
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
};

void free_image(LoadedImage *li) {
    std::free(li->im.pixels);
    std::free(li->im.jpeg_data);
    std::free(li->file);
    std::free(li->joined);
    meta_release(&li->meta);
    *li = LoadedImage{};
}

// What the writer is to know beyond the record; null when no option asks for anything,
// so that the page is the record's alone.
const PdfPageExtra *page_extra(LoadedImage *li, unsigned options) {
    const bool placed = (options & META_OPTIONS) != 0;
    if (!placed && !li->has_pass) return nullptr;
    const ImageMeta &m = li->meta;
    li->place = PdfPlacement{m.orientation, m.dpi.known ? m.dpi.x : 0, m.dpi.known ? m.dpi.y : 0,
                             m.icc, m.icc_len, m.icc_components};
    li->extra = PdfPageExtra{li->has_pass ? &li->pass : nullptr, placed ? &li->place : nullptr};
    return &li->extra;
}

enum ImageKind { KIND_NONE, KIND_PNG, KIND_JPEG };

// What the first bytes say: a PNG signature, or a JPEG start-of-image followed by the
// first byte of the next marker.
ImageKind kind_by_content(const uint8_t *d, uint64_t n) {
    static const uint8_t PNG_SIGNATURE[8] = {137, 80, 78, 71, 13, 10, 26, 10};
    if (n >= sizeof PNG_SIGNATURE && std::memcmp(d, PNG_SIGNATURE, sizeof PNG_SIGNATURE) == 0) return KIND_PNG;
    if (n >= 3 && d[0] == 0xFF && d[1] == 0xD8 && d[2] == 0xFF) return KIND_JPEG;
    return KIND_NONE;
}

// A JPEG kept whole for embedding. Failures set no text but for a frame too large (the
// probe takes it): the caller words the message.
bool load_jpeg(uint8_t *data, uint64_t len, unsigned options, LoadedImage *li) {
    int w, h, comps;
    // The probe's verdict without the wider option is kv_jpeg_info's on the same bytes.
    const bool probed = len <= MAX_JPEG_BYTES &&
                        jpeg_probe_frames(data, len, (options & FOLIAN_OPT_WIDE_PROBE) != 0, &w, &h, &comps);
    if (!probed || jpeg_too_large((uint64_t)w, (uint64_t)h)) {
        if (probed) set_err(JPEG_ERR_TOO_LARGE);
        std::free(data);
        return false;
    }
    li->im.width = w;
    li->im.height = h;
    li->im.jpeg_data = data;
    li->im.jpeg_len = len;
    li->im.jpeg_components = comps;
    jpeg_read_meta(data, len, options, comps, &li->meta);
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
bool load_png(uint8_t *data, uint64_t len, unsigned options, LoadedImage *li) {
    const char *msg = nullptr;
    int w = 0, h = 0;
    const unsigned png_flags = (options & FOLIAN_OPT_INTERLACED) ? PNG_DECODE_INTERLACED : 0u;
    PngDecodeFacts facts;
    unsigned char *px = png_decode_memory(data, len, &w, &h, &msg, png_flags, &facts);
    if (!px) {
        std::free(data);
        set_err(msg && *msg ? msg : "folian: error");
        return false;
    }
    li->im.width = w;
    li->im.height = h;
    li->im.pixels = px;
    // The pixels go to the writer as RGB, so only an RGB profile describes them.
    png_read_meta(data, len, options, 3, &li->meta);
    li->file = data;
    if (options & FOLIAN_OPT_COMPACT) {
        if (!find_passthrough(li, len, facts)) {
            set_err(PNG_ERR_MEMORY);
            return false;
        }
    } else {
        std::free(li->file);  // nothing of the file is needed beyond its pixels
        li->file = nullptr;
    }
    return true;
}

enum LoadResult { LOAD_OK, LOAD_FAILED, LOAD_NOT_IMAGE };

// Reads `path` into `li`. Without the wider probe the name decides how the file is read;
// with it the content does, and the name only when the content says neither PNG nor JPEG.
// `named` says the name passed the image-name test: a path that did not (possible only
// with the wider probe) is taken only when its content is a PNG or JPEG file, else it is
// LOAD_NOT_IMAGE, as its name alone would have made it.
LoadResult load_image(const char *path, unsigned options, bool named, LoadedImage *li) {
    *li = LoadedImage{};
    meta_init(&li->meta);
    const bool wide = (options & FOLIAN_OPT_WIDE_PROBE) != 0;
    ImageKind kind = has_jpeg_extension(path) ? KIND_JPEG : KIND_PNG;
    uint8_t *data;
    uint64_t len;
    const uint64_t limit = kind == KIND_JPEG && !wide ? MAX_JPEG_BYTES : UINT64_MAX;
    if (file_read_whole(path, limit, &data, &len) != FILE_READ_OK) {
        if (!named) return LOAD_NOT_IMAGE;
        if (kind == KIND_PNG) set_err(PNG_ERR_READ);
        return LOAD_FAILED;
    }
    if (wide) {
        const ImageKind found = kind_by_content(data, len);
        if (found == KIND_NONE && !named) {
            std::free(data);
            return LOAD_NOT_IMAGE;
        }
        if (found != KIND_NONE) kind = found;
    }
    if (!(kind == KIND_JPEG ? load_jpeg(data, len, options, li) : load_png(data, len, options, li))) {
        free_image(li);
        return LOAD_FAILED;
    }
    if (li->meta.no_memory) {
        // A page without its profile would be another document than the one asked for.
        set_err(MSG_OUT_OF_MEMORY);
        free_image(li);
        return LOAD_FAILED;
    }
    return LOAD_OK;
}

// Whether a path given by the host goes to the loader: by its name, or, with the wider
// probe, by its content, which the loader then checks.
bool path_admitted(const char *path, unsigned options, bool *named) {
    *named = path && is_image_path(path);
    return path && (*named || (options & FOLIAN_OPT_WIDE_PROBE));
}

unsigned writer_flags(unsigned options) { return (options & FOLIAN_OPT_COMPACT) ? PDF_WRITE_COMPACT : 0u; }

// ---- Directory listing ----------------------------------------------------------------

struct PathList {
    char **items;
    int count, cap;
};

void free_paths(PathList *list) {
    for (int i = 0; i < list->count; i++) std::free(list->items[i]);
    std::free(list->items);
    *list = PathList{};
}

// "dir/name", allocated whole: a cut path could name another file, which would then be
// converted in the entry's place. A path too long for the system fails when opened.
char *join_path(const char *dir, const char *name) {
    size_t dir_len = std::strlen(dir), name_len = std::strlen(name);
    char *joined = (char *)mem_malloc(dir_len + 1 + name_len + 1);
    if (!joined) return nullptr;
    std::memcpy(joined, dir, dir_len);
    joined[dir_len] = '/';
    std::memcpy(joined + dir_len + 1, name, name_len + 1);
    return joined;
}

bool add_path(PathList *list, const char *dir, const char *name) {
    char *copy = join_path(dir, name);
    if (!copy) return false;
    if (list->count == list->cap) {
        int cap = list->cap ? list->cap * 2 : 32;
        char **grown = (char **)mem_realloc(list->items, (size_t)cap * sizeof(char *));
        if (!grown) {
            std::free(copy);
            return false;
        }
        list->items = grown;
        list->cap = cap;
    }
    list->items[list->count++] = copy;
    return true;
}

bool keep_entry(const char *name) { return name[0] != '.' && is_image_path(name); }

// Collects "dir/name" for every image entry. Returns false when the listing cannot be
// opened (*oom false) or memory runs out (*oom true).
bool collect_paths(const char *dir, PathList *list, bool *oom) {
    *oom = false;
    OsDir *d = os_dir_open(dir);
    if (!d) return false;
    while (const char *name = os_dir_next(d)) {
        if (keep_entry(name) && !add_path(list, dir, name)) {
            os_dir_close(d);
            *oom = true;
            return false;
        }
    }
    os_dir_close(d);
    return true;
}

}  // namespace

extern "C" {

FOLIAN_API int folian_init(void) noexcept {
    clear_err();
    s_page_size = 0;
    s_dpi = DEFAULT_DPI;
    s_options = 0;
    return 1;
}

FOLIAN_API void folian_cleanup(void) noexcept { clear_err(); }

FOLIAN_API const char *folian_last_error(void) noexcept { return s_err; }

FOLIAN_API void folian_set_page_size(int mode) noexcept {
    if ((unsigned)mode <= 3) s_page_size = mode;
}

FOLIAN_API void folian_set_dpi(int dpi) noexcept {
    if (dpi >= 1 && dpi <= MAX_DPI) s_dpi = dpi;
}

FOLIAN_API void folian_set_options(unsigned flags) noexcept { s_options = flags & KNOWN_OPTIONS; }

FOLIAN_API unsigned folian_get_options(void) noexcept { return s_options; }

FOLIAN_API int folian_single(const char *image_path, const char *pdf_path) noexcept {
    clear_err();
    if (!image_path || !pdf_path) {
        set_err("folian_single: NULL path");
        return 0;
    }
    bool named;
    LoadedImage li;
    const LoadResult loaded = path_admitted(image_path, s_options, &named)
                                  ? load_image(image_path, s_options, named, &li)
                                  : LOAD_NOT_IMAGE;
    if (loaded == LOAD_NOT_IMAGE) {
        set_err("folian_single: not a .png/.jpg image");
        return 0;
    }
    if (loaded == LOAD_FAILED) {
        set_err_if_empty("folian_single: failed to read image");
        return 0;
    }
    PdfImage *list[1] = {&li.im};
    const PdfPageExtra *extras[1] = {page_extra(&li, s_options)};
    const char *msg = nullptr;
    int ok = pdf_write_pages(pdf_path, list, extras, 1, s_page_size, s_dpi, writer_flags(s_options), &msg);
    if (ok)
        clear_err();
    else
        set_err_if_empty(msg ? msg : "folian: error");
    free_image(&li);
    return ok;
}

FOLIAN_API int folian_multiple(const char *const *image_paths, int count,
                               const char *pdf_path) noexcept {
    clear_err();
    if (count <= 0 || !pdf_path || !image_paths) {
        set_err("folian_multiple: bad arguments");
        return 0;
    }
    PdfDoc doc;
    if (!pdf_doc_begin(&doc, pdf_path, s_page_size, s_dpi, writer_flags(s_options))) {
        set_err("folian_multiple: out of memory");
        pdf_doc_free(&doc);
        return 0;
    }
    // Each image is freed as soon as its page is written. A writer failure is held back
    // until every image has loaded: a file that cannot be read is the more useful report.
    for (int i = 0; i < count; i++) {
        const char *path = image_paths[i];
        bool named;
        LoadedImage li;
        const LoadResult loaded =
            path_admitted(path, s_options, &named) ? load_image(path, s_options, named, &li) : LOAD_NOT_IMAGE;
        if (loaded == LOAD_NOT_IMAGE) {
            set_err("folian_multiple: bad image path");
            pdf_doc_free(&doc);
            return 0;
        }
        if (loaded == LOAD_FAILED) {
            if (!s_err[0]) std::snprintf(s_err, ERR_SIZE, "folian_multiple: failed on %s", path);
            pdf_doc_free(&doc);
            return 0;
        }
        pdf_doc_add_ex(&doc, &li.im, page_extra(&li, s_options));
        free_image(&li);
    }
    int ok = pdf_doc_finish(&doc) ? 1 : 0;
    if (ok)
        clear_err();
    else
        set_err_if_empty(doc.message[0] ? doc.message : "folian_multiple: pdf write failed");
    pdf_doc_free(&doc);
    return ok;
}

FOLIAN_API int folian_directory(const char *dir_path, const char *pdf_path) noexcept {
    clear_err();
    if (!dir_path || !pdf_path) {
        set_err("folian_directory: bad arguments");
        return 0;
    }
    PathList list = {};
    bool oom;
    if (!collect_paths(dir_path, &list, &oom)) {
        set_err(oom ? "folian_directory: out of memory" : "folian_directory: cannot open directory");
        free_paths(&list);
        return 0;
    }
    if (list.count == 0) {
        set_err("folian_directory: no images in directory");
        free_paths(&list);
        return 0;
    }
    std::qsort(list.items, (size_t)list.count, sizeof(char *), name_cmp);
    int ok = folian_multiple(list.items, list.count, pdf_path);
    int converted = ok ? list.count : 0;
    free_paths(&list);
    return converted;
}

// ---- Page at a time ---------------------------------------------------------------------

struct folian_doc {
    PdfDoc doc;
    unsigned options;  // the settings in force at folian_doc_begin
};

FOLIAN_API folian_doc *folian_doc_begin(const char *pdf_path) noexcept {
    clear_err();
    if (!pdf_path) {
        set_err("folian_doc_begin: bad arguments");
        return nullptr;
    }
    folian_doc *d = (folian_doc *)mem_calloc(1, sizeof(folian_doc));
    if (!d) {
        set_err("folian_doc_begin: out of memory");
        return nullptr;
    }
    d->options = s_options;
    if (!pdf_doc_begin(&d->doc, pdf_path, s_page_size, s_dpi, writer_flags(d->options)) || d->doc.message[0]) {
        // A host learns at once that the output cannot be made, before any page is loaded.
        set_err(d->doc.message[0] ? d->doc.message : "folian_doc_begin: out of memory");
        pdf_doc_free(&d->doc);
        std::free(d);
        return nullptr;
    }
    return d;
}

FOLIAN_API int folian_doc_add(folian_doc *d, const char *image_path) noexcept {
    clear_err();
    if (!d) {
        set_err("folian_doc_add: bad arguments");
        return 0;
    }
    if (d->doc.message[0]) {  // an earlier page broke the document; only abort is left
        set_err(d->doc.message);
        return 0;
    }
    // The options in force when the document began hold for all of its pages.
    bool named;
    LoadedImage li;
    const LoadResult loaded = path_admitted(image_path, d->options, &named)
                                  ? load_image(image_path, d->options, named, &li)
                                  : LOAD_NOT_IMAGE;
    if (loaded == LOAD_NOT_IMAGE) {
        set_err("folian_doc_add: bad image path");
        return 0;
    }
    if (loaded == LOAD_FAILED) {
        if (!s_err[0]) std::snprintf(s_err, ERR_SIZE, "folian_doc_add: failed on %s", image_path);
        return 0;
    }
    // An image the writer refuses is skipped; the document stays as it was.
    int ok = pdf_image_ok(&li.im) ? 1 : 0;
    if (!ok)
        set_err("pdf_write: bad image");
    else if (!pdf_doc_add_ex(&d->doc, &li.im, page_extra(&li, d->options))) {
        set_err(d->doc.message);
        ok = 0;
    }
    free_image(&li);
    return ok;
}

FOLIAN_API int folian_doc_finish(folian_doc *d) noexcept {
    clear_err();
    if (!d) {
        set_err("folian_doc_finish: bad arguments");
        return 0;
    }
    int ok = 0;
    if (d->doc.count == 0 && !d->doc.message[0])
        set_err("folian_doc_finish: no pages");
    else if (pdf_doc_finish(&d->doc))
        ok = 1;
    else
        set_err(d->doc.message[0] ? d->doc.message : "folian_doc_finish: pdf write failed");
    pdf_doc_free(&d->doc);
    std::free(d);
    return ok;
}

FOLIAN_API void folian_doc_abort(folian_doc *d) noexcept {
    if (!d) return;
    pdf_doc_free(&d->doc);
    std::free(d);
}

}  // extern "C"
