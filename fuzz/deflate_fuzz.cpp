// deflate_fuzz.cpp: round-trip fuzz target for the deflate compressor. The first input
// byte chooses the piece size the input is fed in; the second the effort (its low bit) and,
// in one input of 32, that the rest is repeated to about 300 KB, so that long inputs cross
// the compressor's buffer slide and block ends while most inputs stay quick to run; the rest
// is the data. The zlib stream written piece by piece must equal the one-shot stream, and
// kv_inflate must give back exactly the data from its deflate body.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "flate/flate.h"
#include "folian.h"

namespace {

// The whole stream at the quick effort, which only a state offers.
uint8_t *one_shot_quick(const std::vector<uint8_t> &in, size_t *len) {
    Deflater *d = deflate_new(DEFLATE_ZLIB, DEFLATE_QUICK);
    uint8_t *out = d && deflate_write(d, in.data(), in.size()) && deflate_finish(d) ? deflate_take(d, len) : nullptr;
    deflate_free(d);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) return 0;
    const size_t piece = data[0] < 128 ? (size_t)data[0] + 1 : ((size_t)data[0] - 127) * 4099;
    const DeflateEffort effort = data[1] & 1 ? DEFLATE_QUICK : DEFLATE_DEFAULT;
    const size_t long_input = (size_t)300 << 10;  // past the 256 KB buffer and 64 Ki-symbol blocks
    std::vector<uint8_t> in(data + 2, data + size);
    if (data[1] >= 0xF8 && size > 2)
        while (in.size() < long_input) in.insert(in.end(), data + 2, data + size);

    size_t len = 0;
    uint8_t *one = effort == DEFLATE_DEFAULT ? deflate_compress(DEFLATE_ZLIB, in.data(), in.size(), &len)
                                             : one_shot_quick(in, &len);
    if (!one) std::abort();
    std::vector<uint8_t> stream(one, one + len);
    std::free(one);

    Deflater *d = deflate_new(DEFLATE_ZLIB, effort);
    if (!d) std::abort();
    std::vector<uint8_t> pieces;
    for (size_t pos = 0; pos < in.size(); pos += piece) {
        const size_t n = in.size() - pos < piece ? in.size() - pos : piece;
        if (!deflate_write(d, in.data() + pos, n)) std::abort();
        size_t got = 0;
        const uint8_t *p = deflate_output(d, &got);
        pieces.insert(pieces.end(), p, p + got);
        deflate_consume(d, got);
    }
    if (!deflate_finish(d)) std::abort();
    size_t got = 0;
    const uint8_t *p = deflate_output(d, &got);
    pieces.insert(pieces.end(), p, p + got);
    deflate_free(d);
    if (pieces != stream) {
        std::fprintf(stderr, "piecewise stream differs from the one-shot stream\n");
        std::abort();
    }

    std::vector<uint8_t> back(in.size() + 1);
    const int32_t n = kv_inflate(stream.data() + 2, stream.size() - 6, back.data(), back.size());
    if (n != (int32_t)in.size() || (!in.empty() && std::memcmp(back.data(), in.data(), in.size()) != 0)) {
        std::fprintf(stderr, "round trip failed: %d bytes back of %zu\n", n, in.size());
        std::abort();
    }
    return 0;
}
