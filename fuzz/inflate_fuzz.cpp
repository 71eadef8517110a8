// inflate_fuzz.cpp: differential fuzz target for kv_inflate. The first two input bytes
// choose the output capacity, the rest is the deflate stream. kv_inflate and the
// plain bit-at-a-time reference must return the same value and leave the same bytes
// in the whole output buffer, including the sentinel bytes past the capacity, which
// neither may touch.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "folian.h"
#include "ref_inflate.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) return 0;
    // Capacities up to 256 KiB, small ones often (where the capacity checks bite).
    const size_t sel = (size_t)data[0] | (size_t)data[1] << 8;
    const size_t cap = sel & 0x8000 ? (sel & 0x7FFF) * 8 : sel & 0x3FF;
    const uint8_t *in = data + 2;
    const size_t n = size - 2;
    constexpr size_t SLACK = 32;
    std::vector<uint8_t> a(cap + SLACK, 0x5A), b(cap + SLACK, 0x5A);
    const int32_t ra = kv_inflate(n ? in : nullptr, n, a.data(), cap);
    const int32_t rb = ref_inflate(n ? in : nullptr, n, b.data(), cap);
    if (ra != rb || a != b) {
        std::fprintf(stderr, "kv_inflate %d, reference %d, buffers %s\n", ra, rb, a == b ? "equal" : "differ");
        std::abort();
    }
    return 0;
}
