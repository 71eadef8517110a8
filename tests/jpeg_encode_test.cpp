// jpeg_encode_test.cpp: kv_jpeg_write writes exactly the bytes of the plain reference
// encoder (in every vector form of its transform), files libjpeg decodes close to the
// source, the JENC_DBG line, and no file at all whenever it reports failure.
#include <gtest/gtest.h>

#include <csetjmp>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <jpeglib.h>
#include <png.h>

#include "folian.h"
#include "jpeg/encode.h"
#include "mem.h"
#include "ref_encoders.h"
#include "test_util.h"

namespace {

std::vector<uint8_t> encode_bytes(int w, int h, const std::vector<uint8_t> &rgba) {
    uint8_t *data = nullptr;
    uint64_t len = 0;
    if (!jpeg_encode_memory(w, h, rgba.data(), &data, &len)) return {};
    std::vector<uint8_t> out(data, data + len);
    std::free(data);
    return out;
}

struct Image {
    int w = 0, h = 0;
    std::vector<uint8_t> rgba;
};

// Random test pictures of several kinds, so that the coder meets flat blocks (long zero
// runs, EOB), noise (large values, q[63] non-zero, 0xFF bytes to stuff) and smooth ramps.
Image random_image(std::mt19937 &rng, int w, int h) {
    Image im{w, h, std::vector<uint8_t>((size_t)w * h * 4)};
    int kind = (int)(rng() % 4);
    uint8_t base[3] = {(uint8_t)rng(), (uint8_t)rng(), (uint8_t)rng()};
    for (int y = 0; y < h; y++) {
        for (int x = 0; x < w; x++) {
            uint8_t *p = &im.rgba[((size_t)y * w + x) * 4];
            for (int c = 0; c < 3; c++) {
                switch (kind) {
                case 0: p[c] = (uint8_t)rng(); break;                                  // noise
                case 1: p[c] = (uint8_t)(base[c] + x * (c + 3) + y * (5 - c)); break;  // ramps
                case 2: p[c] = rng() % 23 == 0 ? (uint8_t)rng() : base[c]; break;      // sparse dots
                default: p[c] = (x / 3 + y / 5) % 2 ? 255 : 0; break;                   // hard edges
                }
            }
            p[3] = (uint8_t)rng();
        }
    }
    return im;
}

// libjpeg's decode of a JPEG in memory to RGB, or empty on error.
struct JpegErr {
    jpeg_error_mgr mgr;
    jmp_buf jump;
};
void on_jpeg_error(j_common_ptr cinfo) { longjmp(((JpegErr *)cinfo->err)->jump, 1); }

std::vector<uint8_t> libjpeg_decode(const std::vector<uint8_t> &file, int *w, int *h) {
    jpeg_decompress_struct cinfo;
    JpegErr err;
    cinfo.err = jpeg_std_error(&err.mgr);
    err.mgr.error_exit = on_jpeg_error;
    std::vector<uint8_t> rgb;
    if (setjmp(err.jump)) {
        jpeg_destroy_decompress(&cinfo);
        return {};
    }
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, file.data(), (unsigned long)file.size());
    jpeg_read_header(&cinfo, TRUE);
    cinfo.out_color_space = JCS_RGB;
    cinfo.dct_method = JDCT_FLOAT;
    jpeg_start_decompress(&cinfo);
    *w = (int)cinfo.output_width;
    *h = (int)cinfo.output_height;
    rgb.resize((size_t)*w * *h * 3);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = &rgb[(size_t)cinfo.output_scanline * *w * 3];
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return rgb;
}

