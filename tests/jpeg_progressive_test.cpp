// jpeg_progressive_test.cpp: the multi-scan entry points kv_jpeg_decode_ex and
// kv_jpeg_decode_file_ex. Progressive, multi-scan sequential and extended-sequential files
// decode to libjpeg's float-IDCT, non-smoothed pixels within 40 dB under our colour rules;
// a lossless re-coding into scans (jpegtran) decodes to exactly the pixels of the original
// single scan; options left out, and frames we do not decode, keep or name their message;
// every cut of a progressive file gives an image or a message.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "folian.h"
#include "libjpeg_util.h"
#include "test_util.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Result {
    Bytes rgba;
    int width = -1, height = -1;
    std::string message;
    bool ok() const { return !rgba.empty(); }
};

Result decode(const Bytes &file, unsigned flags) {
    Result r;
    const char *msg = nullptr;
    uint8_t *px = kv_jpeg_decode_ex(file.data(), file.size(), flags, &r.width, &r.height, &msg);
    r.message = msg ? msg : "(null)";
    if (px) r.rgba.assign(px, px + (size_t)r.width * r.height * 4);
    std::free(px);
    return r;
}

Bytes fixture(const std::string &name) { return read_file(data_path("jpeg/" + name)); }

// libjpeg's pixels under our colour rules (grey replicated, CMYK as inverted Adobe ink).
Bytes libjpeg_rgba(const Bytes &file) {
    LibjpegImage img;
    if (!libjpeg_decode(file, &img)) return {};
    Bytes out((size_t)img.width * img.height * 4);
    for (size_t i = 0; i < (size_t)img.width * img.height; i++) {
        const uint8_t *s = &img.samples[i * (size_t)img.components];
        uint8_t *o = &out[4 * i];
        for (int c = 0; c < 3; c++)
            o[c] = img.components == 1 ? s[0] : img.components == 3 ? s[c] : (uint8_t)(s[c] * s[3] / 255);
        o[3] = 255;
    }
    return out;
}

// Every file that uses several scans or a 0xC1 frame, against libjpeg.
TEST(JpegScans, FixturesMatchLibjpeg) {
    const char *files[] = {
        "progressive.jpg", "progressive-grey.jpg", "multiscan-noninterleaved.jpg", "sof1-16bit-dqt.jpg",
        "sof-c1-baseline-data.jpg", "scans/progressive-420-75x50.jpg", "scans/progressive-444-restart.jpg",
        "scans/progressive-422-restart5b.jpg", "scans/progressive-grey-33x17.jpg",
        "scans/progressive-bands-only.jpg", "scans/progressive-deep-approximation.jpg",
        "scans/progressive-cmyk.jpg", "scans/multiscan-y-then-cbcr.jpg", "scans/multiscan-reordered-restart.jpg",
        "scans/sof1-q3.jpg"};
    double worst = 1e9;
    for (const char *f : files) {
        SCOPED_TRACE(f);
        const Bytes file = fixture(f);
        const Result r = decode(file, KV_JPEG_ALL);
        ASSERT_TRUE(r.ok()) << r.message;
        EXPECT_EQ(r.message, "");
        const Bytes ref = libjpeg_rgba(file);
        ASSERT_EQ(ref.size(), r.rgba.size());
        const double psnr = psnr_rgb(r.rgba, ref);
        EXPECT_GE(psnr, 40.0);
        if (psnr < worst) worst = psnr;
    }
    RecordProperty("worst_psnr_db", std::to_string(worst));
}

