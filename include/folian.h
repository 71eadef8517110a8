/* folian.h: the public interface of folian, a PNG/JPEG to PDF converter with its own codecs.
 *
 * Every function here has C linkage and plain arguments. Buffers a function returns are
 * allocated with malloc and released by the caller with free. Texts a function hands out
 * (error messages) are owned by the library and never freed. Calls are synchronous. The
 * historical conversion entry points share process-wide settings and one error text, so a
 * host serialises them; documents opened with a settings record (folian_doc_open,
 * folian_convert) share nothing and run on any number of threads at once. */
#ifndef FOLIAN_H
#define FOLIAN_H

#include <stddef.h>
#include <stdint.h>

#define FOLIAN_VERSION_MAJOR 1
#define FOLIAN_VERSION_MINOR 0
#define FOLIAN_VERSION_PATCH 0
#define FOLIAN_VERSION_STRING "1.0.0"

#if defined(_WIN32) || defined(__CYGWIN__)
#  if defined(FOLIAN_BUILDING)
#    define FOLIAN_API __declspec(dllexport)
#  elif defined(FOLIAN_STATIC)
#    define FOLIAN_API
#  else
#    define FOLIAN_API __declspec(dllimport)
#  endif
#elif defined(__GNUC__)
#  define FOLIAN_API __attribute__((visibility("default")))
#else
#  define FOLIAN_API
#endif

/* noexcept from C++11 on; older C++ and C declare the same functions without it. */
#if defined(__cplusplus) && (__cplusplus >= 201103L || (defined(_MSVC_LANG) && _MSVC_LANG >= 201103L))
#  define FOLIAN_NOEXCEPT noexcept
#else
#  define FOLIAN_NOEXCEPT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Page-size modes for folian_set_page_size and pdf_write. */
#define FOLIAN_PAGE_IMAGE  0 /* the page is the image at the current resolution */
#define FOLIAN_PAGE_A4     1 /* 595.28 x 841.89 points, image scaled to fit and centred */
#define FOLIAN_PAGE_LETTER 2 /* 612 x 792 points */
#define FOLIAN_PAGE_A3     3 /* 841.89 x 1190.55 points */

/* One page image as handed to pdf_write: either RGBA pixels or a whole JPEG file.
 * A record with jpeg_data set is a JPEG image whatever pixels holds. */
typedef struct PdfImage {
    int width;                /* pixels, at least 1 */
    int height;               /* pixels, at least 1 */
    unsigned char *pixels;    /* width*height*4 bytes R,G,B,A, rows top to bottom; null for JPEG */
    unsigned char *jpeg_data; /* a complete JPEG file, embedded unchanged; null for pixels */
    uint64_t jpeg_len;        /* bytes in jpeg_data */
    int jpeg_components;      /* 1 grey, 3 colour, 4 CMYK; read only with jpeg_data */
} PdfImage;

/* Conversion options for folian_set_options, one bit each, all off by default. With none
 * set, every byte of every document is as the writer's fixed layout gives it. */
#define FOLIAN_OPT_COMPACT      0x01u /* compressed pages: PNG data passed through, else deflate */
#define FOLIAN_OPT_INTERLACED   0x02u /* Adam7-interlaced PNG files convert */
/* JPEG files with an 8-bit extended-sequential (0xC1) frame are embedded unchanged like
 * baseline ones. A file is recognised by its content (PNG signature, JPEG start of image)
 * before its name, and a path named explicitly converts whatever its name when its content
 * is a PNG or JPEG file; directory listings still take image names only. */
#define FOLIAN_OPT_WIDE_PROBE   0x04u
/* The EXIF orientation (JPEG APP1, PNG eXIf) draws the picture upright; the image data is
 * embedded as it is. A quarter turn turns a page of mode 0; modes 1 to 3 fit the turned
 * picture on the portrait paper. Missing, invalid or unreadable values change nothing. */
#define FOLIAN_OPT_ORIENTATION  0x08u
/* Page mode 0 sizes the page by the file's own resolution (JFIF density, EXIF X/YResolution,
 * PNG pHYs), horizontal and vertical apart. Values outside 1 to 10000 dpi, an aspect ratio
 * only, or none fall back to folian_set_dpi. Modes 1 to 3 are unchanged. */
