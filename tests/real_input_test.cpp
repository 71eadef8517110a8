// Conversion options for files as cameras, scanners and editors write them: each option on
// its own and with the others. Orientation: the rendered page shows the picture upright for
// all eight EXIF values. Resolution: page sizes follow the file's own dots per inch, each
// direction apart. Profiles: a usable one becomes an /ICCBased colour space that qpdf accepts,
// any other is dropped. Wider probe: 8-bit 0xC1 frames, files recognised by their content.
// Without an option, and for everything an option cannot use, the bytes stay as they were.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "folian.h"
#include "pdf_test_util.h"
#include "pdf_write.h"
#include "test_util.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr unsigned META_OPTS = FOLIAN_OPT_ORIENTATION | FOLIAN_OPT_FILE_DPI | FOLIAN_OPT_ICC;
constexpr unsigned ALL_OPTS = FOLIAN_OPT_COMPACT | FOLIAN_OPT_INTERLACED | FOLIAN_OPT_WIDE_PROBE | META_OPTS;

std::string meta(const std::string &name) { return data_path("meta/" + name); }

// One folian_single run with the given settings; "" on failure (the error text in *err).
std::string convert(const TempDir &dir, const std::string &image, unsigned options, int mode = 0, int dpi = 72,
                    std::string *err = nullptr) {
    folian_init();
    folian_set_options(options);
    folian_set_page_size(mode);
    folian_set_dpi(dpi);
    static int serial = 0;
    const std::string pdf = dir.file("out" + std::to_string(serial++) + ".pdf");
    const int ok = folian_single(image.c_str(), pdf.c_str());
    if (err) *err = folian_last_error();
    folian_init();
    return ok ? read_text(pdf) : std::string();
}

std::string save(const TempDir &dir, const std::string &name, const std::string &text) {
    const std::string path = dir.file(name);
    write_file(path, Bytes(text.begin(), text.end()));
    return path;
}

// The text after `key` up to the next `stop`.
std::string field(const std::string &pdf, const std::string &key, char stop) {
    size_t at = pdf.find(key);
    if (at == std::string::npos) return "";
    at += key.size();
    return pdf.substr(at, pdf.find(stop, at) - at);
}
std::string media_box(const std::string &pdf) { return field(pdf, "/MediaBox [0 0 ", ']'); }
std::string matrix(const std::string &pdf) { return field(pdf, "stream\nq\n", '\n'); }

std::string two_decimals(double v) {
    char text[64];
    std::snprintf(text, sizeof text, "%.2f", v);
    return text;
}

// The picture of `rgb` (w x h) as EXIF orientation `o` says it is to be shown.
Bytes upright(const Bytes &rgb, int w, int h, int o, int *out_w, int *out_h) {
    const bool turned = o >= 5;
    *out_w = turned ? h : w;
    *out_h = turned ? w : h;
    Bytes out(rgb.size());
    for (int y = 0; y < *out_h; y++) {
        for (int x = 0; x < *out_w; x++) {
            int sx = x, sy = y;
            switch (o) {
            case 2: sx = w - 1 - x; break;
            case 3: sx = w - 1 - x, sy = h - 1 - y; break;
            case 4: sy = h - 1 - y; break;
            case 5: sx = y, sy = x; break;
            case 6: sx = y, sy = h - 1 - x; break;
            case 7: sx = w - 1 - y, sy = h - 1 - x; break;
            case 8: sx = w - 1 - y, sy = x; break;
            default: break;
            }
            std::memcpy(&out[((size_t)y * *out_w + x) * 3], &rgb[((size_t)sy * w + sx) * 3], 3);
        }
    }
    return out;
}

// A copy of `file` with the bytes at the first occurrence of `find` replaced by `with`.
Bytes patched(const Bytes &file, const Bytes &find, const Bytes &with) {
    Bytes out = file;
    auto at = std::search(out.begin(), out.end(), find.begin(), find.end());
    EXPECT_NE(at, out.end());
    if (at != out.end()) std::copy(with.begin(), with.end(), at);
    return out;
}

// The Orientation entry of the fixtures' big-endian IFD0: tag 0112, SHORT, count 1, value.
const Bytes ORIENTATION_6 = {0x01, 0x12, 0x00, 0x03, 0x00, 0x00, 0x00, 0x01, 0x00, 0x06};
Bytes with_orientation(const Bytes &file, uint8_t value) {
    Bytes entry = ORIENTATION_6;
    entry.back() = value;
    return patched(file, ORIENTATION_6, entry);
}

// ---- Orientation ----------------------------------------------------------------------

