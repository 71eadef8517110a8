// checksum.h: Adler-32 (RFC 1950), shared by the zlib framing and the PNG decoder, the
// CRC-32 of PNG chunks (ISO 3309, reflected polynomial 0xEDB88320), and the MD5 digest
// (RFC 1321) that names a document in its trailer.
#ifndef FOLIAN_CHECKSUM_H
#define FOLIAN_CHECKSUM_H

#include <cstddef>
#include <cstdint>

// Continues an Adler-32 from `adler` (start with 1) over n bytes.
uint32_t adler32_update(uint32_t adler, const uint8_t *data, size_t n);
// Continues a CRC-32 register `crc` (start with 0xFFFFFFFF, invert at the end) over n bytes.
uint32_t crc32_update(uint32_t crc, const uint8_t *data, size_t n);

// MD5, fed in pieces of any size. Used as a fingerprint of content, not for security.
struct Md5 {
    uint32_t state[4];
    uint64_t total;      // bytes fed so far
    uint8_t block[64];   // the partial block, total % 64 bytes of it in use
};
void md5_init(Md5 *m);
void md5_update(Md5 *m, const uint8_t *data, size_t n);
// The 16-byte digest; `m` must be initialised again before reuse.
void md5_final(Md5 *m, uint8_t digest[16]);

#endif
