// checksum.cpp: Adler-32.
//
// Plain form: a += byte; b += a; both mod 65521, per byte. The modulo is deferred:
// 5552 is the largest n for which 255*n*(n+1)/2 + (n+1)*(65520) fits in 32 bits, so
// the sums may run unreduced for a chunk of 5552 bytes. Within a chunk, 16 bytes at a
// time are folded as b += 16*a + sum of (16-i)*byte_i, a += sum of bytes.
#include "checksum.h"

namespace {
constexpr uint32_t ADLER_MOD = 65521;
constexpr size_t ADLER_CHUNK = 5552;
}  // namespace

uint32_t adler32_update(uint32_t adler, const uint8_t *p, size_t n) {
    uint32_t a = adler & 0xFFFF;
    uint32_t b = adler >> 16;
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
