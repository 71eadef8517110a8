// pdf_test_util.cpp: building page records and checking written PDFs with qpdf and poppler.
#include "pdf_test_util.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include <png.h>

#include "test_util.h"

PdfImage pixel_image(int w, int h, std::vector<uint8_t> &rgba) {
    PdfImage im{};
    im.width = w;
    im.height = h;
    im.pixels = rgba.data();
    return im;
}

PdfImage jpeg_image(std::vector<uint8_t> &jpeg, int components) {
    PdfImage im{};
    im.width = 1;
    im.height = 1;
    im.jpeg_data = jpeg.data();
    im.jpeg_len = jpeg.size();
    im.jpeg_components = components;
    return im;
}

std::string read_text(const std::string &path) {
    std::vector<uint8_t> b = read_file(path);
    return std::string(b.begin(), b.end());
}

std::vector<uint64_t> object_offsets(const std::string &pdf) {
    std::vector<uint64_t> out;
    size_t sx = pdf.rfind("startxref\n");
    if (sx == std::string::npos) return out;
    uint64_t xref = std::strtoull(pdf.c_str() + sx + 10, nullptr, 10);
    if (pdf.compare(xref, 5, "xref\n") != 0) return out;
    size_t p = xref + 5;
    int first = 0, n = 0;
    if (std::sscanf(pdf.c_str() + p, "%d %d", &first, &n) != 2) return out;
    p = pdf.find('\n', p) + 1 + 20;  // past the free entry
    for (int i = 1; i < n; i++, p += 20) {
        uint64_t off = std::strtoull(pdf.c_str() + p, nullptr, 10);
        std::string head = std::to_string(i) + " 0 obj\n";
        EXPECT_EQ(pdf.compare(off, head.size(), head), 0) << "object " << i;
        out.push_back(off);
    }
    return out;
}

std::vector<uint8_t> read_pnm_rgb(const std::string &path, int *w, int *h) {
    std::vector<uint8_t> f = read_file(path);
    std::vector<uint8_t> out;
    *w = *h = 0;
    if (f.size() < 2 || f[0] != 'P' || (f[1] != '6' && f[1] != '5')) return out;
    bool grey = f[1] == '5';
    size_t p = 2;
    int vals[3], got = 0;
    while (got < 3 && p < f.size()) {
        while (p < f.size() && (isspace(f[p]) || f[p] == '#')) {
            if (f[p] == '#')
                while (p < f.size() && f[p] != '\n') p++;
            else
                p++;
        }
        int v = 0;
        while (p < f.size() && isdigit(f[p])) v = v * 10 + (f[p++] - '0');
        vals[got++] = v;
    }
    p++;  // the single whitespace before the samples
    *w = vals[0];
    *h = vals[1];
    size_t n = (size_t)*w * *h;
    for (size_t i = 0; i < n; i++) {
        if (grey) {
            uint8_t g = p + i < f.size() ? f[p + i] : 0;
            out.insert(out.end(), {g, g, g});
        } else {
            for (int c = 0; c < 3; c++) out.push_back(p + i * 3 + c < f.size() ? f[p + i * 3 + c] : 0);
        }
    }
    return out;
}

// poppler's cairo back end draws an image placed at its own resolution sample for sample;
// the Splash back end of pdftoppm resamples it, so pixels are compared through cairo.
std::vector<uint8_t> render_page(const std::string &pdf, int page, int dpi, int *w, int *h) {
    TempDir tmp;
    std::string base = tmp.file("page");
    std::string cmd = "pdftocairo -png -r " + std::to_string(dpi) + " -f " + std::to_string(page) +
                      " -l " + std::to_string(page) + " -singlefile '" + pdf + "' '" + base + "'";
    *w = *h = 0;
    if (run_command(cmd) != 0) return {};
    png_image img{};
    img.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&img, (base + ".png").c_str())) return {};
    img.format = PNG_FORMAT_RGB;
    std::vector<uint8_t> rgb(PNG_IMAGE_SIZE(img));
    if (!png_image_finish_read(&img, nullptr, rgb.data(), 0, nullptr)) return {};
    *w = (int)img.width;
    *h = (int)img.height;
    return rgb;
}

void expect_valid_pdf(const std::string &path, const std::vector<std::pair<int, int>> &sizes, int dpi) {
    if (!have_program("qpdf") || !have_program("pdftoppm")) {
        ADD_FAILURE() << "qpdf and pdftoppm are needed (scripts/install-deps.sh)";
        return;
    }
    std::string out;
    int rc = run_command("qpdf --check '" + path + "' 2>&1", &out);
    EXPECT_EQ(rc, 0) << out;
    EXPECT_EQ(out.find("WARNING"), std::string::npos) << out;
    for (size_t i = 0; i < sizes.size(); i++) {
        TempDir tmp;
        std::string base = tmp.file("page");
        int w = 0, h = 0;
        if (run_command("pdftoppm -q -r " + std::to_string(dpi) + " -f " + std::to_string(i + 1) +
                        " -l " + std::to_string(i + 1) + " -singlefile '" + path + "' '" + base + "'") == 0)
            read_pnm_rgb(base + ".ppm", &w, &h);
        EXPECT_NEAR(w, sizes[i].first, 1) << "page " << i + 1;
        EXPECT_NEAR(h, sizes[i].second, 1) << "page " << i + 1;
    }
}

double psnr(const std::vector<uint8_t> &a, const std::vector<uint8_t> &b) {
    if (a.size() != b.size() || a.empty()) return 0;
    double se = 0;
    for (size_t i = 0; i < a.size(); i++) {
        double d = (double)a[i] - b[i];
        se += d * d;
    }
    if (se == 0) return 99;
    double mse = se / a.size();
    return 10 * std::log10(255.0 * 255.0 / mse);
}
