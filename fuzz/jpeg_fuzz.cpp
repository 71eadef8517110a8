// jpeg_fuzz.cpp: libFuzzer harness for kv_jpeg_decode_impl. Every input must decode or
// fail cleanly, and the outcome, message and pixels must equal the plain reference
// decoder's (tests/ref), so the fast paths are checked, not only the absence of crashes.
//
// Inputs whose frame headers declare more than 2^16 pixels are skipped: they would only
// spend the time on allocating and filling large pictures, and slowed the campaigns to a
// few hundred runs a second. Seed with tests/data/jpeg.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "folian.h"
#include "ref_jpeg.h"

namespace {

bool declares_large_frame(const uint8_t *d, size_t n) {
    for (size_t i = 0; i + 9 < n; i++) {
        if (d[i] != 0xFF || (d[i + 1] != 0xC0 && d[i + 1] != 0xC2)) continue;
        uint64_t h = (uint64_t)d[i + 5] << 8 | d[i + 6], w = (uint64_t)d[i + 7] << 8 | d[i + 8];
        if (w * h > (1u << 16)) return true;
    }
    return false;
}

[[noreturn]] void mismatch(const char *what) {
    std::fprintf(stderr, "jpeg_fuzz: decoder and reference differ: %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (declares_large_frame(data, size)) return 0;
    int w = -1, h = -1;
    const char *msg = nullptr;
    unsigned char *px = kv_jpeg_decode_impl(data, size, &w, &h, &msg);
    if (!msg) mismatch("no message");
    if (!px && (w != 0 || h != 0)) mismatch("size set on failure");

    int rw = 0, rh = 0;
    std::vector<uint8_t> ref;
    std::string rmsg;
    bool ref_ok = ref_jpeg_decode(data, size, &rw, &rh, &ref, &rmsg);
    if (ref_ok != (px != nullptr)) mismatch("outcome");
    if (rmsg != msg) mismatch("message");
    if (px) {
        if (rw != w || rh != h) mismatch("size");
        if (std::memcmp(px, ref.data(), ref.size()) != 0) mismatch("pixels");
        std::free(px);
    }
    return 0;
}