TEST(RealInputOrientation, EveryValueRendersUprightOnImageSizedPages) {
    if (!have_program("pdftocairo")) GTEST_SKIP() << "pdftocairo missing";
    TempDir dir;
    int w0, h0;
    const std::string plain = save(dir, "plain.pdf", convert(dir, meta("orient-1.jpg"), 0));
    const Bytes reference = render_page(plain, 1, 288, &w0, &h0);
    ASSERT_EQ(w0, 96);
    ASSERT_EQ(h0, 64);
    for (int o = 1; o <= 8; o++) {
        SCOPED_TRACE("orientation " + std::to_string(o));
        const std::string pdf = convert(dir, meta("orient-" + std::to_string(o) + ".jpg"), FOLIAN_OPT_ORIENTATION);
        ASSERT_FALSE(pdf.empty());
        EXPECT_EQ(media_box(pdf), o >= 5 ? "16.00 24.00" : "24.00 16.00");
        int w, h, uw, uh;
        const Bytes got = render_page(save(dir, "o.pdf", pdf), 1, 288, &w, &h);
        const Bytes want = upright(reference, w0, h0, o, &uw, &uh);
        ASSERT_EQ(w, uw);
        ASSERT_EQ(h, uh);
        // The JPEG data is the same in every file, so only the placement differs.
        EXPECT_GE(psnr(got, want), 40.0);
        // The image itself is embedded unchanged.
        const Bytes file = read_file(meta("orient-" + std::to_string(o) + ".jpg"));
        EXPECT_NE(pdf.find(std::string(file.begin(), file.end())), std::string::npos);
    }
}

TEST(RealInputOrientation, PaperPagesFitTheTurnedPicture) {
    if (!have_program("pdftocairo")) GTEST_SKIP() << "pdftocairo missing";
    TempDir dir;
    // The reference: the decoded picture turned upright here, placed as a plain pixel page.
    int w0, h0;
    const char *msg;
    unsigned char *px = kv_jpeg_decode(meta("orient-1.jpg").c_str(), &w0, &h0, &msg);
    ASSERT_NE(px, nullptr);
    Bytes rgb;
    for (int i = 0; i < w0 * h0; i++) rgb.insert(rgb.end(), px + i * 4, px + i * 4 + 3);
    std::free(px);
    for (int o : {3, 6, 7}) {
        int uw, uh;
        const Bytes up = upright(rgb, w0, h0, o, &uw, &uh);
        Bytes rgba;
        for (int i = 0; i < uw * uh; i++) {
            rgba.insert(rgba.end(), up.begin() + i * 3, up.begin() + i * 3 + 3);
            rgba.push_back(255);
        }
        PdfImage ref = pixel_image(uw, uh, rgba);
        PdfImage *list[] = {&ref};
        for (int mode = 1; mode <= 3; mode++) {
            SCOPED_TRACE("mode " + std::to_string(mode) + ", orientation " + std::to_string(o));
            ASSERT_EQ(pdf_write(dir.file("ref.pdf").c_str(), list, 1, mode, 72, &msg), 1);
            const std::string pdf =
                convert(dir, meta("orient-" + std::to_string(o) + ".jpg"), FOLIAN_OPT_ORIENTATION, mode);
            // The paper stays as it is; the turned picture is fitted to it.
            const std::string ref_pdf = read_text(dir.file("ref.pdf"));
            EXPECT_EQ(media_box(pdf), media_box(ref_pdf));
            int w, h, rw, rh;
            const Bytes got = render_page(save(dir, "o.pdf", pdf), 1, 20, &w, &h);
            const Bytes want = render_page(dir.file("ref.pdf"), 1, 20, &rw, &rh);
            ASSERT_EQ(w, rw);
            ASSERT_EQ(h, rh);
            EXPECT_GE(psnr(got, want), 30.0);
        }
    }
}

TEST(RealInputOrientation, PngExifChunkTurnsThePage) {
    if (!have_program("pdftocairo")) GTEST_SKIP() << "pdftocairo missing";
    TempDir dir;
    int w0, h0, w, h, uw, uh;
    const Bytes reference = render_page(save(dir, "b.pdf", convert(dir, meta("base.png"), 0)), 1, 288, &w0, &h0);
    const std::string pdf = convert(dir, meta("orient-6.png"), FOLIAN_OPT_ORIENTATION);
    EXPECT_EQ(media_box(pdf), "16.00 24.00");
    EXPECT_EQ(matrix(pdf), "0 -24.00 16.00 0 0.00 24.00 cm");
    const Bytes got = render_page(save(dir, "o.pdf", pdf), 1, 288, &w, &h);
    const Bytes want = upright(reference, w0, h0, 6, &uw, &uh);
    ASSERT_EQ(w, uw);
    ASSERT_EQ(h, uh);
    EXPECT_GE(psnr(got, want), 40.0);
}