// libjpeg at quality 50 (which keeps the Annex K tables unscaled), 4:4:4, standard
// Huffman tables.
std::vector<uint8_t> libjpeg_encode_q50(int w, int h, const std::vector<uint8_t> &rgb) {
    jpeg_compress_struct cinfo;
    jpeg_error_mgr jerr;
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_compress(&cinfo);
    unsigned char *mem = nullptr;
    unsigned long mem_len = 0;
    jpeg_mem_dest(&cinfo, &mem, &mem_len);
    cinfo.image_width = (JDIMENSION)w;
    cinfo.image_height = (JDIMENSION)h;
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, 50, TRUE);
    cinfo.dct_method = JDCT_FLOAT;
    for (int c = 0; c < 3; c++) cinfo.comp_info[c].h_samp_factor = cinfo.comp_info[c].v_samp_factor = 1;
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = const_cast<uint8_t *>(&rgb[(size_t)cinfo.next_scanline * w * 3]);
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    std::vector<uint8_t> out(mem, mem + mem_len);
    std::free(mem);
    jpeg_destroy_compress(&cinfo);
    return out;
}

// The marker segments (marker byte and payload) of the given kind, in file order.
std::vector<std::vector<uint8_t>> segments(const std::vector<uint8_t> &f, uint8_t marker) {
    std::vector<std::vector<uint8_t>> out;
    size_t p = 2;
    while (p + 4 <= f.size() && f[p] == 0xFF && f[p + 1] != 0xDA) {
        size_t len = (size_t)f[p + 2] << 8 | f[p + 3];
        if (f[p + 1] == marker) out.emplace_back(f.begin() + (long)p, f.begin() + (long)(p + 2 + len));
        p += 2 + len;
    }
    return out;
}

// RGBA pixels of a PNG, through libpng's simplified interface.
Image load_png(const std::string &path) {
    png_image img;
    std::memset(&img, 0, sizeof img);
    img.version = PNG_IMAGE_VERSION;
    Image im;
    if (!png_image_begin_read_from_file(&img, path.c_str())) return im;
    img.format = PNG_FORMAT_RGBA;
    im.w = (int)img.width;
    im.h = (int)img.height;
    im.rgba.resize(PNG_IMAGE_SIZE(img));
    if (!png_image_finish_read(&img, nullptr, im.rgba.data(), 0, nullptr)) im = Image{};
    return im;
}

double psnr_rgb(const std::vector<uint8_t> &rgba, const std::vector<uint8_t> &rgb) {
    double se = 0;
    size_t n = rgb.size() / 3;
    for (size_t i = 0; i < n; i++)
        for (int c = 0; c < 3; c++) {
            double d = (double)rgba[i * 4 + c] - rgb[i * 3 + c];
            se += d * d;
        }
    double mse = se / (double)(n * 3);
    return mse == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 / mse);
}

std::vector<uint8_t> rgb_of(const Image &im) {
    std::vector<uint8_t> rgb;
    for (size_t i = 0; i < im.rgba.size(); i += 4) rgb.insert(rgb.end(), &im.rgba[i], &im.rgba[i + 3]);
    return rgb;
}

Image grey_image(int w, int h, uint8_t v) {
    Image im{w, h, std::vector<uint8_t>((size_t)w * h * 4, v)};
    for (size_t i = 3; i < im.rgba.size(); i += 4) im.rgba[i] = (uint8_t)(i * 7);
    return im;
}

}  // namespace

// Worked example: 8 x 8 of (128,128,128): every coefficient quantises to 0; each block is
// DC category 0 plus EOB. The alpha bytes vary and must not matter.
TEST(JpegEncode, GreyBlockIsTheExactKnownFile) {
    Image im = grey_image(8, 8, 128);
    TempDir dir;
    std::string path = dir.file("grey.jpg");
    ASSERT_EQ(kv_jpeg_write(path.c_str(), 8, 8, im.rgba.data()), 1);
    std::vector<uint8_t> f = read_file(path);
    ASSERT_EQ(f.size(), 630u);
    const std::vector<uint8_t> tail = {0x28, 0x03, 0xFF, 0x00, 0x80, 0xFF, 0xD9};
    EXPECT_EQ(std::vector<uint8_t>(f.end() - 7, f.end()), tail);
    EXPECT_EQ(f, ref_jpeg_encode(8, 8, im.rgba.data()));
}