#define FOLIAN_OPT_FILE_DPI     0x10u
/* An embedded ICC profile (JPEG APP2 chunks, PNG iCCP) becomes the image's /ICCBased colour
 * space, with /N and /Alternate. A broken or incomplete profile, or one whose component
 * count is not the image's as written (PNG pixels go out as RGB), is left out. */
#define FOLIAN_OPT_ICC          0x20u

/* ---- The library itself --------------------------------------------------------------- */

/* The library's version text at run time, "MAJOR.MINOR.PATCH" (FOLIAN_VERSION_STRING of the
 * build). Never null; a constant owned by the library. */
FOLIAN_API const char *folian_version(void) FOLIAN_NOEXCEPT;
/* Releases a buffer a function of this library returned; null is ignored. The same as free
 * in the library's own C runtime, for hosts that may have another (Windows programs built
 * with another runtime, language bindings). Cannot fail. */
FOLIAN_API void folian_free(void *buffer) FOLIAN_NOEXCEPT;

/* ---- Conversion entry points ---------------------------------------------------------- */

/* Restores page-size mode 0, 150 dpi and no options, and clears the error text. Returns 1. */
FOLIAN_API int folian_init(void) FOLIAN_NOEXCEPT;
/* Clears the error text; the settings stay. */
FOLIAN_API void folian_cleanup(void) FOLIAN_NOEXCEPT;
/* The last error text, "" when none is pending. Never null; owned by the library. */
FOLIAN_API const char *folian_last_error(void) FOLIAN_NOEXCEPT;
/* Page-size mode 0 to 3 (FOLIAN_PAGE_*); other values are ignored. */
FOLIAN_API void folian_set_page_size(int mode) FOLIAN_NOEXCEPT;
/* Resolution 1 to 10000 dots per inch; other values are ignored. */
FOLIAN_API void folian_set_dpi(int dpi) FOLIAN_NOEXCEPT;
/* The conversion options (FOLIAN_OPT_* bits); unknown bits are ignored. */
FOLIAN_API void folian_set_options(unsigned flags) FOLIAN_NOEXCEPT;
/* The current conversion options. */
FOLIAN_API unsigned folian_get_options(void) FOLIAN_NOEXCEPT;
/* One .png/.jpg/.jpeg file (with FOLIAN_OPT_WIDE_PROBE, any PNG or JPEG file) to a one-page
 * PDF. 1 on success, 0 on failure. */
FOLIAN_API int folian_single(const char *image_path, const char *pdf_path) FOLIAN_NOEXCEPT;
/* count image files, one page each in list order. 1 on success, 0 on failure. */
FOLIAN_API int folian_multiple(const char *const *image_paths, int count,
                               const char *pdf_path) FOLIAN_NOEXCEPT;
/* Every image file of a directory in case-insensitive name order.
 * Returns the number of pages written, 0 on failure. */
FOLIAN_API int folian_directory(const char *dir_path, const char *pdf_path) FOLIAN_NOEXCEPT;

/* ---- Page at a time ------------------------------------------------------------------- */
/* A document built one image file at a time, in bounded memory: the finished file is byte
 * for byte what folian_multiple writes for the same files in the same order. The page-size
 * mode, resolution and options in force at folian_doc_begin hold for the whole document.
 * Every call on a folian_doc_begin document sets the process-wide error text; a document of
 * folian_doc_open keeps its own (folian_doc_error). A refused file is reported by its reason
 * ("jpeg: arithmetic-coded JPEG not supported", "not a PNG or JPEG image"). */
typedef struct folian_doc folian_doc;

/* Starts a document that will replace pdf_path when finished. The handle is owned by the
 * caller until folian_doc_finish or folian_doc_abort releases it. Returns null on failure
 * (bad path, no memory, an output that cannot be created), with the error text set. */