TEST(RealInputOrientation, MissingInvalidOrBrokenValuesLeaveThePageAsItIs) {
    TempDir dir;
    const Bytes six = read_file(meta("orient-6.jpg"));
    const std::string plain = convert(dir, meta("orient-6.jpg"), 0);
    ASSERT_FALSE(plain.empty());
    // 0 and 9 are written by some devices; a broken TIFF header makes the block unreadable.
    const std::vector<std::pair<std::string, Bytes>> cases = {
        {"zero.jpg", with_orientation(six, 0)},
        {"nine.jpg", with_orientation(six, 9)},
        {"broken.jpg", patched(six, {'M', 'M', 0x00, 0x2A}, {'M', 'M', 0x00, 0x2B})},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.first);
        write_file(dir.file(c.first), c.second);
        const std::string pdf = convert(dir, dir.file(c.first), FOLIAN_OPT_ORIENTATION);
        ASSERT_FALSE(pdf.empty());
        EXPECT_EQ(media_box(pdf), media_box(plain));
        EXPECT_EQ(matrix(pdf), matrix(plain));
    }
    // No EXIF at all: byte for byte the plain conversion.
    EXPECT_EQ(convert(dir, meta("base.jpg"), FOLIAN_OPT_ORIENTATION), convert(dir, meta("base.jpg"), 0));
    // Without the option the tag is not looked at.
    EXPECT_EQ(media_box(plain), "24.00 16.00");
    EXPECT_EQ(matrix(plain), "24.00 0 0 16.00 0.00 0.00 cm");
}

// ---- Resolution ------------------------------------------------------------------------

TEST(RealInputResolution, ImageSizedPagesUseTheFilesOwnDotsPerInch) {
    TempDir dir;
    // 24 x 16 pixels at (x, y) dots per inch: width x 72 / dpi in each direction.
    struct Case {
        const char *file;
        double dpi_x, dpi_y;
    };
    const Case cases[] = {
        {"jfif-300dpi.jpg", 300, 300},         {"jfif-dpcm.jpg", 118 * 2.54, 59 * 2.54},
        {"exif-dpi.jpg", 200, 100},            {"exif-cm.jpg", 40 * 2.54, 40 * 2.54},
        {"phys-300x150.png", 11811 * 0.0254, 5906 * 0.0254},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.file);
        const std::string pdf = convert(dir, meta(c.file), FOLIAN_OPT_FILE_DPI, 0, 150);
        const std::string w = two_decimals(24 * 72.0 / c.dpi_x), h = two_decimals(16 * 72.0 / c.dpi_y);
        EXPECT_EQ(media_box(pdf), w + " " + h);
        EXPECT_EQ(matrix(pdf), w + " 0 0 " + h + " 0.00 0.00 cm");
    }
    EXPECT_EQ(media_box(convert(dir, meta("phys-300x150.png"), FOLIAN_OPT_FILE_DPI)), "5.76 7.68");
}

TEST(RealInputResolution, UnusableValuesFallBackToTheSetting) {
    TempDir dir;
    // Aspect ratio only, out of range, unknown unit, or nothing at all.
    for (const char *f : {"jfif-ratio-only.jpg", "jfif-too-high.jpg", "phys-too-high.png", "phys-unit0.png", "base.jpg",
                          "base.png"}) {
        SCOPED_TRACE(f);
        const std::string pdf = convert(dir, meta(f), FOLIAN_OPT_FILE_DPI, 0, 150);
        EXPECT_EQ(media_box(pdf), "11.52 7.68");
        EXPECT_EQ(pdf, convert(dir, meta(f), 0, 0, 150));
    }
    // Paper pages are fitted whatever the resolution: the option changes nothing there.
    for (int mode = 1; mode <= 3; mode++)
        EXPECT_EQ(convert(dir, meta("exif-dpi.jpg"), FOLIAN_OPT_FILE_DPI, mode), convert(dir, meta("exif-dpi.jpg"), 0, mode));
}

TEST(RealInputResolution, TurnedPicturesSwapTheSidesWithTheirResolutions) {
    TempDir dir;
    // Stored 24 px across at 200 dpi (8.64 pt) and 16 px down at 100 dpi (11.52 pt); turned
    // a quarter, the page is 11.52 wide and 8.64 tall.
    const std::string both = convert(dir, meta("orient-6-dpi.jpg"), FOLIAN_OPT_ORIENTATION | FOLIAN_OPT_FILE_DPI);
    EXPECT_EQ(media_box(both), "11.52 8.64");
    EXPECT_EQ(matrix(both), "0 -8.64 11.52 0 0.00 8.64 cm");
    EXPECT_EQ(media_box(convert(dir, meta("orient-6-dpi.jpg"), FOLIAN_OPT_FILE_DPI)), "8.64 11.52");
    EXPECT_EQ(media_box(convert(dir, meta("orient-6-dpi.jpg"), FOLIAN_OPT_ORIENTATION)), "16.00 24.00");
}

