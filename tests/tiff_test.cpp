// tiff_test.cpp: the TIFF decoder gives the pixels ImageMagick (through libtiff) gives, on
// files those tools write for each layout, compression and photometric case; describes
// fax and JPEG strips a PDF can carry unchanged; and fails damaged or unsupported files
// with a named fault, never reading outside the file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "folian.h"
#include "libjpeg_util.h"
#include "test_util.h"
#include "tiff/tiff.h"

namespace {

bool have_tools() { return have_program("convert") && have_program("tiffcp") && have_program("tiffset"); }

// The sources every case starts from, written once per test into its directory: a noisy
// 8-bit colour image, the same with a gradient alpha, and a fax-like bilevel page with
// long white runs, thin black bars and scattered dots.
void make_sources(const TempDir &dir) {
    const std::string cd = "cd '" + dir.path + "' && ";
    ASSERT_EQ(run_command(cd + "convert -size 37x23 gradient:red-blue -seed 1 +noise Gaussian -depth 8 src.ppm"), 0);
    ASSERT_EQ(run_command(cd + "convert src.ppm \\( -size 37x23 gradient: \\) -alpha off -compose copy_opacity "
                               "-composite -depth 8 src_a.png"), 0);
    ASSERT_EQ(run_command(cd + "convert -size 1800x31 xc:white -seed 3 +noise Impulse -draw 'rectangle 20,10 1790,14' "
                               "-draw 'rectangle 100,0 104,30' -monochrome fax.pbm"), 0);
}

// Runs the commands in the directory; they must leave out.tif.
std::vector<uint8_t> make_tiff(const TempDir &dir, const std::string &commands) {
    std::remove(dir.file("out.tif").c_str());
    EXPECT_EQ(run_command("cd '" + dir.path + "' && " + commands + " 2>/dev/null"), 0) << commands;
    return read_file(dir.file("out.tif"));
}

// ImageMagick's reading of one page as 8-bit RGBA.
std::vector<uint8_t> oracle_rgba(const std::string &path, int page) {
    std::string out;
    run_command("convert '" + path + "[" + std::to_string(page) + "]' -depth 8 rgba:-", &out);
    return std::vector<uint8_t>(out.begin(), out.end());
}

struct Decoded {
    bool ok;
    std::string msg;
    TiffPage page;
    ~Decoded() { tiff_page_free(&page); }
};

void decode(const std::vector<uint8_t> &file, int index, unsigned flags, Decoded *d) {
    const char *msg = nullptr;
    d->ok = tiff_decode_page(file.data(), file.size(), index, flags, &d->page, &msg);
    d->msg = msg ? msg : "(null)";
}

// Largest difference of a colour sample (where alpha is not 0) or an alpha sample.
int max_difference(const uint8_t *a, const std::vector<uint8_t> &b) {
    int worst = 0;
    for (size_t i = 0; i < b.size(); i += 4) {
        for (int c = 0; c < 4; c++) {
            if (c < 3 && b[i + 3] == 0) continue;
            // Straight colour from premultiplied samples is only as exact as alpha allows.
            const int slack = c < 3 && b[i + 3] < 255 ? 255 / b[i + 3] : 0;
            const int diff = std::abs((int)a[i + c] - (int)b[i + c]) - slack;
            worst = diff > worst ? diff : worst;
        }
    }
    return worst;
}

void expect_matches_oracle(const TempDir &dir, const std::vector<uint8_t> &file, int page, int tolerance,
                           const std::string &what) {
    Decoded d;
    decode(file, page, 0, &d);
    ASSERT_TRUE(d.ok) << what << ": " << d.msg;
    const std::vector<uint8_t> want = oracle_rgba(dir.file("out.tif"), page);
    ASSERT_EQ(want.size(), (size_t)d.page.width * d.page.height * 4) << what;
    EXPECT_LE(max_difference(d.page.pixels, want), tolerance) << what;
}

struct Case {
    const char *name;
    const char *commands;
    int tolerance;
};

void run_cases(const Case *cases, size_t n) {
    if (!have_tools()) GTEST_SKIP() << "ImageMagick or libtiff-tools missing";
    TempDir dir;
    make_sources(dir);
    for (size_t i = 0; i < n; i++) {
        const std::vector<uint8_t> file = make_tiff(dir, cases[i].commands);
        expect_matches_oracle(dir, file, 0, cases[i].tolerance, cases[i].name);
    }
}

// A little-endian classic file of one directory built from (tag, type, count, value)
// entries whose values fit their slot, followed by `tail` bytes at offset 8 + IFD size.
struct Entry {
    uint16_t tag, type;
    uint32_t count, value;
};
std::vector<uint8_t> tiny_tiff(const std::vector<Entry> &entries, uint32_t next_ifd = 0) {
    std::vector<uint8_t> f = {'I', 'I', 42, 0, 8, 0, 0, 0};
    auto put = [&](uint32_t v, int bytes) {
        for (int k = 0; k < bytes; k++) f.push_back((uint8_t)(v >> (8 * k)));
    };
    put((uint32_t)entries.size(), 2);
    for (const Entry &e : entries) {
        put(e.tag, 2), put(e.type, 2), put(e.count, 4), put(e.value, 4);
    }
    put(next_ifd, 4);
    return f;
}
// A 2 x 2 grey page whose four bytes of samples sit at offset 8 + 2 + 12 * 9 + 4 = 122.
std::vector<uint8_t> tiny_grey(uint32_t width = 2, uint32_t height = 2, uint32_t next_ifd = 0) {
    std::vector<uint8_t> f = tiny_tiff({{256, 4, 1, width}, {257, 4, 1, height}, {258, 3, 1, 8}, {259, 3, 1, 1},
                                        {262, 3, 1, 1}, {273, 4, 1, 122}, {277, 3, 1, 1}, {278, 4, 1, height},
                                        {279, 4, 1, 4}},
                                       next_ifd);
    f.insert(f.end(), {0, 85, 170, 255});
    return f;
}

}  // namespace

