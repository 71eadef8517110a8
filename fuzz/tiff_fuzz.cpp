// tiff_fuzz.cpp: fuzz target for the TIFF decoder. Every input is counted and its first
// two pages decoded in full, header-only and passthrough-only. A success must give a
// positive size, width*height*4 readable bytes (unless the passthrough was taken) and a
// passthrough buffer of the stated length; a failure must give a cleared page and one of
// the decoder's failure texts. A header-only reading must succeed wherever the full
// decoding does, with the same facts. Inputs that do not start with a TIFF byte order
// mark and version get the little-endian header put in front.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "tiff/tiff.h"

namespace {

const std::set<std::string> &messages() {
    static const std::set<std::string> table = {
        TIFF_ERR_HEADER,   TIFF_ERR_OFFSET,    TIFF_ERR_LOOP,      TIFF_ERR_IFD,      TIFF_ERR_NO_PAGE,
        TIFF_ERR_MISSING_TAG, TIFF_ERR_TOO_LARGE, TIFF_ERR_OLD_JPEG, TIFF_ERR_COMPRESSION, TIFF_ERR_FLOAT,
        TIFF_ERR_SAMPLE_FORMAT, TIFF_ERR_JPEG12, TIFF_ERR_DEPTH,   TIFF_ERR_PHOTOMETRIC, TIFF_ERR_YCBCR,
        TIFF_ERR_JPEG_CMYK, TIFF_ERR_PREDICTOR, TIFF_ERR_LAYOUT,   TIFF_ERR_PALETTE,  TIFF_ERR_TRUNCATED,
        TIFF_ERR_PACKBITS, TIFF_ERR_LZW,       TIFF_ERR_DEFLATE,   TIFF_ERR_CCITT,    TIFF_ERR_JPEG,
        TIFF_ERR_MEMORY};
    return table;
}

volatile uint8_t sink;

void touch(const uint8_t *p, uint64_t n) {
    uint8_t x = 0;
    for (uint64_t i = 0; i < n; i += 61) x ^= p[i];
    if (n) x ^= p[n - 1];
    sink = x;
}

bool decode_checked(const uint8_t *data, size_t size, int index, unsigned flags, TiffPage *page) {
    const char *msg = nullptr;
    const bool ok = tiff_decode_page(data, size, index, flags, page, &msg);
    if (!msg) std::abort();
    if (!ok) {
        if (!messages().count(msg) || page->pixels || page->pass_data || page->width) std::abort();
        return false;
    }
    if (msg[0] || page->width <= 0 || page->height <= 0) std::abort();
    const bool pass_only = (flags & TIFF_DECODE_PASS_ONLY) && page->pass != TIFF_PASS_NONE;
    if ((flags & TIFF_DECODE_INFO_ONLY) || pass_only) {
        if (page->pixels) std::abort();
    } else {
        if (!page->pixels) std::abort();
        touch(page->pixels, (uint64_t)page->width * page->height * 4);
    }
    if (page->pass != TIFF_PASS_NONE) {
        if (!page->pass_data || page->pass_len == 0) std::abort();
        touch(page->pass_data, page->pass_len);
    }
    if (page->icc) touch(page->icc, page->icc_len);
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const uint8_t HEADER[8] = {'I', 'I', 42, 0, 8, 0, 0, 0};
    std::vector<uint8_t> buf;
    if (!tiff_signature(data, size)) {
        buf.assign(HEADER, HEADER + 8);
        buf.insert(buf.end(), data, data + size);
        data = buf.data();
        size = buf.size();
    }
    const char *msg = nullptr;
    const int pages = tiff_page_count(data, size, &msg);
    if (!msg || pages < 0 || (pages == 0) != (msg[0] != 0) || (pages == 0 && !messages().count(msg))) std::abort();
    for (int index = 0; index < 2; index++) {
        TiffPage full, info, pass;
        const bool ok = decode_checked(data, size, index, 0, &full);
        const bool info_ok = decode_checked(data, size, index, TIFF_DECODE_INFO_ONLY, &info);
        if (ok && (!info_ok || info.width != full.width || info.height != full.height || info.grey != full.grey ||
                   info.bilevel != full.bilevel))
            std::abort();
        if (ok && pages > 0 && index >= pages) std::abort();  // a page the count did not see
        if (decode_checked(data, size, index, TIFF_DECODE_PASS_ONLY, &pass) && ok && pass.pass != full.pass)
            std::abort();
        tiff_page_free(&full);
        tiff_page_free(&info);
        tiff_page_free(&pass);
    }
    return 0;
}