// ---- Colour profiles -------------------------------------------------------------------

// The body of the one profile stream of a document, "" without one.
std::string profile_stream(const std::string &pdf, int n) {
    const std::string head = "<< /N " + std::to_string(n) + " /Alternate ";
    size_t at = pdf.find(head);
    if (at == std::string::npos) return "";
    const size_t len = std::stoul(field(pdf.substr(at), "/Length ", ' '));
    at = pdf.find(">>\nstream\n", at) + 10;
    return pdf.substr(at, len);
}

// The profile of a JPEG file whose profile fits in one APP2 chunk.
std::string jpeg_profile(const Bytes &f) {
    const std::string s(f.begin(), f.end());
    const size_t tag = s.find(std::string("ICC_PROFILE\0", 12));
    const size_t seg_len = (size_t)f[tag - 2] << 8 | f[tag - 1];
    return s.substr(tag + 14, seg_len - 2 - 14);
}

// The profile of a PNG file's iCCP chunk, inflated with zlib.
std::string png_profile(const Bytes &f) {
    const std::string s(f.begin(), f.end());
    const size_t type = s.find("iCCP");
    const size_t len = (size_t)f[type - 4] << 24 | (size_t)f[type - 3] << 16 | (size_t)f[type - 2] << 8 | f[type - 1];
    const size_t name_end = s.find('\0', type + 4);
    const size_t z = name_end + 2;
    Bytes out(1 << 20);
    uLongf out_len = (uLongf)out.size();
    EXPECT_EQ(uncompress(out.data(), &out_len, f.data() + z, (uLong)(type + 4 + len - z)), Z_OK);
    return std::string(out.begin(), out.begin() + out_len);
}

void expect_qpdf_clean(const std::string &pdf_text, const TempDir &dir) {
    if (!have_program("qpdf")) return;
    std::string out;
    EXPECT_EQ(run_command("qpdf --check '" + save(dir, "q.pdf", pdf_text) + "' 2>&1", &out), 0) << out;
    EXPECT_EQ(out.find("WARNING"), std::string::npos) << out;
}

TEST(RealInputProfiles, UsableProfilesBecomeIccBasedColourSpaces) {
    TempDir dir;
    struct Case {
        const char *file;
        int n;
        const char *alternate;
    };
    for (const Case &c : {Case{"icc-srgb.jpg", 3, "/DeviceRGB"}, Case{"icc-gray.jpg", 1, "/DeviceGray"},
                          Case{"icc-srgb.png", 3, "/DeviceRGB"}}) {
        SCOPED_TRACE(c.file);
        const Bytes file = read_file(meta(c.file));
        const bool png = std::string(c.file).find(".png") != std::string::npos;
        const std::string pdf = convert(dir, meta(c.file), FOLIAN_OPT_ICC);
        ASSERT_FALSE(pdf.empty());
        // The profile follows the page's content stream: page 3, image 4, content 5, profile 6.
        EXPECT_NE(pdf.find("/ColorSpace [/ICCBased 6 0 R] "), std::string::npos);
        EXPECT_NE(pdf.find("6 0 obj\n<< /N " + std::to_string(c.n) + " /Alternate " + c.alternate + " /Length "),
                  std::string::npos);
        EXPECT_EQ(profile_stream(pdf, c.n), png ? png_profile(file) : jpeg_profile(file));
        EXPECT_NE(pdf.find("/Size 7 "), std::string::npos);
        expect_qpdf_clean(pdf, dir);
        const std::string path = save(dir, "p.pdf", pdf);
        object_offsets(read_text(path));  // checks every cross-reference entry
    }
}

TEST(RealInputProfiles, ProfilesThatDoNotFitAreDroppedAndThePageWrittenAsToday) {
    TempDir dir;
    const Bytes srgb = read_file(meta("icc-srgb.jpg"));
    // A size field that disagrees with the profile's length makes it broken.
    const std::string profile = jpeg_profile(srgb);
    Bytes broken = srgb;
    const size_t at = std::string(srgb.begin(), srgb.end()).find(profile);
    broken[at + 3] ^= 0x01;
    write_file(dir.file("broken.jpg"), broken);
    // A profile split into chunks of which one is missing: the count says 2.
    Bytes incomplete = srgb;
    incomplete[at - 1] = 2;
    write_file(dir.file("incomplete.jpg"), incomplete);
    // Mismatched: sRGB on a grey JPEG; and a grey profile on a PNG, whose pixels go out as RGB.
    for (const std::string &f : {dir.file("broken.jpg"), dir.file("incomplete.jpg"), meta("icc-mismatch.jpg"),
                                 meta("icc-gray.png")}) {
        SCOPED_TRACE(f);
        const std::string pdf = convert(dir, f, FOLIAN_OPT_ICC);
        ASSERT_FALSE(pdf.empty());
        EXPECT_EQ(pdf, convert(dir, f, 0));
    }
}

