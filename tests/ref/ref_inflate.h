// ref_inflate.h: the plain bit-at-a-time inflater, kept as the test oracle
// for the fast kv_inflate (tests, fuzzers and benchmarks link it; the library does not).
#ifndef FOLIAN_REF_INFLATE_H
#define FOLIAN_REF_INFLATE_H

#include <cstddef>
#include <cstdint>

// Same contract as kv_inflate: raw deflate into out[0..capacity); the byte count once the
// final block is decoded, or -1 on any failure (also when the count would pass 2^31 - 1).
// Bytes decoded before a failure stay in the buffer; nothing past them is touched.
int32_t ref_inflate(const uint8_t *in, size_t in_len, uint8_t *out, size_t capacity);

#endif