FOLIAN_API folian_doc *folian_doc_begin(const char *pdf_path) FOLIAN_NOEXCEPT;
/* Loads one .png/.jpg/.jpeg file and writes its page; the image is released before the call
 * returns. 1 on success; 0 with the error text set. A file that cannot be loaded or that
 * the writer refuses adds no page and the document goes on; after a write failure (full
 * disk, no memory) every later call fails with the same text and only abort is left. */
FOLIAN_API int folian_doc_add(folian_doc *doc, const char *image_path) FOLIAN_NOEXCEPT;
/* Adds count pages in order, exactly as count folian_doc_add calls would (the same bytes, and
 * the same report for the first page that fails). With the document's "jobs" setting above 1
 * the next pages are read, decoded and compressed on that many threads, all ended before this
 * returns, while this thread writes them; at most jobs images are held at once.
 * after_page (may be null) is called on this thread once each page is in, with its index;
 * returning 0 stops the batch ("stopped by the caller"). Returns how many pages were added:
 * count on success; fewer when the page at that index failed (the reason in folian_doc_error
 * or, for folian_doc_begin's documents, folian_last_error) or the batch was stopped. */
FOLIAN_API int folian_doc_add_pages(folian_doc *doc, const char *const *image_paths, int count,
                                    int (*after_page)(void *ctx, int index), void *ctx) FOLIAN_NOEXCEPT;
/* Completes the file and releases the handle, whatever the result. 1 on success; 0 with the
 * error text set (also for a document without pages), leaving whatever was at the path. */
FOLIAN_API int folian_doc_finish(folian_doc *doc) FOLIAN_NOEXCEPT;
/* Releases the handle without writing: no file is left and the path keeps its old content.
 * A null handle is ignored. */
FOLIAN_API void folian_doc_abort(folian_doc *doc) FOLIAN_NOEXCEPT;

/* ---- Settings records and re-entrant conversions --------------------------------------- */
/* A settings record holds everything a conversion is asked to do, as keys and values that
 * are the tool's long options and their arguments:
 *   page-size image|a4|letter|a3   dpi 1..10000   max-pixels N   max-pages N  (N 0: default)
 *   compact, interlaced, content-probe, exif-rotation, file-dpi, icc, natural-order: on|off
 *   title, author, subject, keywords, creator, producer: UTF-8 text ("" for none)
 *   creation-date, mod-date: YYYY-MM-DD[Thh:mm[:ss][Z|+hh:mm]] or now   pdfa off|2b|1b
 *   jobs N: threads for a batch (folian_doc_add_pages, folian_convert); 0 every usable core;
 *     the default 1 starts no thread
 * Documents opened with a record, and folian_convert, touch no process-wide state: any number
 * of them may run at once on different threads. A record itself is not locked: one thread
 * sets it at a time, and it may be read by any number of opens and conversions at once. */
typedef struct folian_settings folian_settings;

/* A new record with the library's defaults (page size "image", 150 dpi, every option off).
 * Owned by the caller, released with folian_settings_free; null only when out of memory. */
FOLIAN_API folian_settings *folian_settings_new(void) FOLIAN_NOEXCEPT;
/* An independent copy of s (null for a null s or when out of memory); owned by the caller. */
FOLIAN_API folian_settings *folian_settings_copy(const folian_settings *s) FOLIAN_NOEXCEPT;
/* Releases a record; null is ignored. Documents opened with it keep their own copy. */
FOLIAN_API void folian_settings_free(folian_settings *s) FOLIAN_NOEXCEPT;
/* Sets one key. 1 on success; 0 with nothing changed for an unknown key, a bad value or a
 * null argument, and folian_settings_error then names the key, the value and what is accepted. */
FOLIAN_API int folian_settings_set(folian_settings *s, const char *key, const char *value) FOLIAN_NOEXCEPT;
/* Why the last folian_settings_set on s failed, "" after a success. Never null; owned by the
 * record and valid until its next set or free. */
/* How many threads a batch with this record runs on: its "jobs" value, or for 0 the cores this
 * process may use. s null means the defaults (1). */