// The headers match what libjpeg writes at quality 50 with its standard tables: the same
// quantisation tables (zig-zag order) and Huffman segments in the same order.
TEST(JpegEncode, TablesMatchLibjpegStandardTables) {
    std::mt19937 rng(5);
    Image im = random_image(rng, 24, 16);
    std::vector<uint8_t> ours = encode_bytes(im.w, im.h, im.rgba);
    std::vector<uint8_t> theirs = libjpeg_encode_q50(im.w, im.h, rgb_of(im));
    EXPECT_EQ(segments(ours, 0xDB), segments(theirs, 0xDB));
    EXPECT_EQ(segments(ours, 0xC4), segments(theirs, 0xC4));
    auto sof = segments(ours, 0xC0);
    ASSERT_EQ(sof.size(), 1u);
    const std::vector<uint8_t> expect_sof = {0xFF, 0xC0, 0x00, 0x11, 0x08, 0x00, 16, 0x00, 24, 0x03,
                                             0x01, 0x11, 0x00, 0x02, 0x11, 0x01, 0x03, 0x11, 0x01};
    EXPECT_EQ(sof[0], expect_sof);
    // The 623 header bytes: SOI, APP0 (48 dpi), 2 x DQT, SOF0, 4 x DHT, SOS.
    const std::vector<uint8_t> app0 = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J',  'F',  'I',  'F',
                                       0x00, 0x01, 0x01, 0x01, 0x00, 0x30, 0x00, 0x30, 0x00, 0x00};
    EXPECT_EQ(std::vector<uint8_t>(ours.begin(), ours.begin() + 20), app0);
    const std::vector<uint8_t> sos = {0xFF, 0xDA, 0x00, 0x0C, 0x03, 0x01, 0x00,
                                      0x02, 0x11, 0x03, 0x11, 0x00, 0x3F, 0x00};
    EXPECT_EQ(std::vector<uint8_t>(ours.begin() + 609, ours.begin() + 623), sos);
}

// Random images of every size from 1 to 40 in each dimension (a sample of them), byte for
// byte against the plain reference, in every vector form the machine has.
TEST(JpegEncode, MatchesReferenceOnRandomImages) {
    std::mt19937 rng(2024);
    int compared = 0;
    for (int i = 0; i < 300; i++) {
        int w = 1 + (int)(rng() % 40), h = 1 + (int)(rng() % 40);
        Image im = random_image(rng, w, h);
        std::vector<uint8_t> ref = ref_jpeg_encode(w, h, im.rgba.data());
        for (CpuLimit form : every_cpu_form()) {
            CpuFormScope scope(form);
            ASSERT_EQ(encode_bytes(w, h, im.rgba), ref) << w << "x" << h << " " << cpu_limit_name(form);
        }
        compared++;
    }
    EXPECT_EQ(compared, 300);
}

// An image whose coded data outgrows the first 64 KiB of the output buffer, and strips
// well past the first: the growth and the running DC predictors.
TEST(JpegEncode, MatchesReferenceOnLargeNoise) {
    std::mt19937 rng(7);
    Image im{403, 301, std::vector<uint8_t>((size_t)403 * 301 * 4)};
    for (auto &b : im.rgba) b = (uint8_t)rng();
    std::vector<uint8_t> ref = ref_jpeg_encode(im.w, im.h, im.rgba.data());
    ASSERT_GT(ref.size(), 65536u);
    for (CpuLimit form : every_cpu_form()) {
        CpuFormScope scope(form);
        EXPECT_EQ(encode_bytes(im.w, im.h, im.rgba), ref) << cpu_limit_name(form);
    }
}

