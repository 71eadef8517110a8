// The JPEG header probe reports the first baseline or progressive frame's size and component
// count, exactly as the marker walk allows, on hand-built headers and on every corpus file;
// conversion embeds exactly the files the probe accepts.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "folian.h"
#include "jpeg/jpeg.h"
#include "pdf_test_util.h"
#include "test_util.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes segment(uint8_t code, const Bytes &payload) {
    Bytes s = {0xFF, code, (uint8_t)((payload.size() + 2) >> 8), (uint8_t)(payload.size() + 2)};
    s.insert(s.end(), payload.begin(), payload.end());
    return s;
}

// Frame header payload: precision 8, height, width, then `comps` component entries.
Bytes frame(int w, int h, int comps) {
    Bytes p = {8, (uint8_t)(h >> 8), (uint8_t)h, (uint8_t)(w >> 8), (uint8_t)w, (uint8_t)comps};
    for (int i = 0; i < comps; i++) p.insert(p.end(), {(uint8_t)(i + 1), 0x11, 0});
    return p;
}

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes &b : parts) out.insert(out.end(), b.begin(), b.end());
    return out;
}

struct Probe {
    int ok, w, h, c;
};

Probe probe_bytes(const Bytes &file) {
    TempDir tmp;
    std::string path = tmp.file("p.jpg");
    write_file(path, file);
    Probe r = {0, -1, -1, -1};
    r.ok = kv_jpeg_info(path.c_str(), &r.w, &r.h, &r.c);
    int mw = -1, mh = -1, mc = -1;
    EXPECT_EQ(jpeg_probe_memory(file.data(), file.size(), &mw, &mh, &mc), r.ok != 0);
    return r;
}

