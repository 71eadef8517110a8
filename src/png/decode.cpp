// decode.cpp: PNG decoder (placeholder until the decoder lands).
#include "folian.h"

extern "C" FOLIAN_API unsigned char *kv_png_decode(const char *, int *width, int *height,
                                                   const char **message) noexcept {
    *width = 0;
    *height = 0;
    *message = "png: cannot read file";
    return nullptr;
}
