// gif_bmp_test.cpp: the GIF and BMP decoders give ImageMagick's pixels on files that
// cover each case (GIF: palettes, interlace, transparency, disposal of every kind over
// animated frames; BMP: every header, depth, mask and RLE layout, hand-built here), and
// fail with their own message on damaged files; the generic decoder reaches them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "bmp/bmp.h"
#include "folian.h"
#include "gif/gif.h"
#include "pdf_test_util.h"
#include "test_util.h"

namespace {

// The frames ImageMagick composites from `path` (one frame for a still picture), RGBA.
std::vector<uint8_t> magick_frames(const std::string &path, bool coalesce) {
    std::string out;
    const std::string cmd = "convert '" + path + "'" + (coalesce ? " -coalesce" : "") + " -depth 8 rgba:-";
    EXPECT_EQ(run_command(cmd, &out), 0) << cmd;
    return std::vector<uint8_t>(out.begin(), out.end());
}

// Equal pixels, the colour of wholly transparent ones aside.
void expect_same_rgba(const uint8_t *got, const uint8_t *want, size_t pixels, const std::string &what) {
    size_t bad = 0, first = 0;
    for (size_t i = 0; i < pixels; i++) {
        const uint8_t *a = got + 4 * i, *b = want + 4 * i;
        const bool same = a[3] == b[3] && (a[3] == 0 || (a[0] == b[0] && a[1] == b[1] && a[2] == b[2]));
        if (!same && !bad++) first = i;
    }
    EXPECT_EQ(bad, 0u) << what << ": first difference at pixel " << first;
}

// Decodes every frame through the generic decoder and compares with the oracle's frames.
void expect_decodes_as(const std::string &path, int want_frames, const std::vector<uint8_t> &want) {
    const std::vector<uint8_t> file = read_file(path);
    size_t at = 0;
    for (int f = 0; f < want_frames; f++) {
        int w = 0, h = 0, frames = 0;
        const char *msg = nullptr;
        unsigned char *px = kv_decode(file.data(), file.size(), f, 0, &w, &h, &frames, &msg);
        ASSERT_TRUE(px) << path << ": " << msg;
        EXPECT_EQ(frames, want_frames) << path;
        const size_t n = (size_t)w * h;
        ASSERT_LE(at + n * 4, want.size()) << path;
        expect_same_rgba(px, want.data() + at, n, path + " frame " + std::to_string(f));
        at += n * 4;
        std::free(px);
    }
    EXPECT_EQ(at, want.size()) << path;
}

bool have_magick() { return have_program("convert"); }

// A Python with Pillow: the one on the path, else the system's.
std::string pillow_python() {
    for (const char *py : {"python3", "/usr/bin/python3"})
        if (run_command(std::string(py) + " -c 'import PIL' 2>/dev/null") == 0) return py;
    return "";
}

// Pillow's RGBA for a still picture.
std::vector<uint8_t> pillow_rgba(const std::string &python, const std::string &path) {
    std::string out;
    const std::string cmd = python +
                            " -c 'import sys; from PIL import Image; "
                            "sys.stdout.buffer.write(Image.open(sys.argv[1]).convert(\"RGBA\").tobytes())' '" +
                            path + "'";
    EXPECT_EQ(run_command(cmd, &out), 0) << cmd;
    return std::vector<uint8_t>(out.begin(), out.end());
}

// ---- A BMP writer for the cases no common encoder makes ------------------------------------
void put16(std::vector<uint8_t> &b, uint32_t v) {
    b.push_back((uint8_t)v);
    b.push_back((uint8_t)(v >> 8));
}
void put32(std::vector<uint8_t> &b, uint32_t v) {
    put16(b, v & 0xFFFF);
    put16(b, v >> 16);
}

struct BmpSpec {
    uint32_t header;      // 12, 40, 108 or 124
    int bpp, w, h;        // h < 0: top-down
    uint32_t compression;
    std::vector<uint32_t> masks;  // R, G, B(, A): in the header from 108 on, else after it
    int palette;          // entries, made up from the index
    std::vector<uint8_t> data;  // the pixel data as stored
};

std::vector<uint8_t> make_bmp(const BmpSpec &s) {
    std::vector<uint8_t> h;
    put32(h, s.header);
    if (s.header == 12) {
        put16(h, (uint32_t)s.w), put16(h, (uint32_t)s.h), put16(h, 1), put16(h, (uint32_t)s.bpp);
    } else {
        put32(h, (uint32_t)s.w), put32(h, (uint32_t)s.h), put16(h, 1), put16(h, (uint32_t)s.bpp);
        put32(h, s.compression), put32(h, (uint32_t)s.data.size()), put32(h, 2835), put32(h, 2835);
        put32(h, (uint32_t)s.palette), put32(h, 0);
        if (s.header > 40) {
            for (int i = 0; i < 4; i++) put32(h, i < (int)s.masks.size() ? s.masks[i] : 0);
            put32(h, 0x73524742);  // sRGB
            h.resize(s.header, 0);
        } else {
            for (uint32_t m : s.masks) put32(h, m);
        }
    }
    for (int i = 0; i < s.palette; i++) {
        h.push_back((uint8_t)(i * 37)), h.push_back((uint8_t)(255 - i * 11)), h.push_back((uint8_t)(i * 90));
        if (s.header != 12) h.push_back(0);
    }
    std::vector<uint8_t> f = {'B', 'M'};
    put32(f, (uint32_t)(14 + h.size() + s.data.size())), put32(f, 0), put32(f, (uint32_t)(14 + h.size()));
    f.insert(f.end(), h.begin(), h.end());
    f.insert(f.end(), s.data.begin(), s.data.end());
    return f;
}

// Rows of `stride` bytes with a pattern that reaches every bit.
std::vector<uint8_t> pattern(size_t stride, int rows) {
    std::vector<uint8_t> d(stride * (size_t)rows);
    for (size_t i = 0; i < d.size(); i++) d[i] = (uint8_t)(i * 73 + i / 7);
    return d;
}

}  // namespace

