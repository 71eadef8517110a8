// bytes.h: byte-order loads and stores, and a bounds-checked reader over a byte span.
#ifndef FOLIAN_BYTES_H
#define FOLIAN_BYTES_H

#include <cstddef>
#include <cstdint>
#if defined(_MSC_VER)
#include <intrin.h>
#endif
#include <cstring>

inline uint32_t load_be16(const uint8_t *p) { return (uint32_t)p[0] << 8 | p[1]; }
inline uint32_t load_be32(const uint8_t *p) {
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}
inline uint32_t load_le16(const uint8_t *p) { return (uint32_t)p[0] | (uint32_t)p[1] << 8; }
inline uint32_t load_le32(const uint8_t *p) { return load_le16(p) | load_le16(p + 2) << 16; }
inline uint64_t load_le64(const uint8_t *p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    v = __builtin_bswap64(v);
#endif
    return v;
}
inline void store_be16(uint8_t *p, uint32_t v) {
    p[0] = (uint8_t)(v >> 8);
    p[1] = (uint8_t)v;
}
inline void store_be32(uint8_t *p, uint32_t v) {
    p[0] = (uint8_t)(v >> 24);
    p[1] = (uint8_t)(v >> 16);
    p[2] = (uint8_t)(v >> 8);
    p[3] = (uint8_t)v;
}

// A cursor over [data, data + len). Reads past the end return 0 and set `overrun`,
// so a parser can read a whole header and test once.
struct ByteReader {
    const uint8_t *data;
    uint64_t len;
    uint64_t pos;
    bool overrun;
};

inline ByteReader byte_reader(const uint8_t *data, uint64_t len) { return {data, len, 0, false}; }
inline uint64_t br_left(const ByteReader &r) { return r.pos < r.len ? r.len - r.pos : 0; }
inline bool br_has(const ByteReader &r, uint64_t n) { return br_left(r) >= n; }
inline uint32_t br_u8(ByteReader &r) {
    if (!br_has(r, 1)) { r.overrun = true; return 0; }
    return r.data[r.pos++];
}
inline uint32_t br_be16(ByteReader &r) {
    if (!br_has(r, 2)) { r.overrun = true; r.pos = r.len; return 0; }
    uint32_t v = load_be16(r.data + r.pos);
    r.pos += 2;
    return v;
}
inline uint32_t br_be32(ByteReader &r) {
    if (!br_has(r, 4)) { r.overrun = true; r.pos = r.len; return 0; }
    uint32_t v = load_be32(r.data + r.pos);
    r.pos += 4;
    return v;
}

// Index of the lowest set bit of a non-zero mask.
inline int low_bit(uint64_t m) {
#if defined(_MSC_VER)
    unsigned long i;
    _BitScanForward64(&i, m);
    return (int)i;
#else
    return __builtin_ctzll(m);
#endif
}

#endif
