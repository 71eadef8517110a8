// encode.cpp: baseline JPEG encoder (placeholder until the encoder lands).
#include "folian.h"

extern "C" FOLIAN_API int kv_jpeg_write(const char *, int, int, const unsigned char *) noexcept { return 0; }
