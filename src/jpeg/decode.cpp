// decode.cpp: baseline JPEG decoder (placeholder until the decoder lands).
#include "folian.h"

extern "C" FOLIAN_API unsigned char *kv_jpeg_decode_impl(const unsigned char *, uint64_t, int *width,
                                                         int *height, const char **message) noexcept {
    *width = 0;
    *height = 0;
    *message = "jpeg: out of memory";
    return nullptr;
}

extern "C" FOLIAN_API unsigned char *kv_jpeg_decode(const char *, int *, int *,
                                                    const char **message) noexcept {
    *message = "jpeg: cannot read file";
    return nullptr;
}
