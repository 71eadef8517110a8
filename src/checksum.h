// checksum.h: Adler-32 (RFC 1950), shared by the zlib framing and the PNG decoder.
#ifndef FOLIAN_CHECKSUM_H
#define FOLIAN_CHECKSUM_H

#include <cstddef>
#include <cstdint>

// Continues an Adler-32 from `adler` (start with 1) over n bytes.
uint32_t adler32_update(uint32_t adler, const uint8_t *data, size_t n);

#endif
