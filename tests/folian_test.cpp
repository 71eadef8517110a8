// The conversion entry points: settings, extension tests, page order of lists and
// directories, the error text of every failure (and only of the call that failed), and no
// file and no leak left behind by a failure, whichever allocation fails.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "folian.h"
#include "mem.h"
#include "pdf_test_util.h"
#include "test_util.h"

namespace {

const std::string JPEG_96x64 = "jpeg/baseline-420.jpg";  // 96 x 64, 3 components
const std::string JPEG_GREY = "jpeg/grey.jpg";           // 96 x 64, 1 component
const std::string JPEG_1x1 = "jpeg/odd-1x1.jpg";
const std::string JPEG_33x9 = "jpeg/odd-33x9.jpg";
const std::string JPEG_17x17 = "jpeg/odd-17x17.jpg";
const std::string PNG_RGBA = "png/misc/im-rgba8.png";    // has transparent pixels
const std::string PNG_PAL = "png/pngsuite/basn3p08.png"; // 32 x 32, opaque

class FrontEnd : public ::testing::Test {
protected:
    void SetUp() override { folian_init(); }
    void TearDown() override { folian_init(); }
    TempDir tmp;

    std::string copy(const std::string &fixture, const std::string &name) {
        std::string dst = tmp.file(name);
        write_file(dst, read_file(data_path(fixture)));
        return dst;
    }
    // The MediaBox lines of a PDF in page order.
    static std::vector<std::string> media_boxes(const std::string &pdf_path) {
        std::string pdf = read_text(pdf_path);
        std::vector<std::string> boxes;
        size_t p = 0;
        while ((p = pdf.find("/MediaBox [", p)) != std::string::npos) {
            size_t e = pdf.find(']', p);
            boxes.push_back(pdf.substr(p + 11, e - p - 11));
            p = e;
        }
        return boxes;
    }
};

TEST_F(FrontEnd, SettingsAcceptOnlyTheirRanges) {
    std::string in = data_path(JPEG_96x64), out = tmp.file("s.pdf");
    auto box = [&] {
        EXPECT_EQ(folian_single(in.c_str(), out.c_str()), 1) << folian_last_error();
        return media_boxes(out).at(0);
    };
    EXPECT_EQ(box(), "0 0 46.08 30.72");  // 150 dpi by default
    folian_set_dpi(72);
    EXPECT_EQ(box(), "0 0 96.00 64.00");
    for (int bad : {0, -5, 10001, 1 << 30}) {
        folian_set_dpi(bad);
        EXPECT_EQ(box(), "0 0 96.00 64.00") << bad;
    }
    folian_set_dpi(1);
    EXPECT_EQ(box(), "0 0 6912.00 4608.00");
    folian_set_dpi(10000);
    EXPECT_EQ(box(), "0 0 0.69 0.46");
    folian_set_page_size(2);
    EXPECT_EQ(box(), "0 0 612.00 792.00");
    folian_set_page_size(4);
    folian_set_page_size(-1);
    EXPECT_EQ(box(), "0 0 612.00 792.00");
    folian_set_page_size(3);
    folian_set_dpi(300);
    folian_cleanup();  // clears the text only
    EXPECT_EQ(box(), "0 0 841.89 1190.55");
    EXPECT_EQ(folian_init(), 1);
    EXPECT_EQ(box(), "0 0 46.08 30.72");
}

TEST_F(FrontEnd, OptionsKeepKnownBitsAndInitClearsThem) {
    EXPECT_EQ(folian_get_options(), 0u);
    folian_set_options(FOLIAN_OPT_COMPACT | 0x80000000u);
    EXPECT_EQ(folian_get_options(), FOLIAN_OPT_COMPACT);
    folian_cleanup();  // the text only
    EXPECT_EQ(folian_get_options(), FOLIAN_OPT_COMPACT);
    folian_init();
    EXPECT_EQ(folian_get_options(), 0u);
}

TEST_F(FrontEnd, ExtensionTest) {
    std::string out = tmp.file("e.pdf");
    mkdir(tmp.file("a").c_str(), 0755);
    std::string upper = copy(JPEG_1x1, "scan.JPG");
    std::string nested = copy(JPEG_1x1, "a/b.Jpeg");
    EXPECT_EQ(folian_single(upper.c_str(), out.c_str()), 1) << folian_last_error();
    EXPECT_EQ(folian_single(nested.c_str(), out.c_str()), 1) << folian_last_error();
    EXPECT_STREQ(folian_last_error(), "");
    for (const char *bad : {"photo.gif", "noext", "dir.png/file", "archive.png.gz", ".png/x"}) {
        EXPECT_EQ(folian_single(tmp.file(bad).c_str(), out.c_str()), 0);
        EXPECT_STREQ(folian_last_error(), "folian_single: not a .png/.jpg image") << bad;
    }
    EXPECT_EQ(folian_single(nullptr, out.c_str()), 0);
    EXPECT_STREQ(folian_last_error(), "folian_single: NULL path");
    EXPECT_EQ(folian_single(upper.c_str(), nullptr), 0);
    EXPECT_STREQ(folian_last_error(), "folian_single: NULL path");
}

TEST_F(FrontEnd, ContentIsNotSniffed) {
    std::string out = tmp.file("c.pdf");
    std::string png_as_jpg = copy(PNG_PAL, "x.jpg");
    std::string jpg_as_png = copy(JPEG_1x1, "x.png");
    EXPECT_EQ(folian_single(png_as_jpg.c_str(), out.c_str()), 0);
    EXPECT_STREQ(folian_last_error(), "folian_single: failed to read image");
    EXPECT_EQ(folian_single(jpg_as_png.c_str(), out.c_str()), 0);
    EXPECT_STREQ(folian_last_error(), "png: not a PNG file (bad signature)");
    // A PNG-named file that does not exist fails in the decoder; a missing or empty
    // JPEG fails to load.
    EXPECT_EQ(folian_single(tmp.file("missing.png").c_str(), out.c_str()), 0);
    EXPECT_STREQ(folian_last_error(), "png: cannot read file");
    write_file(tmp.file("empty.jpg"), {});
    EXPECT_EQ(folian_single(tmp.file("empty.jpg").c_str(), out.c_str()), 0);
    EXPECT_STREQ(folian_last_error(), "folian_single: failed to read image");
    // Directories named like images are taken by the listing but cannot be read.
    mkdir(tmp.file("d.jpg").c_str(), 0755);
    mkdir(tmp.file("d.png").c_str(), 0755);
    EXPECT_EQ(folian_single(tmp.file("d.jpg").c_str(), out.c_str()), 0);
    EXPECT_STREQ(folian_last_error(), "folian_single: failed to read image");
    EXPECT_EQ(folian_single(tmp.file("d.png").c_str(), out.c_str()), 0);
    EXPECT_STREQ(folian_last_error(), "png: cannot read file");
    EXPECT_FALSE(file_exists(out));
}

TEST_F(FrontEnd, JpegOverOneGibibyteIsRefusedUnread) {
    // A sparse file: a valid header, then zeros up to 1 GiB + 1 bytes.
    std::string big = copy(JPEG_1x1, "big.jpg");
    ASSERT_EQ(truncate(big.c_str(), 1073741825LL), 0);
    std::string out = tmp.file("big.pdf");
    EXPECT_EQ(folian_single(big.c_str(), out.c_str()), 0);
    EXPECT_STREQ(folian_last_error(), "folian_single: failed to read image");
    EXPECT_FALSE(file_exists(out));
}

// The probe takes any frame size; the writer's limit is said as the decoder says it.
TEST_F(FrontEnd, JpegFrameOverThePixelLimitSaysSo) {
    std::vector<uint8_t> f = read_file(data_path(JPEG_17x17));
    size_t sof = 0;
    while (!(f[sof] == 0xFF && f[sof + 1] == 0xC0)) sof++;
    for (size_t at : {sof + 5, sof + 7}) f[at] = 0xEA, f[at + 1] = 0x60;  // 60000 x 60000
    const std::string big = tmp.file("big.jpg"), out = tmp.file("o.pdf");
    write_file(big, f);
    EXPECT_EQ(folian_single(big.c_str(), out.c_str()), 0);
    EXPECT_STREQ(folian_last_error(), "jpeg: image too large");
    const char *msg = nullptr;
    EXPECT_EQ(kv_jpeg_decode_file_ex(big.c_str(), KV_JPEG_ALL, nullptr, nullptr, &msg), nullptr);
    EXPECT_STREQ(msg, "jpeg: image too large");
    EXPECT_FALSE(file_exists(out));
}

TEST_F(FrontEnd, EachCallReportsItsOwnFailure) {
    std::string out = tmp.file("o.pdf");
    EXPECT_EQ(folian_single("a.gif", out.c_str()), 0);
    EXPECT_STREQ(folian_last_error(), "folian_single: not a .png/.jpg image");
    // A later failure that only fills an empty text still reports itself.
    EXPECT_EQ(folian_single(tmp.file("none.jpg").c_str(), out.c_str()), 0);
    EXPECT_STREQ(folian_last_error(), "folian_single: failed to read image");
    std::string p0 = tmp.file("none.jpg");
    const char *list[] = {p0.c_str()};
    EXPECT_EQ(folian_multiple(list, 1, out.c_str()), 0);
    EXPECT_EQ(std::string(folian_last_error()), "folian_multiple: failed on " + p0);
    // The text stays until a success, folian_init or folian_cleanup.
    EXPECT_EQ(std::string(folian_last_error()), "folian_multiple: failed on " + p0);
    folian_cleanup();
    EXPECT_STREQ(folian_last_error(), "");
    EXPECT_EQ(folian_single("a.gif", out.c_str()), 0);
    std::string in = data_path(JPEG_1x1);
    EXPECT_EQ(folian_single(in.c_str(), out.c_str()), 1);
    EXPECT_STREQ(folian_last_error(), "");
    // The writer's own message comes through.
    EXPECT_EQ(folian_single(in.c_str(), tmp.file("no/dir.pdf").c_str()), 0);
    EXPECT_STREQ(folian_last_error(), "pdf_write: cannot open output file");
}

TEST_F(FrontEnd, MultipleKeepsListOrderAndMixesFormats) {
    std::string out = tmp.file("m.pdf");
    std::vector<std::string> in = {data_path(JPEG_33x9), data_path(PNG_RGBA), data_path(JPEG_GREY),
                                   data_path(PNG_PAL)};
    std::vector<const char *> list;
    for (auto &s : in) list.push_back(s.c_str());
    folian_set_dpi(72);
    ASSERT_EQ(folian_multiple(list.data(), 4, out.c_str()), 1) << folian_last_error();
    int pw, ph;
    const char *msg;
    unsigned char *px = kv_png_decode(in[1].c_str(), &pw, &ph, &msg);
    ASSERT_NE(px, nullptr) << msg;
    free(px);
    EXPECT_EQ(media_boxes(out),
              (std::vector<std::string>{"0 0 33.00 9.00",
                                        "0 0 " + std::to_string(pw) + ".00 " + std::to_string(ph) + ".00",
                                        "0 0 96.00 64.00", "0 0 32.00 32.00"}));
    std::string pdf = read_text(out);
    EXPECT_NE(pdf.find("/SMask 8 0 R"), std::string::npos);  // page 2: objects 6, 7, 8, 9
    expect_valid_pdf(out, {{33, 9}, {pw, ph}, {96, 64}, {32, 32}}, 72);
}

TEST_F(FrontEnd, MultipleStopsAtTheFirstBadPath) {
    std::string out = tmp.file("keep.pdf");
    write_file(out, {'k', 'e', 'e', 'p'});
    std::string good = data_path(JPEG_1x1);
    const char *with_null[] = {good.c_str(), nullptr};
    EXPECT_EQ(folian_multiple(with_null, 2, out.c_str()), 0);
    EXPECT_STREQ(folian_last_error(), "folian_multiple: bad image path");
    const char *with_gif[] = {good.c_str(), "x.gif", "never-examined.png"};
    EXPECT_EQ(folian_multiple(with_gif, 3, out.c_str()), 0);
    EXPECT_STREQ(folian_last_error(), "folian_multiple: bad image path");
    EXPECT_EQ(folian_multiple(with_gif, 0, out.c_str()), 0);
    EXPECT_STREQ(folian_last_error(), "folian_multiple: bad arguments");
    EXPECT_EQ(folian_multiple(with_gif, -1, out.c_str()), 0);
    EXPECT_STREQ(folian_last_error(), "folian_multiple: bad arguments");
    EXPECT_EQ(folian_multiple(nullptr, 1, out.c_str()), 0);
    EXPECT_STREQ(folian_last_error(), "folian_multiple: bad arguments");
    EXPECT_EQ(folian_multiple(with_gif, 1, nullptr), 0);
    EXPECT_STREQ(folian_last_error(), "folian_multiple: bad arguments");
    // A PNG failure keeps the decoder's message.
    std::string bad_png = copy(JPEG_1x1, "bad.png");
    const char *with_bad_png[] = {good.c_str(), bad_png.c_str()};
    EXPECT_EQ(folian_multiple(with_bad_png, 2, out.c_str()), 0);
    EXPECT_STREQ(folian_last_error(), "png: not a PNG file (bad signature)");
    EXPECT_EQ(read_file(out), (std::vector<uint8_t>{'k', 'e', 'e', 'p'}));
}

TEST_F(FrontEnd, DirectoryOrderAndFilter) {
    std::string dir = tmp.file("in");
    mkdir(dir.c_str(), 0755);
    copy(JPEG_33x9, "in/b.jpg");
    copy(PNG_PAL, "in/A.png");
    copy(JPEG_1x1, "in/.hidden.png");
    write_file(tmp.file("in/notes.txt"), {'x'});
    std::string out = tmp.file("d.pdf");
    folian_set_dpi(72);
    EXPECT_EQ(folian_directory(dir.c_str(), out.c_str()), 2) << folian_last_error();
    EXPECT_EQ(media_boxes(out), (std::vector<std::string>{"0 0 32.00 32.00", "0 0 33.00 9.00"}));
    EXPECT_STREQ(folian_last_error(), "");
}

TEST_F(FrontEnd, DirectoryNameOrderIsCaseFoldedBytewise) {
    std::string dir = tmp.file("order");
    mkdir(dir.c_str(), 0755);
    // Distinct sizes identify the pages: '_' sorts before letters, digits before letters,
    // and img10 before img2.
    copy(JPEG_1x1, "order/Z.jpg");
    copy(JPEG_33x9, "order/_x.jpg");
    copy(JPEG_17x17, "order/a.jpg");
    copy(JPEG_GREY, "order/img10.jpg");
    copy(JPEG_96x64, "order/img2.JPEG");
    copy(PNG_PAL, "order/9.png");
    std::string out = tmp.file("o.pdf");
    folian_set_dpi(72);
    ASSERT_EQ(folian_directory(dir.c_str(), out.c_str()), 6) << folian_last_error();
    EXPECT_EQ(media_boxes(out),
              (std::vector<std::string>{"0 0 32.00 32.00", "0 0 33.00 9.00", "0 0 17.00 17.00",
                                        "0 0 96.00 64.00", "0 0 96.00 64.00", "0 0 1.00 1.00"}));
    std::string pdf = read_text(out);
    // img10 (grey) comes before img2 (colour), both 96 x 64.
    EXPECT_LT(pdf.find("/Width 17 "), pdf.find("/DeviceGray"));
    EXPECT_LT(pdf.find("/DeviceGray"), pdf.rfind("/DeviceRGB /BitsPerComponent 8 /Filter /DCTDecode"));
}

TEST_F(FrontEnd, DirectoryFailures) {
    std::string out = tmp.file("x.pdf");
    EXPECT_EQ(folian_directory(nullptr, out.c_str()), 0);
    EXPECT_STREQ(folian_last_error(), "folian_directory: bad arguments");
    EXPECT_EQ(folian_directory(tmp.path.c_str(), nullptr), 0);
    EXPECT_STREQ(folian_last_error(), "folian_directory: bad arguments");
    EXPECT_EQ(folian_directory(tmp.file("missing").c_str(), out.c_str()), 0);
    EXPECT_STREQ(folian_last_error(), "folian_directory: cannot open directory");
    std::string empty = tmp.file("empty");
    mkdir(empty.c_str(), 0755);
    EXPECT_EQ(folian_directory(empty.c_str(), out.c_str()), 0);
    EXPECT_STREQ(folian_last_error(), "folian_directory: no images in directory");
    write_file(tmp.file("empty/readme.txt"), {'x'});
    write_file(tmp.file("empty/.x.png"), {'x'});
    EXPECT_EQ(folian_directory(empty.c_str(), out.c_str()), 0);
    EXPECT_STREQ(folian_last_error(), "folian_directory: no images in directory");
    // The first sorted image fails to load: its full path is named.
    write_file(tmp.file("empty/a.jpg"), {'n', 'o', 't'});
    copy(JPEG_1x1, "empty/b.jpg");
    EXPECT_EQ(folian_directory(empty.c_str(), out.c_str()), 0);
    EXPECT_EQ(std::string(folian_last_error()), "folian_multiple: failed on " + empty + "/a.jpg");
    // A trailing separator doubles it in the joined path.
    EXPECT_EQ(folian_directory((empty + "/").c_str(), out.c_str()), 0);
    EXPECT_EQ(std::string(folian_last_error()), "folian_multiple: failed on " + empty + "//a.jpg");
    EXPECT_FALSE(file_exists(out));
}

TEST_F(FrontEnd, JpegPagesRenderAsTheirDecodedPicture) {
    if (!have_program("djpeg")) GTEST_SKIP() << "djpeg missing";
    for (const std::string &f : {JPEG_96x64, JPEG_GREY, std::string("jpeg/ijg-testorig.jpg")}) {
        std::string in = data_path(f), out = tmp.file("r.pdf"), ref = tmp.file("ref.ppm");
        folian_set_dpi(72);
        ASSERT_EQ(folian_single(in.c_str(), out.c_str()), 1) << folian_last_error();
        ASSERT_EQ(run_command("djpeg -pnm -outfile '" + ref + "' '" + in + "'"), 0);
        int rw, rh, pw, ph;
        std::vector<uint8_t> expect = read_pnm_rgb(ref, &rw, &rh);
        std::vector<uint8_t> got = render_page(out, 1, 72, &pw, &ph);
        ASSERT_EQ(pw, rw) << f;
        ASSERT_EQ(ph, rh) << f;
        EXPECT_GT(psnr(expect, got), 35.0) << f;
    }
}

TEST_F(FrontEnd, PngPagesRenderAsTheirPixelsOnWhite) {
    std::string in = data_path(PNG_RGBA), out = tmp.file("p.pdf");
    folian_set_dpi(72);
    ASSERT_EQ(folian_single(in.c_str(), out.c_str()), 1) << folian_last_error();
    int w, h;
    const char *msg;
    unsigned char *px = kv_png_decode(in.c_str(), &w, &h, &msg);
    ASSERT_NE(px, nullptr);
    std::vector<uint8_t> expect;
    for (int i = 0; i < w * h; i++) {
        int a = px[i * 4 + 3];
        for (int c = 0; c < 3; c++) expect.push_back((uint8_t)((px[i * 4 + c] * a + 255 * (255 - a) + 127) / 255));
    }
    free(px);
    int pw, ph;
    std::vector<uint8_t> got = render_page(out, 1, 72, &pw, &ph);
    ASSERT_EQ(pw, w);
    ASSERT_EQ(ph, h);
    int worst = 0;
    for (size_t i = 0; i < got.size(); i++) worst = std::max(worst, std::abs(got[i] - expect[i]));
    EXPECT_LE(worst, 1);
}

// Walks an allocation failure through every allocation of a conversion in turn: each step
// fails cleanly (a message, no output file, no leak under the sanitizer build), and the
// walk ends when the conversion no longer reaches the failing allocation.
void walk_allocation_failures(const std::function<int()> &convert, const std::string &out,
                              const std::string &dir) {
    std::vector<std::string> before = list_dir(dir);
    for (long n = 1;; n++) {
        mem_fail_at(n);
        int ok = convert();
        long used = mem_alloc_count();
        mem_fail_at(0);
        if (ok) {
            ASSERT_LT(used, n) << "an injected failure at allocation " << n << " was reported as success";
            EXPECT_TRUE(file_exists(out));
            break;
        }
        EXPECT_STRNE(folian_last_error(), "") << "allocation " << n;
        EXPECT_EQ(list_dir(dir), before) << "allocation " << n;
        ASSERT_LT(n, 10000);
    }
}

TEST_F(FrontEnd, AllocationFailuresLeaveNoFileAndNoLeak) {
    std::string dir = tmp.file("in");
    mkdir(dir.c_str(), 0755);
    copy(JPEG_96x64, "in/a.jpg");
    copy(PNG_RGBA, "in/b.png");
    copy(PNG_PAL, "in/c.png");
    std::string outdir = tmp.file("out");
    mkdir(outdir.c_str(), 0755);
    std::string out = outdir + "/doc.pdf";
    walk_allocation_failures([&] { return folian_directory(dir.c_str(), out.c_str()); }, out, outdir);
    unlink(out.c_str());
    std::string a = dir + "/a.jpg", b = dir + "/b.png";
    const char *list[] = {b.c_str(), a.c_str()};
    walk_allocation_failures([&] { return folian_multiple(list, 2, out.c_str()); }, out, outdir);
    unlink(out.c_str());
    walk_allocation_failures([&] { return folian_single(a.c_str(), out.c_str()); }, out, outdir);
}

}  // namespace
