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