FOLIAN_API int folian_settings_threads(const folian_settings *s) FOLIAN_NOEXCEPT;
FOLIAN_API const char *folian_settings_error(const folian_settings *s) FOLIAN_NOEXCEPT;

/* Starts a document with the settings of s (copied: s may be changed or freed at once; null
 * means the defaults). The output path and the page layout are checked at once: an output
 * that cannot be created (a directory, a place without write access) or margins that leave no
 * room are reported by folian_doc_error and every later call fails. folian_doc_add/finish/
 * abort serve it as they serve folian_doc_begin's documents, but report through
 * folian_doc_error only, and folian_doc_finish releases it only on success: after a failed
 * finish the handle stays for folian_doc_error, and folian_doc_abort releases it. Returns
 * null only when out of memory. */
FOLIAN_API folian_doc *folian_doc_open(const char *pdf_path, const folian_settings *s) FOLIAN_NOEXCEPT;
/* The last failure of an opened document, "" if none. Never null; owned by the document and
 * valid until its next call. For folian_doc_begin's documents, "" (they use folian_last_error). */
FOLIAN_API const char *folian_doc_error(const folian_doc *doc) FOLIAN_NOEXCEPT;
/* Converts files and directories (a directory gives its image files in the library's order,
 * as folian_list_directory lists them) into one PDF at pdf_path, exactly what an opened
 * document with the same adds would write. 1 on success; 0 with "FILE: reason" (or the reason
 * alone when no file is to blame) in error[0..error_size), which may be null, and nothing
 * written at pdf_path. s null means the defaults. */
FOLIAN_API int folian_convert(const folian_settings *s, const char *const *inputs, int count, const char *pdf_path,
                              char *error, size_t error_size) FOLIAN_NOEXCEPT;
/* The image files of a directory in the library's order: names ending in .png, .jpg or .jpeg
 * (any letter case), not starting with '.', that are regular files or links to them; sorted
 * by name ignoring ASCII case, or with natural-order on, with digit runs compared as numbers
 * (2.jpg before 10.jpg). *paths receives "dir/name" texts and the array in one block that one
 * folian_free releases (null when count is 0). 1 on success (an empty directory included);
 * 0 when the directory cannot be listed or memory runs out, with the reason in error (may be
 * null). s null means the defaults; null out-pointers are not written. */
FOLIAN_API int folian_list_directory(const char *dir, const folian_settings *s, char ***paths, int *count,
                                     char *error, size_t error_size) FOLIAN_NOEXCEPT;

/* ---- Documents in memory -------------------------------------------------------------- */
/* For hosts that hold images and PDFs as bytes (uploads, responses): no file is read or
 * written, no scratch file either. The finished bytes are those a document of folian_doc_open
 * writes for the same pages and settings. Memory is the document so far plus the page at hand. */

/* Starts a document built in memory with the settings of s (copied; null means the defaults).
 * Pages come from folian_doc_add_memory or folian_doc_add; folian_doc_finish_memory ends it
 * (folian_doc_finish refuses it), folian_doc_abort drops it. It reports as folian_doc_open's
 * documents do. Returns null only when out of memory; settings the writer refuses (margins
 * that leave no room) are reported by folian_doc_error and every later call fails. */
FOLIAN_API folian_doc *folian_doc_open_memory(const folian_settings *s) FOLIAN_NOEXCEPT;
/* Adds the page of one image held in data[0..len), of any document. The format is told by
 * the content (PNG signature, JPEG start of image), never by a name. The bytes are read
 * during the call only: nothing of them is kept after it returns. name (may be null) only
 * stands before the reason in the message: "upload.png: png: truncated chunk". 1 on success;
 * 0 with the reason in folian_doc_error (folian_last_error for folian_doc_begin's documents);
 * a refused image adds no page and the document goes on, as with folian_doc_add. */
FOLIAN_API int folian_doc_add_memory(folian_doc *doc, const unsigned char *data, size_t len,
                                     const char *name) FOLIAN_NOEXCEPT;