// jpegtran re-codes the coefficients into scans without changing them, so the pixels must
// be exactly those of the original single scan: every spectral band, every approximation
// step and every restart interval lands on the right coefficient.
TEST(JpegScans, LosslessRecodingGivesTheSamePixels) {
    if (!have_program("jpegtran")) GTEST_SKIP() << "jpegtran is needed";
    TempDir tmp;
    // A custom script with deep successive approximation on every component, and a
    // sequential one with a component per scan in reverse order.
    const std::string sa_script = "0,1,2: 0-0, 0, 3;\n0: 1-9, 0, 2;\n0: 10-63, 0, 2;\n1: 1-63, 0, 1;\n"
                                  "2: 1-63, 0, 1;\n0: 1-63, 2, 1;\n0: 1-63, 1, 0;\n1: 1-63, 1, 0;\n"
                                  "2: 1-63, 1, 0;\n0,1,2: 0-0, 3, 2;\n0,1,2: 0-0, 2, 1;\n0,1,2: 0-0, 1, 0;\n";
    write_file(tmp.file("sa.txt"), Bytes(sa_script.begin(), sa_script.end()));
    const std::string seq_script = "2: 0-63, 0, 0;\n1: 0-63, 0, 0;\n0: 0-63, 0, 0;\n";
    write_file(tmp.file("seq.txt"), Bytes(seq_script.begin(), seq_script.end()));
    const char *originals[] = {"baseline-420.jpg", "baseline-422.jpg", "baseline-444.jpg", "baseline-411.jpg",
                               "baseline-440.jpg", "baseline-q100.jpg", "odd-17x17.jpg", "odd-33x9.jpg",
                               "odd-1x1.jpg", "restart-7mcu-420.jpg", "restart-4mcu-444.jpg", "ycck-libjpeg.jpg"};
    const struct {
        const char *args;
        bool colour_only;  // the script names three components
    } recodings[] = {{"-progressive", false},
                     {"-progressive -restart 1", false},
                     {"-progressive -restart 3B", false},
                     {"-scans sa.txt", true},
                     {"-scans seq.txt", true}};
    for (const char *name : originals) {
        const std::string in = data_path("jpeg/" + std::string(name));
        const Result orig = decode(read_file(in), 0);
        ASSERT_TRUE(orig.ok()) << name << ": " << orig.message;
        for (const auto &rc : recodings) {
            if (rc.colour_only && std::string(name) == "ycck-libjpeg.jpg") continue;
            SCOPED_TRACE(std::string(name) + " " + rc.args);
            const std::string out = tmp.file("out.jpg");
            ASSERT_EQ(run_command("cd " + tmp.path + " && jpegtran " + rc.args + " '" + in + "' > " + out), 0);
            const Result r = decode(read_file(out), KV_JPEG_ALL);
            ASSERT_TRUE(r.ok()) << r.message;
            EXPECT_EQ(r.width, orig.width);
            EXPECT_EQ(r.height, orig.height);
            EXPECT_TRUE(r.rgba == orig.rgba);
        }
    }
}

// Without the option that a file needs, the message is the baseline decoder's; with no
// option at all, every fixture gives what kv_jpeg_decode_impl gives.
TEST(JpegScans, EachOptionOpensItsOwnKind) {
    const struct {
        const char *file;
        unsigned needs;
        const char *without;
    } cases[] = {{"scans/progressive-420-75x50.jpg", KV_JPEG_PROGRESSIVE, "jpeg: progressive JPEG not supported"},
                 {"scans/multiscan-y-then-cbcr.jpg", KV_JPEG_MULTISCAN, "jpeg: multi-scan JPEG not supported"},
                 {"scans/sof1-q3.jpg", KV_JPEG_EXTENDED, "jpeg: bad quant value"}};  // its tables need 16 bits
    for (const auto &c : cases) {
        SCOPED_TRACE(c.file);
        const Bytes file = fixture(c.file);
        EXPECT_TRUE(decode(file, c.needs).ok());
        const Result without = decode(file, KV_JPEG_ALL & ~c.needs);
        EXPECT_FALSE(without.ok());
        EXPECT_EQ(without.width, 0);
        const Result none = decode(file, 0);
        EXPECT_EQ(none.message, c.without);
        const char *msg = nullptr;
        int w, h;
        EXPECT_EQ(kv_jpeg_decode_impl(file.data(), file.size(), &w, &h, &msg), nullptr);
        EXPECT_EQ(std::string(msg), c.without);
    }
    // Unknown bits are ignored; null out-pointers are accepted.
    const Bytes base = fixture("baseline-420.jpg");
    EXPECT_TRUE(decode(base, 0xFFFFFFF8u).rgba == decode(base, 0).rgba);
    uint8_t *px = kv_jpeg_decode_ex(base.data(), base.size(), KV_JPEG_ALL, nullptr, nullptr, nullptr);
    EXPECT_NE(px, nullptr);
    std::free(px);
    // The file form reads the file and says so when it cannot.
    int w = -1, h = -1;
    const char *msg = nullptr;
    px = kv_jpeg_decode_file_ex(data_path("jpeg/scans/progressive-cmyk.jpg").c_str(), KV_JPEG_ALL, &w, &h, &msg);
    ASSERT_NE(px, nullptr) << msg;
    EXPECT_STREQ(msg, "");
    std::free(px);
    EXPECT_EQ(kv_jpeg_decode_file_ex(data_path("jpeg/none.jpg").c_str(), KV_JPEG_ALL, &w, &h, &msg), nullptr);
    EXPECT_STREQ(msg, "jpeg: cannot read file");
}

