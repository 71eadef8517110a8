// png_fuzz.cpp: fuzz target for the PNG decoder, through its in-memory entry point
// png_decode_memory (kv_png_decode is a file front end over it). A success must give a
// positive size and a buffer of width*height*4 readable bytes; a failure must give null,
// a zero size and one of the decoder's failure texts. The sanitizers catch the rest.
// Inputs that do not start with the PNG signature get it put in front, so that the
// fuzzer spends its time past the signature check. Every input is decoded twice, without
// and with the interlacing option, which must agree on every non-interlaced file.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "png/png.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const uint8_t SIG[8] = {137, 80, 78, 71, 13, 10, 26, 10};
    static const std::set<std::string> table = {
        PNG_ERR_READ,     PNG_ERR_SIGNATURE, PNG_ERR_MISSING,    PNG_ERR_TRUNCATED, PNG_ERR_IHDR_LEN, PNG_ERR_TOO_LARGE,
        PNG_ERR_PLTE,     PNG_ERR_INTERLACED, PNG_ERR_COLOR_TYPE, PNG_ERR_NO_PLTE,  PNG_ERR_BIT_DEPTH, PNG_ERR_PALETTE16,
        PNG_ERR_ZLIB,     PNG_ERR_INFLATE,   PNG_ERR_ADLER,      PNG_ERR_MEMORY};
    std::vector<uint8_t> buf;
    if (size < 8 || std::memcmp(data, SIG, 8) != 0) {
        buf.assign(SIG, SIG + 8);
        buf.insert(buf.end(), data, data + size);
        data = buf.data();
        size = buf.size();
    }
    const unsigned flag_sets[2] = {0, PNG_DECODE_INTERLACED};
    std::vector<uint8_t> first;
    bool first_ok = false;
    for (unsigned flags : flag_sets) {
        int w = -1, h = -1;
        const char *msg = nullptr;
        uint8_t *px = png_decode_memory(data, size, &w, &h, &msg, flags);
        if (px) {
            if (w <= 0 || h <= 0 || !msg || msg[0]) std::abort();
            const size_t n = (size_t)w * h * 4;
            if (flags == 0) {
                first.assign(px, px + n);
                first_ok = true;
            } else if (first_ok && (first.size() != n || std::memcmp(first.data(), px, n) != 0)) {
                std::abort();  // the option changed a file that decoded without it
            }
            std::free(px);
        } else {
            if (w != 0 || h != 0 || !msg || !table.count(msg)) std::abort();
            if (first_ok) std::abort();  // the option made a decodable file fail
        }
    }
    return 0;
}
