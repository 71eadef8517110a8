// png_interlaced_test.cpp: Adam7 files through kv_png_decode_ex. Every interlaced file of
// the test data decodes, with the option, to exactly libpng's RGBA under our rules and
// to the pixels of its non-interlaced twin where PngSuite has one; without the option
// every entry point still refuses it, and the conversion takes it only with its option.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "folian.h"
#include "libpng_ref.h"
#include "test_util.h"

namespace {

using Bytes = std::vector<uint8_t>;

bool is_interlaced(const Bytes &f) { return f.size() > 28 && f[28] == 1; }

Bytes decode_ex(const std::string &path, unsigned flags, int *w, int *h, const char **msg) {
    uint8_t *px = kv_png_decode_ex(path.c_str(), flags, w, h, msg);
    Bytes out;
    if (px) out.assign(px, px + (size_t)*w * *h * 4);
    std::free(px);
    return out;
}

std::vector<std::string> interlaced_files() {
    std::vector<std::string> out;
    for (const char *dir : {"png/pngsuite", "png/pngsuite-rewrapped", "png/misc"})
        for (const std::string &name : list_dir(data_path(dir))) {
            const std::string rel = std::string(dir) + "/" + name;
            if (name.size() > 4 && name.compare(name.size() - 4, 4, ".png") == 0 && is_interlaced(read_file(data_path(rel))))
                out.push_back(rel);
        }
    return out;
}

// Every interlaced file either decodes to libpng's pixels or (when libpng refuses it too,
// as for the deliberately broken x* files) fails with a message, never "interlaced".
TEST(PngInterlaced, EveryInterlacedFileEqualsLibpng) {
    const std::vector<std::string> files = interlaced_files();
    ASSERT_GE(files.size(), 20u);
    int decoded = 0;
    for (const std::string &rel : files) {
        SCOPED_TRACE(rel);
        const Bytes file = read_file(data_path(rel));
        int w = -1, h = -1;
        const char *msg = nullptr;
        const Bytes ours = decode_ex(data_path(rel), KV_PNG_INTERLACED, &w, &h, &msg);
        std::vector<uint8_t> ref;
        int rw = 0, rh = 0;
        std::string err;
        const bool ref_ok = libpng_decode_rgba(file.data(), file.size(), &ref, &rw, &rh, &err);
        ASSERT_NE(msg, nullptr);
        if (ours.empty()) {
            EXPECT_FALSE(ref_ok) << msg;
            EXPECT_STRNE(msg, "png: interlaced PNG not supported");
            EXPECT_EQ(w, 0);
            continue;
        }
        EXPECT_STREQ(msg, "");
        ASSERT_TRUE(ref_ok) << err;
        ASSERT_EQ(w, rw);
        ASSERT_EQ(h, rh);
        EXPECT_TRUE(ours == ref) << "pixels differ from libpng's";
        decoded++;
    }
    EXPECT_GE(decoded, 20);
}

// PngSuite's basi and basn files hold the same picture: de-interlacing needs no oracle.
// (The s01i to s09i files, whose images are smaller than the 8 x 8 tile and so leave
// passes empty, are among those compared with libpng above.)
TEST(PngInterlaced, SameAsTheNonInterlacedTwin) {
    for (const char *name : {"0g01", "0g02", "0g04", "0g08", "0g16", "2c08", "2c16", "3p01", "3p02", "3p04", "3p08",
                             "4a08", "4a16", "6a08", "6a16"}) {
        SCOPED_TRACE(name);
        int w1, h1, w2, h2;
        const char *m1, *m2;
        const Bytes inter = decode_ex(data_path(std::string("png/pngsuite/basi") + name + ".png"), KV_PNG_INTERLACED, &w1, &h1, &m1);
        const Bytes plain = decode_ex(data_path(std::string("png/pngsuite/basn") + name + ".png"), 0, &w2, &h2, &m2);
        ASSERT_FALSE(inter.empty()) << m1;
        EXPECT_TRUE(inter == plain);
    }
}

// Options that are not set, or bits that mean nothing, change nothing; null out-pointers
// are accepted.
TEST(PngInterlaced, WithoutTheOptionNothingChanges) {
    const std::string inter = data_path("png/pngsuite/basi2c08.png");
    int w = -1, h = -1;
    const char *msg = nullptr;
    EXPECT_TRUE(decode_ex(inter, 0, &w, &h, &msg).empty());
    EXPECT_STREQ(msg, "png: interlaced PNG not supported");
    EXPECT_EQ(w, 0);
    EXPECT_TRUE(decode_ex(inter, ~KV_PNG_INTERLACED, &w, &h, &msg).empty());
    EXPECT_STREQ(msg, "png: interlaced PNG not supported");
    uint8_t *px = kv_png_decode(inter.c_str(), &w, &h, &msg);
    EXPECT_EQ(px, nullptr);
    px = kv_png_decode_ex(inter.c_str(), KV_PNG_INTERLACED, nullptr, nullptr, nullptr);
    EXPECT_NE(px, nullptr);
    std::free(px);
    // A non-interlaced file decodes the same with and without the option.
    const std::string plain = data_path("png/pngsuite/basn6a16.png");
    int w2, h2;
    EXPECT_TRUE(decode_ex(plain, KV_PNG_INTERLACED, &w, &h, &msg) == decode_ex(plain, 0, &w2, &h2, &msg));
}

// Damage inside the passes is caught like damage in a plain image: a stream one pass row
// short fails the size check, a wrong trailer the checksum.
TEST(PngInterlaced, DamagedDataFailsWithTheUsualMessages) {
    // A 3 x 3 RGB image: only passes 1, 5, 6 and 7 hold pixels; sample k of pass p's rows
    // is 40p + k (filter type 0).
    const int w = 3, h = 3;
    Bytes raw;
    const int x0[7] = {0, 4, 0, 2, 0, 1, 0}, dx[7] = {8, 8, 4, 4, 2, 2, 1};
    const int y0[7] = {0, 0, 4, 0, 2, 0, 1}, dy[7] = {8, 8, 8, 4, 4, 2, 2};
    for (int p = 0; p < 7; p++) {
        const int pw = w > x0[p] ? (w - x0[p] + dx[p] - 1) / dx[p] : 0;
        const int ph = h > y0[p] ? (h - y0[p] + dy[p] - 1) / dy[p] : 0;
        if (!pw || !ph) continue;
        for (int j = 0; j < ph; j++) {
            raw.push_back(0);
            for (int k = 0; k < 3 * pw; k++) raw.push_back((uint8_t)(40 * p + k));
        }
    }
    auto make = [&](const Bytes &r, bool bad_adler) {
        uLongf n = compressBound((uLong)r.size());
        Bytes z(n);
        compress2(z.data(), &n, r.data(), (uLong)r.size(), 9);
        z.resize(n);
        if (bad_adler) z.back() ^= 1;
        Bytes f = {137, 80, 78, 71, 13, 10, 26, 10};
        auto chunk = [&](const char *type, const Bytes &d) {
            for (int s = 24; s >= 0; s -= 8) f.push_back((uint8_t)(d.size() >> s));
            f.insert(f.end(), type, type + 4);
            f.insert(f.end(), d.begin(), d.end());
            uLong crc = crc32(crc32(0, (const Bytef *)type, 4), d.data(), (uInt)d.size());
            for (int s = 24; s >= 0; s -= 8) f.push_back((uint8_t)(crc >> s));
        };
        chunk("IHDR", {0, 0, 0, (uint8_t)w, 0, 0, 0, (uint8_t)h, 8, 2, 0, 0, 1});
        chunk("IDAT", z);
        chunk("IEND", {});
        return f;
    };
    TempDir tmp;
    const std::string path = tmp.file("i.png");
    int ow, oh;
    const char *msg;
    write_file(path, make(raw, false));
    const Bytes good = decode_ex(path, KV_PNG_INTERLACED, &ow, &oh, &msg);
    ASSERT_EQ(good.size(), (size_t)w * h * 4) << msg;
    // Pixel (0, 0) is pass 1's only sample; (1, 0) pass 6's first; (0, 1) pass 7's first.
    EXPECT_EQ(good[0], 0);
    EXPECT_EQ(good[4], 200);
    EXPECT_EQ(good[4 * 3], 240);
    std::vector<uint8_t> ref;
    std::string err;
    const Bytes file = make(raw, false);
    ASSERT_TRUE(libpng_decode_rgba(file.data(), file.size(), &ref, &ow, &oh, &err)) << err;
    EXPECT_TRUE(good == ref);
    write_file(path, make(Bytes(raw.begin(), raw.end() - 4), false));
    EXPECT_TRUE(decode_ex(path, KV_PNG_INTERLACED, &ow, &oh, &msg).empty());
    EXPECT_STREQ(msg, "png: inflate failed (corrupt or truncated stream)");
    write_file(path, make(raw, true));
    EXPECT_TRUE(decode_ex(path, KV_PNG_INTERLACED, &ow, &oh, &msg).empty());
    EXPECT_STREQ(msg, "png: adler-32 checksum mismatch");
}

// The conversion takes an interlaced file only with FOLIAN_OPT_INTERLACED, and the page
// then holds the same picture as the non-interlaced twin's page.
TEST(PngInterlaced, ConversionOption) {
    TempDir tmp;
    folian_init();
    const std::string inter = data_path("png/pngsuite/basi6a08.png"), plain = data_path("png/pngsuite/basn6a08.png");
    EXPECT_EQ(folian_single(inter.c_str(), tmp.file("a.pdf").c_str()), 0);
    EXPECT_STREQ(folian_last_error(), "png: interlaced PNG not supported");
    folian_set_options(FOLIAN_OPT_INTERLACED);
    ASSERT_EQ(folian_single(inter.c_str(), tmp.file("a.pdf").c_str()), 1) << folian_last_error();
    ASSERT_EQ(folian_single(plain.c_str(), tmp.file("b.pdf").c_str()), 1) << folian_last_error();
    EXPECT_TRUE(read_file(tmp.file("a.pdf")) == read_file(tmp.file("b.pdf")));
    folian_init();
}

}  // namespace