// Flat and two-level blocks put coefficients at (or within rounding of) exact halves of
// their quantisation steps, where a quotient taken any other way than by the division
// could round to the other side: every grey level, colours, and steps of every height.
TEST(JpegEncode, BlocksOnQuantisationTiesMatchReference) {
    const int bw = 16, bh = 48;  // blocks across and down
    Image im{bw * 8, bh * 8, std::vector<uint8_t>((size_t)bw * 8 * bh * 8 * 4)};
    for (int y = 0; y < im.h; y++)
        for (int x = 0; x < im.w; x++) {
            int b = (y / 8) % 16 * bw + x / 8;  // 0..255 in each band of 16 block rows
            int band = y / 128;
            uint8_t *p = &im.rgba[((size_t)y * im.w + x) * 4];
            if (band == 0) {  // grey flats
                p[0] = p[1] = p[2] = (uint8_t)b;
            } else if (band == 1) {  // colour flats
                p[0] = (uint8_t)b;
                p[1] = (uint8_t)(255 - b);
                p[2] = (uint8_t)(b * 7);
            } else {  // left and right halves (or top and bottom) apart by b
                int lo = 128 - b / 2, hi = lo + b;
                bool second = b % 2 ? x % 8 >= 4 : y % 8 >= 4;
                p[0] = p[1] = p[2] = (uint8_t)(second ? hi : lo);
            }
            p[3] = 255;
        }
    // A two-level block found by search whose quotient, taken as a product with 1/Q,
    // truncates to the other side of a tie.
    Image tie{8, 8, std::vector<uint8_t>(8 * 8 * 4, 255)};
    const uint64_t pattern = 0xfaf2dbc7050c0b09ull;
    for (int i = 0; i < 64; i++)
        for (int c = 0; c < 3; c++) tie.rgba[(size_t)i * 4 + c] = pattern >> i & 1 ? 179 : 147;
    for (const Image *test : {&im, &tie}) {
        std::vector<uint8_t> ref = ref_jpeg_encode(test->w, test->h, test->rgba.data());
        for (CpuLimit form : every_cpu_form()) {
            CpuFormScope scope(form);
            EXPECT_EQ(encode_bytes(test->w, test->h, test->rgba), ref) << test->w << " " << cpu_limit_name(form);
        }
    }
}

// Every byte 0xFF inside the entropy-coded data is followed by a stuffed 0x00, and the
// data ends with at least one padding byte before EOI.
TEST(JpegEncode, EntropyDataIsStuffedAndPadded) {
    std::mt19937 rng(3);
    Image im{64, 64, std::vector<uint8_t>(64 * 64 * 4)};
    for (auto &b : im.rgba) b = (uint8_t)rng();
    std::vector<uint8_t> f = encode_bytes(im.w, im.h, im.rgba);
    ASSERT_GT(f.size(), 625u);
    int stuffed = 0;
    for (size_t i = 623; i + 2 < f.size(); i++) {
        if (f[i] != 0xFF) continue;
        ASSERT_EQ(f[i + 1], 0x00) << "at " << i;
        stuffed++;
        i++;
    }
    EXPECT_GT(stuffed, 0);
    EXPECT_EQ(f[f.size() - 2], 0xFF);
    EXPECT_EQ(f[f.size() - 1], 0xD9);
}

// Photos from the test data: libjpeg decodes our file to within 30 dB of the source. The
// fixed tables are libjpeg's at quality 50, so where libjpeg itself stays below 30 dB in
// that setting (the small, detailed coffee photo: 29.07 dB) ours must match it instead.
TEST(JpegEncode, PhotosDecodeCloseToSourceWithLibjpeg) {
    // Photo fixtures: ImageMagick and netpbm renderings of the chelsea, coffee and astronaut
    // photos, and the IJG test photo (see tests/data/README.md).
    const char *photos[] = {"png/misc/im-rgb8.png", "png/misc/im-rgba8.png", "png/misc/im-grey8.png",
                            "png/misc/netpbm-rgb8-level0.png", "jpeg/ijg-testorig.jpg"};
    for (const char *name : photos) {
        std::string n = name;
        Image im;
        if (n.substr(n.size() - 4) == ".png") {
            im = load_png(data_path(n));
        } else {
            std::vector<uint8_t> rgb = libjpeg_decode(read_file(data_path(n)), &im.w, &im.h);
            for (size_t i = 0; i < rgb.size(); i += 3) im.rgba.insert(im.rgba.end(), {rgb[i], rgb[i + 1], rgb[i + 2], 255});
        }
        ASSERT_GT(im.w, 0) << name;
        std::vector<uint8_t> f = encode_bytes(im.w, im.h, im.rgba);
        int w = 0, h = 0;
        std::vector<uint8_t> rgb = libjpeg_decode(f, &w, &h);
        ASSERT_EQ(w, im.w) << name;
        ASSERT_EQ(h, im.h) << name;
        double ours = psnr_rgb(im.rgba, rgb);
        double peer = psnr_rgb(im.rgba, libjpeg_decode(libjpeg_encode_q50(im.w, im.h, rgb_of(im)), &w, &h));
        EXPECT_GE(ours, peer < 30.0 ? peer - 0.1 : 30.0) << name << " (libjpeg: " << peer << " dB)";
    }
}

