// png_encode_test.cpp: kv_png_write writes exactly the bytes of the plain reference
// encoder, files that libpng, pngcheck and our own decoder read back to the very input
// RGBA, and no file at all whenever it reports failure.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <png.h>
#include <zlib.h>

#include "folian.h"
#include "mem.h"
#include "ref_encoders.h"
#include "test_util.h"

namespace {

std::vector<uint8_t> random_rgba(std::mt19937 &rng, int w, int h) {
    std::vector<uint8_t> px((size_t)w * h * 4);
    for (auto &b : px) b = (uint8_t)rng();
    return px;
}

std::vector<uint8_t> write_png(const TempDir &dir, int w, int h, const std::vector<uint8_t> &px) {
    std::string path = dir.file("out.png");
    if (!kv_png_write(path.c_str(), w, h, px.data())) return {};
    return read_file(path);
}

// RGBA pixels of a PNG in memory, through libpng's simplified interface.
bool libpng_decode(const std::vector<uint8_t> &file, int *w, int *h, std::vector<uint8_t> *rgba) {
    png_image img;
    std::memset(&img, 0, sizeof img);
    img.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&img, file.data(), file.size())) return false;
    img.format = PNG_FORMAT_RGBA;
    rgba->resize(PNG_IMAGE_SIZE(img));
    *w = (int)img.width;
    *h = (int)img.height;
    return png_image_finish_read(&img, nullptr, rgba->data(), 0, nullptr) != 0;
}

// The stored-block headers of the zlib stream in IDAT: (BFINAL, LEN) per block.
std::vector<std::pair<int, int>> stored_blocks(const std::vector<uint8_t> &f) {
    size_t idat = 8 + 25;  // signature, IHDR
    size_t p = idat + 8 + 2;  // chunk length and type, zlib header
    size_t end = idat + 8 + ((size_t)f[idat] << 24 | (size_t)f[idat + 1] << 16 | (size_t)f[idat + 2] << 8 | f[idat + 3]) - 4;
    std::vector<std::pair<int, int>> blocks;
    while (p < end) {
        int len = f[p + 1] | f[p + 2] << 8;
        int nlen = f[p + 3] | f[p + 4] << 8;
        EXPECT_EQ(len ^ 0xFFFF, nlen);
        blocks.emplace_back(f[p], len);
        p += 5 + (size_t)len;
    }
    return blocks;
}

}  // namespace

// Worked example: one pixel 01 02 03 04 gives a 73-byte file.
TEST(PngEncode, OnePixelIsTheExactKnownFile) {
    TempDir dir;
    std::vector<uint8_t> f = write_png(dir, 1, 1, {1, 2, 3, 4});
    ASSERT_EQ(f.size(), 73u);
    const std::vector<uint8_t> head = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A, 0, 0, 0, 13, 'I',
                                       'H',  'D',  'R',  0,    0,    0,    1,    0,    0, 0, 1, 8,   6,
                                       0,    0,    0};
    EXPECT_EQ(std::vector<uint8_t>(f.begin(), f.begin() + (long)head.size()), head);
    const std::vector<uint8_t> idat = {0, 0, 0, 16, 'I', 'D', 'A', 'T', 0x78, 0x01, 0x01, 0x05, 0x00, 0xFA,
                                       0xFF, 0x00, 0x01, 0x02, 0x03, 0x04, 0x00, 0x19, 0x00, 0x0B};
    EXPECT_EQ(std::vector<uint8_t>(f.begin() + 33, f.begin() + 33 + (long)idat.size()), idat);
    // IHDR's CRC and IEND with its constant CRC AE 42 60 82.
    uLong crc = crc32(0, &f[12], 17);
    EXPECT_EQ((uLong)(f[29] << 24 | f[30] << 16 | f[31] << 8 | f[32]), crc);
    const std::vector<uint8_t> iend = {0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82};
    EXPECT_EQ(std::vector<uint8_t>(f.end() - 12, f.end()), iend);
    EXPECT_EQ(f, ref_png_encode(1, 1, std::vector<uint8_t>{1, 2, 3, 4}.data()));
}

