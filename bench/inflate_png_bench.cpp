// inflate_png_bench.cpp: kv_inflate against zlib, and kv_png_decode against libpng, side
// by side in one run on the same real photo PNGs.
//
// Usage: inflate_png_bench [-r REPS] DIR_OR_FILE...
//   Every .png under the given directories (recursively) or named directly is used.
//   The corpus of the project's figures is made by ../shared/bench/make-corpus.sh DIR
//   (RGB and RGBA photos and A4 page scans); pass DIR/png-rgb DIR/png-rgba DIR/png-scan.
//
// Inflate: the concatenated IDAT data of each file, zlib header stripped, inflated into a
// buffer of the image's raw size: zlib's raw inflate (inflateInit2 with -15 window bits,
// one inflate call with Z_FINISH) against kv_inflate; libdeflate too when its shared
// library is present (loaded at run time, for reference only). PNG: kv_png_decode on the
// file against reading the file and decoding it with libpng expanded to 8-bit RGBA (our
// rules: palette and grey expanded, 16-bit reduced to the high byte); both
// allocate their output on every call; Wuffs (reading the file, decoding to RGBA) runs beside
// them as the fastest published PNG decoder. Every timing is the best of REPS runs, the
// decoders taking turns on each file, so that a busy machine disturbs both alike. MB/s
// counts decompressed bytes (inflate) and RGBA output bytes (PNG).
#include <dirent.h>
#include <dlfcn.h>
#include <sys/stat.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "folian.h"
#include "libpng_ref.h"
#include "wuffs_peer.h"

namespace {

double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::vector<uint8_t> read_all(const std::string &path) {
    std::vector<uint8_t> v;
    FILE *f = std::fopen(path.c_str(), "rb");
    if (!f) return v;
    uint8_t buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) v.insert(v.end(), buf, buf + n);
    std::fclose(f);
    return v;
}

void collect(const std::string &path, std::vector<std::string> *out) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return;
    if (S_ISREG(st.st_mode)) {
        if (path.size() > 4 && strcasecmp(path.c_str() + path.size() - 4, ".png") == 0) out->push_back(path);
        return;
    }
    if (!S_ISDIR(st.st_mode)) return;
    DIR *d = opendir(path.c_str());
    if (!d) return;
    std::vector<std::string> names;
    while (dirent *e = readdir(d))
        if (e->d_name[0] != '.') names.push_back(e->d_name);
    closedir(d);
    std::sort(names.begin(), names.end());
    for (const auto &n : names) collect(path + "/" + n, out);
}

uint32_t be32(const uint8_t *p) { return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3]; }

struct Sample {
    std::string path, group;
    std::vector<uint8_t> file;
    std::vector<uint8_t> deflate;  // IDAT data without the zlib header (trailer kept)
    size_t raw_size = 0, rgba_size = 0;
};

bool prepare(Sample *s) {
    s->file = read_all(s->path);
    const auto &f = s->file;
    if (f.size() < 16) return false;
    unsigned channels = 0, depth = 0;
    uint32_t w = 0, h = 0;
    std::vector<uint8_t> idat;
    for (size_t off = 8; off + 12 <= f.size();) {
        const uint32_t len = be32(&f[off]);
        if (off + 12 + (uint64_t)len > f.size()) return false;
        const uint8_t *d = &f[off + 8];
        if (!std::memcmp(&f[off + 4], "IHDR", 4)) {
            w = be32(d);
            h = be32(d + 4);
            depth = d[8];
            static const unsigned ch[7] = {1, 0, 3, 1, 2, 0, 4};
            channels = d[9] < 7 ? ch[d[9]] : 0;
            if (d[12] != 0) return false;  // interlaced: not supported by kv_png_decode
        } else if (!std::memcmp(&f[off + 4], "IDAT", 4)) {
            idat.insert(idat.end(), d, d + len);
        }
        off += 12 + len;
    }
    if (!w || !h || !channels || idat.size() < 6) return false;
    s->raw_size = (size_t)h * (((size_t)w * channels * depth + 7) / 8 + 1);
    s->rgba_size = (size_t)w * h * 4;
    s->deflate.assign(idat.begin() + 2, idat.end());
    return true;
}

// libdeflate, when installed, as a reference figure (not a dependency).
struct Libdeflate {
    void *dec = nullptr;
    int (*decompress)(void *, const void *, size_t, void *, size_t, size_t *) = nullptr;
    Libdeflate() {
        void *h = dlopen("libdeflate.so.0", RTLD_NOW);
        if (!h) return;
        auto alloc = (void *(*)())dlsym(h, "libdeflate_alloc_decompressor");
        decompress = (decltype(decompress))dlsym(h, "libdeflate_deflate_decompress");
        if (alloc && decompress) dec = alloc();
    }
    bool ok() const { return dec && decompress; }
};

struct Totals {
    size_t files = 0, raw = 0, rgba = 0;
    double zlib = 0, kv = 0, libdeflate = 0, libpng = 0, kvpng = 0, wuffs = 0;
};

}  // namespace