TEST(RealInputProfiles, SrgbPagesRenderAsTheirDevicePages) {
    if (!have_program("pdftocairo")) GTEST_SKIP() << "pdftocairo missing";
    TempDir dir;
    for (const char *f : {"icc-srgb.jpg", "icc-srgb.png"}) {
        int w0, h0, w, h;
        const Bytes plain = render_page(save(dir, "a.pdf", convert(dir, meta(f), 0)), 1, 288, &w0, &h0);
        const Bytes icc = render_page(save(dir, "b.pdf", convert(dir, meta(f), FOLIAN_OPT_ICC)), 1, 288, &w, &h);
        ASSERT_EQ(w, w0);
        ASSERT_EQ(h, h0);
        EXPECT_GE(psnr(plain, icc), 35.0) << f;
    }
}

// ---- The writer's side -----------------------------------------------------------------

PdfPlacement placement(int orientation, double dx, double dy, const Bytes *icc, int n) {
    return PdfPlacement{orientation, dx, dy, icc ? icc->data() : nullptr, icc ? icc->size() : 0, n};
}

// Writes the pages through the one-pass path and through the scratch-file path.
void write_both(const std::string &a, const std::string &b, std::vector<PdfImage *> images,
                std::vector<const PdfPageExtra *> extras, int mode, int dpi) {
    const char *msg = nullptr;
    ASSERT_EQ(pdf_write_pages(a.c_str(), images.data(), extras.data(), (int)images.size(), mode, dpi, 0, &msg), 1) << msg;
    PdfDoc doc;
    ASSERT_TRUE(pdf_doc_begin(&doc, b.c_str(), mode, dpi));
    for (size_t i = 0; i < images.size(); i++) EXPECT_TRUE(pdf_doc_add_ex(&doc, images[i], extras[i]));
    EXPECT_TRUE(pdf_doc_finish(&doc)) << doc.message;
    pdf_doc_free(&doc);
}

TEST(RealInputWriter, ProfileObjectsNumberAlikeInBothWritingPaths) {
    TempDir dir;
    Bytes jpeg = read_file(meta("icc-srgb.jpg")), grey = read_file(meta("icc-gray.jpg"));
    const std::string rgb_text = jpeg_profile(jpeg);
    const Bytes rgb_profile(rgb_text.begin(), rgb_text.end());
    const std::string grey_text = jpeg_profile(grey);
    const Bytes grey_profile(grey_text.begin(), grey_text.end());
    Bytes rgba(8 * 6 * 4, 200), opaque(8 * 6 * 4, 255);
    rgba[3] = 0;  // one transparent pixel: a soft mask
    PdfImage a = pixel_image(8, 6, rgba), b = jpeg_image(jpeg, 3), c = jpeg_image(grey, 1), d = pixel_image(8, 6, opaque);
    b.width = c.width = 24;
    b.height = c.height = 16;
    const PdfPlacement pa = placement(6, 0, 0, &rgb_profile, 3), pb = placement(0, 300, 300, nullptr, 0),
                       pc = placement(8, 0, 0, &grey_profile, 1), pd = placement(1, 0, 0, &rgb_profile, 3);
    const PdfPageExtra ea = {nullptr, &pa}, eb = {nullptr, &pb}, ec = {nullptr, &pc}, ed = {nullptr, &pd};
    const std::string one = dir.file("one.pdf"), two = dir.file("two.pdf");
    write_both(one, two, {&a, &b, &c, &d}, {&ea, &eb, &ec, &ed}, 0, 150);
    const std::string pdf = read_text(one);
    EXPECT_EQ(pdf, read_text(two));
    // Page 3: image 4, mask 5, content 6, profile 7. Page 8: image 9, content 10. Page 11:
    // image 12, content 13, profile 14. Page 15: image 16, content 17, profile 18.
    EXPECT_NE(pdf.find("/Kids [3 0 R 8 0 R 11 0 R 15 0 R] /Count 4"), std::string::npos);
    EXPECT_NE(pdf.find("/ColorSpace [/ICCBased 7 0 R] /BitsPerComponent 8 /Filter /FlateDecode /SMask 5 0 R"),
              std::string::npos);
    EXPECT_NE(pdf.find("5 0 obj\n<< /Type /XObject /Subtype /Image /Width 8 /Height 6 /ColorSpace /DeviceGray"),
              std::string::npos);
    EXPECT_NE(pdf.find("7 0 obj\n<< /N 3 /Alternate /DeviceRGB"), std::string::npos);
    EXPECT_NE(pdf.find("14 0 obj\n<< /N 1 /Alternate /DeviceGray"), std::string::npos);
    EXPECT_NE(pdf.find("18 0 obj\n<< /N 3 /Alternate /DeviceRGB"), std::string::npos);
    EXPECT_NE(pdf.find("/Size 19 "), std::string::npos);
    EXPECT_EQ(object_offsets(pdf).size(), 18u);
    // Pixels x 576 / dpi: 8 x 6 turned at 150, 24 x 16 at 300, 24 x 16 turned at 150, 8 x 6.
    expect_valid_pdf(one, {{23, 31}, {46, 31}, {61, 92}, {31, 23}}, 576);
}