TEST(Tiff, CompressionsMatchLibtiff) {
    static const Case cases[] = {
        {"none", "convert src.ppm -compress None out.tif", 0},
        {"packbits", "convert src.ppm -compress RLE out.tif", 0},
        {"lzw+predictor", "convert src.ppm -compress LZW -define tiff:predictor=2 out.tif", 0},
        {"deflate+predictor, strips of 5 rows",
         "convert src.ppm -compress Zip -define tiff:predictor=2 -define tiff:rows-per-strip=5 out.tif", 0},
        {"legacy deflate code 32946", "convert src.ppm a.tif && tiffcp -c zip:2 a.tif out.tif && tiffset -s 259 32946 out.tif", 0},
        {"16-bit big-endian deflate+predictor",
         "convert src.ppm -depth 16 -endian MSB -compress Zip -define tiff:predictor=2 out.tif", 1},
        {"BigTIFF lzw", "convert src.ppm -compress LZW TIFF64:out.tif", 0},
        {"tiles, separate planes", "convert src.ppm -compress LZW -define tiff:tile-geometry=16x16 -interlace Plane out.tif", 0},
        {"jpeg RGB, 1x1 sampling", "convert src.ppm -compress JPEG -quality 92 -sampling-factor 1x1 out.tif", 3},
        {"jpeg RGB, tiles", "convert src.ppm -compress JPEG -define tiff:tile-geometry=16x16 -sampling-factor 1x1 out.tif", 3},
        // A smooth picture, as libtiff interpolates subsampled chroma where we replicate it
        // (a vertical ramp of 11 levels a row leaves up to 10 between the two).
        {"jpeg YCbCr 2x2, strips", "convert -size 37x23 gradient:red-blue -depth 8 a.tif && tiffcp -c jpeg:90 -r 16 a.tif out.tif", 11},
    };
    run_cases(cases, sizeof cases / sizeof *cases);
}