const Bytes SOI = {0xFF, 0xD8};
const Bytes EOI = {0xFF, 0xD9};
const Bytes APP0 = segment(0xE0, {'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 0, 0});

TEST(JpegProbe, FindsTheFrameAfterOtherSegments) {
    Probe r = probe_bytes(cat({SOI, APP0, segment(0xC0, frame(640, 480, 3)), EOI}));
    EXPECT_EQ(r.ok, 1);
    EXPECT_EQ(r.w, 640);
    EXPECT_EQ(r.h, 480);
    EXPECT_EQ(r.c, 3);
    r = probe_bytes(cat({SOI, segment(0xC2, frame(33, 9, 1)), EOI}));
    EXPECT_EQ(r.ok, 1);
    EXPECT_EQ(r.c, 1);
}

TEST(JpegProbe, StartOfImageIsNotExamined) {
    Probe r = probe_bytes(cat({{0x12, 0x34}, APP0, segment(0xC0, frame(7, 5, 4)), EOI}));
    EXPECT_EQ(r.ok, 1);
    EXPECT_EQ(r.w, 7);
    EXPECT_EQ(r.c, 4);
}

TEST(JpegProbe, FillBytesBeforeMarkers) {
    Bytes f = cat({SOI, {0xFF, 0xFF, 0xFF}, APP0, {0xFF}, segment(0xC0, frame(9, 8, 3))});
    Probe r = probe_bytes(f);
    EXPECT_EQ(r.ok, 1);
    EXPECT_EQ(r.h, 8);
    // A run of fill bytes reaching the end of the data.
    EXPECT_EQ(probe_bytes(cat({SOI, APP0, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF}})).ok, 0);
}

TEST(JpegProbe, FrameAsLastSegmentIsStillReported) {
    Probe r = probe_bytes(cat({SOI, segment(0xC0, frame(3, 2, 1))}));
    EXPECT_EQ(r.ok, 1);
    EXPECT_EQ(r.w, 3);
}

TEST(JpegProbe, Rejections) {
    EXPECT_EQ(probe_bytes({}).ok, 0);
    EXPECT_EQ(probe_bytes({0xFF}).ok, 0);
    for (size_t n = 2; n <= 5; n++) EXPECT_EQ(probe_bytes(Bytes(n, 0xFF)).ok, 0) << n;
    // Extended sequential frames are passed over like any segment.
    EXPECT_EQ(probe_bytes(cat({SOI, segment(0xC1, frame(8, 8, 3)), EOI})).ok, 0);
    EXPECT_EQ(probe_bytes(cat({SOI, segment(0xC0, frame(8, 0, 3)), EOI})).ok, 0);
    EXPECT_EQ(probe_bytes(cat({SOI, segment(0xC0, frame(8, 8, 5)), EOI})).ok, 0);
    EXPECT_EQ(probe_bytes(cat({SOI, segment(0xC0, frame(0, 8, 3)), EOI})).ok, 0);
    // A segment length running past the end.
    Bytes f = cat({SOI, APP0, segment(0xC0, frame(8, 8, 3))});
    f[5] = 0xFF;
    EXPECT_EQ(probe_bytes(f).ok, 0);
    // A frame with no components lets the walk go on, but the next marker resets the count.
    EXPECT_EQ(probe_bytes(cat({SOI, segment(0xC0, frame(8, 8, 0)), APP0, EOI})).ok, 0);
    // Entropy-coded data after a scan header stops the walk before a later frame.
    Bytes sos = segment(0xDA, {1, 1, 0, 0, 63, 0});
    EXPECT_EQ(probe_bytes(cat({SOI, sos, {0x12, 0x34}, segment(0xC0, frame(8, 8, 3))})).ok, 0);
    // The outputs stay untouched on failure.
    Probe r = probe_bytes(cat({SOI, APP0, EOI}));
    EXPECT_EQ(r.ok, 0);
    EXPECT_EQ(r.w, -1);
    EXPECT_EQ(r.c, -1);
}

TEST(JpegProbe, AdobeSegmentDetection) {
    Bytes adobe = segment(0xEE, {'A', 'd', 'o', 'b', 'e', 0, 100, 0, 0, 0, 0, 2});
    Bytes f = cat({SOI, APP0, adobe, segment(0xC0, frame(8, 8, 4))});
    EXPECT_TRUE(jpeg_has_adobe_segment(f.data(), f.size()));
    f = cat({SOI, APP0, segment(0xC0, frame(8, 8, 4)), segment(0xEE, {'X', 'd', 'o', 'b', 'e'})});
    EXPECT_FALSE(jpeg_has_adobe_segment(f.data(), f.size()));
}

struct CorpusProbe {
    const char *file;
    int w, h, c;  // 0,0,0: the probe fails
};

// Expected outcomes of the probe on every corpus file (a corpus file a probe accepts is
// embedded by the conversion; one it rejects fails to load).
const CorpusProbe CORPUS[] = {
    {"baseline-444.jpg", 96, 64, 3},
    {"baseline-422.jpg", 96, 64, 3},
    {"baseline-420.jpg", 96, 64, 3},
    {"baseline-440.jpg", 96, 64, 3},
    {"baseline-411.jpg", 96, 64, 3},
    {"baseline-420-optimized.jpg", 120, 80, 3},
    {"baseline-q100.jpg", 64, 64, 3},
    {"baseline-q5.jpg", 120, 80, 3},
    {"baseline-2quality.jpg", 120, 80, 3},
    {"grey.jpg", 96, 64, 1},
    {"grey-2x2-48x32.jpg", 48, 32, 1},
    {"grey-2x2-40x24.jpg", 40, 24, 1},
    {"restart-1row-420.jpg", 96, 64, 3},
    {"restart-4mcu-444.jpg", 96, 64, 3},
    {"restart-1mcu-420.jpg", 120, 80, 3},
    {"restart-7mcu-420.jpg", 120, 80, 3},
    {"restart-grey-3mcu.jpg", 96, 64, 1},
    {"odd-1x1.jpg", 1, 1, 3},
    {"odd-17x17.jpg", 17, 17, 3},
    {"odd-17x17-444.jpg", 17, 17, 3},
    {"odd-33x9.jpg", 33, 9, 3},
    {"odd-1000x1.jpg", 1000, 1, 3},
    {"progressive.jpg", 96, 64, 3},
    {"progressive-grey.jpg", 120, 80, 1},
    {"arithmetic.jpg", 0, 0, 0},
    {"sof1-16bit-dqt.jpg", 0, 0, 0},
    {"adobe-rgb.jpg", 96, 64, 3},
    {"multiscan-noninterleaved.jpg", 96, 64, 3},
    {"exif-icc.jpg", 96, 64, 3},
    {"cmyk-imagemagick.jpg", 96, 64, 4},
    {"cmyk-adobe0.jpg", 96, 64, 4},
    {"ycck-libjpeg.jpg", 120, 80, 4},
    {"cmyk-noadobe.jpg", 96, 64, 4},
    {"ijg-testorig.jpg", 227, 149, 3},
    {"ijg-testimgint.jpg", 227, 149, 3},
    {"ijg-testimgari.jpg", 0, 0, 0},
    {"ijg-testorig12.jpg", 0, 0, 0},
    {"fill-bytes-header.jpg", 96, 64, 3},
    {"fill-bytes-before-rst.jpg", 96, 64, 3},
    {"garbage-after-eoi.jpg", 96, 64, 3},
    {"no-eoi.jpg", 96, 64, 3},
    {"trunc-scan-half.jpg", 96, 64, 3},
    {"trunc-scan-start.jpg", 96, 64, 3},
    {"trunc-in-dht.jpg", 96, 64, 3},
    {"trunc-in-dqt.jpg", 0, 0, 0},
    {"trunc-after-sos.jpg", 96, 64, 3},
    {"trunc-5bytes.jpg", 0, 0, 0},
    {"trunc-1byte.jpg", 0, 0, 0},
    {"empty.jpg", 0, 0, 0},
    {"no-soi.jpg", 96, 64, 3},
    {"eoi-before-sof.jpg", 96, 64, 3},
    {"bad-marker-start.jpg", 0, 0, 0},
    {"dqt-16bit-small-values.jpg", 96, 64, 3},
    {"dqt-16bit-value-256.jpg", 96, 64, 3},
    {"restart-numbers-shuffled.jpg", 96, 64, 3},
    {"restart-marker-missing.jpg", 96, 64, 3},
    {"sof-zero-height.jpg", 0, 0, 0},
    {"sof-precision-12-sof0.jpg", 96, 64, 3},
    {"sof-c1-baseline-data.jpg", 0, 0, 0},
};

class JpegCorpus : public ::testing::TestWithParam<CorpusProbe> {};

TEST_P(JpegCorpus, ProbeAndConversion) {
    const CorpusProbe &c = GetParam();
    std::string path = data_path(std::string("jpeg/") + c.file);
    int w = -1, h = -1, n = -1;
    int ok = kv_jpeg_info(path.c_str(), &w, &h, &n);
    ASSERT_EQ(ok, c.w ? 1 : 0);
    TempDir tmp;
    std::string pdf = tmp.file("out.pdf");
    folian_init();
    if (!ok) {
        EXPECT_EQ(folian_single(path.c_str(), pdf.c_str()), 0);
        EXPECT_STREQ(folian_last_error(), "folian_single: failed to read image");
        EXPECT_FALSE(file_exists(pdf));
        return;
    }
    EXPECT_EQ(w, c.w);
    EXPECT_EQ(h, c.h);
    EXPECT_EQ(n, c.c);
    ASSERT_EQ(folian_single(path.c_str(), pdf.c_str()), 1) << folian_last_error();
    // The structure must be sound. Truncated or patched corpus files are embedded unchanged,
    // so qpdf may only complain that their JPEG data does not decode.
    std::string out;
    int rc = run_command("qpdf --check '" + pdf + "' 2>&1", &out);
    if (rc != 0) {
        size_t pos = 0;
        while ((pos = out.find("WARNING", pos)) != std::string::npos) {
            std::string line = out.substr(pos, out.find('\n', pos) - pos);
            EXPECT_TRUE(line.find("error decoding stream data for object 4 0") != std::string::npos ||
                        line.find("re-processed without filtering") != std::string::npos)
                << line;
            pos += 7;
        }
    }
}

std::string corpus_name(const ::testing::TestParamInfo<CorpusProbe> &info) {
    std::string s = info.param.file;
    for (char &ch : s)
        if (!isalnum((unsigned char)ch)) ch = '_';
    return s;
}

INSTANTIATE_TEST_SUITE_P(All, JpegCorpus, ::testing::ValuesIn(CORPUS), corpus_name);

}  // namespace
