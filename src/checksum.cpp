// checksum.cpp: Adler-32 (zlib streams) and CRC-32 (PNG chunks).
//
// Plain form: a += byte; b += a; both mod 65521, per byte. The modulo is deferred:
// 5552 is the largest n for which 255*n*(n+1)/2 + (n+1)*(65520) fits in 32 bits, so
// the sums may run unreduced for a chunk of 5552 bytes. Within a chunk, 16 bytes at a
// time are folded as b += 16*a + sum of (16-i)*byte_i, a += sum of bytes.
//
// With SSE2 a chunk is taken 32 bytes at a time (n = 32k bytes, k blocks, S_j the byte
// sum of block j, x_i the bytes): b grows by n*a + sum over i of (n - i)*x_i, which splits
// into 32 * sum over j of (S_0 + ... + S_{j-1}) plus sum over the 32 positions p of
// (32 - p) * (the sum of the bytes at position p of every block). The first term is
// kept as a running sum of the running byte sum (psadbw gives byte sums), the second as
// 16-bit per-position column sums weighted once per chunk with pmaddwd; the chunk's
// contribution is reduced in 64 bits. The results are those of the plain form.
#include "checksum.h"

#include <cstring>

#include "cpu.h"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace {
constexpr uint32_t ADLER_MOD = 65521;
constexpr size_t ADLER_CHUNK = 5552;

#ifdef __SSE2__
// 128 blocks: the column sums stay at most 128 * 255 = 32640, within pmaddwd's signed
// 16-bit inputs.
constexpr size_t SIMD_CHUNK = 4096;

inline uint32_t hsum_epi32(__m128i v) {
    v = _mm_add_epi32(v, _mm_shuffle_epi32(v, _MM_SHUFFLE(1, 0, 3, 2)));
    v = _mm_add_epi32(v, _mm_shuffle_epi32(v, _MM_SHUFFLE(2, 3, 0, 1)));
    return (uint32_t)_mm_cvtsi128_si32(v);
}

// Adds whole 32-byte blocks of one chunk (at most SIMD_CHUNK bytes) to a and b, reduced.
void adler_blocks_sse2(uint32_t *pa, uint32_t *pb, const uint8_t *p, size_t n) {
    const __m128i zero = _mm_setzero_si128();
    __m128i s1 = zero, s2 = zero;                      // running byte sum; sum of it per block
    __m128i c0 = zero, c1 = zero, c2 = zero, c3 = zero;  // column sums, positions 0-7, ..., 24-31
    for (size_t k = 0; k < n; k += 32) {
        const __m128i x = _mm_loadu_si128((const __m128i *)(p + k));
        const __m128i y = _mm_loadu_si128((const __m128i *)(p + k + 16));
        s2 = _mm_add_epi32(s2, s1);
        s1 = _mm_add_epi32(s1, _mm_add_epi32(_mm_sad_epu8(x, zero), _mm_sad_epu8(y, zero)));
        c0 = _mm_add_epi16(c0, _mm_unpacklo_epi8(x, zero));
        c1 = _mm_add_epi16(c1, _mm_unpackhi_epi8(x, zero));
        c2 = _mm_add_epi16(c2, _mm_unpacklo_epi8(y, zero));
        c3 = _mm_add_epi16(c3, _mm_unpackhi_epi8(y, zero));
    }
    const __m128i w0 = _mm_setr_epi16(32, 31, 30, 29, 28, 27, 26, 25);
    const __m128i w1 = _mm_setr_epi16(24, 23, 22, 21, 20, 19, 18, 17);
    const __m128i w2 = _mm_setr_epi16(16, 15, 14, 13, 12, 11, 10, 9);
    const __m128i w3 = _mm_setr_epi16(8, 7, 6, 5, 4, 3, 2, 1);
    const __m128i weighted = _mm_add_epi32(_mm_add_epi32(_mm_madd_epi16(c0, w0), _mm_madd_epi16(c1, w1)),
                                           _mm_add_epi32(_mm_madd_epi16(c2, w2), _mm_madd_epi16(c3, w3)));
    const uint64_t a = *pa, bytes = hsum_epi32(s1);
    const uint64_t b = *pb + (uint64_t)n * a + 32 * (uint64_t)hsum_epi32(s2) + hsum_epi32(weighted);
    *pa = (uint32_t)((a + bytes) % ADLER_MOD);
    *pb = (uint32_t)(b % ADLER_MOD);
}
#endif
}  // namespace

uint32_t adler32_update(uint32_t adler, const uint8_t *p, size_t n) {
    uint32_t a = adler & 0xFFFF;
    uint32_t b = adler >> 16;
#ifdef __SSE2__
    const bool sse2 = cpu_form() >= CPU_SSE2;
    while (sse2 && n >= 32) {
        const size_t chunk = n < SIMD_CHUNK ? n & ~(size_t)31 : SIMD_CHUNK;
        adler_blocks_sse2(&a, &b, p, chunk);
        p += chunk;
        n -= chunk;
    }
#endif
    while (n > 0) {
        size_t chunk = n < ADLER_CHUNK ? n : ADLER_CHUNK;
        n -= chunk;
        while (chunk >= 16) {
            uint32_t s = 0, w = 0;
            for (int i = 0; i < 16; i++) {
                s += p[i];
                w += (uint32_t)(16 - i) * p[i];
            }
            b += 16 * a + w;
            a += s;
            p += 16;
            chunk -= 16;
        }
        while (chunk--) {
            a += *p++;
            b += a;
        }
        a %= ADLER_MOD;
        b %= ADLER_MOD;
    }
    return b << 16 | a;
}