// 64 x 255 fills exactly one stored block; one row more spills 257 bytes into a second.
// Several stored blocks, and CRC and Adler-32 over megabytes, against the reference.
TEST(PngEncode, StoredBlocksSplitAt65535) {
    std::mt19937 rng(1);
    TempDir dir;
    std::vector<uint8_t> a = write_png(dir, 64, 255, random_rgba(rng, 64, 255));
    EXPECT_EQ(stored_blocks(a), (std::vector<std::pair<int, int>>{{1, 65535}}));
    EXPECT_EQ(a.size(), 65535u + 5 + 63);
    std::vector<uint8_t> b = write_png(dir, 64, 256, random_rgba(rng, 64, 256));
    EXPECT_EQ(stored_blocks(b), (std::vector<std::pair<int, int>>{{0, 65535}, {1, 257}}));
    EXPECT_EQ(b.size(), 65792u + 10 + 63);
    std::vector<uint8_t> px = random_rgba(rng, 700, 500);
    std::vector<uint8_t> c = write_png(dir, 700, 500, px);
    EXPECT_EQ(stored_blocks(c).size(), 22u);
    EXPECT_EQ(c, ref_png_encode(700, 500, px.data()));
}

// A sample of all sizes from 1 to 40 in each dimension: the same bytes as the plain
// reference, and libpng reads back exactly the input, fully transparent pixels' colours
// included.
TEST(PngEncode, MatchesReferenceAndLibpngOnRandomImages) {
    std::mt19937 rng(42);
    TempDir dir;
    for (int i = 0; i < 300; i++) {
        int w = 1 + (int)(rng() % 40), h = 1 + (int)(rng() % 40);
        std::vector<uint8_t> px = random_rgba(rng, w, h);
        for (size_t j = 3; j < px.size(); j += 4 * 3) px[j] = 0;  // some fully transparent pixels
        std::vector<uint8_t> f = write_png(dir, w, h, px);
        ASSERT_EQ(f, ref_png_encode(w, h, px.data())) << w << "x" << h;
        int dw = 0, dh = 0;
        std::vector<uint8_t> back;
        ASSERT_TRUE(libpng_decode(f, &dw, &dh, &back)) << w << "x" << h;
        ASSERT_EQ(dw, w);
        ASSERT_EQ(dh, h);
        ASSERT_EQ(back, px) << w << "x" << h;
    }
}

TEST(PngEncode, PassesPngcheck) {
    if (!have_program("pngcheck")) GTEST_SKIP() << "pngcheck not installed";
    std::mt19937 rng(4);
    TempDir dir;
    const int sizes[][2] = {{1, 1}, {17, 3}, {64, 256}, {300, 200}};
    for (const auto &s : sizes) {
        std::string path = dir.file("c.png");
        std::vector<uint8_t> px = random_rgba(rng, s[0], s[1]);
        ASSERT_EQ(kv_png_write(path.c_str(), s[0], s[1], px.data()), 1);
        std::string out;
        EXPECT_EQ(run_command("pngcheck '" + path + "' 2>&1", &out), 0) << out;
    }
}

// Our own decoder reads our files back to exactly the input.
TEST(PngEncode, RoundTripThroughOwnDecoder) {
    std::mt19937 rng(6);
    TempDir dir;
    std::string path = dir.file("rt.png");
    const int sizes[][2] = {{1, 1}, {13, 7}, {64, 256}};
    for (const auto &s : sizes) {
        std::vector<uint8_t> px = random_rgba(rng, s[0], s[1]);
        ASSERT_EQ(kv_png_write(path.c_str(), s[0], s[1], px.data()), 1);
        int w = 0, h = 0;
        const char *msg = nullptr;
        unsigned char *back = kv_png_decode(path.c_str(), &w, &h, &msg);
        ASSERT_NE(back, nullptr) << msg;
        EXPECT_EQ(w, s[0]);
        EXPECT_EQ(h, s[1]);
        EXPECT_EQ(std::vector<uint8_t>(back, back + px.size()), px);
        std::free(back);
    }
}

