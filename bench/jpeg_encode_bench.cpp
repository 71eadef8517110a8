// jpeg_encode_bench.cpp: our JPEG encoder against libjpeg-turbo on real photos, side by side.
//
// Both encode the same RGBA pixels in memory, in the setting closest to ours: quality 50
// (the unscaled Annex K tables), 4:4:4, floating-point DCT, standard Huffman tables (no
// optimisation pass). Each photo is decoded once, untimed; each encoder then runs
// `repeats` times, the two taking turns, and the fastest run of each counts (in thread CPU
// time), which keeps other load on the machine out of the figures as far as it can. Prints megapixels per second for each and the ratio.
//
// Usage: jpeg_encode_bench DIR [MAX_FILES [REPEATS [FORM]]]   (DIR holds .jpg photos;
// FORM 0 to 3 runs ours in the plain, SSE2, AVX2 or AVX-512 form only; by default every
// form from SSE2 up to the widest the machine has runs in turn)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include <dirent.h>
#include <jpeglib.h>

#include "cpu.h"
#include "jpeg/encode.h"

namespace {

struct Photo {
    std::string name;
    int w = 0, h = 0;
    std::vector<uint8_t> rgba;
};

std::vector<uint8_t> read_all(const std::string &path) {
    std::vector<uint8_t> out;
    FILE *f = std::fopen(path.c_str(), "rb");
    if (!f) return out;
    uint8_t buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.insert(out.end(), buf, buf + n);
    std::fclose(f);
    return out;
}

bool decode_photo(const std::string &path, Photo *p) {
    std::vector<uint8_t> file = read_all(path);
    if (file.empty()) return false;
    jpeg_decompress_struct cinfo;
    jpeg_error_mgr jerr;
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, file.data(), (unsigned long)file.size());
    jpeg_read_header(&cinfo, TRUE);
    cinfo.out_color_space = JCS_EXT_RGBA;
    jpeg_start_decompress(&cinfo);
    p->w = (int)cinfo.output_width;
    p->h = (int)cinfo.output_height;
    p->rgba.resize((size_t)p->w * p->h * 4);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = &p->rgba[(size_t)cinfo.output_scanline * p->w * 4];
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return true;
}

size_t encode_turbo(const Photo &p) {
    jpeg_compress_struct cinfo;
    jpeg_error_mgr jerr;
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_compress(&cinfo);
    unsigned char *mem = nullptr;
    unsigned long len = 0;
    jpeg_mem_dest(&cinfo, &mem, &len);
    cinfo.image_width = (JDIMENSION)p.w;
    cinfo.image_height = (JDIMENSION)p.h;
    cinfo.input_components = 4;
    cinfo.in_color_space = JCS_EXT_RGBA;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, 50, TRUE);
    cinfo.dct_method = JDCT_FLOAT;
    cinfo.optimize_coding = FALSE;
    for (int c = 0; c < 3; c++) cinfo.comp_info[c].h_samp_factor = cinfo.comp_info[c].v_samp_factor = 1;
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = const_cast<uint8_t *>(&p.rgba[(size_t)cinfo.next_scanline * p.w * 4]);
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    std::free(mem);
    return len;
}

size_t encode_ours(const Photo &p) {
    uint8_t *data = nullptr;
    uint64_t len = 0;
    if (!jpeg_encode_memory(p.w, p.h, p.rgba.data(), &data, &len)) {
        std::fprintf(stderr, "%s: encode failed\n", p.name.c_str());
        std::exit(1);
    }
    std::free(data);
    return (size_t)len;
}

// CPU time of this thread: other work sharing the machine's cores shows far less in it
// than in wall-clock time.
double thread_seconds() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}

template <typename F>
double timed(F f, size_t *bytes) {
    double t0 = thread_seconds();
    *bytes = f();
    return thread_seconds() - t0;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s DIR [MAX_FILES [REPEATS [FORM]]]\n", argv[0]);
        return 2;
    }
    std::string dir = argv[1];
    int max_files = argc > 2 ? std::atoi(argv[2]) : 10;
    int repeats = argc > 3 ? std::atoi(argv[3]) : 3;
    // Every form from SSE2 (plain where there is none) up to the widest, or the one asked for.
    int first_form = cpu_form_available() >= CPU_SSE2 ? CPU_SSE2 : CPU_PLAIN, last_form = cpu_form_available();
    if (argc > 4) first_form = last_form = std::min(std::atoi(argv[4]), last_form);
    std::vector<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d)) {
            std::string n = e->d_name;
            if (n.size() > 4 && n.substr(n.size() - 4) == ".jpg") names.push_back(n);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    if (names.size() > (size_t)max_files) names.resize((size_t)max_files);
    if (names.empty()) {
        std::fprintf(stderr, "%s: no .jpg files in %s\n", argv[0], dir.c_str());
        return 1;
    }
    std::vector<Photo> photos;
    for (const std::string &n : names) {
        Photo p;
        p.name = n;
        if (decode_photo(dir + "/" + n, &p)) photos.push_back(std::move(p));
    }
    std::printf("%-40s %-8s %6s %10s %10s %6s %8s %8s\n", "photo", "form", "MP", "ours MP/s", "turbo MP/s",
                "ratio", "ours KB", "turbo KB");
    std::vector<std::string> summary;
    for (int form = first_form; form <= last_form; form++) {
        cpu_set_limit({form, cpu_bmi2_available()});
        double total_mp = 0, total_ours = 0, total_turbo = 0;
        for (const Photo &p : photos) {
            double mp = (double)p.w * p.h / 1e6;
            size_t ours_bytes = 0, turbo_bytes = 0;
            double t_ours = 1e30, t_turbo = 1e30;
            for (int r = 0; r < repeats; r++) {  // interleaved, so a busy spell hits both alike
                t_ours = std::min(t_ours, timed([&] { return encode_ours(p); }, &ours_bytes));
                t_turbo = std::min(t_turbo, timed([&] { return encode_turbo(p); }, &turbo_bytes));
            }
            std::printf("%-40s %-8s %6.2f %10.1f %10.1f %6.2f %8zu %8zu\n", p.name.c_str(), cpu_form_name(form), mp,
                        mp / t_ours, mp / t_turbo, t_turbo / t_ours, ours_bytes / 1024, turbo_bytes / 1024);
            total_mp += mp;
            total_ours += t_ours;
            total_turbo += t_turbo;
        }
        char line[200];
        std::snprintf(line, sizeof line, "%-8s %6.1f MP: ours %6.1f MP/s, libjpeg-turbo %6.1f MP/s, ratio %.2f",
                      cpu_form_name(form), total_mp, total_mp / total_ours, total_mp / total_turbo,
                      total_turbo / total_ours);
        summary.push_back(line);
    }
    std::printf("\nkv_jpeg_write / libjpeg-turbo, per vector form of ours (libjpeg-turbo in its own best form):\n");
    for (const std::string &l : summary) std::printf("%s\n", l.c_str());
    return 0;
}
