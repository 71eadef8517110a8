// pdf_write.cpp: PDF writer (placeholder).
#include "folian.h"
extern "C" FOLIAN_API int pdf_write(const char *, PdfImage *const *, int, int, int, const char **message) noexcept {
    *message = "pdf_write: bad arguments";
    return 0;
}