TEST(Gif, FramesEqualImageMagicks) {
    if (!have_magick()) GTEST_SKIP() << "ImageMagick missing";
    TempDir dir;
    struct Case {
        const char *name, *make;
        int frames;
    };
    // Interlaced, transparent, disposal none/background/previous over moved frames, and
    // frames of their own colours (local tables), each made by one convert command.
    const Case cases[] = {
        {"plain.gif", "-size 37x23 gradient:red-blue -colors 64", 1},
        {"interlaced.gif", "-size 29x41 radial-gradient:red-blue -colors 200 -interlace GIF", 1},
        {"transparent.gif", "-size 20x20 xc:none -fill red -draw 'circle 10,10 10,4'", 1},
        {"bilevel.gif", "-size 33x17 pattern:checkerboard -monochrome", 1},
        {"animated.gif",
         "-dispose none -size 30x20 xc:yellow -page +3+4 -size 10x8 xc:blue -dispose background "
         "-page +15+10 -size 12x6 xc:green -dispose previous -page +20+2 -size 8x8 xc:red "
         "-dispose none -page +1+1 -size 5x5 gradient:white-black",
         5},
    };
    for (const Case &c : cases) {
        const std::string path = dir.file(c.name);
        ASSERT_EQ(run_command(std::string("convert ") + c.make + " '" + path + "'"), 0) << c.name;
        expect_decodes_as(path, c.frames, magick_frames(path, c.frames > 1));
    }
}

