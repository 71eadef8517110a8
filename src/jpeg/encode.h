// encode.h: the JPEG encoder's internal interface: the in-memory encode behind
// kv_jpeg_write, for the benchmark and tests.
#ifndef FOLIAN_JPEG_ENCODE_H
#define FOLIAN_JPEG_ENCODE_H

#include <cstdint>

// Encodes width x height RGBA pixels (alpha ignored) as a baseline JFIF stream. On
// success returns 1 and hands over a mem_malloc'ed buffer in *out (release with free)
// and its length in *out_len; on failure (bad size, no memory) returns 0 and leaves
// both untouched.
int jpeg_encode_memory(int width, int height, const uint8_t *pixels, uint8_t **out,
                       uint64_t *out_len);

// The transform runs in the vector form cpu_form() names (cpu.h).

#endif
