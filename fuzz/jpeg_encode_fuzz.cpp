// jpeg_encode_fuzz.cpp: differential fuzzer for the JPEG encoder. The input's first two
// bytes pick a width and height (1 to 64 each) and the rest, repeated as needed, fills the
// RGBA pixels; when the third byte is odd, noise seeded from the input is added, so that
// short inputs also reach busy blocks. The library's encoder must produce exactly the
// bytes of the plain reference encoder, in every vector form of its transform.
#include <cstdint>
#include <cstdlib>
#include <random>
#include <vector>

#include "cpu.h"
#include "jpeg/encode.h"
#include "ref_encoders.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 3) return 0;
    int w = 1 + data[0] % 64, h = 1 + data[1] % 64;
    std::vector<uint8_t> px((size_t)w * h * 4);
    for (size_t i = 0; i < px.size(); i++) px[i] = data[2 + i % (size - 2)];
    if (data[2] & 1) {
        uint32_t seed = 1;
        for (size_t i = 0; i < size; i++) seed = seed * 31 + data[i];
        std::minstd_rand rng(seed);
        int spread = 1 + data[2] / 2;  // 1 to 128: from gentle to full-range noise
        for (auto &b : px) b = (uint8_t)(b + (int)(rng() % (uint32_t)spread));
    }

    std::vector<uint8_t> ref = ref_jpeg_encode(w, h, px.data());
    for (int form = CPU_PLAIN; form <= cpu_form_available(); form++) {
        CpuLimit saved = cpu_set_limit({form, false});
        uint8_t *out = nullptr;
        uint64_t len = 0;
        int ok = jpeg_encode_memory(w, h, px.data(), &out, &len);
        cpu_set_limit(saved);
        if (!ok || std::vector<uint8_t>(out, out + len) != ref) std::abort();
        std::free(out);
    }
    return 0;
}