TEST(Tiff, PhotometricsMatchLibtiff) {
    static const Case cases[] = {
        {"grey 2-bit", "convert src.ppm -colorspace Gray -depth 2 -compress None out.tif", 0},
        {"grey 4-bit", "convert src.ppm -colorspace Gray -depth 4 -compress LZW out.tif", 0},
        {"grey 16-bit", "convert src.ppm -colorspace Gray -depth 16 -compress Zip out.tif", 1},
        {"grey min-is-white", "convert src.ppm -colorspace Gray -define tiff:photometric=min-is-white out.tif", 0},
        {"grey jpeg", "convert src.ppm -colorspace Gray -compress JPEG out.tif", 3},
                // (ImageMagick rounds 16-bit map entries where libtiff keeps the high byte, as we do)
        {"palette 4-bit", "convert src.ppm -colors 16 -type Palette -compress RLE out.tif", 1},
        {"palette 8-bit", "convert src.ppm -colors 200 -type Palette -compress LZW out.tif", 1},
        {"bilevel palette", "convert src.ppm -colors 2 -type Palette out.tif", 1},
        {"cmyk", "convert src.ppm -colorspace CMYK -compress LZW out.tif", 1},
        {"unassociated alpha", "convert src_a.png -define tiff:alpha=unassociated -compress LZW out.tif", 1},
        {"associated alpha", "convert src_a.png -define tiff:alpha=associated -compress Zip out.tif", 1},
        {"grey+alpha", "convert src_a.png -colorspace Gray -define tiff:alpha=unassociated out.tif", 1},
    };
    run_cases(cases, sizeof cases / sizeof *cases);
}

TEST(Tiff, FaxCodingsMatchLibtiff) {
    static const Case cases[] = {
        {"group 4", "convert fax.pbm -compress Group4 out.tif", 0},
        {"group 3 1-D", "convert fax.pbm -compress Fax out.tif", 0},
        {"group 3 2-D", "convert fax.pbm -compress None a.tif && tiffcp -c g3:2d a.tif out.tif", 0},
        {"group 3 2-D, byte-aligned EOL", "convert fax.pbm -compress None a.tif && tiffcp -c g3:2d:fill a.tif out.tif", 0},
        {"group 4, strips, lsb-first", "convert fax.pbm -compress None a.tif && tiffcp -f lsb2msb -r 7 -c g4 a.tif out.tif", 0},
        {"bilevel min-is-black",
         "convert fax.pbm -define tiff:photometric=min-is-black -compress Group4 out.tif", 0},
    };
    run_cases(cases, sizeof cases / sizeof *cases);
}