TEST(RealInputWriter, CmykProfilesKeepTheAdobeInversion) {
    TempDir dir;
    Bytes cmyk = read_file(data_path("jpeg/cmyk-adobe0.jpg"));
    // Any well-formed profile serves the writer; it does not look inside.
    Bytes profile(200, 0);
    const PdfPlacement p = placement(0, 0, 0, &profile, 4);
    const PdfPageExtra e = {nullptr, &p};
    PdfImage im = jpeg_image(cmyk, 4);
    write_both(dir.file("a.pdf"), dir.file("b.pdf"), {&im}, {&e}, 0, 150);
    const std::string pdf = read_text(dir.file("a.pdf"));
    EXPECT_NE(pdf.find("/ColorSpace [/ICCBased 6 0 R] /Decode [1 0 1 0 1 0 1 0] /BitsPerComponent 8"),
              std::string::npos);
    EXPECT_NE(pdf.find("<< /N 4 /Alternate /DeviceCMYK /Length 200 >>"), std::string::npos);
}

TEST(RealInputWriter, WhatTheWriterCannotUseIsIgnored) {
    TempDir dir;
    Bytes jpeg = read_file(meta("base.jpg"));
    const Bytes profile(300, 1);
    PdfImage im = jpeg_image(jpeg, 3);
    PdfImage *list[] = {&im};
    const char *msg;
    ASSERT_EQ(pdf_write(dir.file("plain.pdf").c_str(), list, 1, 0, 150, &msg), 1);
    const std::string plain = read_text(dir.file("plain.pdf"));
    // Orientation outside 2..8, resolutions out of range in either direction, a profile
    // for another component count or without bytes.
    const PdfPlacement unusable[] = {placement(9, 0, 0, nullptr, 0),       placement(-1, 0, 0, nullptr, 0),
                                     placement(1, 20000, 300, nullptr, 0), placement(1, 300, 0.5, nullptr, 0),
                                     placement(1, 0, 0, &profile, 1),      placement(1, 0, 0, &profile, 4),
                                     placement(1, 0, 0, nullptr, 3)};
    for (const PdfPlacement &p : unusable) {
        const PdfPageExtra e = {nullptr, &p};
        const PdfPageExtra *extras[] = {&e};
        ASSERT_EQ(pdf_write_pages(dir.file("x.pdf").c_str(), list, extras, 1, 0, 150, 0, &msg), 1);
        EXPECT_EQ(read_text(dir.file("x.pdf")), plain) << p.orientation << " " << p.dpi_x << " " << p.icc_components;
    }
    // A page whose extras disagree with the plan they were laid out by is refused.
    const PdfPlacement with_profile = placement(1, 0, 0, &profile, 3);
    const PdfPageExtra e = {nullptr, &with_profile};
    const PdfPageExtra *extras[] = {&e};
    PdfDoc doc;
    ASSERT_TRUE(pdf_doc_begin_known_ex(&doc, dir.file("y.pdf").c_str(), list, extras, 1, 0, 150));
    EXPECT_FALSE(pdf_doc_add(&doc, &im));
    EXPECT_STREQ(doc.message, "pdf_write: bad arguments");
    pdf_doc_free(&doc);
    EXPECT_FALSE(file_exists(dir.file("y.pdf")));
}

// ---- Wider probe -----------------------------------------------------------------------