TEST(PngEncode, RejectsBadArgumentsWithoutFile) {
    TempDir dir;
    std::string path = dir.file("x.png");
    uint8_t px[4] = {1, 2, 3, 4};
    EXPECT_EQ(kv_png_write(path.c_str(), 0, 1, px), 0);
    EXPECT_EQ(kv_png_write(path.c_str(), 1, -1, px), 0);
    EXPECT_EQ(kv_png_write(path.c_str(), 1, 1, nullptr), 0);
    EXPECT_EQ(kv_png_write(nullptr, 1, 1, px), 0);
    EXPECT_EQ(kv_png_write(dir.file("missing/x.png").c_str(), 1, 1, px), 0);
    // The zlib stream would pass 2^31 - 1 bytes, the most one chunk can hold; refused
    // before any pixel is read.
    EXPECT_EQ(kv_png_write(path.c_str(), 23170, 23170, px), 0);
    EXPECT_EQ(kv_png_write(path.c_str(), 1 << 29, 1, px), 0);
    EXPECT_TRUE(list_dir(dir.path).empty());
}

// Every allocation failure, one after the other, including each chunk append: 0 and no
// file (never a file lacking IHDR, IDAT or IEND); an existing file is left as it was.
TEST(PngEncode, AllocationFailuresLeaveNoFile) {
    std::mt19937 rng(10);
    std::vector<uint8_t> px = random_rgba(rng, 9, 5);
    TempDir dir;
    std::string fresh = dir.file("fresh.png");
    std::string old = dir.file("old.png");
    write_file(old, {1, 2, 3});
    int failures = 0;
    for (long n = 1;; n++) {
        mem_fail_at(n);
        int a = kv_png_write(fresh.c_str(), 9, 5, px.data());
        mem_fail_at(n);
        int b = kv_png_write(old.c_str(), 9, 5, px.data());
        mem_fail_at(0);
        ASSERT_EQ(a, b);
        if (a) break;
        failures++;
        ASSERT_FALSE(file_exists(fresh)) << "allocation " << n;
        ASSERT_EQ(read_file(old), std::vector<uint8_t>({1, 2, 3})) << "allocation " << n;
        ASSERT_LT(n, 100);
    }
    EXPECT_EQ(failures, 6);  // filtered rows, zlib stream, file buffer, IHDR, IDAT, IEND
    EXPECT_EQ(read_file(fresh), ref_png_encode(9, 5, px.data()));
}

// ---- kv_png_write_ex ----------------------------------------------------------------------
// Without options it writes kv_png_write's bytes; compressed, its files read back through
// libpng and our decoder to the very input RGBA, are smaller than the stored form on
// image-like pixels, and a failure leaves no file.

namespace {

std::vector<uint8_t> write_png_ex(const TempDir &dir, int w, int h, const std::vector<uint8_t> &px, unsigned flags) {
    std::string path = dir.file("ex.png");
    if (!kv_png_write_ex(path.c_str(), w, h, px.data(), flags)) return {};
    return read_file(path);
}

// A smooth gradient with a soft alpha edge, like a photo cut-out.
std::vector<uint8_t> smooth_rgba(int w, int h) {
    std::vector<uint8_t> px((size_t)w * h * 4);
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++) {
            uint8_t *p = &px[((size_t)y * w + x) * 4];
            p[0] = (uint8_t)(x * 255 / w);
            p[1] = (uint8_t)(y * 255 / h);
            p[2] = (uint8_t)((x + y) / 3);
            p[3] = (uint8_t)(x < w / 2 ? 255 : 255 - (x - w / 2) * 4);
        }
    return px;
}

}  // namespace

TEST(PngEncodeEx, WithoutOptionsWritesTheStoredFile) {
    std::mt19937 rng(21);
    TempDir dir;
    for (const auto &s : {std::pair<int, int>{1, 1}, {13, 7}, {64, 256}}) {
        const std::vector<uint8_t> px = random_rgba(rng, s.first, s.second);
        const std::vector<uint8_t> stored = write_png(dir, s.first, s.second, px);
        ASSERT_FALSE(stored.empty());
        EXPECT_EQ(write_png_ex(dir, s.first, s.second, px, 0), stored);
        EXPECT_EQ(write_png_ex(dir, s.first, s.second, px, 0x80u), stored) << "unknown bits are ignored";
    }
}