/* Completes a document of folian_doc_open_memory. 1 with *pdf a buffer of *len bytes that
 * the caller releases with folian_free, and the handle released; 0 with *pdf = null and
 * *len = 0 (also for a document without pages, or another kind of document), the handle kept
 * for folian_doc_error and released by folian_doc_abort. Null out-pointers are not written
 * (the finished document is then dropped). */
FOLIAN_API int folian_doc_finish_memory(folian_doc *doc, unsigned char **pdf, size_t *len) FOLIAN_NOEXCEPT;

/* ---- PDF writer ----------------------------------------------------------------------- */

/* Writes count images as a PDF 1.4 file, one page each. *message is set to "" or to a
 * constant failure text. Returns 1 when the whole file was written, else 0, leaving
 * whatever was at path before untouched. */
FOLIAN_API int pdf_write(const char *path, PdfImage *const *images, int count, int page_size_mode,
                         int dpi, const char **message) FOLIAN_NOEXCEPT;
/* Options of pdf_write_ex, one bit each. */
#define PDF_WRITE_COMPACT 0x01u /* pixel pages PNG-filtered and deflate-compressed */
/* pdf_write with options (PDF_WRITE_* bits, unknown bits ignored); flags 0 writes exactly
 * pdf_write's bytes. The caller keeps the records and their buffers; message may be null.
 * Returns 1 when the whole file was written; else 0 with *message set, leaving whatever
 * was at path before untouched. */
FOLIAN_API int pdf_write_ex(const char *path, PdfImage *const *images, int count, int page_size_mode,
                            int dpi, unsigned flags, const char **message) FOLIAN_NOEXCEPT;

/* pdf_write with a settings record (null: the defaults): its page layout, resolution and
 * compact pages apply to the records as they are (the keys that read files do not). The
 * caller keeps the records. 1 when the whole file was written; else 0 with the reason in
 * error[0..error_size) (may be null), leaving whatever was at path before untouched. */
FOLIAN_API int pdf_write_settings(const char *path, PdfImage *const *images, int count, const folian_settings *s,
                                  char *error, size_t error_size) FOLIAN_NOEXCEPT;

/* ---- Codecs --------------------------------------------------------------------------- */

/* Raw deflate (RFC 1951) into out[0..capacity). Returns the byte count once the final
 * block is decoded, or -1 on any failure (also when the count would pass 2^31 - 1). */
FOLIAN_API int32_t kv_inflate(const unsigned char *in, size_t in_len, unsigned char *out,
                              size_t capacity) FOLIAN_NOEXCEPT;

/* PNG file to RGBA. On failure returns null, *width = *height = 0, *message names the fault. */
FOLIAN_API unsigned char *kv_png_decode(const char *path, int *width, int *height,
                                        const char **message) FOLIAN_NOEXCEPT;
/* Options of kv_png_decode_ex, one bit each. */
#define KV_PNG_INTERLACED 0x01u /* Adam7-interlaced files decode instead of failing */
/* kv_png_decode with per-call options (KV_PNG_* bits, unknown bits ignored); flags 0
 * behaves exactly as kv_png_decode. The caller frees the result; failures as there, and
 * any of the three out-pointers may be null. */
FOLIAN_API unsigned char *kv_png_decode_ex(const char *path, unsigned flags, int *width, int *height,
                                           const char **message) FOLIAN_NOEXCEPT;
/* kv_png_decode_ex for a PNG file held in data[0..len), which is only read. The caller frees
 * the result (folian_free); failures as kv_png_decode; out-pointers may be null. */
FOLIAN_API unsigned char *kv_png_decode_memory(const unsigned char *data, size_t len, unsigned flags, int *width,
                                               int *height, const char **message) FOLIAN_NOEXCEPT;
/* RGBA to a PNG file (8-bit RGBA, stored deflate blocks). 1 on success, 0 on failure. */
FOLIAN_API int kv_png_write(const char *path, int width, int height,
                            const unsigned char *pixels) FOLIAN_NOEXCEPT;
/* Options for kv_png_write_ex, one bit each. */
#define KV_PNG_COMPRESS 0x01u /* rows filtered per row and deflate-compressed */
/* RGBA to a PNG file with options (KV_PNG_* bits; unknown bits are ignored). With none
 * set the file is byte for byte kv_png_write's. The caller keeps the pixels. 1 on
 * success; 0 on failure, when no file is left at path. */
