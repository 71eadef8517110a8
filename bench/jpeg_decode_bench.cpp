// jpeg_decode_bench.cpp: decodes JPEG photos with kv_jpeg_decode_impl and with
// libjpeg-turbo side by side and prints megapixels per second and their ratio, per
// chroma sampling (4:2:0, 4:4:4, other).
//
// libjpeg-turbo runs in the setting closest to ours: floating-point inverse DCT, fancy
// upsampling off (samples replicated), four bytes per pixel out (RGBX); Wuffs in its lower-quality setting (chroma
// replicated too), RGBA out. Each file is
// decoded several times by each decoder in turn and the fastest run of each counts.
// With -p every file is first re-coded losslessly by libjpeg into a progressive stream
// (its standard scan script, with successive approximation), which both then decode,
// ours through kv_jpeg_decode_ex; the pixels must equal those of the original's decode.
// Usage: jpeg_decode_bench [-r REPS] [-p] FILE|DIR...
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "folian.h"
#include "jpeglib.h"
#include "wuffs_peer.h"

namespace {

struct ErrorJump {
    jpeg_error_mgr mgr;
    std::jmp_buf jump;
};

void on_error(j_common_ptr cinfo) { std::longjmp(((ErrorJump *)cinfo->err)->jump, 1); }

// Returns false when libjpeg cannot decode the file; *h and *v get the luma sampling
// factors. The pixels go into a fresh malloc'ed buffer, as ours do.
bool libjpeg_decode(const std::vector<uint8_t> &data, int *h, int *v) {
    jpeg_decompress_struct cinfo;
    ErrorJump err;
    cinfo.err = jpeg_std_error(&err.mgr);
    err.mgr.error_exit = on_error;
    if (setjmp(err.jump)) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, data.data(), (unsigned long)data.size());
    jpeg_read_header(&cinfo, TRUE);
    cinfo.dct_method = JDCT_FLOAT;
    cinfo.do_fancy_upsampling = FALSE;
#ifdef JCS_EXTENSIONS
    if (cinfo.num_components == 3) cinfo.out_color_space = JCS_EXT_RGBX;
#endif
    jpeg_start_decompress(&cinfo);
    *h = cinfo.comp_info[0].h_samp_factor;
    *v = cinfo.comp_info[0].v_samp_factor;
    size_t stride = (size_t)cinfo.output_width * cinfo.output_components;
    uint8_t *volatile out = (uint8_t *)std::malloc(stride * cinfo.output_height);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = out + stride * cinfo.output_scanline;
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    std::free(out);
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return true;
}

// The same coefficients as a progressive stream (empty when libjpeg fails).
std::vector<uint8_t> to_progressive(const std::vector<uint8_t> &data) {
    jpeg_decompress_struct in;
    jpeg_compress_struct out;
    ErrorJump err;
    in.err = jpeg_std_error(&err.mgr);
    out.err = &err.mgr;
    err.mgr.error_exit = on_error;
    unsigned char *buf = nullptr;
    unsigned long len = 0;
    if (setjmp(err.jump)) {
        jpeg_destroy_compress(&out);
        jpeg_destroy_decompress(&in);
        std::free(buf);
        return {};
    }
    jpeg_create_decompress(&in);
    jpeg_create_compress(&out);
    jpeg_mem_src(&in, data.data(), (unsigned long)data.size());
    jpeg_read_header(&in, TRUE);
    jvirt_barray_ptr *coefs = jpeg_read_coefficients(&in);
    jpeg_copy_critical_parameters(&in, &out);
    jpeg_simple_progression(&out);
    jpeg_mem_dest(&out, &buf, &len);
    jpeg_write_coefficients(&out, coefs);
    jpeg_finish_compress(&out);
    jpeg_finish_decompress(&in);
    std::vector<uint8_t> result(buf, buf + len);
    jpeg_destroy_compress(&out);
    jpeg_destroy_decompress(&in);
    std::free(buf);
    return result;
}

unsigned char *our_decode(const std::vector<uint8_t> &data, bool progressive, int *w, int *h, const char **msg) {
    return progressive ? kv_jpeg_decode_ex(data.data(), data.size(), KV_JPEG_ALL, w, h, msg)
                       : kv_jpeg_decode_impl(data.data(), data.size(), w, h, msg);
}

std::vector<uint8_t> read_whole(const std::string &path) {
    std::vector<uint8_t> buf;
    FILE *f = std::fopen(path.c_str(), "rb");
    if (!f) return buf;
    uint8_t chunk[1 << 16];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) buf.insert(buf.end(), chunk, chunk + n);
    std::fclose(f);
    return buf;
}