TEST(Gif, DamagedFilesFailWithTheirMessage) {
    // 1x1 GIF89a, global table of 2, one frame: minimum code size 2, codes clear(4) 0 end(5).
    const std::vector<uint8_t> good = {'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0, 0x80, 0, 0, 9, 9, 9, 200, 200, 200,
                                       0x2C, 0, 0, 0, 0, 1, 0, 1, 0, 0, 2, 2, 0x44, 0x01, 0, 0x3B};
    int w, h, frames;
    const char *msg;
    unsigned char *px = kv_decode(good.data(), good.size(), 0, 0, &w, &h, &frames, &msg);
    ASSERT_TRUE(px) << msg;
    EXPECT_EQ(px[0], 9);
    std::free(px);
    struct Case {
        size_t at;
        uint8_t value;
        const char *message;
    };
    const Case cases[] = {
        {6, 0, GIF_ERR_TOO_LARGE},     // width 0
        {29, 0, GIF_ERR_CODE_SIZE},    // minimum code size 0
        {31, 0x47, GIF_ERR_CODE},      // code 7 before the table holds it
        {31, 0x2C, GIF_ERR_SHORT},     // clear then end, no pixel
        {19, 0x00, GIF_ERR_BLOCK},     // no image descriptor
    };
    for (const Case &c : cases) {
        std::vector<uint8_t> bad = good;
        bad[c.at] = c.value;
        EXPECT_EQ(gif_decode_memory(bad.data(), bad.size(), 0, &w, &h, &frames, &msg), nullptr);
        EXPECT_STREQ(msg, c.message) << c.at;
    }
    std::vector<uint8_t> bare = good;  // no colour table at all
    bare[10] = 0;
    bare.erase(bare.begin() + 13, bare.begin() + 19);
    EXPECT_EQ(gif_decode_memory(bare.data(), bare.size(), 0, &w, &h, &frames, &msg), nullptr);
    EXPECT_STREQ(msg, GIF_ERR_NO_PALETTE);
    for (size_t n = 0; n + 2 < good.size(); n++) {  // every cut before the frame's end
        EXPECT_EQ(gif_decode_memory(good.data(), n, 0, &w, &h, &frames, &msg), nullptr) << n;
        EXPECT_EQ(w, 0);
    }
    EXPECT_EQ(kv_decode(good.data(), good.size(), 1, 0, &w, &h, &frames, &msg), nullptr);
    EXPECT_STREQ(msg, "folian: frame index out of range");
}

TEST(Bmp, PixelsEqualPillows) {
    const std::string python = pillow_python();
    if (python.empty()) GTEST_SKIP() << "Pillow missing";
    TempDir dir;
    const int w = 13, h = 7;
    auto stride = [](int bpp) { return (size_t)((w * bpp + 31) / 32 * 4); };
    // RLE8: a run, an absolute run (odd length, padded), end of line, a delta, end of bitmap.
    const std::vector<uint8_t> rle8 = {5, 1, 0, 3, 2, 3, 4, 0, 0, 0, 13, 5, 0, 2, 2, 1, 3, 6, 0, 0, 0, 1};
    // RLE4: every row a run, an absolute run and a run, then end of line (Pillow wants
    // every row given); end of bitmap.
    std::vector<uint8_t> rle4;
    for (int y = 0; y < h; y++) rle4.insert(rle4.end(), {6, 0x12, 0, 4, 0x34, (uint8_t)(0x56 + y), 3, 0x9A, 0, 0});
    rle4.insert(rle4.end(), {0, 1});
    const std::vector<uint32_t> m565 = {0xF800, 0x07E0, 0x001F};
    const std::vector<uint32_t> bgra = {0xFF0000, 0xFF00, 0xFF, 0xFF000000u};
    const BmpSpec cases[] = {
        {40, 1, w, h, 0, {}, 2, pattern(stride(1), h)},
        {40, 4, w, -h, 0, {}, 16, pattern(stride(4), h)},
        {40, 8, w, h, 0, {}, 256, pattern(stride(8), h)},
        {40, 16, w, h, 0, {}, 0, pattern(stride(16), h)},
        {40, 16, w, -h, 3, m565, 0, pattern(stride(16), h)},
        {40, 24, w, h, 0, {}, 0, pattern(stride(24), h)},
        {40, 32, w, h, 0, {}, 0, pattern(stride(32), h)},
        {108, 32, w, -h, 3, bgra, 0, pattern(stride(32), h)},
        {124, 32, w, h, 3, bgra, 0, pattern(stride(32), h)},
        {12, 8, w, h, 0, {}, 256, pattern(stride(8), h)},
        {12, 24, w, h, 0, {}, 0, pattern(stride(24), h)},
        {40, 8, w, h, 1, {}, 256, rle8},
        {40, 4, w, h, 2, {}, 16, rle4},
    };
    int k = 0;
    for (const BmpSpec &c : cases) {
        const std::string path = dir.file("case" + std::to_string(k++) + ".bmp");
        write_file(path, make_bmp(c));
        expect_decodes_as(path, 1, pillow_rgba(python, path));
    }
}