TEST(PngEncodeEx, CompressedFilesDecodeToTheInput) {
    std::mt19937 rng(22);
    TempDir dir;
    std::vector<std::pair<std::pair<int, int>, std::vector<uint8_t>>> images;
    for (const auto &s : {std::pair<int, int>{1, 1}, {1, 300}, {300, 1}, {13, 7}, {64, 256}})
        images.push_back({s, random_rgba(rng, s.first, s.second)});
    images.push_back({{500, 400}, smooth_rgba(500, 400)});
    images.push_back({{256, 256}, std::vector<uint8_t>(256 * 256 * 4, 0)});
    int w = 0, h = 0;
    const char *msg = nullptr;
    if (unsigned char *photo = kv_png_decode(data_path("png/misc/im-rgba8.png").c_str(), &w, &h, &msg)) {
        images.push_back({{w, h}, std::vector<uint8_t>(photo, photo + (size_t)w * h * 4)});
        std::free(photo);
    }
    for (const auto &im : images) {
        const int iw = im.first.first, ih = im.first.second;
        SCOPED_TRACE(std::to_string(iw) + "x" + std::to_string(ih));
        const std::vector<uint8_t> file = write_png_ex(dir, iw, ih, im.second, KV_PNG_COMPRESS);
        ASSERT_FALSE(file.empty());
        std::vector<uint8_t> back;
        ASSERT_TRUE(libpng_decode(file, &w, &h, &back));
        EXPECT_EQ(w, iw);
        EXPECT_EQ(h, ih);
        EXPECT_EQ(back, im.second);
        const std::string path = dir.file("ex.png");
        unsigned char *ours = kv_png_decode(path.c_str(), &w, &h, &msg);
        ASSERT_NE(ours, nullptr) << msg;
        EXPECT_EQ(std::vector<uint8_t>(ours, ours + im.second.size()), im.second);
        std::free(ours);
    }
    const std::vector<uint8_t> smooth = smooth_rgba(500, 400);
    EXPECT_LT(write_png_ex(dir, 500, 400, smooth, KV_PNG_COMPRESS).size() * 20,
              write_png(dir, 500, 400, smooth).size());
}

TEST(PngEncodeEx, FailuresLeaveNoFile) {
    TempDir dir;
    const std::string path = dir.file("x.png");
    uint8_t px[4] = {1, 2, 3, 4};
    EXPECT_EQ(kv_png_write_ex(path.c_str(), 0, 1, px, KV_PNG_COMPRESS), 0);
    EXPECT_EQ(kv_png_write_ex(path.c_str(), 1, -1, px, KV_PNG_COMPRESS), 0);
    EXPECT_EQ(kv_png_write_ex(path.c_str(), 1, 1, nullptr, KV_PNG_COMPRESS), 0);
    EXPECT_EQ(kv_png_write_ex(nullptr, 1, 1, px, KV_PNG_COMPRESS), 0);
    EXPECT_EQ(kv_png_write_ex(dir.file("missing/x.png").c_str(), 1, 1, px, KV_PNG_COMPRESS), 0);
    EXPECT_TRUE(list_dir(dir.path).empty());

    const std::vector<uint8_t> img = smooth_rgba(300, 200);
    for (long n = 1;; n++) {
        mem_fail_at(n);
        const int ok = kv_png_write_ex(path.c_str(), 300, 200, img.data(), KV_PNG_COMPRESS);
        mem_fail_at(0);
        if (ok) break;
        ASSERT_FALSE(file_exists(path)) << "allocation " << n;
        ASSERT_LT(n, 100);
    }
    std::vector<uint8_t> back;
    int w = 0, h = 0;
    ASSERT_TRUE(libpng_decode(read_file(path), &w, &h, &back));
    EXPECT_EQ(back, img);
}