TEST(RealInputWideProbe, ExtendedSequentialFramesOfEightBitsAreEmbedded) {
    TempDir dir;
    const std::string sof1 = data_path("jpeg/scans/sof1-q3.jpg");
    std::string err;
    EXPECT_EQ(convert(dir, sof1, 0, 0, 72, &err), "");
    EXPECT_EQ(err, "folian_single: failed to read image");
    const std::string pdf = convert(dir, sof1, FOLIAN_OPT_WIDE_PROBE);
    ASSERT_FALSE(pdf.empty());
    const Bytes file = read_file(sof1);
    EXPECT_NE(pdf.find(std::string(file.begin(), file.end())), std::string::npos);
    int w = 0, h = 0, c = 0;
    // The frame header: precision at +4, lines, samples per line, components.
    const std::string s(file.begin(), file.end());
    const size_t sof = s.find("\xFF\xC1");
    ASSERT_NE(sof, std::string::npos);
    h = file[sof + 5] << 8 | file[sof + 6];
    w = file[sof + 7] << 8 | file[sof + 8];
    c = file[sof + 9];
    EXPECT_NE(pdf.find("/Width " + std::to_string(w) + " /Height " + std::to_string(h)), std::string::npos);
    EXPECT_NE(pdf.find(c == 1 ? "/DeviceGray" : "/DeviceRGB"), std::string::npos);
    expect_valid_pdf(save(dir, "c1.pdf", pdf), {{w, h}}, 72);
    // Twelve-bit samples have no PDF form: such a frame still fails.
    Bytes twelve = file;
    twelve[sof + 4] = 12;
    write_file(dir.file("twelve.jpg"), twelve);
    EXPECT_EQ(convert(dir, dir.file("twelve.jpg"), FOLIAN_OPT_WIDE_PROBE, 0, 72, &err), "");
    EXPECT_EQ(err, "folian_single: failed to read image");
    // The exported probe keeps its answer.
    EXPECT_EQ(kv_jpeg_info(sof1.c_str(), &w, &h, &c), 0);
}

TEST(RealInputWideProbe, FilesAreRecognisedByTheirContent) {
    TempDir dir;
    const Bytes jpeg = read_file(meta("base.jpg")), png = read_file(meta("base.png"));
    write_file(dir.file("jpeg-named.png"), jpeg);
    write_file(dir.file("png-named.JPG"), png);
    write_file(dir.file("no-extension"), jpeg);
    write_file(dir.file("notes.txt"), Bytes{'h', 'e', 'l', 'l', 'o'});
    const std::string as_jpeg = convert(dir, meta("base.jpg"), 0), as_png = convert(dir, meta("base.png"), 0);
    std::string err;
    // Without the option the name decides, as always.
    EXPECT_EQ(convert(dir, dir.file("jpeg-named.png"), 0, 0, 72, &err), "");
    EXPECT_EQ(err, "png: not a PNG file (bad signature)");
    EXPECT_EQ(convert(dir, dir.file("png-named.JPG"), 0, 0, 72, &err), "");
    EXPECT_EQ(err, "folian_single: failed to read image");
    EXPECT_EQ(convert(dir, dir.file("no-extension"), 0, 0, 72, &err), "");
    EXPECT_EQ(err, "folian_single: not a .png/.jpg image");
    // With it the content does, and the pages are those of the rightly named files.
    EXPECT_EQ(convert(dir, dir.file("jpeg-named.png"), FOLIAN_OPT_WIDE_PROBE), as_jpeg);
    EXPECT_EQ(convert(dir, dir.file("png-named.JPG"), FOLIAN_OPT_WIDE_PROBE), as_png);
    EXPECT_EQ(convert(dir, dir.file("no-extension"), FOLIAN_OPT_WIDE_PROBE), as_jpeg);
    EXPECT_EQ(convert(dir, dir.file("notes.txt"), FOLIAN_OPT_WIDE_PROBE, 0, 72, &err), "");
    EXPECT_EQ(err, "folian_single: not a .png/.jpg image");
    EXPECT_EQ(convert(dir, dir.file("missing"), FOLIAN_OPT_WIDE_PROBE, 0, 72, &err), "");
    EXPECT_EQ(err, "folian_single: not a .png/.jpg image");
    // A file named as an image whose content says neither keeps its name's decoder.
    write_file(dir.file("junk.png"), Bytes{'h', 'e', 'l', 'l', 'o'});
    EXPECT_EQ(convert(dir, dir.file("junk.png"), FOLIAN_OPT_WIDE_PROBE, 0, 72, &err), "");
    EXPECT_EQ(err, "png: not a PNG file (bad signature)");

    folian_set_options(FOLIAN_OPT_WIDE_PROBE);
    const std::string a = dir.file("a.pdf");
    const std::string text = dir.file("notes.txt"), bare = dir.file("no-extension");
    const char *with_text[] = {bare.c_str(), text.c_str()};
    EXPECT_EQ(folian_multiple(with_text, 2, a.c_str()), 0);
    EXPECT_STREQ(folian_last_error(), "folian_multiple: bad image path");
    folian_doc *d = folian_doc_begin(a.c_str());
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(folian_doc_add(d, bare.c_str()), 1);
    EXPECT_EQ(folian_doc_add(d, text.c_str()), 0);
    EXPECT_STREQ(folian_last_error(), "folian_doc_add: bad image path");
    EXPECT_EQ(folian_doc_finish(d), 1);
    folian_init();
}