// Frames we do not decode are named; baseline-coded data behind them does not matter.
// Without options they are passed over, but for arithmetic coding, named whatever the options.
TEST(JpegScans, UnsupportedFramesAreNamed) {
    EXPECT_EQ(decode(fixture("arithmetic.jpg"), KV_JPEG_ALL).message, "jpeg: arithmetic-coded JPEG not supported");
    EXPECT_EQ(decode(fixture("scans/progressive-arithmetic.jpg"), KV_JPEG_ALL).message,
              "jpeg: arithmetic-coded JPEG not supported");
    EXPECT_EQ(decode(fixture("scans/lossless-sof3.jpg"), KV_JPEG_ALL).message, "jpeg: lossless JPEG not supported");
    EXPECT_EQ(decode(fixture("ijg-testorig12.jpg"), KV_JPEG_ALL).message, "jpeg: only 8-bit samples supported");
    // The same frame header under every other code of its family.
    Bytes f = fixture("odd-17x17.jpg");
    size_t sof = 0;
    while (!(f[sof] == 0xFF && f[sof + 1] == 0xC0)) sof++;
    const struct {
        uint8_t code;
        const char *message;
    } codes[] = {{0xC3, "jpeg: lossless JPEG not supported"},      {0xC5, "jpeg: hierarchical JPEG not supported"},
                 {0xC6, "jpeg: hierarchical JPEG not supported"},  {0xC7, "jpeg: lossless JPEG not supported"},
                 {0xC9, "jpeg: arithmetic-coded JPEG not supported"}, {0xCA, "jpeg: arithmetic-coded JPEG not supported"},
                 {0xCB, "jpeg: arithmetic-coded JPEG not supported"}, {0xCD, "jpeg: arithmetic-coded JPEG not supported"},
                 {0xCE, "jpeg: arithmetic-coded JPEG not supported"}, {0xCF, "jpeg: arithmetic-coded JPEG not supported"}};
    for (const auto &c : codes) {
        f[sof + 1] = c.code;
        EXPECT_EQ(decode(f, KV_JPEG_ALL).message, c.message) << std::hex << (int)c.code;
        const bool arithmetic = c.code >= 0xC9;
        EXPECT_EQ(decode(f, 0).message, arithmetic ? c.message : "jpeg: unknown SOS component");
    }
}

// Offsets of every scan header of a file.
std::vector<size_t> scan_headers(const Bytes &f) {
    std::vector<size_t> out;
    for (size_t i = 2; i + 3 < f.size();) {
        if (f[i] != 0xFF) break;
        const size_t len = (size_t)f[i + 2] << 8 | f[i + 3];
        if (f[i + 1] == 0xDA) {
            out.push_back(i);
            i += 2 + len;
            while (i + 1 < f.size() && !(f[i] == 0xFF && f[i + 1] != 0 && (f[i + 1] < 0xD0 || f[i + 1] > 0xD7))) i++;
        } else {
            i += 2 + len;
        }
    }
    return out;
}