TEST(Bmp, DamagedFilesFailWithTheirMessage) {
    const std::vector<uint8_t> good = make_bmp({40, 24, 3, 2, 0, {}, 0, pattern(12, 2)});
    struct Case {
        size_t at;
        uint32_t value;  // a little-endian 32-bit field
        const char *message;
    };
    const Case cases[] = {
        {14, 64, BMP_ERR_HEADER},      {18, 0, BMP_ERR_SIZE},
        {18, 20000, BMP_ERR_TOO_LARGE}, {28, 2, BMP_ERR_BIT_DEPTH},
        {30, 4, BMP_ERR_EMBEDDED},     {30, 9, BMP_ERR_COMPRESSION},
        {10, 1000, BMP_ERR_TRUNCATED}, {22, 3, BMP_ERR_TRUNCATED},
        {30, 3, BMP_ERR_BIT_DEPTH},
    };
    int w, h;
    const char *msg;
    for (const Case &c : cases) {
        std::vector<uint8_t> bad = good;
        for (int i = 0; i < 4; i++) bad[c.at + i] = (uint8_t)(c.value >> (8 * i));
        if (c.at == 18) bad[22] = 0x50, bad[23] = 0x46;  // and a height that makes the product large
        EXPECT_EQ(bmp_decode_memory(bad.data(), bad.size(), &w, &h, &msg), nullptr) << c.at;
        EXPECT_STREQ(msg, c.message) << c.at;
    }
    // Overlapping masks; RLE data cut before its end; a top-down RLE image.
    const std::vector<uint32_t> overlap = {0xFF00, 0x0FF0, 0x000F};
    EXPECT_EQ(bmp_decode_memory(make_bmp({40, 16, 2, 2, 3, overlap, 0, pattern(4, 2)}).data(), 70, &w, &h, &msg),
              nullptr);
    EXPECT_STREQ(msg, BMP_ERR_MASKS);
    const std::vector<uint8_t> cut = make_bmp({40, 8, 4, 4, 1, {}, 2, {4, 1, 0, 0, 4, 1}});
    EXPECT_EQ(bmp_decode_memory(cut.data(), cut.size(), &w, &h, &msg), nullptr);
    EXPECT_STREQ(msg, BMP_ERR_TRUNCATED);
    const std::vector<uint8_t> top = make_bmp({40, 8, 4, -4, 1, {}, 2, {4, 1, 0, 1}});
    EXPECT_EQ(bmp_decode_memory(top.data(), top.size(), &w, &h, &msg), nullptr);
    EXPECT_STREQ(msg, BMP_ERR_TOP_DOWN_RLE);
}

// ---- Conversions ----------------------------------------------------------------------------

namespace {

// Converts `inputs` with the given keys; the error text when it fails, else "".
std::string convert_with(const std::vector<std::pair<const char *, const char *>> &keys,
                         const std::vector<std::string> &inputs, const std::string &pdf) {
    folian_settings *s = folian_settings_new();
    for (const auto &kv : keys) EXPECT_EQ(folian_settings_set(s, kv.first, kv.second), 1) << kv.first;
    std::vector<const char *> in;
    for (const std::string &p : inputs) in.push_back(p.c_str());
    char error[512] = "";
    const int ok = folian_convert(s, in.data(), (int)in.size(), pdf.c_str(), error, sizeof error);
    folian_settings_free(s);
    return ok ? "" : error;
}

// `pdfimages -list` rows as "type color bpc enc" per image.
std::vector<std::string> image_kinds(const std::string &pdf) {
    std::string out;
    EXPECT_EQ(run_command("pdfimages -list '" + pdf + "' | tail -n +3 | awk '{print $3, $6, $8, $9}'", &out), 0);
    std::vector<std::string> rows;
    for (size_t at = 0, nl; (nl = out.find('\n', at)) != std::string::npos; at = nl + 1) rows.push_back(out.substr(at, nl - at));
    return rows;
}

}  // namespace