TEST(RealInputWideProbe, DirectoriesStillTakeImageNamesOnly) {
    TempDir in, out;
    const Bytes jpeg = read_file(meta("base.jpg")), png = read_file(meta("base.png"));
    write_file(in.file("a.png"), jpeg);
    write_file(in.file("b.jpg"), png);
    write_file(in.file("c.thm"), jpeg);  // a camera's thumbnail beside its photo
    write_file(in.file("d"), jpeg);
    const std::string pdf = out.file("d.pdf");
    folian_init();
    EXPECT_EQ(folian_directory(in.path.c_str(), pdf.c_str()), 0);
    folian_set_options(FOLIAN_OPT_WIDE_PROBE);
    EXPECT_EQ(folian_directory(in.path.c_str(), pdf.c_str()), 2) << folian_last_error();
    EXPECT_NE(read_text(pdf).find("/Count 2"), std::string::npos);
    folian_init();
}

// ---- Together --------------------------------------------------------------------------

TEST(RealInputOptions, AllTogetherAndNoneAtAll) {
    TempDir dir;
    // Every option at once on a file that has something for each of the three readers.
    Bytes six = read_file(meta("orient-6-dpi.jpg"));
    const std::string all = convert(dir, meta("orient-6-dpi.jpg"), ALL_OPTS);
    EXPECT_EQ(media_box(all), "11.52 8.64");
    expect_qpdf_clean(all, dir);
    const std::string srgb = convert(dir, meta("icc-srgb.png"), ALL_OPTS);
    EXPECT_NE(srgb.find("[/ICCBased "), std::string::npos);
    expect_qpdf_clean(srgb, dir);
    // Files that say nothing the options could use: byte for byte the plain conversion.
    for (const char *f : {"base.jpg", "base.png"})
        EXPECT_EQ(convert(dir, meta(f), META_OPTS | FOLIAN_OPT_WIDE_PROBE, 0, 150), convert(dir, meta(f), 0, 0, 150));
}

// Compact pages carry the profile too: the passed-through PNG data, the recompressed pixels
// of a PNG with alpha, and a palette (whose colours the RGB profile describes).
TEST(RealInputOptions, CompactPagesKeepTheProfileAndRenderAsTheirDevicePages) {
    TempDir dir;
    const std::string compact = convert(dir, meta("icc-srgb.png"), FOLIAN_OPT_ICC | FOLIAN_OPT_COMPACT);
    ASSERT_FALSE(compact.empty());
    EXPECT_NE(compact.find("/ColorSpace [/ICCBased 6 0 R] /BitsPerComponent 8 /Filter /FlateDecode /DecodeParms"),
              std::string::npos);
    EXPECT_NE(compact.find("6 0 obj\n<< /N 3 /Alternate /DeviceRGB /Length "), std::string::npos);
    expect_qpdf_clean(compact, dir);
    if (!have_program("pdftocairo")) return;
    int w0, h0, w, h;
    const Bytes plain = render_page(save(dir, "a.pdf", convert(dir, meta("icc-srgb.png"), FOLIAN_OPT_ICC)), 1, 288, &w0, &h0);
    const Bytes small = render_page(save(dir, "b.pdf", compact), 1, 288, &w, &h);
    ASSERT_EQ(w, w0);
    ASSERT_EQ(h, h0);
    EXPECT_EQ(plain, small);
}

TEST(RealInputOptions, PageAtATimeKeepsTheOptionsItBeganWith) {
    TempDir dir;
    const std::string a = dir.file("a.pdf"), b = dir.file("b.pdf");
    const std::string six = meta("orient-6.jpg"), icc = meta("icc-srgb.png");
    folian_init();
    folian_set_dpi(72);
    folian_set_options(FOLIAN_OPT_ORIENTATION | FOLIAN_OPT_ICC);
    const char *paths[] = {six.c_str(), icc.c_str()};
    ASSERT_EQ(folian_multiple(paths, 2, a.c_str()), 1);
    folian_doc *d = folian_doc_begin(b.c_str());
    ASSERT_NE(d, nullptr);
    folian_set_options(0);  // too late for the document already begun
    EXPECT_EQ(folian_doc_add(d, six.c_str()), 1);
    EXPECT_EQ(folian_doc_add(d, icc.c_str()), 1);
    EXPECT_EQ(folian_doc_finish(d), 1);
    const std::string pdf = read_text(a);
    EXPECT_EQ(read_text(b), pdf);
    EXPECT_EQ(media_box(pdf), "16.00 24.00");
    expect_qpdf_clean(pdf, dir);
    folian_init();
}

}  // namespace
