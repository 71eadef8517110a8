// meta_fuzz.cpp: fuzz target for the metadata readers. The same bytes go to the JPEG
// and the PNG reader (the PNG one behind a signature, so that it gets past it); the
// results must stay in their ranges, a kept profile must pass the profile check, and the
// sanitizers catch any read outside the input.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "folian.h"
#include "meta/meta.h"

namespace {
void check(const ImageMeta &m) {
    if (m.orientation < 0 || m.orientation > 8) std::abort();
    if (m.dpi.known && !(m.dpi.x >= META_MIN_DPI && m.dpi.x <= META_MAX_DPI && m.dpi.y >= META_MIN_DPI &&
                         m.dpi.y <= META_MAX_DPI))
        std::abort();
    if (m.icc && icc_check(m.icc, m.icc_len) != m.icc_components) std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const unsigned all = FOLIAN_OPT_ORIENTATION | FOLIAN_OPT_FILE_DPI | FOLIAN_OPT_ICC;
    ImageMeta m;
    meta_init(&m);
    jpeg_read_meta(data, size, all, 0, &m);
    check(m);
    meta_release(&m);

    static const uint8_t SIG[8] = {137, 80, 78, 71, 13, 10, 26, 10};
    std::vector<uint8_t> png(SIG, SIG + 8);
    png.insert(png.end(), data, data + size);
    png_read_meta(png.data(), png.size(), all, 0, &m);
    check(m);
    meta_release(&m);
    return 0;
}
