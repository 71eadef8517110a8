// The PDF writer produces exact bytes (object layout, offsets, page geometry, stream framing),
// rejects bad arguments with the right message in the right order, and never leaves a file
// or a leak behind when it fails, whichever allocation fails.
#include <gtest/gtest.h>
#include <zlib.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "folian.h"
#include "jpeg/jpeg.h"
#include "mem.h"
#include "pdf_test_util.h"
#include "pdf_write.h"
#include "test_util.h"

namespace {

std::vector<uint8_t> deflate_vec(const std::vector<uint8_t> &in) {
    uint64_t n = 0;
    uint8_t *z = kv_deflate(in.data(), in.size(), &n);
    EXPECT_NE(z, nullptr);
    std::vector<uint8_t> out(z, z + n);
    std::free(z);
    return out;
}

std::vector<uint8_t> zlib_inflate(const std::vector<uint8_t> &z, size_t expect) {
    std::vector<uint8_t> out(expect + 1);
    uLongf n = out.size();
    EXPECT_EQ(uncompress(out.data(), &n, z.data(), z.size()), Z_OK);
    out.resize(n);
    return out;
}

TEST(ZlibStored, ExactBytesOfSmallInputs) {
    EXPECT_EQ(deflate_vec({}), (std::vector<uint8_t>{0x78, 0x01, 0x01, 0x00, 0x00, 0xFF, 0xFF, 0x00,
                                                     0x00, 0x00, 0x01}));
    EXPECT_EQ(deflate_vec({'a', 'b', 'c'}),
              (std::vector<uint8_t>{0x78, 0x01, 0x01, 0x03, 0x00, 0xFC, 0xFF, 0x61, 0x62, 0x63,
                                    0x02, 0x4D, 0x01, 0x27}));
}

TEST(ZlibStored, BlockBoundariesAndZlibRoundTrip) {
    for (size_t n : {size_t(65535), size_t(65536), size_t(65535 * 2), size_t(200001)}) {
        std::vector<uint8_t> in(n);
        for (size_t i = 0; i < n; i++) in[i] = (uint8_t)(i * 7 + (i >> 9));
        std::vector<uint8_t> z = deflate_vec(in);
        EXPECT_EQ(z.size(), zlib_stored_size(n));
        EXPECT_EQ(z.size(), n + 5 * ((n + 65534) / 65535) + 6);
        EXPECT_EQ(zlib_inflate(z, n), in) << n;
    }
    std::vector<uint8_t> z = deflate_vec(std::vector<uint8_t>(65535, 1));
    EXPECT_EQ(z.size(), 65546u);
    EXPECT_EQ(z[2], 0x01);  // a single, final block
    z = deflate_vec(std::vector<uint8_t>(65536, 1));
    EXPECT_EQ(z.size(), 65552u);
    EXPECT_EQ(z[2], 0x00);
    EXPECT_EQ(z[2 + 5 + 65535], 0x01);
}

TEST(PdfWrite, OnePixelDocumentByteForByte) {
    TempDir tmp;
    std::string path = tmp.file("one.pdf");
    std::vector<uint8_t> px = {255, 0, 0, 255};
    PdfImage im = pixel_image(1, 1, px);
    PdfImage *list[] = {&im};
    const char *msg = nullptr;
    ASSERT_EQ(pdf_write(path.c_str(), list, 1, 0, 72, &msg), 1);
    EXPECT_STREQ(msg, "");
    std::string pdf = read_text(path);
    ASSERT_EQ(pdf.size(), 728u);
    EXPECT_EQ(object_offsets(pdf), (std::vector<uint64_t>{15, 64, 121, 277, 456}));
    EXPECT_NE(pdf.find("/MediaBox [0 0 1.00 1.00]"), std::string::npos);
    const char zstream[] = "\x78\x01\x01\x03\x00\xFC\xFF\xFF\x00\x00\x03\x00\x01\x00";
    EXPECT_NE(pdf.find("/Length 14 >>\nstream\n" + std::string(zstream, 14) + "\nendstream\n\nendobj\n"),
              std::string::npos);
    EXPECT_NE(pdf.find("<< /Length 39 >>\nstream\nq\n1.00 0 0 1.00 0.00 0.00 cm\n/Im0 Do\nQ\nendstream\n"),
              std::string::npos);
    EXPECT_NE(pdf.find("startxref\n545\n%%EOF\n"), std::string::npos);
    EXPECT_EQ(pdf.substr(0, 15), std::string("%PDF-1.4\n%\xE2\xE3\xCF\xD3\n", 15));
    expect_valid_pdf(path, {{1, 1}}, 72);
}

TEST(PdfWrite, ObjectNumbersWithSoftMaskThenJpeg) {
    TempDir tmp;
    std::string path = tmp.file("mix.pdf");
    std::vector<uint8_t> px = {10, 20, 30, 255, 40, 50, 60, 128};
    PdfImage a = pixel_image(2, 1, px);
    std::vector<uint8_t> jpeg = read_file(data_path("jpeg/baseline-444.jpg"));
    PdfImage b = jpeg_image(jpeg, 3);
    int w, h, c;
    ASSERT_EQ(kv_jpeg_info(data_path("jpeg/baseline-444.jpg").c_str(), &w, &h, &c), 1);
    b.width = w;
    b.height = h;
    PdfImage *list[] = {&a, &b};
    const char *msg;
    ASSERT_EQ(pdf_write(path.c_str(), list, 2, 0, 150, &msg), 1);
    std::string pdf = read_text(path);
    EXPECT_NE(pdf.find("<< /Type /Pages /Kids [3 0 R 7 0 R] /Count 2 >>"), std::string::npos);
    EXPECT_NE(pdf.find("/Filter /FlateDecode /SMask 5 0 R /Length"), std::string::npos);
    EXPECT_NE(pdf.find("/XObject << /Im0 4 0 R >> >> /Contents 6 0 R >>"), std::string::npos);
    EXPECT_NE(pdf.find("/XObject << /Im0 8 0 R >> >> /Contents 9 0 R >>"), std::string::npos);
    EXPECT_NE(pdf.find("trailer\n<< /Size 10 /Root 1 0 R >>"), std::string::npos);
    EXPECT_NE(pdf.find("xref\n0 10\n0000000000 65535 f \n"), std::string::npos);
    EXPECT_EQ(object_offsets(pdf).size(), 9u);
    expect_valid_pdf(path, {{2, 1}, {w, h}}, 150);
}

TEST(PdfWrite, OpaqueAlphaGetsNoSoftMask) {
    TempDir tmp;
    std::string path = tmp.file("opaque.pdf");
    std::vector<uint8_t> px(4 * 4 * 3, 255);
    PdfImage im = pixel_image(4, 3, px);
    PdfImage *list[] = {&im};
    const char *msg;
    ASSERT_EQ(pdf_write(path.c_str(), list, 1, 0, 150, &msg), 1);
    std::string pdf = read_text(path);
    EXPECT_EQ(pdf.find("/SMask"), std::string::npos);
    EXPECT_NE(pdf.find("/Size 6 "), std::string::npos);
}

struct Geometry {
    int w, h, dpi, mode;
    const char *media_box;
    const char *matrix;
    int content_len;
};

TEST(PdfWrite, PageGeometry) {
    const Geometry cases[] = {
        {800, 600, 100, 2, "/MediaBox [0 0 612.00 792.00]", "612.00 0 0 459.00 0.00 166.50 cm", 45},
        {1000, 500, 150, 0, "/MediaBox [0 0 480.00 240.00]", "480.00 0 0 240.00 0.00 0.00 cm", 43},
        // The centring offset is a tiny negative number in double arithmetic.
        {100, 100, 72, 3, "/MediaBox [0 0 841.89 1190.55]", "841.89 0 0 841.89 -0.00 174.33 cm", 46},
        {100, 200, 300, 1, "/MediaBox [0 0 595.28 841.89]", "420.94 0 0 841.89 87.17 0.00 cm", 44},
    };
    TempDir tmp;
    for (const Geometry &g : cases) {
        std::string path = tmp.file("geo.pdf");
        std::vector<uint8_t> px((size_t)g.w * g.h * 4, 255);
        PdfImage im = pixel_image(g.w, g.h, px);
        PdfImage *list[] = {&im};
        const char *msg;
        ASSERT_EQ(pdf_write(path.c_str(), list, 1, g.mode, g.dpi, &msg), 1);
        std::string pdf = read_text(path);
        EXPECT_NE(pdf.find(g.media_box), std::string::npos) << g.media_box;
        EXPECT_NE(pdf.find(std::string("<< /Length ") + std::to_string(g.content_len) +
                           " >>\nstream\nq\n" + g.matrix + "\n/Im0 Do\nQ\nendstream\n"),
                  std::string::npos)
            << g.matrix;
    }
}

TEST(PdfWrite, ArgumentChecksInOrder) {
    std::vector<uint8_t> px = {1, 2, 3, 255};
    PdfImage im = pixel_image(1, 1, px);
    PdfImage *list[] = {&im};
    const char *msg = "unset";
    TempDir tmp;
    std::string p = tmp.file("x.pdf");
    EXPECT_EQ(pdf_write(nullptr, list, 1, 0, 150, &msg), 0);
    EXPECT_STREQ(msg, "pdf_write: bad arguments");
    EXPECT_EQ(pdf_write(p.c_str(), nullptr, 1, 0, 150, &msg), 0);
    EXPECT_STREQ(msg, "pdf_write: bad arguments");
    for (int dpi : {0, -1, 10001}) {
        EXPECT_EQ(pdf_write(p.c_str(), list, 1, 0, dpi, &msg), 0);
        EXPECT_STREQ(msg, "pdf_write: bad arguments");
    }
    EXPECT_EQ(pdf_write(p.c_str(), list, 1, 4, 150, &msg), 0);
    EXPECT_STREQ(msg, "pdf_write: bad page size mode");
    EXPECT_EQ(pdf_write(p.c_str(), list, 1, -1, 150, &msg), 0);
    EXPECT_STREQ(msg, "pdf_write: bad page size mode");
    EXPECT_EQ(pdf_write(p.c_str(), list, 0, 4, 150, &msg), 0);
    EXPECT_STREQ(msg, "pdf_write: bad arguments");
    EXPECT_EQ(pdf_write(p.c_str(), list, 1, 0, 1, &msg), 1);
    EXPECT_EQ(pdf_write(p.c_str(), list, 1, 3, 10000, &msg), 1);
    EXPECT_STREQ(msg, "");
}

TEST(PdfWrite, BadImagesAreRejectedWithoutAFile) {
    TempDir tmp;
    std::string p = tmp.file("bad.pdf");
    std::vector<uint8_t> px = {1, 2, 3, 255};
    std::vector<uint8_t> jpeg = read_file(data_path("jpeg/grey.jpg"));
    PdfImage good = pixel_image(1, 1, px);
    std::vector<PdfImage> bad(6, good);
    bad[0].pixels = nullptr;
    bad[1].width = 0;
    bad[2].height = -3;
    bad[3].width = 200000001;  // pixel limit; the buffer is never read before the check
    bad[4] = jpeg_image(jpeg, 2);  // two components have no PDF colour space
    bad[5].width = 20000;
    bad[5].height = 10001;
    for (PdfImage &b : bad) {
        PdfImage *list[] = {&good, &b};
        const char *msg;
        EXPECT_EQ(pdf_write(p.c_str(), list, 2, 0, 150, &msg), 0);
        EXPECT_STREQ(msg, "pdf_write: bad image");
    }
    PdfImage *nulls[] = {&good, nullptr};
    const char *msg;
    EXPECT_EQ(pdf_write(p.c_str(), nulls, 2, 0, 150, &msg), 0);
    EXPECT_STREQ(msg, "pdf_write: bad image");
    EXPECT_FALSE(file_exists(p));
}

TEST(PdfWrite, PixelLimitIsInclusive) {
    // 200000000 pixels pass the size test; the layout scan reads only the first alpha byte
    // that is not 255, so a small buffer with a transparent first pixel suffices to reach
    // the writing stage, where we stop it with an impossible output path.
    std::vector<uint8_t> px = {0, 0, 0, 0};
    PdfImage im = pixel_image(20000, 10000, px);
    PdfImage *list[] = {&im};
    mem_fail_at(2);  // the page table succeeds; the object-offset table fails
    const char *msg;
    EXPECT_EQ(pdf_write("/nonexistent/dir/x.pdf", list, 1, 0, 150, &msg), 0);
    mem_fail_at(0);
    EXPECT_STREQ(msg, "pdf_write: oom");
    im.width = 20001;
    EXPECT_EQ(pdf_write("/nonexistent/dir/x.pdf", list, 1, 0, 150, &msg), 0);
    EXPECT_STREQ(msg, "pdf_write: bad image");
}

TEST(PdfWrite, JpegColourSpaces) {
    struct Case {
        const char *file;
        int comps;
        const char *colour;
    } cases[] = {
        {"jpeg/grey.jpg", 1, "/ColorSpace /DeviceGray /BitsPerComponent 8 /Filter /DCTDecode"},
        {"jpeg/baseline-420.jpg", 3, "/ColorSpace /DeviceRGB /BitsPerComponent 8 /Filter /DCTDecode"},
        {"jpeg/cmyk-noadobe.jpg", 4, "/ColorSpace /DeviceCMYK /BitsPerComponent 8"},
        {"jpeg/cmyk-adobe0.jpg", 4, "/ColorSpace /DeviceCMYK /Decode [1 0 1 0 1 0 1 0] /BitsPerComponent 8"},
        {"jpeg/ycck-libjpeg.jpg", 4, "/ColorSpace /DeviceCMYK /Decode [1 0 1 0 1 0 1 0] /BitsPerComponent 8"},
    };
    TempDir tmp;
    for (const Case &c : cases) {
        std::string path = tmp.file("j.pdf");
        ASSERT_EQ(folian_init(), 1);
        ASSERT_EQ(folian_single(data_path(c.file).c_str(), path.c_str()), 1) << folian_last_error();
        std::string pdf = read_text(path);
        EXPECT_NE(pdf.find(c.colour), std::string::npos) << c.file;
        std::vector<uint8_t> jpeg = read_file(data_path(c.file));
        EXPECT_NE(pdf.find(std::string(jpeg.begin(), jpeg.end())), std::string::npos)
            << "embedded unchanged: " << c.file;
        int w, h, n;
        ASSERT_EQ(kv_jpeg_info(data_path(c.file).c_str(), &w, &h, &n), 1);
        EXPECT_EQ(n, c.comps);
        expect_valid_pdf(path, {{w, h}}, 150);
    }
}

// An Adobe segment too short to hold its transform byte counts as none, for the writer's
// inverted ink and the decoder's colours alike: both treat the file as one without it.
TEST(PdfWrite, ShortAdobeSegmentIsNoAdobeSegment) {
    std::vector<uint8_t> full = read_file(data_path("jpeg/cmyk-adobe0.jpg"));
    const uint8_t sig[] = {0xFF, 0xEE};
    auto at = std::search(full.begin(), full.end(), sig, sig + 2);
    ASSERT_NE(at, full.end());
    size_t pos = (size_t)(at - full.begin()), seg_len = 2 + (size_t)(at[2] << 8 | at[3]);
    std::vector<uint8_t> none(full), shortened(full);
    none.erase(none.begin() + pos, none.begin() + pos + seg_len);
    // "Adobe" and a version byte: 6 bytes of payload where the transform needs 12.
    shortened.erase(shortened.begin() + pos + 4 + 6, shortened.begin() + pos + seg_len);
    shortened[pos + 2] = 0, shortened[pos + 3] = 8;
    TempDir tmp;
    std::string pdf[2];
    std::vector<uint8_t> px[2];
    const std::vector<uint8_t> *files[2] = {&none, &shortened};
    for (int i = 0; i < 2; i++) {
        std::string jpg = tmp.file("s" + std::to_string(i) + ".jpg"), out = tmp.file("s.pdf");
        write_file(jpg, *files[i]);
        ASSERT_EQ(folian_init(), 1);
        ASSERT_EQ(folian_single(jpg.c_str(), out.c_str()), 1) << folian_last_error();
        pdf[i] = read_text(out);
        int w = 0, h = 0;
        unsigned char *rgba = kv_jpeg_decode(jpg.c_str(), &w, &h, nullptr);
        ASSERT_NE(rgba, nullptr);
        px[i].assign(rgba, rgba + (size_t)w * h * 4);
        std::free(rgba);
    }
    EXPECT_EQ(pdf[1].find("/Decode"), std::string::npos);
    EXPECT_EQ(px[0], px[1]);
    EXPECT_TRUE(jpeg_has_adobe_segment(full.data(), full.size()));
}

TEST(PdfWrite, HundredsOfPagesKeepTheirWholeKidsList) {
    TempDir tmp;
    std::string path = tmp.file("many.pdf");
    std::vector<uint8_t> px = {0, 128, 255, 255};
    std::vector<PdfImage> ims(400, pixel_image(1, 1, px));
    std::vector<PdfImage *> list;
    for (PdfImage &im : ims) list.push_back(&im);
    const char *msg;
    ASSERT_EQ(pdf_write(path.c_str(), list.data(), 400, 1, 150, &msg), 1);
    std::string pdf = read_text(path);
    std::string kids = "/Kids [3 0 R";
    for (int i = 1; i < 400; i++) kids += " " + std::to_string(3 + 3 * i) + " 0 R";
    kids += "] /Count 400 >>";
    EXPECT_GT(kids.size(), 2047u);
    EXPECT_NE(pdf.find(kids), std::string::npos);
    EXPECT_EQ(run_command("qpdf --check '" + path + "' >/dev/null 2>&1"), 0);
}

TEST(PdfWrite, WideRgbStreamsMatchTheirPixelsAcrossBlockBoundaries) {
    // 300 x 100 pixels: the RGB stream spans several stored blocks that split pixels.
    TempDir tmp;
    std::string path = tmp.file("rgb.pdf");
    const int w = 300, h = 100;
    std::vector<uint8_t> px((size_t)w * h * 4);
    for (size_t i = 0; i < px.size(); i++) px[i] = (uint8_t)(i * 31 + i / 977);
    for (size_t i = 3; i < px.size(); i += 4) px[i] = (uint8_t)(200 + i % 56);
    PdfImage im = pixel_image(w, h, px);
    PdfImage *list[] = {&im};
    const char *msg;
    ASSERT_EQ(pdf_write(path.c_str(), list, 1, 0, 72, &msg), 1);
    std::string pdf = read_text(path);
    std::vector<uint8_t> rgb, alpha;
    for (size_t i = 0; i < px.size(); i += 4) {
        rgb.insert(rgb.end(), {px[i], px[i + 1], px[i + 2]});
        alpha.push_back(px[i + 3]);
    }
    std::vector<uint8_t> z_rgb = deflate_vec(rgb), z_alpha = deflate_vec(alpha);
    EXPECT_NE(pdf.find(std::string(z_rgb.begin(), z_rgb.end())), std::string::npos);
    EXPECT_NE(pdf.find(std::string(z_alpha.begin(), z_alpha.end())), std::string::npos);
    expect_valid_pdf(path, {{w, h}}, 72);
}

TEST(PdfWrite, FailedWriteLeavesThePreviousFile) {
    TempDir tmp;
    std::string path = tmp.file("keep.pdf");
    write_file(path, {'o', 'l', 'd'});
    std::vector<uint8_t> px = {1, 2, 3, 255};
    PdfImage im = pixel_image(1, 1, px);
    PdfImage *list[] = {&im};
    const char *msg;
    for (long n = 1;; n++) {
        mem_fail_at(n);
        int ok = pdf_write(path.c_str(), list, 1, 0, 150, &msg);
        long used = mem_alloc_count();
        mem_fail_at(0);
        if (ok) {
            ASSERT_LT(used, n) << "an injected failure was reported as success";
            break;
        }
        EXPECT_STREQ(msg, "pdf_write: oom");
        EXPECT_EQ(read_file(path), (std::vector<uint8_t>{'o', 'l', 'd'}));
        EXPECT_EQ(list_dir(tmp.path), std::vector<std::string>{"keep.pdf"});
    }
    EXPECT_EQ(read_text(path).substr(0, 8), "%PDF-1.4");
    // A path that cannot be created.
    EXPECT_EQ(pdf_write(tmp.file("no/such/dir.pdf").c_str(), list, 1, 0, 150, &msg), 0);
    EXPECT_STREQ(msg, "pdf_write: cannot open output file");
    // A directory in the way.
    EXPECT_EQ(pdf_write(tmp.path.c_str(), list, 1, 0, 150, &msg), 0);
    EXPECT_STREQ(msg, "pdf_write: cannot open output file");
    EXPECT_EQ(list_dir(tmp.path), std::vector<std::string>{"keep.pdf"});
}

TEST(PdfWrite, DeviceOutputIsWrittenInPlace) {
    std::vector<uint8_t> px = {1, 2, 3, 255};
    PdfImage im = pixel_image(1, 1, px);
    PdfImage *list[] = {&im};
    const char *msg;
    EXPECT_EQ(pdf_write("/dev/null", list, 1, 0, 150, &msg), 1);
    EXPECT_STREQ(msg, "");
}

TEST(PdfWrite, ExistingFileKeepsItsPermissions) {
    TempDir tmp;
    std::string path = tmp.file("mode.pdf");
    write_file(path, {'x'});
    ASSERT_EQ(chmod(path.c_str(), 0640), 0);
    std::vector<uint8_t> px = {1, 2, 3, 255};
    PdfImage im = pixel_image(1, 1, px);
    PdfImage *list[] = {&im};
    const char *msg;
    ASSERT_EQ(pdf_write(path.c_str(), list, 1, 0, 150, &msg), 1);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

}  // namespace

namespace {


TEST(PdfWrite, DocumentsPastTwoGibibytesKeepExactOffsets) {
    if (kSanitized) GTEST_SKIP() << "writes two 2.2 GB files; run in the optimised build";
    // Two pages whose JPEG streams are 1.1 GB each (the writer does not look inside them),
    // written once with every page known ahead and once page by page through the scratch
    // file: both files must be the same, with offsets past 2^31 exact.
    const uint64_t big = 1100000000ULL;
    uint8_t *blob = (uint8_t *)calloc(big, 1);
    ASSERT_NE(blob, nullptr);
    PdfImage a{}, b{};
    a.width = b.width = 10;
    a.height = b.height = 10;
    a.jpeg_data = b.jpeg_data = blob;
    a.jpeg_len = b.jpeg_len = big;
    a.jpeg_components = b.jpeg_components = 3;
    TempDir tmp;
    std::string known = tmp.file("known.pdf"), streamed = tmp.file("streamed.pdf");
    PdfImage *list[] = {&a, &b};
    const char *msg;
    ASSERT_EQ(pdf_write(known.c_str(), list, 2, 0, 150, &msg), 1) << msg;
    PdfDoc doc;
    bool ok = pdf_doc_begin(&doc, streamed.c_str(), 0, 150) && pdf_doc_add(&doc, &a) &&
              pdf_doc_add(&doc, &b) && pdf_doc_finish(&doc);
    pdf_doc_free(&doc);
    free(blob);
    ASSERT_TRUE(ok) << doc.message;

    FILE *f = fopen(known.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    auto read_at = [f](uint64_t off, size_t n) {
        std::string s(n, '\0');
        EXPECT_EQ(fseeko(f, (off_t)off, SEEK_SET), 0);
        s.resize(fread(&s[0], 1, n, f));
        return s;
    };
    ASSERT_EQ(fseeko(f, 0, SEEK_END), 0);
    uint64_t size = (uint64_t)ftello(f);
    std::string tail = read_at(size - 400, 400);
    size_t sx = tail.rfind("startxref\n");
    ASSERT_NE(sx, std::string::npos);
    unsigned long long xref = strtoull(tail.c_str() + sx + 10, nullptr, 10);
    EXPECT_GT(xref, 2200000000ULL);
    std::string tab = read_at(xref, 9 + 20 * 9);
    ASSERT_EQ(tab.rfind("xref\n0 9\n0000000000 65535 f \n", 0), 0u) << tab;
    for (int i = 1; i <= 8; i++) {
        unsigned long long off = strtoull(tab.c_str() + 9 + 20 * i, nullptr, 10);
        EXPECT_EQ(read_at(off, 12).rfind(std::to_string(i) + " 0 obj\n", 0), 0u) << i << " at " << off;
    }
    fclose(f);
    EXPECT_EQ(run_command("cmp -s '" + known + "' '" + streamed + "'"), 0);
    EXPECT_EQ(list_dir(tmp.path), (std::vector<std::string>{"known.pdf", "streamed.pdf"}));
}

TEST(PdfWrite, DocumentBeyondTenDigitOffsetsIsRefused) {
    // Reaching ten billion bytes for real is out of reach for a test; the writer's count of
    // bytes is moved past the limit instead, once before the cross-reference table and once
    // in the middle of the pages. Neither leaves a file.
    std::vector<uint8_t> px = {1, 2, 3, 255};
    PdfImage im = pixel_image(1, 1, px);
    TempDir tmp;
    std::string path = tmp.file("x.pdf");
    PdfDoc doc;
    ASSERT_TRUE(pdf_doc_begin(&doc, path.c_str(), 0, 150));
    ASSERT_TRUE(pdf_doc_add(&doc, &im));
    doc.pos += 10000000000ULL;
    EXPECT_FALSE(pdf_doc_finish(&doc));
    EXPECT_STREQ(doc.message, "pdf_write: document too large");
    pdf_doc_free(&doc);
    EXPECT_TRUE(list_dir(tmp.path).empty());

    PdfImage *list[] = {&im, &im};
    ASSERT_TRUE(pdf_doc_begin_known(&doc, path.c_str(), list, 2, 0, 150));
    ASSERT_TRUE(pdf_doc_add(&doc, &im));
    doc.pos += 10000000000ULL;
    EXPECT_FALSE(pdf_doc_add(&doc, &im));
    EXPECT_STREQ(doc.message, "pdf_write: document too large");
    EXPECT_FALSE(pdf_doc_finish(&doc));
    pdf_doc_free(&doc);
    EXPECT_TRUE(list_dir(tmp.path).empty());
}

}  // namespace