TEST(Tiff, PagesFactsAndPassthrough) {
    if (!have_tools()) GTEST_SKIP() << "ImageMagick or libtiff-tools missing";
    TempDir dir;
    make_sources(dir);
    // Three images, the middle one marked reduced-resolution: two pages, in file order.
    std::vector<uint8_t> file = make_tiff(dir, "convert fax.pbm src.ppm src_a.png -compress Zip out.tif && "
                                               "tiffset -d 1 -s 254 1 out.tif");
    const char *msg = nullptr;
    EXPECT_EQ(tiff_page_count(file.data(), file.size(), &msg), 2) << msg;
    Decoded last;
    decode(file, 1, 0, &last);
    ASSERT_TRUE(last.ok) << last.msg;
    EXPECT_TRUE(last.page.has_alpha);
    EXPECT_FALSE(last.page.grey);
    Decoded none;
    decode(file, 2, 0, &none);
    EXPECT_EQ(none.msg, TIFF_ERR_NO_PAGE);

    // A G4 page of one strip: its data as it is, with the filter's parameters, and the
    // resolution, orientation and bilevel facts.
    file = make_tiff(dir, "convert fax.pbm -compress Group4 -density 200x100 -units PixelsPerInch out.tif && "
                          "tiffset -s 274 6 out.tif");
    Decoded fax;
    decode(file, 0, TIFF_DECODE_PASS_ONLY, &fax);
    ASSERT_TRUE(fax.ok) << fax.msg;
    EXPECT_EQ(fax.page.pass, TIFF_PASS_CCITT);
    EXPECT_EQ(fax.page.pixels, nullptr);
    EXPECT_EQ(fax.page.ccitt.k, -1);
    EXPECT_EQ(fax.page.ccitt.columns, 1800);
    EXPECT_EQ(fax.page.ccitt.rows, 31);
    EXPECT_FALSE(fax.page.ccitt.black_is_1);
    EXPECT_TRUE(fax.page.grey && fax.page.bilevel);
    EXPECT_EQ(fax.page.orientation, 6);
    EXPECT_TRUE(fax.page.dpi.known);
    EXPECT_DOUBLE_EQ(fax.page.dpi.x, 200);
    EXPECT_DOUBLE_EQ(fax.page.dpi.y, 100);

    // A JPEG page of one strip: the merged stream decodes under libjpeg to our pixels.
    file = make_tiff(dir, "convert src.ppm -compress JPEG -sampling-factor 1x1 out.tif");
    Decoded jpeg;
    decode(file, 0, 0, &jpeg);
    ASSERT_TRUE(jpeg.ok) << jpeg.msg;
    ASSERT_EQ(jpeg.page.pass, TIFF_PASS_JPEG);
    EXPECT_EQ(jpeg.page.jpeg_components, 3);
    LibjpegImage ref;
    ASSERT_TRUE(libjpeg_decode({jpeg.page.pass_data, jpeg.page.pass_data + jpeg.page.pass_len}, &ref));
    ASSERT_EQ(ref.components * ref.width * ref.height, 3 * 37 * 23);
    int worst = 0;
    for (size_t i = 0; i < (size_t)37 * 23 * 3; i++)
        worst = std::max(worst, std::abs((int)ref.samples[i] - (int)jpeg.page.pixels[i / 3 * 4 + i % 3]));
    EXPECT_LE(worst, 2);

    // An ICC profile carried over from a PNG file reaches the metadata reader.
    file = make_tiff(dir, "convert '" + data_path("meta/icc-srgb.png") + "' out.tif");
    ImageMeta meta;
    meta_init(&meta);
    tiff_read_meta(file.data(), file.size(), 0, FOLIAN_OPT_ICC, 3, &meta);
    EXPECT_EQ(meta.icc_components, 3);
    meta_release(&meta);

    // Several strips: no passthrough; NO_PASS and INFO_ONLY are honoured.
    file = make_tiff(dir, "convert fax.pbm a.tif && tiffcp -c g4 -r 8 a.tif out.tif");
    Decoded strips, info;
    decode(file, 0, TIFF_DECODE_PASS_ONLY, &strips);
    ASSERT_TRUE(strips.ok);
    EXPECT_EQ(strips.page.pass, TIFF_PASS_NONE);
    EXPECT_NE(strips.page.pixels, nullptr);
    decode(file, 0, TIFF_DECODE_INFO_ONLY, &info);
    ASSERT_TRUE(info.ok);
    EXPECT_EQ(info.page.pixels, nullptr);
    EXPECT_EQ(info.page.width, 1800);
}

TEST(Tiff, UnsupportedAndDamagedFilesFailByName) {
    struct Bad {
        std::vector<uint8_t> file;
        const char *message;
    };
    const std::vector<uint8_t> loop = tiny_grey(2, 2, 8);  // the directory names itself as the next one
    const char *msg = nullptr;
    EXPECT_EQ(tiff_page_count(loop.data(), loop.size(), &msg), 0);
    EXPECT_STREQ(msg, TIFF_ERR_LOOP);
    std::vector<uint8_t> cut = tiny_grey();
    cut.resize(cut.size() - 1);
    std::vector<uint8_t> old_jpeg = tiny_grey(), jpeg12 = tiny_grey(), ycbcr = tiny_grey(), past_end = tiny_grey();
    jpeg12[8 + 2 + 2 * 12 + 8] = 12;        // BitsPerSample
    jpeg12[8 + 2 + 3 * 12 + 8] = 7;         // Compression
    old_jpeg[8 + 2 + 3 * 12 + 8] = 6;       // Compression
    ycbcr[8 + 2 + 4 * 12 + 8] = 6;          // PhotometricInterpretation
    past_end[8 + 2 + 5 * 12 + 9] = 0x10;    // StripOffsets 122 + 4096
    const std::vector<uint8_t> floats = tiny_tiff(
        {{256, 4, 1, 2}, {257, 4, 1, 2}, {258, 3, 1, 32}, {339, 3, 1, 3}, {273, 4, 1, 8}, {279, 4, 1, 4}});
    const Bad cases[] = {
        {{'I', 'I', 42, 0}, TIFF_ERR_HEADER},
        {tiny_tiff({}, 0), TIFF_ERR_IFD},
        {tiny_grey(20000, 20000), TIFF_ERR_TOO_LARGE},
        {cut, TIFF_ERR_TRUNCATED},
        {old_jpeg, TIFF_ERR_OLD_JPEG},
        {jpeg12, TIFF_ERR_JPEG12},
        {floats, TIFF_ERR_FLOAT},
        {ycbcr, TIFF_ERR_YCBCR},
        {past_end, TIFF_ERR_OFFSET},
        {tiny_tiff({{256, 4, 1, 2}, {257, 4, 1, 2}}), TIFF_ERR_MISSING_TAG},
    };
    for (const Bad &b : cases) {
        Decoded d;
        decode(b.file, 0, 0, &d);
        EXPECT_FALSE(d.ok);
        EXPECT_EQ(d.msg, b.message);
        EXPECT_EQ(d.page.pixels, nullptr);
    }
    Decoded good;
    decode(tiny_grey(), 0, 0, &good);
    ASSERT_TRUE(good.ok) << good.msg;
    EXPECT_EQ(good.page.pixels[4], 85);
}

