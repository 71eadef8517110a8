// encode.h: the JPEG encoder's internal interface: the in-memory encode behind
// kv_jpeg_write, for the benchmark and tests, and the vector-width switch for tests.
#ifndef FOLIAN_JPEG_ENCODE_H
#define FOLIAN_JPEG_ENCODE_H

#include <cstdint>

// Encodes width x height RGBA pixels (alpha ignored) as a baseline JFIF stream. On
// success returns 1 and hands over a mem_malloc'ed buffer in *out (release with free)
// and its length in *out_len; on failure (bad size, no memory) returns 0 and leaves
// both untouched.
int jpeg_encode_memory(int width, int height, const uint8_t *pixels, uint8_t **out,
                       uint64_t *out_len);

// The transform runs in the widest vector form the processor offers. Tests narrow it to
// check that every form gives the same bytes: 0 plain, 1 up to AVX2, 2 up to AVX-512.
// Returns the previous limit. Not for use while an encode runs on another thread.
int jpeg_encode_set_vector_limit(int limit);

#endif
