// bmp_fuzz.cpp: fuzz target for the BMP decoder. A success must give a positive size and
// width*height*4 readable bytes; a failure null, a zero size and one of the decoder's
// texts. Inputs that do not start with "BM" get it put in front, so that the fuzzer spends
// its time past the signature check. The sanitizers catch the rest.
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "bmp/bmp.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const std::set<std::string> table = {
        BMP_ERR_SIGNATURE, BMP_ERR_TRUNCATED,    BMP_ERR_HEADER, BMP_ERR_TOO_LARGE, BMP_ERR_SIZE, BMP_ERR_BIT_DEPTH,
        BMP_ERR_COMPRESSION, BMP_ERR_EMBEDDED, BMP_ERR_MASKS, BMP_ERR_TOP_DOWN_RLE, BMP_ERR_MEMORY};
    std::vector<uint8_t> buf;
    if (size < 2 || data[0] != 'B' || data[1] != 'M') {
        buf.assign({'B', 'M'});
        buf.insert(buf.end(), data, data + size);
        data = buf.data();
        size = buf.size();
    }
    int w = -1, h = -1;
    const char *msg = nullptr;
    uint8_t *px = bmp_decode_memory(data, size, &w, &h, &msg);
    if (px) {
        if (w <= 0 || h <= 0 || !msg || msg[0]) std::abort();
        volatile uint8_t sink = px[(size_t)w * (size_t)h * 4 - 1];
        (void)sink;
        std::free(px);
    } else if (w != 0 || h != 0 || !msg || !table.count(msg)) {
        std::abort();
    }
    return 0;
}
