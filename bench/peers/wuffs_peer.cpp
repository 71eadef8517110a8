// wuffs_peer.cpp: the one translation unit that compiles Wuffs (PNG and JPEG modules only)
// and wraps its image API for the benchmarks.
#include "wuffs_peer.h"

#include <cstdlib>
#include <cstring>

#define WUFFS_IMPLEMENTATION
#define WUFFS_CONFIG__MODULES
#define WUFFS_CONFIG__MODULE__BASE
#define WUFFS_CONFIG__MODULE__ADLER32
#define WUFFS_CONFIG__MODULE__CRC32
#define WUFFS_CONFIG__MODULE__DEFLATE
#define WUFFS_CONFIG__MODULE__ZLIB
#define WUFFS_CONFIG__MODULE__PNG
#define WUFFS_CONFIG__MODULE__JPEG
#define WUFFS_CONFIG__MODULE__AUX__BASE
#define WUFFS_CONFIG__MODULE__AUX__IMAGE
#include "wuffs-v0.4.c"

namespace {

// RGBA out, allocated uninitialised with malloc like the other decoders' buffers, so
// no decoder pays for clearing memory the others skip.
struct RgbaCallbacks : wuffs_aux::DecodeImageCallbacks {
    wuffs_base__pixel_format SelectPixfmt(const wuffs_base__image_config &) override {
        return wuffs_base__make_pixel_format(WUFFS_BASE__PIXEL_FORMAT__RGBA_NONPREMUL);
    }
    AllocPixbufResult AllocPixbuf(const wuffs_base__image_config &cfg, bool) override {
        uint32_t w = cfg.pixcfg.width(), h = cfg.pixcfg.height();
        uint64_t len = (uint64_t)w * h * 4;
        void *mem = std::malloc(len ? (size_t)len : 1);
        if (!mem) return AllocPixbufResult("out of memory");
        wuffs_base__pixel_buffer pb;
        wuffs_base__status st = pb.set_from_slice(&cfg.pixcfg, wuffs_base__make_slice_u8((uint8_t *)mem, (size_t)len));
        if (!st.is_ok()) {
            std::free(mem);
            return AllocPixbufResult(st.message());
        }
        return AllocPixbufResult(wuffs_aux::MemOwner(mem, std::free), pb);
    }
};

}  // namespace

uint8_t *wuffs_decode_rgba(const uint8_t *data, size_t len, int *w, int *h) {
    RgbaCallbacks cb;
    wuffs_aux::sync_io::MemoryInput input(data, len);
    // Lower quality selects replicated chroma in the JPEG decoder (PNG has no such choice).
    wuffs_aux::QuirkKeyValuePair quirks[1] = {{WUFFS_BASE__QUIRK_QUALITY, WUFFS_BASE__QUIRK_QUALITY__VALUE__LOWER_QUALITY}};
    wuffs_aux::DecodeImageResult res = wuffs_aux::DecodeImage(cb, input, wuffs_aux::DecodeImageArgQuirks(quirks, 1));
    if (!res.error_message.empty()) return nullptr;
    *w = (int)res.pixbuf.pixcfg.width();
    *h = (int)res.pixbuf.pixcfg.height();
    return (uint8_t *)res.pixbuf_mem_owner.release();
}
