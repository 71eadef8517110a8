// gif_fuzz.cpp: fuzz target for the GIF decoder. Every frame is drawn in turn through the
// reader; the frame count of the block walk must equal the frames drawn when the file
// decodes whole, and gif_decode_memory must give the last frame's canvas byte for byte.
// A failure must carry one of the decoder's texts. The sanitizers catch the rest.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

#include "gif/gif.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const std::set<std::string> table = {
        GIF_ERR_SIGNATURE, GIF_ERR_TRUNCATED, GIF_ERR_TOO_LARGE, GIF_ERR_CODE_SIZE, GIF_ERR_CODE, GIF_ERR_SHORT,
        GIF_ERR_NO_PALETTE, GIF_ERR_BLOCK, GIF_ERR_NO_FRAME, GIF_ERR_FRAME, GIF_ERR_MEMORY};
    const char *msg = nullptr;
    const int count = gif_count_frames(data, size, &msg);
    if (!count && !table.count(msg)) std::abort();
    GifReader r;
    if (!gif_open(&r, data, size, &msg)) {
        if (!table.count(msg) || count) std::abort();  // the walk read the same header
        return 0;
    }
    bool whole = true;
    while (r.frames < 64) {
        if (!gif_next(&r, &msg)) {
            whole = !msg[0];
            if (!whole && !table.count(msg)) std::abort();
            break;
        }
    }
    if (whole && r.frames < 64 && r.frames != count) std::abort();
    if (whole && r.frames > 0) {
        int w, h, frames;
        uint8_t *px = gif_decode_memory(data, size, r.frames - 1, &w, &h, &frames, &msg);
        if (!px || w != r.width || h != r.height ||
            std::memcmp(px, r.canvas, (size_t)w * (size_t)h * 4) != 0)
            std::abort();
        std::free(px);
    }
    gif_close(&r);
    return 0;
}
