// pdf_write.cpp: the PDF writer (placeholder) and the zlib stream encoder.
#include "pdf_write.h"

#include <cstring>

#include "bytes.h"
#include "checksum.h"
#include "folian.h"
#include "mem.h"

namespace {
constexpr uint64_t STORED_MAX = 65535;  // the largest LEN of a stored deflate block
}

// Layout: 78 01 | per block: BFINAL/BTYPE byte, LEN le16, NLEN le16, LEN bytes | Adler-32 be32.
uint8_t *kv_deflate(const uint8_t *data, uint64_t len, uint64_t *out_len) {
    uint64_t blocks = len / STORED_MAX + 1;
    uint64_t cap = len + (len / STORED_MAX) * 5 + 11;
    if (len > SIZE_MAX - cap + len) return nullptr;
    uint8_t *out = (uint8_t *)mem_malloc((size_t)cap);
    if (!out) return nullptr;
    uint8_t *p = out;
    *p++ = 0x78;
    *p++ = 0x01;
    uint64_t pos = 0;
    for (;;) {
        uint64_t n = len - pos < STORED_MAX ? len - pos : STORED_MAX;
        bool final = pos + n == len;
        p[0] = final ? 0x01 : 0x00;
        p[1] = (uint8_t)n;
        p[2] = (uint8_t)(n >> 8);
        p[3] = (uint8_t)~n;
        p[4] = (uint8_t)(~n >> 8);
        p += 5;
        if (n) std::memcpy(p, data + pos, (size_t)n);
        p += n;
        pos += n;
        if (final) break;
    }
    (void)blocks;
    store_be32(p, adler32_update(1, data, (size_t)len));
    p += 4;
    *out_len = (uint64_t)(p - out);
    return out;
}

extern "C" FOLIAN_API int pdf_write(const char *, PdfImage *const *, int, int, int, const char **message) noexcept {
    *message = "pdf_write: bad arguments";
    return 0;
}
