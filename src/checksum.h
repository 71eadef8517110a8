// checksum.h: Adler-32 (RFC 1950), shared by the zlib framing and the PNG decoder, and the
// CRC-32 of PNG chunks (ISO 3309, reflected polynomial 0xEDB88320).
#ifndef FOLIAN_CHECKSUM_H
#define FOLIAN_CHECKSUM_H

#include <cstddef>
#include <cstdint>

// Continues an Adler-32 from `adler` (start with 1) over n bytes.
uint32_t adler32_update(uint32_t adler, const uint8_t *data, size_t n);
// Continues a CRC-32 register `crc` (start with 0xFFFFFFFF, invert at the end) over n bytes.
uint32_t crc32_update(uint32_t crc, const uint8_t *data, size_t n);

#endif