// Scan headers that break the rules of progression fail with a message rather than
// decoding nonsense: each field of the second scan (an AC scan of one component) is
// damaged in turn.
TEST(JpegScans, BadScanHeadersFail) {
    const Bytes f = fixture("scans/progressive-bands-only.jpg");
    const std::vector<size_t> sos = scan_headers(f);
    ASSERT_GE(sos.size(), 3u);
    const size_t s = sos[1];  // "0: 1-5, 0, 0": FF DA len(2) Ns=1 C Td/Ta Ss Se AhAl
    ASSERT_EQ(f[s + 4], 1);
    const struct {
        size_t offset;
        uint8_t value;
        const char *message;
    } cases[] = {{7, 6, "jpeg: bad progressive scan parameters"},   // Ss 6 > Se 5
                 {8, 64, "jpeg: bad progressive scan parameters"},  // Se past 63
                 {9, 0x20, "jpeg: bad progressive scan parameters"},  // Ah 2 but Al not 1
                 {9, 0x0E, "jpeg: bad progressive scan parameters"},  // Al 14
                 {5, 9, "jpeg: unknown SOS component"},
                 {6, 0x03, "jpeg: missing Huffman table"},  // AC table 3 never defined
                 {4, 5, "jpeg: bad SOS count"}};
    for (const auto &c : cases) {
        Bytes g = f;
        g[s + c.offset] = c.value;
        const Result r = decode(g, KV_JPEG_ALL);
        EXPECT_FALSE(r.ok()) << c.offset;
        EXPECT_EQ(r.message, c.message) << c.offset;
        EXPECT_EQ(r.width, 0);
    }
    // A DC scan that names a component twice.
    Bytes g = f;
    const size_t s0 = sos[0];
    ASSERT_EQ(g[s0 + 4], 3);
    g[s0 + 7] = g[s0 + 5];
    EXPECT_EQ(decode(g, KV_JPEG_ALL).message, "jpeg: bad SOS");
    // A second frame header between the scans.
    Bytes h(f.begin(), f.begin() + (long)sos[1]);
    size_t sof = 0;
    while (!(f[sof] == 0xFF && f[sof + 1] == 0xC2)) sof++;
    const size_t sof_len = (size_t)f[sof + 2] << 8 | f[sof + 3];
    h.insert(h.end(), f.begin() + (long)sof, f.begin() + (long)(sof + 2 + sof_len));
    h.insert(h.end(), f.begin() + (long)sos[1], f.end());
    EXPECT_EQ(decode(h, KV_JPEG_ALL).message, "jpeg: frame header after the first scan");
}

// Every cut of a progressive or multi-scan file gives either an image of the full size or
// one of the decoder's messages (the sanitizers watch the reads). Cuts between two scans
// deliver the scans so far; a cut inside a scan fails.
TEST(JpegScans, EveryCutGivesAnImageOrAMessage) {
    const std::set<std::string> messages = {
        "jpeg: no scan data",      "jpeg: corrupt stream",          "jpeg: bad segment length",
        "jpeg: truncated segment", "jpeg: decode error in scan data", "jpeg: truncated DHT",
        "jpeg: truncated DQT",     "jpeg: bad SOF",                  "jpeg: bad SOS"};
    for (const char *name : {"scans/progressive-420-75x50.jpg", "scans/progressive-444-restart.jpg",
                             "scans/progressive-deep-approximation.jpg", "scans/multiscan-reordered-restart.jpg",
                             "scans/progressive-grey-33x17.jpg"}) {
        SCOPED_TRACE(name);
        const Bytes f = fixture(name);
        const Result full = decode(f, KV_JPEG_ALL);
        ASSERT_TRUE(full.ok());
        const size_t last_scan = scan_headers(f).back();
        int images = 0;
        for (size_t n = 0; n < f.size(); n++) {
            const Bytes cut(f.begin(), f.begin() + (long)n);
            const Result r = decode(cut, KV_JPEG_ALL);
            if (r.ok()) {
                ASSERT_EQ(r.width, full.width) << n;
                ASSERT_EQ(r.height, full.height) << n;
                ASSERT_EQ(r.message, "");
                images++;
            } else {
                ASSERT_TRUE(messages.count(r.message)) << n << ": " << r.message;
                ASSERT_EQ(r.width, 0);
            }
        }
        EXPECT_GT(images, 0);
        // Cut just before the last scan: all the earlier scans, a close picture already.
        const Result early = decode(Bytes(f.begin(), f.begin() + (long)last_scan), KV_JPEG_ALL);
        ASSERT_TRUE(early.ok()) << early.message;
        EXPECT_GE(psnr_rgb(early.rgba, full.rgba), 20.0);
    }
}

// A scan cut short but followed by the end-of-image marker still gives its picture, as
// single-scan files do; a cut without it is a decoding error.
TEST(JpegScans, ScanCutShortBeforeTheEndMarker) {
    const Bytes f = fixture("scans/progressive-420-75x50.jpg");
    const size_t last = scan_headers(f).back();
    const size_t mid = last + (f.size() - last) / 2;
    Bytes cut(f.begin(), f.begin() + (long)mid);
    EXPECT_EQ(decode(cut, KV_JPEG_ALL).message, "jpeg: decode error in scan data");
    cut.push_back(0xFF);
    cut.push_back(0xD9);
    const Result r = decode(cut, KV_JPEG_ALL);
    EXPECT_TRUE(r.ok()) << r.message;
}