// The same through the djpeg program, on a file written by kv_jpeg_write.
TEST(JpegEncode, DjpegReadsTheWrittenFile) {
    if (!have_program("djpeg")) GTEST_SKIP() << "djpeg not installed";
    Image im = load_png(data_path("png/misc/im-rgb8.png"));  // chelsea photo, 96x64
    ASSERT_GT(im.w, 0);
    TempDir dir;
    std::string path = dir.file("photo.jpg");
    ASSERT_EQ(kv_jpeg_write(path.c_str(), im.w, im.h, im.rgba.data()), 1);
    std::string out;
    ASSERT_EQ(run_command("djpeg -dct float -pnm '" + path + "' > '" + dir.file("photo.ppm") + "'", &out), 0);
    std::vector<uint8_t> ppm = read_file(dir.file("photo.ppm"));
    const std::string head = "P6\n96 64\n255\n";
    ASSERT_EQ(std::string(ppm.begin(), ppm.begin() + (long)head.size()), head);
    std::vector<uint8_t> rgb(ppm.begin() + (long)head.size(), ppm.end());
    ASSERT_EQ(rgb.size(), (size_t)96 * 64 * 3);
    EXPECT_GE(psnr_rgb(im.rgba, rgb), 30.0);
}

// Our decoder reads our files back to within 40 dB of libjpeg's float decode without
// fancy upsampling (none is needed at 4:4:4).
TEST(JpegEncode, RoundTripThroughOwnDecoder) {
    Image im = load_png(data_path("png/misc/im-rgba8.png"));  // coffee photo, 120x80
    ASSERT_GT(im.w, 0);
    TempDir dir;
    std::string path = dir.file("photo.jpg");
    ASSERT_EQ(kv_jpeg_write(path.c_str(), im.w, im.h, im.rgba.data()), 1);
    int w = 0, h = 0;
    const char *msg = nullptr;
    unsigned char *px = kv_jpeg_decode(path.c_str(), &w, &h, &msg);
    ASSERT_NE(px, nullptr) << msg;
    int lw = 0, lh = 0;
    std::vector<uint8_t> ref = libjpeg_decode(read_file(path), &lw, &lh);
    ASSERT_EQ(w, lw);
    ASSERT_EQ(h, lh);
    std::vector<uint8_t> ours(px, px + (size_t)w * h * 4);
    std::free(px);
    EXPECT_GE(psnr_rgb(ours, ref), 40.0);
}

