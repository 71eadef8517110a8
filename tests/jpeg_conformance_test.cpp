// jpeg_conformance_test.cpp: every file of tests/data/jpeg decodes to what libjpeg-turbo
// makes of it (floating-point IDCT, no fancy upsampling) within 40 dB PSNR, and exactly
// to what the plain reference decoder makes of it, or fails with its exact message.
#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "folian.h"
#include "libjpeg_util.h"
#include "ref_jpeg.h"
#include "test_util.h"

namespace {

enum Oracle {
    LIBJPEG,         // libjpeg's RGB, grey, or CMYK put through our ink rule
    LIBJPEG_RAW_YCC, // four components without an Adobe segment: YCbCr from the first three
    SAME_AS,         // libjpeg refuses or reads it differently: equal to a sibling file
};

struct Case {
    const char *file;
    const char *message;  // null: decodes
    int width, height;
    Oracle oracle;
    const char *sibling;
};

// Fixtures: tests/data/jpeg (see tests/data/README.md and its MANIFEST); how each was made
// is listed there. Outcomes follow the decoder's rules: progressive and multi-scan files
// are refused, fill bytes before restart markers are skipped, one-component scans are
// non-interleaved, and Adobe transforms 0 and 2 pick RGB, CMYK and YCCK.
const Case CASES[] = {
    {"adobe-rgb.jpg", nullptr, 96, 64, LIBJPEG, nullptr},
    {"arithmetic.jpg", "jpeg: arithmetic-coded JPEG not supported", 0, 0, LIBJPEG, nullptr},
    {"bad-marker-start.jpg", "jpeg: corrupt stream", 0, 0, LIBJPEG, nullptr},
    {"baseline-2quality.jpg", nullptr, 120, 80, LIBJPEG, nullptr},
    {"baseline-411.jpg", nullptr, 96, 64, LIBJPEG, nullptr},
    {"baseline-420-optimized.jpg", nullptr, 120, 80, LIBJPEG, nullptr},
    {"baseline-420.jpg", nullptr, 96, 64, LIBJPEG, nullptr},
    {"baseline-422.jpg", nullptr, 96, 64, LIBJPEG, nullptr},
    {"baseline-440.jpg", nullptr, 96, 64, LIBJPEG, nullptr},
    {"baseline-444.jpg", nullptr, 96, 64, LIBJPEG, nullptr},
    {"baseline-q100.jpg", nullptr, 64, 64, LIBJPEG, nullptr},
    {"baseline-q5.jpg", nullptr, 120, 80, LIBJPEG, nullptr},
    {"cmyk-adobe0.jpg", nullptr, 96, 64, LIBJPEG, nullptr},
    {"cmyk-imagemagick.jpg", nullptr, 96, 64, LIBJPEG, nullptr},
    {"cmyk-noadobe.jpg", nullptr, 96, 64, LIBJPEG_RAW_YCC, nullptr},
    {"dqt-16bit-small-values.jpg", nullptr, 96, 64, SAME_AS, "baseline-420.jpg"},
    {"dqt-16bit-value-256.jpg", "jpeg: bad quant value", 0, 0, LIBJPEG, nullptr},
    {"empty.jpg", "jpeg: cannot read file", 0, 0, LIBJPEG, nullptr},
    {"eoi-before-sof.jpg", nullptr, 96, 64, SAME_AS, "baseline-420.jpg"},
    {"exif-icc.jpg", nullptr, 96, 64, LIBJPEG, nullptr},
    {"fill-bytes-before-rst.jpg", nullptr, 96, 64, SAME_AS, "restart-1row-420.jpg"},
    {"fill-bytes-header.jpg", nullptr, 96, 64, LIBJPEG, nullptr},
    {"garbage-after-eoi.jpg", nullptr, 96, 64, LIBJPEG, nullptr},
    {"grey-2x2-40x24.jpg", nullptr, 40, 24, LIBJPEG, nullptr},
    {"grey-2x2-48x32.jpg", nullptr, 48, 32, LIBJPEG, nullptr},
    {"grey.jpg", nullptr, 96, 64, LIBJPEG, nullptr},
    {"ijg-testimgari.jpg", "jpeg: arithmetic-coded JPEG not supported", 0, 0, LIBJPEG, nullptr},
    {"ijg-testimgint.jpg", nullptr, 227, 149, LIBJPEG, nullptr},
    {"ijg-testorig.jpg", nullptr, 227, 149, LIBJPEG, nullptr},
    {"ijg-testorig12.jpg", "jpeg: unknown SOS component", 0, 0, LIBJPEG, nullptr},
    {"multiscan-noninterleaved.jpg", "jpeg: multi-scan JPEG not supported", 0, 0, LIBJPEG, nullptr},
    {"no-eoi.jpg", nullptr, 96, 64, LIBJPEG, nullptr},
    {"no-soi.jpg", nullptr, 96, 64, SAME_AS, "baseline-420.jpg"},
    {"odd-1000x1.jpg", nullptr, 1000, 1, LIBJPEG, nullptr},
    {"odd-17x17-444.jpg", nullptr, 17, 17, LIBJPEG, nullptr},
    {"odd-17x17.jpg", nullptr, 17, 17, LIBJPEG, nullptr},
    {"odd-1x1.jpg", nullptr, 1, 1, LIBJPEG, nullptr},
    {"odd-33x9.jpg", nullptr, 33, 9, LIBJPEG, nullptr},
    {"progressive-grey.jpg", "jpeg: progressive JPEG not supported", 0, 0, LIBJPEG, nullptr},
    {"progressive.jpg", "jpeg: progressive JPEG not supported", 0, 0, LIBJPEG, nullptr},
    {"restart-1mcu-420.jpg", nullptr, 120, 80, LIBJPEG, nullptr},
    {"restart-1row-420.jpg", nullptr, 96, 64, LIBJPEG, nullptr},
    {"restart-4mcu-444.jpg", nullptr, 96, 64, LIBJPEG, nullptr},
    {"restart-7mcu-420.jpg", nullptr, 120, 80, LIBJPEG, nullptr},
    {"restart-grey-3mcu.jpg", nullptr, 96, 64, LIBJPEG, nullptr},
    {"restart-marker-missing.jpg", "jpeg: decode error in scan data", 0, 0, LIBJPEG, nullptr},
    {"restart-numbers-shuffled.jpg", nullptr, 96, 64, SAME_AS, "restart-4mcu-444.jpg"},
    {"sof-c1-baseline-data.jpg", "jpeg: unknown SOS component", 0, 0, LIBJPEG, nullptr},
    {"sof-precision-12-sof0.jpg", "jpeg: only 8-bit samples supported", 0, 0, LIBJPEG, nullptr},
    {"sof-zero-height.jpg", "jpeg: unsupported SOF", 0, 0, LIBJPEG, nullptr},
    {"sof1-16bit-dqt.jpg", "jpeg: bad quant value", 0, 0, LIBJPEG, nullptr},
    {"trunc-1byte.jpg", "jpeg: cannot read file", 0, 0, LIBJPEG, nullptr},
    {"trunc-5bytes.jpg", "jpeg: no scan data", 0, 0, LIBJPEG, nullptr},
    {"trunc-after-sos.jpg", "jpeg: decode error in scan data", 0, 0, LIBJPEG, nullptr},
    {"trunc-in-dht.jpg", "jpeg: truncated segment", 0, 0, LIBJPEG, nullptr},
    {"trunc-in-dqt.jpg", "jpeg: truncated segment", 0, 0, LIBJPEG, nullptr},
    {"trunc-scan-half.jpg", "jpeg: decode error in scan data", 0, 0, LIBJPEG, nullptr},
    {"trunc-scan-start.jpg", "jpeg: decode error in scan data", 0, 0, LIBJPEG, nullptr},
    {"ycck-libjpeg.jpg", nullptr, 120, 80, LIBJPEG, nullptr},
};

struct Decoded {
    unsigned char *pixels = nullptr;
    int width = -1, height = -1;
    std::string message;
    std::vector<uint8_t> rgba() const {
        return pixels ? std::vector<uint8_t>(pixels, pixels + (size_t)width * height * 4) : std::vector<uint8_t>();
    }
    ~Decoded() { std::free(pixels); }
};

void decode_file(const std::string &name, Decoded *d) {
    const char *msg = nullptr;
    d->pixels = kv_jpeg_decode(data_path("jpeg/" + name).c_str(), &d->width, &d->height, &msg);
    d->message = msg ? msg : "(null)";
}

// libjpeg's decode of `name` turned into RGBA by our colour rule for that file.
std::vector<uint8_t> libjpeg_expected(const std::string &name, Oracle oracle) {
    LibjpegImage img;
    if (!libjpeg_decode(read_file(data_path("jpeg/" + name)), &img)) return {};
    std::vector<uint8_t> out((size_t)img.width * img.height * 4);
    for (size_t i = 0; i < (size_t)img.width * img.height; i++) {
        const uint8_t *s = &img.samples[i * (size_t)img.components];
        uint8_t *o = &out[4 * i];
        if (img.components == 1) {
            o[0] = o[1] = o[2] = s[0];
        } else if (img.components == 3) {
            o[0] = s[0], o[1] = s[1], o[2] = s[2];
        } else if (oracle == LIBJPEG_RAW_YCC) {
            ref_jpeg_ycc(s[0], s[1], s[2], o);
        } else {
            for (int c = 0; c < 3; c++) o[c] = (uint8_t)(s[c] * s[3] / 255);
        }
        o[3] = 255;
    }
    return out;
}

class JpegConformance : public ::testing::TestWithParam<Case> {};

TEST_P(JpegConformance, MatchesExpectedOutcome) {
    const Case &c = GetParam();
    Decoded d;
    decode_file(c.file, &d);
    if (c.message) {
        EXPECT_EQ(d.pixels, nullptr);
        EXPECT_EQ(d.message, c.message);
        if (std::string(c.message) != "jpeg: cannot read file") {
            EXPECT_EQ(d.width, 0);
            EXPECT_EQ(d.height, 0);
        }
        return;
    }
    ASSERT_NE(d.pixels, nullptr) << d.message;
    EXPECT_EQ(d.message, "");
    ASSERT_EQ(d.width, c.width);
    ASSERT_EQ(d.height, c.height);
    std::vector<uint8_t> ours = d.rgba();
    for (size_t i = 3; i < ours.size(); i += 4) ASSERT_EQ(ours[i], 255);

    // Exactly the plain reference's result.
    std::vector<uint8_t> bytes = read_file(data_path(std::string("jpeg/") + c.file));
    int rw = 0, rh = 0;
    std::vector<uint8_t> ref;
    std::string rmsg;
    ASSERT_TRUE(ref_jpeg_decode(bytes.data(), bytes.size(), &rw, &rh, &ref, &rmsg)) << rmsg;
    EXPECT_TRUE(ours == ref) << "differs from the plain reference";

    if (c.oracle == SAME_AS) {
        Decoded s;
        decode_file(c.sibling, &s);
        ASSERT_NE(s.pixels, nullptr);
        EXPECT_TRUE(ours == s.rgba()) << "differs from " << c.sibling;
    } else {
        std::vector<uint8_t> expected = libjpeg_expected(c.file, c.oracle);
        ASSERT_EQ(expected.size(), ours.size()) << "libjpeg cannot decode it";
        EXPECT_GE(psnr_rgb(ours, expected), 40.0);
    }
}

std::string case_name(const ::testing::TestParamInfo<Case> &info) {
    std::string n = info.param.file;
    n = n.substr(0, n.size() - 4);
    for (char &ch : n)
        if (!isalnum((unsigned char)ch)) ch = '_';
    return n;
}

INSTANTIATE_TEST_SUITE_P(Files, JpegConformance, ::testing::ValuesIn(CASES), case_name);

TEST(JpegConformanceSet, EveryFixtureHasACase) {
    std::set<std::string> named;
    for (const Case &c : CASES) named.insert(c.file);
    for (const std::string &f : list_dir(data_path("jpeg")))
        if (f.size() > 4 && f.substr(f.size() - 4) == ".jpg") {
            EXPECT_TRUE(named.count(f)) << f;
        }
}

TEST(JpegConformanceSet, GreyImagesHaveEqualChannels) {
    for (const char *f : {"grey.jpg", "grey-2x2-48x32.jpg", "grey-2x2-40x24.jpg", "restart-grey-3mcu.jpg"}) {
        Decoded d;
        decode_file(f, &d);
        ASSERT_NE(d.pixels, nullptr) << f;
        for (size_t i = 0; i < (size_t)d.width * d.height; i++) {
            ASSERT_EQ(d.pixels[4 * i], d.pixels[4 * i + 1]) << f;
            ASSERT_EQ(d.pixels[4 * i], d.pixels[4 * i + 2]) << f;
        }
    }
}

// The ink files were made from the picture of baseline-444.jpg. ImageMagick's YCCK comes
// back close to it; the CMYK writer's K = min(C, M, Y) separation is not the exact inverse
// of the ink rule, so that file only has to look like the picture.
TEST(JpegConformanceSet, InkFilesLookLikeThePicture) {
    Decoded rgb;
    decode_file("baseline-444.jpg", &rgb);
    ASSERT_NE(rgb.pixels, nullptr);
    const struct {
        const char *file;
        double min_psnr;
    } files[] = {{"cmyk-imagemagick.jpg", 32.0}, {"cmyk-adobe0.jpg", 20.0}};
    for (const auto &f : files) {
        Decoded d;
        decode_file(f.file, &d);
        ASSERT_NE(d.pixels, nullptr) << f.file;
        EXPECT_GE(psnr_rgb(d.rgba(), rgb.rgba()), f.min_psnr) << f.file;
    }
}

}  // namespace
