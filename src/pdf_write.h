// pdf_write.h: the PDF writer's internal interface: the zlib stream encoder (shared with the
// PNG encoder) and the page-at-a-time document builder behind pdf_write.
#ifndef FOLIAN_PDF_WRITE_H
#define FOLIAN_PDF_WRITE_H

#include <cstdint>
#include <cstring>

#include "bytes.h"
#include "checksum.h"
#include "folian.h"

// ---- Zlib stream of stored blocks ----------------------------------------------------------
// Layout: 78 01 | blocks of at most 65535 input bytes, each a BFINAL/BTYPE byte (01 for the
// last block, 00 otherwise), LEN and NLEN as 16-bit little-endian, then LEN bytes | the
// Adler-32 of the input, most significant byte first. Empty input still has one block.

constexpr uint64_t ZLIB_STORED_MAX = 65535;

inline uint64_t zlib_stored_blocks(uint64_t n) {
    return n == 0 ? 1 : (n + ZLIB_STORED_MAX - 1) / ZLIB_STORED_MAX;
}
// Exact length of the stream for n input bytes.
inline uint64_t zlib_stored_size(uint64_t n) { return n + 5 * zlib_stored_blocks(n) + 6; }

// Writes the stream for n input bytes at `out` (zlib_stored_size(n) bytes). The input is
// produced by fill(dst, first, count), which stores input bytes first .. first+count-1 at
// dst; this lets callers gather samples straight into place without a scratch copy.
template <typename Fill>
void zlib_stored_write(uint8_t *out, uint64_t n, Fill fill) {
    uint8_t *p = out;
    *p++ = 0x78;
    *p++ = 0x01;
    uint32_t adler = 1;
    uint64_t pos = 0;
    for (;;) {
        uint64_t len = n - pos < ZLIB_STORED_MAX ? n - pos : ZLIB_STORED_MAX;
        bool final = pos + len == n;
        p[0] = final ? 0x01 : 0x00;
        p[1] = (uint8_t)len;
        p[2] = (uint8_t)(len >> 8);
        p[3] = (uint8_t)~len;
        p[4] = (uint8_t)(~len >> 8);
        p += 5;
        if (len) {
            fill(p, pos, len);
            adler = adler32_update(adler, p, (size_t)len);
        }
        p += len;
        pos += len;
        if (final) break;
    }
    store_be32(p, adler);
}

// Wraps `len` bytes in a stored-block zlib stream. Returns a malloc'ed buffer and sets
// *out_len, or null when memory runs out (then *out_len is unchanged).
uint8_t *kv_deflate(const uint8_t *data, uint64_t len, uint64_t *out_len);

// ---- Document builder ------------------------------------------------------------------------
// pdf_write in steps, so a caller can hand pages over one after another:
//   pdf_doc_begin(count, mode, dpi); pdf_doc_layout(page i) for every page;
//   pdf_doc_add_page(page i) for every page in order; pdf_doc_finish(path); pdf_doc_free.
// Layout needs every image (object numbers depend on which pages carry a soft mask, and the
// page tree, object 2, lists them all); adding a page appends its objects to the document
// and no longer needs its image afterwards. Every step returns false with doc->message set.

struct PdfPage;  // one page's object numbers and geometry

struct PdfDoc {
    uint8_t *out;          // the document so far
    uint64_t len, cap;
    uint64_t *offsets;     // offsets[i]: where object i begins; [0] unused
    PdfPage *pages;
    int count;             // pages announced
    int laid_out;          // pages laid out so far
    int added;             // pages whose objects are in `out`
    int next_obj;          // next free object number
    int mode, dpi;
    const char *message;   // "" or the failure text
};

bool pdf_doc_begin(PdfDoc *doc, int count, int mode, int dpi);
bool pdf_doc_layout(PdfDoc *doc, const PdfImage *image);
bool pdf_doc_add_page(PdfDoc *doc, const PdfImage *image);
bool pdf_doc_finish(PdfDoc *doc, const char *path);
void pdf_doc_free(PdfDoc *doc);

#endif