// Every frame and picture becomes a page that renders as the decoder's pixels over white;
// GIF pages are /Indexed with a 1-bit mask, grey pictures (grey+alpha and 16-bit grey PNG
// too) /DeviceGray, and the document passes qpdf's check.
TEST(NewFormats, DocumentRendersAsDecodedPixels) {
    if (!have_magick() || !have_program("pdftocairo") || !have_program("qpdf")) GTEST_SKIP() << "tools missing";
    TempDir dir;
    const std::vector<std::pair<std::string, std::string>> made = {
        {"anim.gif", "-dispose none -size 30x20 xc:yellow -page +3+4 -size 10x8 xc:blue -dispose background "
                     "-page +15+10 -size 12x6 xc:green -dispose none -page +0+0 -size 2x2 xc:red"},
        {"grey-alpha.png", "-size 16x9 gradient:white-black \\( +clone -flop \\) -alpha off "
                           "-compose copy-opacity -composite -type GrayscaleAlpha"},
        {"grey16.png", "-size 16x9 gradient:white-black -depth 16 -type Grayscale"},
    };
    std::vector<std::string> inputs;
    for (const auto &m : made) {
        inputs.push_back(dir.file(m.first));
        ASSERT_EQ(run_command("convert " + m.second + " '" + inputs.back() + "'"), 0) << m.first;
    }
    inputs.push_back(dir.file("alpha.bmp"));
    write_file(inputs.back(), make_bmp({124, 32, 5, 4, 3, {0xFF0000, 0xFF00, 0xFF, 0xFF000000u}, 0, pattern(20, 4)}));
    const std::string pdf = dir.file("out.pdf");
    ASSERT_EQ(convert_with({{"formats", "all"}, {"compact", "on"}}, inputs, pdf), "");
    std::string check;
    EXPECT_EQ(run_command("qpdf --check '" + pdf + "' 2>&1", &check), 0) << check;
    int page = 0;
    for (const std::string &path : inputs) {
        const std::vector<uint8_t> file = read_file(path);
        int frames = 1;
        for (int f = 0; f < frames; f++) {
            int w, h, rw, rh;
            unsigned char *px = kv_decode(file.data(), file.size(), f, 0, &w, &h, &frames, nullptr);
            ASSERT_TRUE(px) << path;
            const std::vector<uint8_t> rgb = render_page(pdf, ++page, 150, &rw, &rh);
            ASSERT_EQ(rw, w) << path;
            ASSERT_EQ(rh, h) << path;
            int worst = 0;
            for (int i = 0; i < w * h * 3; i++) {
                const int a = px[i / 3 * 4 + 3], over_white = (px[i / 3 * 4 + i % 3] * a + 255 * (255 - a) + 127) / 255;
                worst = std::max(worst, std::abs(over_white - rgb[i]));
            }
            EXPECT_LE(worst, 2) << path << " frame " << f;
            std::free(px);
        }
    }
    EXPECT_EQ(page, 7);
    const std::vector<std::string> kinds = image_kinds(pdf);
    ASSERT_EQ(kinds.size(), 10u) << ::testing::PrintToString(kinds);
    EXPECT_EQ(kinds[1], "image index 1 image");  // yellow and blue
    EXPECT_EQ(kinds[4], "smask gray 1 image");   // the rectangle cleared to the background
    EXPECT_EQ(kinds[5], "image gray 8 image");   // grey + alpha
    EXPECT_EQ(kinds[7], "image gray 8 image");   // 16-bit grey
}