FOLIAN_API int kv_png_write_ex(const char *path, int width, int height, const unsigned char *pixels,
                               unsigned flags) FOLIAN_NOEXCEPT;

/* Frame size and component count (1 to 4) of a JPEG file, without decoding. 1 or 0. */
FOLIAN_API int kv_jpeg_info(const char *path, int *width, int *height,
                            int *components) FOLIAN_NOEXCEPT;
/* Baseline JPEG file to RGBA (alpha 255). Same conventions as kv_png_decode. */
FOLIAN_API unsigned char *kv_jpeg_decode(const char *path, int *width, int *height,
                                         const char **message) FOLIAN_NOEXCEPT;
/* Baseline JPEG stream in memory to RGBA. */
FOLIAN_API unsigned char *kv_jpeg_decode_impl(const unsigned char *data, uint64_t len, int *width,
                                              int *height, const char **message) FOLIAN_NOEXCEPT;
/* Options of kv_jpeg_decode_ex and kv_jpeg_decode_file_ex, one bit each. With any of
 * them set, quantisation values up to 65535 are accepted, and lossless and hierarchical
 * frames fail with a message that names them. Arithmetic-coded frames (0xC9 to 0xCF)
 * are named with or without options, and a frame over 200000000 pixels gives
 * "jpeg: image too large". */
#define KV_JPEG_PROGRESSIVE 0x01u /* progressive (0xC2) frames, Huffman-coded */
#define KV_JPEG_MULTISCAN   0x02u /* sequential frames whose components come in several scans */
#define KV_JPEG_EXTENDED    0x04u /* extended-sequential (0xC1) frames of 8-bit samples */
#define KV_JPEG_ALL         0x07u
/* kv_jpeg_decode_impl with per-call options (KV_JPEG_* bits, unknown bits ignored); flags
 * 0 behaves exactly as kv_jpeg_decode_impl. The caller frees the result; on failure null,
 * *width = *height = 0 and *message names the fault. Out-pointers may be null. */
FOLIAN_API unsigned char *kv_jpeg_decode_ex(const unsigned char *data, uint64_t len, unsigned flags, int *width,
                                            int *height, const char **message) FOLIAN_NOEXCEPT;
/* The same for a file; "jpeg: cannot read file" when it cannot be read whole. */
FOLIAN_API unsigned char *kv_jpeg_decode_file_ex(const char *path, unsigned flags, int *width, int *height,
                                                 const char **message) FOLIAN_NOEXCEPT;
/* Options of kv_decode, one bit each. */
#define KV_DECODE_INTERLACED 0x01u /* Adam7-interlaced PNG files decode instead of failing */
#define KV_DECODE_JPEG_ALL   0x02u /* progressive, multi-scan and extended JPEG (KV_JPEG_ALL) */
#define KV_DECODE_CLASSIC    0x04u /* PNG and JPEG only, the formats folian_directory takes by default */
/* Any supported image (PNG, JPEG, GIF, BMP, ...), told by its content, to RGBA: frame
 * `frame` (0-based; a GIF frame composited as a viewer shows it, a TIFF page) of a file
 * held in memory. Returns a malloc'd buffer of width*height*4 bytes R,G,B,A, rows top to
 * bottom, that the caller frees (folian_free); *frames gets the file's frame count (0
 * when it cannot be told). On failure null, *width = *height = 0 and *message names the
 * format and the fault. Every out-pointer may be null; the message is a constant. */
FOLIAN_API unsigned char *kv_decode(const unsigned char *data, size_t len, int frame, unsigned flags, int *width,
                                    int *height, int *frames, const char **message) FOLIAN_NOEXCEPT;
/* RGBA to a baseline JFIF file (alpha ignored). 1 on success, 0 on failure. */
FOLIAN_API int kv_jpeg_write(const char *path, int width, int height,
                             const unsigned char *pixels) FOLIAN_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* FOLIAN_H */
