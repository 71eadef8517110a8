// icc.cpp: ICC profiles taken from files: the well-formedness check, the joining of the
// JPEG APP2 chunks and the inflation of the PNG iCCP stream.
//
// A profile that fails any check is dropped whole: a PDF viewer given a broken or
// mismatched /ICCBased stream may refuse the page, while the device colour space it
// falls back to shows the picture as the library always has.
#include <cstdlib>
#include <cstring>
#include <initializer_list>

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

// ---- ICC tag table: a count at 128, then entries of signature, offset, size (each 4 bytes)
constexpr uint64_t ICC_TAG_COUNT_AT = ICC_HEADER_SIZE;
constexpr uint64_t ICC_TAG_ENTRY = 12;
constexpr uint64_t ICC_TAG_BASE = 8;  // every tag's data opens with its type and 4 reserved bytes

// ---- JPEG APP2 chunk layout: "ICC_PROFILE\0", sequence number (from 1), chunk count -----
constexpr uint8_t ICC_MARKER = 0xE2;
constexpr char ICC_TAG[] = "ICC_PROFILE";  // with its NUL, 12 bytes
constexpr uint32_t ICC_TAG_SIZE = sizeof ICC_TAG;
constexpr uint32_t ICC_CHUNK_HEAD = ICC_TAG_SIZE + 2;

bool is_icc_chunk(const JpegSegment &s) {
    return s.marker == ICC_MARKER && s.len >= ICC_CHUNK_HEAD && std::memcmp(s.data, ICC_TAG, ICC_TAG_SIZE) == 0;
}

bool sig_is(const uint8_t *p, const char *sig) { return std::memcmp(p, sig, 4) == 0; }

// Where a tag's data lies in a profile whose table has been bounds-checked.
struct IccTag {
    uint64_t at, size;
};

// The first entry named `sig`, or {0, 0} when the table has none.
IccTag icc_find_tag(const uint8_t *p, const char *sig) {
    const uint64_t count = load_be32(p + ICC_TAG_COUNT_AT);
    for (uint64_t i = 0; i < count; i++) {
        const uint8_t *e = p + ICC_TAG_COUNT_AT + 4 + i * ICC_TAG_ENTRY;
        if (sig_is(e, sig)) return {load_be32(e + 4), load_be32(e + 8)};
    }
    return {0, 0};
}

// True when the table's count fits the profile and every entry's data lies after the
// table and inside the profile. Viewers that meet an entry outside it repair the
// profile with a warning on every render, or refuse to link it.
bool icc_tag_table_ok(const uint8_t *p, uint64_t len) {
    if (len < ICC_TAG_COUNT_AT + 4) return false;
    const uint64_t count = load_be32(p + ICC_TAG_COUNT_AT);
    const uint64_t table_end = ICC_TAG_COUNT_AT + 4 + count * ICC_TAG_ENTRY;
    if (table_end > len) return false;
    for (uint64_t i = 0; i < count; i++) {
        const uint8_t *e = p + ICC_TAG_COUNT_AT + 4 + i * ICC_TAG_ENTRY;
        const uint64_t at = load_be32(e + 4), size = load_be32(e + 8);
        if (at < table_end || size < ICC_TAG_BASE || at + size > len) return false;
    }
    return true;
}

// A tone curve: 'curv' with its count of 16-bit entries, or 'para' with the parameters
// its function type needs (types 0 to 4 take 1, 3, 4, 5 and 7 of them).
bool icc_curve_ok(const uint8_t *p, IccTag t) {
    static constexpr uint64_t PARA_PARAMS[] = {1, 3, 4, 5, 7};
    if (t.size < ICC_TAG_BASE + 4) return false;
    const uint8_t *d = p + t.at;
    if (sig_is(d, "curv")) return t.size >= 12 + 2 * (uint64_t)load_be32(d + 8);
    if (!sig_is(d, "para")) return false;
    const uint32_t type = load_be16(d + 8);
    return type <= 4 && t.size >= 12 + 4 * PARA_PARAMS[type];
}

bool icc_xyz_ok(const uint8_t *p, IccTag t) { return t.size >= ICC_TAG_BASE + 12 && sig_is(p + t.at, "XYZ "); }

// A table from device values to the connection space, by its type's fixed head.
bool icc_lut_ok(const uint8_t *p, IccTag t) {
    const uint8_t *d = p + t.at;
    if (sig_is(d, "mft1")) return t.size >= 48;
    if (sig_is(d, "mft2")) return t.size >= 52;
    if (sig_is(d, "mAB ")) return t.size >= 32;
    if (sig_is(d, "mpet")) return t.size >= 16;
    return false;
}

// True when the profile carries what a reader needs to turn the image's values into
// colours: a device-to-connection table, or else the shaper form of its space (a grey
// curve; three colorants and three curves). A reader takes the table first when there
// is one, so a table that is present must itself be sound.
bool icc_device_path_ok(const uint8_t *p, const uint8_t *space) {
    for (const char *lut : {"D2B0", "A2B0"}) {
        const IccTag t = icc_find_tag(p, lut);
        if (t.size) return icc_lut_ok(p, t);
    }
    if (sig_is(space, "GRAY")) return icc_curve_ok(p, icc_find_tag(p, "kTRC"));
    if (!sig_is(space, "RGB ")) return false;
    for (const char *c : {"rXYZ", "gXYZ", "bXYZ"})
        if (!icc_xyz_ok(p, icc_find_tag(p, c))) return false;
    for (const char *c : {"rTRC", "gTRC", "bTRC"})
        if (!icc_curve_ok(p, icc_find_tag(p, c))) return false;
    return true;
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
    if (!icc_tag_table_ok(p, len) || !icc_device_path_ok(p, space)) return 0;
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