// Modified Huffman rows (no tool here writes them), hand-coded: 8 columns, 2 rows, each
// row from a byte boundary. Row 0: white 8 (10011). Row 1: white 2 (0111), black 4 (011),
// white 2 (0111).
TEST(Tiff, ModifiedHuffmanRows) {
    std::vector<uint8_t> f = tiny_tiff({{256, 4, 1, 8}, {257, 4, 1, 2}, {258, 3, 1, 1}, {259, 3, 1, 2}, {262, 3, 1, 0},
                                        {273, 4, 1, 122}, {277, 3, 1, 1}, {278, 4, 1, 2}, {279, 4, 1, 3}});
    f.insert(f.end(), {0x98, 0x76, 0xE0});
    Decoded d;
    decode(f, 0, 0, &d);
    ASSERT_TRUE(d.ok) << d.msg;
    const uint8_t want[16] = {255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 0, 0, 0, 0, 255, 255};
    for (int i = 0; i < 16; i++) EXPECT_EQ(d.page.pixels[4 * i], want[i]) << i;
    EXPECT_EQ(d.page.pass, TIFF_PASS_CCITT);
    EXPECT_EQ(d.page.ccitt.k, 0);
    EXPECT_TRUE(d.page.ccitt.encoded_byte_align);
}

// Every prefix of a few files, and many single-bit flips, decode or fail cleanly; the
// sanitizers see any read outside the buffer (each input gets a buffer of its own size).
TEST(Tiff, HostileInputNeverCrashes) {
    if (!have_tools()) GTEST_SKIP() << "ImageMagick or libtiff-tools missing";
    TempDir dir;
    make_sources(dir);
    const char *makers[] = {
        "convert src.ppm -compress LZW -define tiff:predictor=2 -define tiff:rows-per-strip=9 out.tif",
        "convert fax.pbm -crop 300x31+0+0 -compress Group4 out.tif",
        "convert fax.pbm -crop 300x31+0+0 -compress None a.tif && tiffcp -c g3:2d a.tif out.tif",
        "convert src.ppm -compress JPEG -define tiff:tile-geometry=16x16 TIFF64:out.tif",
        "convert src_a.png -compress RLE -interlace Plane out.tif",
    };
    std::mt19937 rng(20);
    for (const char *maker : makers) {
        const std::vector<uint8_t> file = make_tiff(dir, maker);
        ASSERT_FALSE(file.empty()) << maker;
        auto attempt = [](const std::vector<uint8_t> &bytes) {
            std::vector<uint8_t> exact(bytes);  // an allocation of exactly this size
            Decoded d;
            decode(exact, 0, 0, &d);
            if (!d.ok) {
                EXPECT_EQ(d.msg.rfind("tiff: ", 0), 0u) << d.msg;
            }
            const char *msg = nullptr;
            tiff_page_count(exact.data(), exact.size(), &msg);
        };
        for (size_t n = 0; n < file.size(); n += 1 + file.size() / 1500) attempt({file.begin(), file.begin() + n});
        for (int k = 0; k < 400; k++) {
            std::vector<uint8_t> flipped(file);
            flipped[rng() % flipped.size()] ^= (uint8_t)(1u << (rng() % 8));
            attempt(flipped);
        }
    }
}
