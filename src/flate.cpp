// flate.cpp: raw deflate decoder (placeholder until the decoder lands).
#include "folian.h"

extern "C" FOLIAN_API int32_t kv_inflate(const unsigned char *, size_t, unsigned char *, size_t) noexcept {
    return -1;
}