int main(int argc, char **argv) {
    int reps = 5;
    std::vector<std::string> paths;
    for (int i = 1; i < argc; i++) {
        if (!std::strcmp(argv[i], "-r") && i + 1 < argc) reps = std::atoi(argv[++i]);
        else collect(argv[i], &paths);
    }
    if (paths.empty()) {
        std::fprintf(stderr, "usage: %s [-r REPS] DIR_OR_FILE...  (PNG photos, e.g. from make-corpus.sh)\n", argv[0]);
        return 2;
    }
    Libdeflate ld;
    std::map<std::string, Totals> groups;
    std::vector<uint8_t> out, out2;
    int failures = 0;
    for (const auto &p : paths) {
        Sample s;
        s.path = p;
        // The group is the file's folder, by its last component (png-rgb, png-rgba, ...).
        const size_t slash = p.find_last_of('/');
        s.group = slash == std::string::npos ? "." : p.substr(0, slash);
        const size_t parent = s.group.find_last_of('/');
        if (parent != std::string::npos) s.group = s.group.substr(parent + 1);
        if (!prepare(&s)) {
            std::fprintf(stderr, "skipped (not a plain non-interlaced PNG): %s\n", p.c_str());
            continue;
        }
        out.assign(std::max(s.raw_size, s.rgba_size), 0);
        double t_zlib = 1e30, t_kv = 1e30, t_ld = 1e30, t_libpng = 1e30, t_kvpng = 1e30, t_wuffs = 1e30;
        for (int r = 0; r < reps; r++) {
            double t0 = now();
            z_stream z{};
            inflateInit2(&z, -15);
            z.next_in = s.deflate.data();
            z.avail_in = (uInt)s.deflate.size();
            z.next_out = out.data();
            z.avail_out = (uInt)s.raw_size;
            const int zr = inflate(&z, Z_FINISH);
            inflateEnd(&z);
            double t1 = now();
            const int32_t kr = kv_inflate(s.deflate.data(), s.deflate.size(), out.data(), s.raw_size);
            double t2 = now();
            if (zr != Z_STREAM_END || kr != (int32_t)s.raw_size) {
                std::fprintf(stderr, "inflate failed on %s (zlib %d, kv %d)\n", p.c_str(), zr, kr);
                failures++;
                break;
            }
            t_zlib = std::min(t_zlib, t1 - t0);
            t_kv = std::min(t_kv, t2 - t1);
            if (ld.ok()) {
                size_t got;
                double t3 = now();
                ld.decompress(ld.dec, s.deflate.data(), s.deflate.size() - 4, out.data(), s.raw_size, &got);
                t_ld = std::min(t_ld, now() - t3);
            }

            // PNG: both read the file and allocate their output.
            double t4 = now();
            std::vector<uint8_t> file = read_all(p);
            uint8_t *px = (uint8_t *)std::malloc(s.rgba_size);
            int w, h;
            const bool lok = px && libpng_decode_rgba_into(file.data(), file.size(), px, s.rgba_size, &w, &h);
            std::free(px);
            double t5 = now();
            const char *msg;
            uint8_t *kpx = kv_png_decode(p.c_str(), &w, &h, &msg);
            double t6 = now();
            std::free(kpx);
            if (!lok || !kpx) {
                std::fprintf(stderr, "PNG decode failed on %s (libpng %d, kv_png_decode: %s)\n", p.c_str(), lok, msg);
                failures++;
                break;
            }
            t_libpng = std::min(t_libpng, t5 - t4);
            t_kvpng = std::min(t_kvpng, t6 - t5);

            double t7 = now();
            std::vector<uint8_t> file2 = read_all(p);
            uint8_t *wpx = wuffs_decode_rgba(file2.data(), file2.size(), &w, &h);
            double t8 = now();
            std::free(wpx);
            if (!wpx) {
                std::fprintf(stderr, "Wuffs cannot decode %s\n", p.c_str());
                failures++;
                break;
            }
            t_wuffs = std::min(t_wuffs, t8 - t7);
        }
        for (const std::string &g : {s.group, std::string("all")}) {
            Totals &t = groups[g];
            t.files++;
            t.raw += s.raw_size;
            t.rgba += s.rgba_size;
            t.zlib += t_zlib;
            t.kv += t_kv;
            t.libdeflate += t_ld;
            t.libpng += t_libpng;
            t.kvpng += t_kvpng;
            t.wuffs += t_wuffs;
        }
    }
    std::printf("best of %d runs per file; MB/s of decompressed (inflate) or RGBA (PNG) bytes\n\n", reps);
    std::printf("%-12s %5s | %8s %8s %8s %7s %7s | %8s %8s %8s %7s %7s\n", "group", "files", "zlib", "kv_infl",
                "libdefl", "kv/zlib", "kv/ldef", "libpng", "wuffs", "kv_png", "kv/png", "kv/wuff");
    auto row = [&](const std::string &name, const Totals &t) {
        const std::string g = name.size() > 12 ? "..." + name.substr(name.size() - 9) : name;
        const std::string ldef = ld.ok() ? std::to_string((int)(t.raw / t.libdeflate / 1e6)) : "-";
        const std::string ldef_ratio = ld.ok() ? std::to_string(t.libdeflate / t.kv).substr(0, 4) : "-";
        std::printf("%-12s %5zu | %8.0f %8.0f %8s %7.2f %7s | %8.0f %8.0f %8.0f %7.2f %7.2f\n", g.c_str(), t.files,
                    t.raw / t.zlib / 1e6, t.raw / t.kv / 1e6, ldef.c_str(), t.zlib / t.kv, ldef_ratio.c_str(),
                    t.rgba / t.libpng / 1e6, t.rgba / t.wuffs / 1e6, t.rgba / t.kvpng / 1e6, t.libpng / t.kvpng,
                    t.wuffs / t.kvpng);
    };
    for (const auto &[name, t] : groups)
        if (name != "all") row(name, t);
    if (groups["all"].files) row("all", groups["all"]);
    return failures ? 1 : 0;
}
