// icc.cpp: ICC profiles taken from files: the well-formedness check, the joining of the
// JPEG APP2 chunks and the inflation of the PNG iCCP stream.
//
// A profile that fails any check is dropped whole: a PDF viewer given a broken or
// mismatched /ICCBased stream may refuse the page, while the device colour space it
// falls back to shows the picture as the library always has.
#include <cstdlib>
#include <cstring>

#include "bytes.h"
#include "checksum.h"
#include "flate/flate.h"
#include "folian.h"
#include "mem.h"
#include "meta/meta.h"

namespace {

// ---- ICC header layout -----------------------------------------------------------------
constexpr uint64_t ICC_HEADER_SIZE = 128;
constexpr uint64_t ICC_CLASS_AT = 12;
constexpr uint64_t ICC_SPACE_AT = 16;
constexpr uint64_t ICC_MAGIC_AT = 36;

// ---- JPEG APP2 chunk layout: "ICC_PROFILE\0", sequence number (from 1), chunk count -----
constexpr uint8_t ICC_MARKER = 0xE2;
constexpr char ICC_TAG[] = "ICC_PROFILE";  // with its NUL, 12 bytes
constexpr uint32_t ICC_TAG_SIZE = sizeof ICC_TAG;
constexpr uint32_t ICC_CHUNK_HEAD = ICC_TAG_SIZE + 2;

bool is_icc_chunk(const JpegSegment &s) {
    return s.marker == ICC_MARKER && s.len >= ICC_CHUNK_HEAD && std::memcmp(s.data, ICC_TAG, ICC_TAG_SIZE) == 0;
}

// zlib header (RFC 1950): deflate, a window of at most 32 KiB, a valid check, no
// preset dictionary.
bool zlib_header_ok(const uint8_t *z) {
    return (z[0] & 0x0F) == 8 && (z[0] >> 4) <= 7 && (((uint32_t)z[0] << 8) | z[1]) % 31 == 0 && !(z[1] & 0x20);
}

}  // namespace

int icc_check(const uint8_t *p, uint64_t len) {
    if (!p || len < ICC_HEADER_SIZE || load_be32(p) != len) return 0;
    if (std::memcmp(p + ICC_MAGIC_AT, "acsp", 4) != 0) return 0;
    const uint8_t *cls = p + ICC_CLASS_AT;
    if (std::memcmp(cls, "link", 4) == 0 || std::memcmp(cls, "abst", 4) == 0 || std::memcmp(cls, "nmcl", 4) == 0)
        return 0;
    const uint8_t *space = p + ICC_SPACE_AT;
    if (std::memcmp(space, "GRAY", 4) == 0) return 1;
    if (std::memcmp(space, "RGB ", 4) == 0) return 3;
    if (std::memcmp(space, "CMYK", 4) == 0) return 4;
    return 0;
}

uint8_t *icc_join_jpeg_chunks(const JpegSegment *segs, uint32_t count, uint64_t *len, bool *no_memory) {
    *len = 0;
    // Chunk i (1-based sequence number) sits at where[i]; every chunk must name the same
    // count, and each number from 1 to that count must appear exactly once.
    const JpegSegment *where[256] = {};
    uint32_t total_chunks = 0, seen = 0;
    uint64_t total = 0;
    for (uint32_t i = 0; i < count; i++) {
        if (!is_icc_chunk(segs[i])) continue;
        const uint32_t seq = segs[i].data[ICC_TAG_SIZE], n = segs[i].data[ICC_TAG_SIZE + 1];
        if (n == 0 || seq == 0 || seq > n) return nullptr;
        if (total_chunks == 0) total_chunks = n;
        if (n != total_chunks || where[seq]) return nullptr;
        where[seq] = &segs[i];
        seen++;
        total += segs[i].len - ICC_CHUNK_HEAD;
    }
    if (seen == 0 || seen != total_chunks || total == 0 || total > META_MAX_ICC) return nullptr;
    uint8_t *out = (uint8_t *)mem_malloc((size_t)total);
    if (!out) {
        *no_memory = true;
        return nullptr;
    }
    uint64_t at = 0;
    for (uint32_t seq = 1; seq <= total_chunks; seq++) {
        const uint32_t n = where[seq]->len - ICC_CHUNK_HEAD;
        if (n) std::memcpy(out + at, where[seq]->data + ICC_CHUNK_HEAD, n);
        at += n;
    }
    *len = total;
    return out;
}

uint8_t *icc_inflate_zlib(const uint8_t *z, uint64_t len, uint64_t *out_len, bool *no_memory) {
    *out_len = 0;
    if (len < 2 + 4 || !zlib_header_ok(z)) return nullptr;
    // The inflated size is not stored, so the buffer grows until the stream fits: a
    // failure for want of room and one for corrupt data look alike, and the bound keeps
    // the retries (and a stream built to expand without end) to twice the bound's work.
    for (uint64_t cap = 64 * 1024;; cap *= 2) {
        if (cap > META_MAX_ICC) cap = META_MAX_ICC;
        uint8_t *out = (uint8_t *)mem_malloc((size_t)cap);
        if (!out) {
            *no_memory = true;
            return nullptr;
        }
        const int32_t got = flate_inflate(z + 2, (size_t)(len - 6), out, (size_t)cap);
        if (got >= 0) {
            if (adler32_update(1, out, (size_t)got) != load_be32(z + len - 4)) {
                std::free(out);
                return nullptr;
            }
            *out_len = (uint64_t)got;
            return out;
        }
        std::free(out);
        if (cap == META_MAX_ICC) return nullptr;
    }
}