void collect(const std::string &path, std::vector<std::string> *files) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return;
    if (!S_ISDIR(st.st_mode)) {
        files->push_back(path);
        return;
    }
    DIR *dir = opendir(path.c_str());
    if (!dir) return;
    std::vector<std::string> names;
    while (dirent *e = readdir(dir)) {
        std::string n = e->d_name;
        if (n.size() > 4 && (n.substr(n.size() - 4) == ".jpg" || n.substr(n.size() - 5) == ".jpeg"))
            names.push_back(path + "/" + n);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    files->insert(files->end(), names.begin(), names.end());
}

double seconds_now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

struct Totals {
    int files = 0;
    double mpix = 0, ours = 0, theirs = 0, wuffs = 0;
};

}  // namespace

int main(int argc, char **argv) {
    int reps = 3;
    bool progressive = false;
    std::vector<std::string> files;
    for (int i = 1; i < argc; i++) {
        if (std::strcmp(argv[i], "-r") == 0 && i + 1 < argc) {
            reps = std::atoi(argv[++i]);
            continue;
        }
        if (std::strcmp(argv[i], "-p") == 0) {
            progressive = true;
            continue;
        }
        collect(argv[i], &files);
    }
    if (files.empty()) {
        std::fprintf(stderr, "usage: jpeg_decode_bench [-r REPS] [-p] FILE|DIR...\n");
        return 2;
    }
    Totals classes[3];  // 4:2:0, 4:4:4, other
    const char *class_names[3] = {"4:2:0", "4:4:4", "other"};
    for (const std::string &path : files) {
        std::vector<uint8_t> data = read_whole(path);
        int hs = 0, vs = 0;
        if (!libjpeg_decode(data, &hs, &vs)) {
            std::printf("%-50s skipped: libjpeg cannot decode it\n", path.c_str());
            continue;
        }
        int w = 0, h = 0;
        const char *msg = nullptr;
        unsigned char *px = kv_jpeg_decode_impl(data.data(), data.size(), &w, &h, &msg);
        if (!px) {
            std::printf("%-50s skipped: %s\n", path.c_str(), msg);
            continue;
        }
        if (progressive) {
            std::vector<uint8_t> prog = to_progressive(data);
            int pw = 0, ph = 0;
            unsigned char *ppx = prog.empty() ? nullptr : our_decode(prog, true, &pw, &ph, &msg);
            const bool same = ppx && pw == w && ph == h && std::memcmp(px, ppx, (size_t)w * h * 4) == 0;
            std::free(ppx);
            if (!same) {
                std::printf("%-50s FAILED: the progressive stream decodes differently\n", path.c_str());
                std::free(px);
                return 1;
            }
            data.swap(prog);
        }
        std::free(px);
        double best_ours = 1e30, best_theirs = 1e30, best_wuffs = 1e30;
        for (int r = 0; r < reps; r++) {
            double t0 = seconds_now();
            px = our_decode(data, progressive, &w, &h, &msg);
            double t1 = seconds_now();
            std::free(px);
            libjpeg_decode(data, &hs, &vs);
            double t2 = seconds_now();
            int ww = 0, wh = 0;
            uint8_t *wpx = wuffs_decode_rgba(data.data(), data.size(), &ww, &wh);
            double t3 = seconds_now();
            std::free(wpx);
            if (t1 - t0 < best_ours) best_ours = t1 - t0;
            if (t2 - t1 < best_theirs) best_theirs = t2 - t1;
            if (wpx && t3 - t2 < best_wuffs) best_wuffs = t3 - t2;
        }
        double mp = (double)w * h / 1e6;
        int cls = hs == 2 && vs == 2 ? 0 : hs == 1 && vs == 1 ? 1 : 2;
        Totals &t = classes[cls];
        t.files++;
        t.mpix += mp;
        t.ours += best_ours;
        t.theirs += best_theirs;
        t.wuffs += best_wuffs;
        std::printf("%-44s %5s %6.2f MP  ours %6.1f  turbo %6.1f  wuffs %6.1f MP/s  ratios %.2f %.2f\n",
                    path.c_str(), class_names[cls], mp, mp / best_ours, mp / best_theirs, mp / best_wuffs,
                    best_theirs / best_ours, best_wuffs / best_ours);
    }
    std::printf("\n%-6s %5s %9s %10s %10s %10s %9s %9s\n", "class", "files", "MP", "ours MP/s", "turbo MP/s",
                "wuffs MP/s", "ours/turb", "ours/wuff");
    for (int c = 0; c < 3; c++) {
        const Totals &t = classes[c];
        if (!t.files) continue;
        std::printf("%-6s %5d %9.1f %10.1f %10.1f %10.1f %9.2f %9.2f\n", class_names[c], t.files, t.mpix,
                    t.mpix / t.ours, t.mpix / t.theirs, t.mpix / t.wuffs, t.theirs / t.ours, t.wuffs / t.ours);
    }
    return 0;
}
