// deflate_bench.cpp: the library's deflate compressor (default and quick effort) against
// zlib (levels 1 and 6) and libdeflate (levels 1, 4 and 6, when built with it), side by side
// in one run on the PNG-filtered planes of real photos, as the PDF writer's
// compact pages compress them.
//
// Usage: deflate_bench [-r REPS] DIR...
//   Each directory is one group (every .png in it). Each image is decoded to RGBA; its RGB
//   samples (3 bytes a pixel) make one plane and, when any pixel is not opaque, its alpha
//   samples another; each plane's rows are filtered with the per-row filter choice. Every
//   compressor makes a zlib stream of each plane, taking turns on each plane, and the best
//   of REPS runs counts, so a busy machine disturbs all alike. MB/s counts input bytes.
//   Every stream of ours is checked by inflating it with zlib.
#include <dirent.h>
#include <zlib.h>
#ifdef FOLIAN_HAVE_LIBDEFLATE
#include <libdeflate.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "flate/flate.h"
#include "folian.h"
#include "png/filter.h"

namespace {

using Bytes = std::vector<uint8_t>;

double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::vector<std::string> pngs_in(const std::string &dir) {
    std::vector<std::string> out;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d)) {
            const std::string name = e->d_name;
            if (name.size() > 4 && strcasecmp(name.c_str() + name.size() - 4, ".png") == 0)
                out.push_back(dir + "/" + name);
        }
        closedir(d);
    }
    std::sort(out.begin(), out.end());
    return out;
}

Bytes filtered_plane(const uint8_t *rgba, int w, int h, bool alpha) {
    const unsigned bpp = alpha ? 1 : 3;
    const size_t row = (size_t)w * bpp;
    Bytes out((size_t)h * (row + 1)), cur(row), prev(row);
    for (int y = 0; y < h; y++) {
        const uint8_t *p = rgba + (size_t)y * w * 4;
        for (int x = 0; x < w; x++, p += 4) {
            if (alpha) cur[x] = p[3];
            else std::memcpy(&cur[(size_t)x * 3], p, 3);
        }
        png_filter_row(cur.data(), y ? prev.data() : nullptr, row, bpp, &out[(size_t)y * (row + 1)]);
        std::swap(cur, prev);
    }
    return out;
}

struct Peer {
    const char *name;
    size_t (*run)(const Bytes &in, int level, Bytes &out);
    int level;
    double seconds;
    uint64_t bytes;
};

size_t run_ours(const Bytes &in, int, Bytes &) {
    size_t len = 0;
    uint8_t *p = deflate_compress(DEFLATE_ZLIB, in.data(), in.size(), &len);
    if (!p) return 0;
    std::free(p);
    return len;
}

// The quick effort, as compact PDF pages use it.
size_t run_ours_quick(const Bytes &in, int, Bytes &) {
    Deflater *d = deflate_new(DEFLATE_ZLIB, DEFLATE_QUICK);
    size_t len = 0;
    uint8_t *p = d && deflate_write(d, in.data(), in.size()) && deflate_finish(d) ? deflate_take(d, &len) : nullptr;
    deflate_free(d);
    std::free(p);
    return p ? len : 0;
}

size_t run_zlib(const Bytes &in, int level, Bytes &out) {
    uLongf len = compressBound((uLong)in.size());
    out.resize(len);
    if (compress2(out.data(), &len, in.data(), (uLong)in.size(), level) != Z_OK) return 0;
    return len;
}

#ifdef FOLIAN_HAVE_LIBDEFLATE
size_t run_libdeflate(const Bytes &in, int level, Bytes &out) {
    libdeflate_compressor *c = libdeflate_alloc_compressor(level);
    out.resize(libdeflate_zlib_compress_bound(c, in.size()));
    const size_t n = libdeflate_zlib_compress(c, in.data(), in.size(), out.data(), out.size());
    libdeflate_free_compressor(c);
    return n;
}
#endif

bool check_ours(const Bytes &in) {
    size_t len = 0;
    uint8_t *p = deflate_compress(DEFLATE_ZLIB, in.data(), in.size(), &len);
    Bytes back(in.size());
    uLongf back_len = (uLongf)back.size();
    const bool ok = p && uncompress(back.data(), &back_len, p, (uLong)len) == Z_OK && back_len == in.size() && back == in;
    std::free(p);
    return ok;
}

}  // namespace

int main(int argc, char **argv) {
    int reps = 3, first = 1;
    if (argc > 2 && !std::strcmp(argv[1], "-r")) reps = std::atoi(argv[2]), first = 3;
    if (first >= argc) {
        std::fprintf(stderr, "usage: %s [-r REPS] DIR...\n", argv[0]);
        return 2;
    }
    for (int a = first; a < argc; a++) {
        std::vector<Peer> peers = {{"folian", run_ours, 0, 0, 0},
                                   {"folian quick", run_ours_quick, 0, 0, 0},
                                   {"zlib -1", run_zlib, 1, 0, 0},
                                   {"zlib -6", run_zlib, 6, 0, 0}};
#ifdef FOLIAN_HAVE_LIBDEFLATE
        for (int level : {1, 4, 6}) peers.push_back({level == 1 ? "libdeflate -1" : level == 4 ? "libdeflate -4" : "libdeflate -6", run_libdeflate, level, 0, 0});
#endif
        uint64_t in_bytes = 0;
        int planes = 0;
        for (const std::string &path : pngs_in(argv[a])) {
            int w = 0, h = 0;
            const char *msg = nullptr;
            uint8_t *px = kv_png_decode(path.c_str(), &w, &h, &msg);
            if (!px) {
                std::fprintf(stderr, "%s: %s\n", path.c_str(), msg);
                continue;
            }
            bool any_alpha = false;
            for (size_t i = 3; i < (size_t)w * h * 4 && !any_alpha; i += 4) any_alpha = px[i] < 255;
            for (bool alpha : {false, true}) {
                if (alpha && !any_alpha) continue;
                const Bytes plane = filtered_plane(px, w, h, alpha);
                if (!check_ours(plane)) {
                    std::fprintf(stderr, "%s: round trip failed\n", path.c_str());
                    return 1;
                }
                in_bytes += plane.size();
                planes++;
                std::vector<double> best(peers.size(), 1e30);
                std::vector<size_t> size(peers.size());
                Bytes scratch;
                for (int r = 0; r < reps; r++)
                    for (size_t i = 0; i < peers.size(); i++) {
                        const double t0 = now();
                        size[i] = peers[i].run(plane, peers[i].level, scratch);
                        best[i] = std::min(best[i], now() - t0);
                    }
                for (size_t i = 0; i < peers.size(); i++) {
                    peers[i].seconds += best[i];
                    peers[i].bytes += size[i];
                }
            }
            std::free(px);
        }
        std::printf("%s: %d planes, %.1f MB of filtered samples\n", argv[a], planes, in_bytes / 1e6);
        std::printf("  %-14s %10s %8s %9s %10s %10s\n", "compressor", "MB out", "MB/s", "ratio", "size/ours", "speed/ours");
        for (const Peer &p : peers)
            std::printf("  %-14s %10.2f %8.1f %9.3f %10.3f %10.2f\n", p.name, p.bytes / 1e6, in_bytes / 1e6 / p.seconds,
                        (double)p.bytes / in_bytes, (double)p.bytes / peers[0].bytes,
                        (in_bytes / p.seconds) / (in_bytes / peers[0].seconds));
    }
    return 0;
}