// A marker segment: code, big-endian length, payload.
void put_segment(Bytes *f, uint8_t code, const Bytes &payload) {
    f->push_back(0xFF);
    f->push_back(code);
    f->push_back((uint8_t)((payload.size() + 2) >> 8));
    f->push_back((uint8_t)(payload.size() + 2));
    f->insert(f->end(), payload.begin(), payload.end());
}

// Entropy-coded data from a string of '0' and '1', padded with 1 bits, 0xFF stuffed.
void put_bits(Bytes *f, const std::string &bits) {
    std::string padded = bits;
    while (padded.size() % 8) padded += '1';
    for (size_t i = 0; i < padded.size(); i += 8) {
        const uint8_t byte = (uint8_t)std::stoi(padded.substr(i, 8), nullptr, 2);
        f->push_back(byte);
        if (byte == 0xFF) f->push_back(0x00);
    }
}

// A table given anew between the scans of a sequential frame governs the later scans, and
// its run-without-value symbols (R/0 with R from 1 to 14, which sequential coding leaves
// undefined) skip R zeros there as in a single scan: one 8x8 YCbCr block per component,
// coded once as an interleaved scan and once as a luma scan then a chroma scan with the
// AC table redefined in between, gives the same pixels.
TEST(JpegScans, TableRedefinedBetweenScansHoldsForTheLaterScans) {
    const Bytes dc_table = {0x00, 0, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x01, 0x02};
    // AC codes 00, 01, 10: end-of-block, run 0 size 1, then 1/1 (plain) or 3/0 (a run alone).
    const Bytes ac_plain = {0x10, 0, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x01, 0x11};
    Bytes ac_runs = ac_plain;
    ac_runs.back() = 0x30;
    const std::string luma = "10" "11" "01" "0" "00";  // DC +3; -1 at k 1; end of block
    const std::string cb = "01" "1" "10" "01" "1" "00";  // DC +1; skip 3; +1 at k 4; end
    const std::string cr = "01" "0" "10" "10" "01" "1" "00";  // DC -1; skip 3, 3; +1 at k 7; end

    Bytes head = {0xFF, 0xD8};
    Bytes dqt = {0x00};
    dqt.resize(65, 16);
    put_segment(&head, 0xDB, dqt);
    put_segment(&head, 0xC0, {8, 0, 8, 0, 8, 3, 1, 0x11, 0, 2, 0x11, 0, 3, 0x11, 0});
    put_segment(&head, 0xC4, dc_table);
    put_segment(&head, 0xC4, ac_plain);

    Bytes one = head;  // chroma with AC table 1
    Bytes ac1 = ac_runs;
    ac1[0] = 0x11;
    put_segment(&one, 0xC4, ac1);
    put_segment(&one, 0xDA, {3, 1, 0x00, 2, 0x01, 3, 0x01, 0, 63, 0});
    put_bits(&one, luma + cb + cr);
    one.insert(one.end(), {0xFF, 0xD9});

    // Chroma with AC table 0, given anew.
    auto two_scans = [&](const std::string &chroma) {
        Bytes f = head;
        put_segment(&f, 0xDA, {1, 1, 0x00, 0, 63, 0});
        put_bits(&f, luma);
        put_segment(&f, 0xC4, ac_runs);
        put_segment(&f, 0xDA, {2, 2, 0x00, 3, 0x00, 0, 63, 0});
        put_bits(&f, chroma);
        f.insert(f.end(), {0xFF, 0xD9});
        return f;
    };
    const Bytes two = two_scans(cb + cr);

    const Result single = decode(one, KV_JPEG_ALL);
    ASSERT_TRUE(single.ok()) << single.message;
    EXPECT_EQ(decode(two, 0).message, "jpeg: multi-scan JPEG not supported");  // the other decoder
    const Result multi = decode(two, KV_JPEG_ALL);
    ASSERT_TRUE(multi.ok()) << multi.message;
    EXPECT_EQ(multi.width, 8);
    EXPECT_EQ(multi.height, 8);
    EXPECT_TRUE(multi.rgba == single.rgba);
    // Read as the end of the block, the runs would lose the coefficients behind them.
    const Result ended = decode(two_scans("01" "1" "00" "01" "0" "00"), KV_JPEG_ALL);
    ASSERT_TRUE(ended.ok()) << ended.message;
    EXPECT_FALSE(ended.rgba == multi.rgba);
}

}  // namespace