// Without `formats all` the library keeps its classic inputs; first-frame-only keeps one page.
TEST(NewFormats, KeysChooseWhatConverts) {
    if (!have_magick()) GTEST_SKIP() << "ImageMagick missing";
    TempDir dir;
    const std::string gif = dir.file("a.GIF"), pdf = dir.file("out.pdf");
    ASSERT_EQ(run_command("convert -size 4x4 xc:red -size 4x4 xc:blue '" + gif + "'"), 0);
    EXPECT_NE(convert_with({}, {gif}, pdf), "");
    EXPECT_NE(convert_with({}, {dir.path}, pdf), "");  // the listing takes no .gif
    folian_settings *s = folian_settings_new();
    EXPECT_EQ(folian_settings_set(s, "formats", "some"), 0);
    EXPECT_NE(std::string(folian_settings_error(s)).find("classic"), std::string::npos);
    folian_settings_free(s);
    ASSERT_EQ(convert_with({{"formats", "all"}}, {dir.path}, pdf), "");
    EXPECT_EQ(image_kinds(pdf).size(), 2u);
    ASSERT_EQ(convert_with({{"formats", "all"}, {"first-frame-only", "on"}}, {gif}, pdf), "");
    EXPECT_EQ(image_kinds(pdf).size(), 1u);
}

// TIFF pages in the same document: fax pages pass through as CCITT data, a JPEG page as
// DCT data, an LZW scan with a predictor is decoded; each renders as the decoder's pixels
// (the JPEG page within a DCT decoder's rounding).
TEST(NewFormats, TiffPagesPassThroughWherePdfReadsThem) {
    if (!have_magick() || !have_program("pdftocairo") || !have_program("pdfimages")) GTEST_SKIP() << "tools missing";
    TempDir dir;
    const std::vector<std::pair<std::string, std::string>> made = {
        {"fax.tif", "-size 64x40 pattern:checkerboard pattern:hexagons -resize 64x40! -monochrome -compress group4"},
        {"scan.tif", "-size 48x32 gradient:red-blue -compress lzw -define tiff:predictor=2"},
        {"photo.tif", "-size 48x32 gradient:red-blue -compress jpeg -quality 90"},
    };
    std::vector<std::string> inputs;
    for (const auto &m : made) {
        inputs.push_back(dir.file(m.first));
        ASSERT_EQ(run_command("convert " + m.second + " '" + inputs.back() + "'"), 0) << m.first;
    }
    const std::string pdf = dir.file("out.pdf");
    ASSERT_EQ(convert_with({{"formats", "all"}}, inputs, pdf), "");
    std::string check;
    EXPECT_EQ(run_command("qpdf --check '" + pdf + "' 2>&1", &check), 0) << check;
    const std::vector<std::string> kinds = image_kinds(pdf);
    ASSERT_EQ(kinds.size(), 4u) << ::testing::PrintToString(kinds);
    EXPECT_EQ(kinds[0], "image gray 1 ccitt");
    EXPECT_EQ(kinds[1], "image gray 1 ccitt");
    EXPECT_EQ(kinds[3], "image rgb 8 jpeg");
    int page = 0;
    for (const std::string &path : inputs) {
        const std::vector<uint8_t> file = read_file(path);
        int frames = 1;
        for (int f = 0; f < frames; f++) {
            int w, h, rw, rh;
            unsigned char *px = kv_decode(file.data(), file.size(), f, 0, &w, &h, &frames, nullptr);
            ASSERT_TRUE(px) << path;
            const std::vector<uint8_t> rgb = render_page(pdf, ++page, 150, &rw, &rh);
            ASSERT_EQ(rw * rh, w * h) << path;
            int worst = 0;
            for (int i = 0; i < w * h * 3; i++) worst = std::max(worst, std::abs(px[i / 3 * 4 + i % 3] - rgb[i]));
            EXPECT_LE(worst, path == inputs[2] ? 8 : 0) << path << " page " << f;
            std::free(px);
        }
    }
}