TEST(JpegEncode, DebugLineWhenVariableIsSetEvenEmpty) {
    Image im = grey_image(8, 8, 128);
    ::setenv("JENC_DBG", "", 1);
    testing::internal::CaptureStderr();
    std::vector<uint8_t> f = encode_bytes(8, 8, im.rgba);
    std::string err = testing::internal::GetCapturedStderr();
    ::unsetenv("JENC_DBG");
    EXPECT_EQ(err,
              "ENC ci=0 q[:8]=0 0 0 0 0 0 0 0 nz=0\n"
              "ENC ci=1 q[:8]=0 0 0 0 0 0 0 0 nz=0\n"
              "ENC ci=2 q[:8]=0 0 0 0 0 0 0 0 nz=0\n");

    // A white 16 x 8 image: Y's DC is (255-128)*8/16 rounded = 64 (rounded half away
    // from zero from 63.5); only the first MCU prints.
    Image white = grey_image(16, 8, 255);
    ::setenv("JENC_DBG", "1", 1);
    testing::internal::CaptureStderr();
    encode_bytes(16, 8, white.rgba);
    err = testing::internal::GetCapturedStderr();
    ::unsetenv("JENC_DBG");
    EXPECT_EQ(err,
              "ENC ci=0 q[:8]=64 0 0 0 0 0 0 0 nz=1\n"
              "ENC ci=1 q[:8]=0 0 0 0 0 0 0 0 nz=0\n"
              "ENC ci=2 q[:8]=0 0 0 0 0 0 0 0 nz=0\n");

    testing::internal::CaptureStderr();
    encode_bytes(8, 8, im.rgba);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(JpegEncode, RejectsBadArgumentsWithoutFile) {
    TempDir dir;
    std::string path = dir.file("x.jpg");
    uint8_t px[4] = {1, 2, 3, 4};
    EXPECT_EQ(kv_jpeg_write(path.c_str(), 0, 1, px), 0);
    EXPECT_EQ(kv_jpeg_write(path.c_str(), 1, 0, px), 0);
    EXPECT_EQ(kv_jpeg_write(path.c_str(), -3, 1, px), 0);
    EXPECT_EQ(kv_jpeg_write(path.c_str(), 1, 1, nullptr), 0);
    // SOF0 holds 16-bit sizes; the pixels are never read.
    EXPECT_EQ(kv_jpeg_write(path.c_str(), 65536, 1, px), 0);
    EXPECT_EQ(kv_jpeg_write(path.c_str(), 1, 65536, px), 0);
    EXPECT_EQ(kv_jpeg_write(nullptr, 1, 1, px), 0);
    EXPECT_EQ(kv_jpeg_write(dir.file("no/such/dir/x.jpg").c_str(), 1, 1, px), 0);
    EXPECT_TRUE(list_dir(dir.path).empty());
}

// Every allocation failure, one after the other: 0, no file, and (under the sanitizers)
// no leak; an existing file at the path is left as it was.
TEST(JpegEncode, AllocationFailuresLeaveNoFile) {
    std::mt19937 rng(9);
    Image im{400, 300, std::vector<uint8_t>((size_t)400 * 300 * 4)};
    for (auto &b : im.rgba) b = (uint8_t)rng();  // noise: the output outgrows 64 KiB
    TempDir dir;
    std::string fresh = dir.file("fresh.jpg");
    std::string old = dir.file("old.jpg");
    write_file(old, {1, 2, 3});
    int failures = 0;
    for (long n = 1;; n++) {
        mem_fail_at(n);
        int a = kv_jpeg_write(fresh.c_str(), im.w, im.h, im.rgba.data());
        mem_fail_at(n);
        int b = kv_jpeg_write(old.c_str(), im.w, im.h, im.rgba.data());
        mem_fail_at(0);
        ASSERT_EQ(a, b);
        if (a) break;
        failures++;
        ASSERT_FALSE(file_exists(fresh)) << "allocation " << n;
        ASSERT_EQ(read_file(old), std::vector<uint8_t>({1, 2, 3})) << "allocation " << n;
        ASSERT_LT(n, 100);
    }
    EXPECT_GE(failures, 3);  // work area, output buffer, at least one growth
    EXPECT_EQ(read_file(fresh), ref_jpeg_encode(im.w, im.h, im.rgba.data()));
}

// The cosine table is made once; encodes racing on several threads give the same bytes.
TEST(JpegEncode, ConcurrentEncodesAgree) {
    std::mt19937 rng(13);
    Image im = random_image(rng, 40, 33);
    std::vector<uint8_t> ref = ref_jpeg_encode(im.w, im.h, im.rgba.data());
    std::vector<std::vector<uint8_t>> got(4);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++) threads.emplace_back([&, t] { got[t] = encode_bytes(im.w, im.h, im.rgba); });
    for (auto &th : threads) th.join();
    for (auto &g : got) EXPECT_EQ(g, ref);
}
