// pdf_write.h: the zlib stream encoder, shared with the PNG encoder.
#ifndef FOLIAN_PDF_WRITE_H
#define FOLIAN_PDF_WRITE_H

#include <cstdint>

// Wraps `len` bytes in a zlib stream of stored deflate blocks (header 78 01, blocks of at
// most 65535 bytes, Adler-32). Returns a malloc'ed buffer and sets *out_len, or null when
// memory runs out (then *out_len is unchanged).
uint8_t *kv_deflate(const uint8_t *data, uint64_t len, uint64_t *out_len);

#endif