// ---- CRC-32 -------------------------------------------------------------------------------
namespace {

// CRC-32 of PNG (reflected polynomial 0xEDB88320). s_crc_table[0][n] is the byte-wise
// table: n shifted right eight times, each shift that drops a 1-bit followed by an XOR
// with the polynomial. s_crc_table[j][n] is the CRC of byte n followed by j zero bytes,
// which lets eight bytes be folded in at once (slicing by eight). Built at compile time,
// so no first call has anything to fill.
struct CrcTables {
    uint32_t t[8][256];
};

constexpr CrcTables make_crc_tables() {
    CrcTables c{};
    for (uint32_t n = 0; n < 256; n++) {
        uint32_t v = n;
        for (int k = 0; k < 8; k++) v = v & 1 ? 0xEDB88320u ^ (v >> 1) : v >> 1;
        c.t[0][n] = v;
    }
    for (int j = 1; j < 8; j++)
        for (int n = 0; n < 256; n++) c.t[j][n] = c.t[0][c.t[j - 1][n] & 0xFF] ^ (c.t[j - 1][n] >> 8);
    return c;
}

constexpr CrcTables s_crc_table = make_crc_tables();

}  // namespace

// Plain form per byte: crc = table[(crc ^ byte) & 0xFF] ^ (crc >> 8).
uint32_t crc32_update(uint32_t crc, const uint8_t *p, size_t n) {
    const auto &t = s_crc_table.t;
    for (; n >= 8; n -= 8, p += 8) {
        uint32_t lo = crc ^ ((uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24);
        crc = t[7][lo & 0xFF] ^ t[6][lo >> 8 & 0xFF] ^ t[5][lo >> 16 & 0xFF] ^ t[4][lo >> 24] ^
              t[3][p[4]] ^ t[2][p[5]] ^ t[1][p[6]] ^ t[0][p[7]];
    }
    for (; n > 0; n--, p++) crc = t[0][(crc ^ *p) & 0xFF] ^ (crc >> 8);
    return crc;
}

// ---- MD5 ---------------------------------------------------------------------------------
namespace {

// Per-step left rotations, four per round.
constexpr int MD5_SHIFT[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};
// floor(abs(sin(i + 1)) * 2^32), as the algorithm defines its additive constants.
constexpr uint32_t MD5_K[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

inline uint32_t rotl(uint32_t v, int s) { return v << s | v >> (32 - s); }

void md5_block(uint32_t state[4], const uint8_t *p) {
    uint32_t w[16];
    for (int i = 0; i < 16; i++)
        w[i] = (uint32_t)p[4 * i] | (uint32_t)p[4 * i + 1] << 8 | (uint32_t)p[4 * i + 2] << 16 |
               (uint32_t)p[4 * i + 3] << 24;
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (int i = 0; i < 64; i++) {
        uint32_t f;
        int g;
        switch (i / 16) {
        case 0: f = (b & c) | (~b & d), g = i; break;
        case 1: f = (d & b) | (~d & c), g = (5 * i + 1) % 16; break;
        case 2: f = b ^ c ^ d, g = (3 * i + 5) % 16; break;
        default: f = c ^ (b | ~d), g = 7 * i % 16; break;
        }
        const uint32_t t = d;
        d = c;
        c = b;
        b += rotl(a + f + MD5_K[i] + w[g], MD5_SHIFT[i / 16][i % 4]);
        a = t;
    }
    state[0] += a, state[1] += b, state[2] += c, state[3] += d;
}

}  // namespace

void md5_init(Md5 *m) {
    m->state[0] = 0x67452301, m->state[1] = 0xefcdab89, m->state[2] = 0x98badcfe, m->state[3] = 0x10325476;
    m->total = 0;
}

void md5_update(Md5 *m, const uint8_t *p, size_t n) {
    size_t used = (size_t)(m->total % 64);
    m->total += n;
    if (used) {
        const size_t take = n < 64 - used ? n : 64 - used;
        std::memcpy(m->block + used, p, take);
        p += take, n -= take, used += take;
        if (used < 64) return;
        md5_block(m->state, m->block);
    }
    for (; n >= 64; p += 64, n -= 64) md5_block(m->state, p);
    if (n) std::memcpy(m->block, p, n);
}

void md5_final(Md5 *m, uint8_t digest[16]) {
    // Padding: a 1 bit, zeros to 56 bytes into the block, then the bit count, little-endian.
    const uint64_t bits = m->total * 8;
    uint8_t pad[72] = {0x80};
    const size_t used = (size_t)(m->total % 64);
    const size_t pad_len = (used < 56 ? 56 : 120) - used;
    for (int i = 0; i < 8; i++) pad[pad_len + i] = (uint8_t)(bits >> (8 * i));
    md5_update(m, pad, pad_len + 8);
    for (int i = 0; i < 4; i++)
        for (int j = 0; j < 4; j++) digest[4 * i + j] = (uint8_t)(m->state[i] >> (8 * j));
}
