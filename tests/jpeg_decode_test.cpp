// jpeg_decode_test.cpp: the JPEG decoder gives exactly the plain reference's result (block
// reconstruction, colour, and whole decodes of random, mutated and truncated streams, in
// every vector form), reports each header fault with its message, survives a failed
// allocation at every point without a leak, and decodes restart-coded pictures to the
// same pixels as the same pictures coded without restarts.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "folian.h"
#include "jpeg/decode.h"
#include "jpeg/jpeg.h"
#include "libjpeg_util.h"
#include "mem.h"
#include "ref_jpeg.h"
#include "test_util.h"

namespace {

struct Result {
    bool ok = false;
    int width = -1, height = -1;
    std::string message;
    std::vector<uint8_t> rgba;
};

// Decodes from an exact-size heap copy, so a read past the end is caught by the sanitizers.
Result decode(const std::vector<uint8_t> &bytes) {
    Result r;
    uint8_t *copy = (uint8_t *)std::malloc(bytes.size() ? bytes.size() : 1);
    if (!bytes.empty()) std::memcpy(copy, bytes.data(), bytes.size());
    const char *msg = nullptr;
    unsigned char *px = kv_jpeg_decode_impl(copy, bytes.size(), &r.width, &r.height, &msg);
    std::free(copy);
    r.message = msg ? msg : "(null)";
    if (px) {
        r.ok = true;
        r.rgba.assign(px, px + (size_t)r.width * r.height * 4);
        std::free(px);
    }
    return r;
}

Result decode_ref(const std::vector<uint8_t> &bytes) {
    Result r;
    r.ok = ref_jpeg_decode(bytes.data(), bytes.size(), &r.width, &r.height, &r.rgba, &r.message);
    if (!r.ok) r.width = r.height = 0;
    return r;
}

// Same outcome, message and pixels as the plain reference.
void expect_same_as_reference(const std::vector<uint8_t> &bytes, const std::string &what) {
    Result fast = decode(bytes), ref = decode_ref(bytes);
    ASSERT_EQ(fast.ok, ref.ok) << what << ": " << fast.message << " / " << ref.message;
    ASSERT_EQ(fast.message, ref.message) << what;
    ASSERT_EQ(fast.width, ref.width) << what;
    ASSERT_EQ(fast.height, ref.height) << what;
    ASSERT_TRUE(fast.rgba == ref.rgba) << what << ": pixels differ";
}

// ---- A small JPEG writer for hand-built streams -------------------------------------------

struct JpegBuilder {
    std::vector<uint8_t> b;
    JpegBuilder() { bytes({0xFF, 0xD8}); }
    void segment(uint8_t m, const std::vector<uint8_t> &payload) {
        b.push_back(0xFF);
        b.push_back(m);
        size_t len = payload.size() + 2;
        b.push_back((uint8_t)(len >> 8));
        b.push_back((uint8_t)len);
        b.insert(b.end(), payload.begin(), payload.end());
    }
    void dqt(int id, uint8_t value) {
        std::vector<uint8_t> p(65, value);
        p[0] = (uint8_t)id;
        segment(0xDB, p);
    }
    struct Comp {
        int id, h, v, tq;
    };
    void sof(int x, int y, const std::vector<Comp> &comps, uint8_t code = 0xC0) {
        std::vector<uint8_t> p = {8, (uint8_t)(y >> 8), (uint8_t)y, (uint8_t)(x >> 8), (uint8_t)x,
                                  (uint8_t)comps.size()};
        for (const Comp &c : comps) {
            p.push_back((uint8_t)c.id);
            p.push_back((uint8_t)(c.h << 4 | c.v));
            p.push_back((uint8_t)c.tq);
        }
        segment(code, p);
    }
    // The canonical codes of the last DC and AC tables written: (code, length, symbol).
    struct Code {
        uint32_t code;
        int len;
        uint8_t symbol;
    };
    std::vector<Code> codes[2];
    void dht(int cls, int id, const std::vector<uint8_t> &counts, const std::vector<uint8_t> &symbols) {
        codes[cls].clear();
        uint32_t code = 0;
        size_t k = 0;
        for (int l = 1; l <= 16; l++, code <<= 1)
            for (int i = 0; i < counts[(size_t)l - 1]; i++, code++, k++)
                if (code < (1u << l) && k < symbols.size()) codes[cls].push_back({code, l, symbols[k]});
        std::vector<uint8_t> p = {(uint8_t)(cls << 4 | id)};
        p.insert(p.end(), counts.begin(), counts.end());
        p.insert(p.end(), symbols.begin(), symbols.end());
        segment(0xC4, p);
    }
    void sos(const std::vector<std::pair<int, int>> &comps) {  // (id, table byte)
        std::vector<uint8_t> p = {(uint8_t)comps.size()};
        for (auto &c : comps) {
            p.push_back((uint8_t)c.first);
            p.push_back((uint8_t)c.second);
        }
        p.insert(p.end(), {0, 63, 0});
        segment(0xDA, p);
    }
    void dri(int n) { segment(0xDD, {(uint8_t)(n >> 8), (uint8_t)n}); }
    void adobe(int transform) {
        segment(0xEE, {'A', 'd', 'o', 'b', 'e', 0, 100, 0, 0, 0, 0, (uint8_t)transform});
    }
    void bytes(std::initializer_list<uint8_t> d) {
        for (uint8_t v : d) b.push_back(v);
    }
};

// Entropy-coded bits, most significant first, with 0xFF bytes stuffed.
struct BitWriter {
    std::vector<uint8_t> out;
    uint32_t acc = 0;
    int n = 0;
    void put(uint32_t bits, int len) {
        for (int i = len - 1; i >= 0; i--) {
            acc = acc << 1 | (bits >> i & 1);
            if (++n == 8) {
                out.push_back((uint8_t)acc);
                if (acc == 0xFF) out.push_back(0x00);
                acc = 0;
                n = 0;
            }
        }
    }
    void flush() {  // pad with 1 bits
        while (n) put(1, 1);
    }
};

// Small DC and AC tables (slot 0 of each class): the DC table has every category 0 to 11,
// the AC table end-of-block, the run of sixteen zeros and a few run/size pairs.
void simple_tables(JpegBuilder *j) {
    // DC: 12 categories, lengths 2..4 (the standard luminance DC shape).
    j->dht(0, 0, {0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0}, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11});
    // AC: EOB, ZRL and a few run/size pairs.
    j->dht(1, 0, {0, 2, 1, 3, 3, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
           {0x01, 0x02, 0x03, 0x00, 0x04, 0x11, 0x05, 0x12, 0x21, 0x31, 0xF0});
}

// ---- Block reconstruction ---------------------------------------------------------------

// Adversarial shapes too: the largest dequantised terms, and blocks whose samples all
// fall on x.5 exactly, where any transform off by a rounding shows.
TEST(JpegIdct, MatchesPlainReferenceInEveryVectorForm) {
    std::mt19937 rng(1234);
    for (CpuLimit form : every_cpu_form()) {
        CpuFormScope scope(form);
        for (int trial = 0; trial < 4000; trial++) {
            int32_t coef[64] = {}, qt[64];
            int shape = trial % 8;
            for (int i = 0; i < 64; i++) qt[i] = 1 + (int32_t)(rng() % 255);
            if (shape == 0) {  // dense, ordinary magnitudes
                for (int i = 0; i < 64; i++) coef[i] = (int32_t)(rng() % 2047) - 1023;
            } else if (shape == 1) {  // a few coefficients anywhere
                for (int n = rng() % 6; n >= 0; n--) coef[rng() % 64] = (int32_t)(rng() % 65535) - 32767;
            } else if (shape == 2) {  // DC only, including values whose product wraps
                coef[0] = (int32_t)rng();
            } else if (shape == 3) {  // extreme DC with AC
                coef[0] = trial & 1 ? INT32_MIN : INT32_MAX;
                coef[rng() % 64] = 32767;
            } else if (shape == 4) {  // the first rows only, as in photos
                for (int i = 0; i < 24; i++)
                    if (rng() % 3 == 0) coef[i] = (int32_t)(rng() % 201) - 100;
            } else if (shape == 5) {  // one column of frequencies: whole rows with a single term
                int u = (int)(rng() % 8);
                for (int r = 0; r < 8; r++) coef[8 * r + u] = (int32_t)(rng() % 401) - 200;
            } else if (shape == 6) {  // dense, the largest baseline magnitudes and quantisers
                for (int i = 0; i < 64; i++) {
                    coef[i] = (int32_t)(2047 - rng() % 4) * (rng() & 1 ? 1 : -1);
                    qt[i] = 255 - (int32_t)(rng() % 3);
                }
            } else {  // frequencies 0 and 4 only, weights 1/8 each: every sample is k + 0.5
                for (int i = 0; i < 64; i++) qt[i] = 1;
                coef[0] = 8 * ((int32_t)(rng() % 201) - 100) + 4;
                for (int i : {4, 32, 36}) coef[i] = 8 * ((int32_t)(rng() % 61) - 30);
            }
            uint8_t want[64];
            ref_jpeg_idct_block(coef, qt, want);
            uint8_t plane[10 * 16];
            std::memset(plane, 0xAA, sizeof plane);
            int32_t work[64];
            std::memcpy(work, coef, sizeof work);
            jpg_idct_store(work, qt, plane + 16 + 1, 16);
            for (int i = 0; i < 64; i++) ASSERT_EQ(work[i], 0) << "coefficients not cleared";
            for (int y = 0; y < 8; y++)
                for (int x = 0; x < 8; x++)
                    ASSERT_EQ(plane[16 * (y + 1) + 1 + x], want[8 * y + x])
                        << cpu_limit_name(form) << " trial " << trial << " at " << x << "," << y;
            // Nothing written around the block.
            for (int x = 0; x < 16; x++) ASSERT_EQ(plane[x], 0xAA);
            for (int y = 1; y <= 8; y++) {
                ASSERT_EQ(plane[16 * y], 0xAA);
                ASSERT_EQ(plane[16 * y + 9], 0xAA);
            }
        }
    }
}

TEST(JpegIdct, LevelShiftAndRounding) {
    int32_t qt[64];
    for (int i = 0; i < 64; i++) qt[i] = 1;
    uint8_t out[64];
    int32_t coef[64] = {};
    jpg_idct_store(coef, qt, out, 8);
    for (int i = 0; i < 64; i++) ASSERT_EQ(out[i], 128);
    coef[0] = 10;  // 80 after dequantisation: one eighth of it on every sample
    qt[0] = 8;
    jpg_idct_store(coef, qt, out, 8);
    for (int i = 0; i < 64; i++) ASSERT_EQ(out[i], 138);
    // 8 x (value - 128) reconstructs to value: 300 clamps to 255, -20 to 0.
    const struct {
        int32_t dc;
        uint8_t want;
    } cases[] = {{8 * (300 - 128), 255}, {8 * (-20 - 128), 0}, {8 * 254 - 8 * 128 + 4, 255}, {8 * 126, 254}};
    qt[0] = 1;
    for (const auto &c : cases) {
        coef[0] = c.dc;
        jpg_idct_store(coef, qt, out, 8);
        EXPECT_EQ(out[0], c.want) << c.dc;
    }
}

TEST(JpegColour, RowsMatchDoubleRuleForEverySample) {
    std::vector<uint8_t> y(256), cb(256), cr(256), out(256 * 4);
    for (int i = 0; i < 256; i++) y[i] = (uint8_t)i;
    for (CpuLimit form : every_cpu_form()) {
        CpuFormScope scope(form);
        bool widest = form.form == cpu_form_available();  // the widest form sees every triple
        for (int b = 0; b < 256; b += widest ? 1 : 5)
            for (int r = 0; r < 256; r += widest ? 1 : 3) {
                std::fill(cb.begin(), cb.end(), (uint8_t)b);
                std::fill(cr.begin(), cr.end(), (uint8_t)r);
                jpg_ycc_row(y.data(), cb.data(), cr.data(), 256, out.data());
                for (int i = 0; i < 256; i++) {
                    uint8_t want[3];
                    ref_jpeg_ycc((uint8_t)i, (uint8_t)b, (uint8_t)r, want);
                    ASSERT_EQ(out[4 * i], want[0]) << i << "," << b << "," << r;
                    ASSERT_EQ(out[4 * i + 1], want[1]) << i << "," << b << "," << r;
                    ASSERT_EQ(out[4 * i + 2], want[2]) << i << "," << b << "," << r;
                    ASSERT_EQ(out[4 * i + 3], 255);
                }
            }
    }
    uint8_t rgb[3];
    jpg_ycc_to_rgb(128, 128, 128, rgb);
    EXPECT_EQ(rgb[0], 128);
    EXPECT_EQ(rgb[1], 128);
    EXPECT_EQ(rgb[2], 128);
    jpg_ycc_to_rgb(255, 128, 255, rgb);
    EXPECT_EQ(rgb[0], 255);
}

// ---- Huffman tables ---------------------------------------------------------------------

// The look-up table answers what the bit-serial walk answers, for every 16-bit window, on
// random (often incomplete or over-full) code-length counts.
TEST(JpegHuffman, LookupMatchesBitSerialDecoding) {
    std::mt19937 rng(77);
    for (int trial = 0; trial < 300; trial++) {
        uint8_t counts[16] = {};
        int total = 0;
        for (int l = 0; l < 16; l++) {
            int r = (int)(rng() % 10);
            counts[l] = (uint8_t)(r < 5 ? 0 : r < 9 ? rng() % (1u << (l < 8 ? l + 1 : 8)) : rng() % 256);
            total += counts[l];
        }
        std::vector<uint8_t> symbols((size_t)total);
        for (auto &s : symbols) s = (uint8_t)rng();
        RefJpegHuff ref;
        jpg_huff fast;
        bool ok_ref = ref_jpeg_huff_build(&ref, counts, symbols.data());
        bool ok_fast = jpg_huff_build(&fast, counts, symbols.data());
        ASSERT_EQ(ok_ref, ok_fast);
        if (!ok_ref) continue;
        for (uint32_t window = 0; window < 65536; window += 1 + rng() % 7) {
            uint8_t bytes[2] = {(uint8_t)(window >> 8), (uint8_t)window};
            // Keep 0xFF out of the window: it would be a marker to the serial reader.
            if (bytes[0] == 0xFF || bytes[1] == 0xFF) continue;
            RefJpegBits rb = {bytes, 2, 0, 0, 0, 0};
            int want = ref_jpeg_decode_symbol(&rb, &ref);
            int used = rb.state == 1 ? -1 : (int)(rb.pos * 8 - rb.nbits);
            // The fast form: look-up, then maxcode from JPG_FAST_BITS + 1.
            int got = -1, got_len = -1;
            uint16_t e = fast.fast[window >> (16 - JPG_FAST_BITS)];
            if (e >> 8) {
                got = e & 0xFF;
                got_len = e >> 8;
            } else {
                for (int l = JPG_FAST_BITS + 1; l <= 16; l++) {
                    int32_t code = (int32_t)(window >> (16 - l));
                    if (code <= fast.maxcode[l]) {
                        got = fast.vals[code + fast.valoff[l]];
                        got_len = l;
                        break;
                    }
                }
            }
            ASSERT_EQ(got, want) << "trial " << trial << " window " << window;
            if (want >= 0) {
                ASSERT_EQ(got_len, used);
            }
        }
    }
}

// ---- Whole decodes against the reference ------------------------------------------------

// Random headers and random entropy-coded data with stuffed bytes, markers, fill bytes and
// early ends: the fast decoder stops, skips and succeeds exactly where the plain one does.
TEST(JpegDecode, RandomStreamsMatchReference) {
    std::mt19937 rng(99);
    for (int trial = 0; trial < 1500; trial++) {
        JpegBuilder j;
        int nf = (int[]){1, 3, 4}[rng() % 3];
        int w = 1 + (int)(rng() % 40), h = 1 + (int)(rng() % 40);
        std::vector<JpegBuilder::Comp> comps;
        for (int k = 0; k < nf; k++) {
            int hs = rng() % 4 == 0 ? 1 + (int)(rng() % 4) : 1, vs = rng() % 4 == 0 ? 1 + (int)(rng() % 4) : 1;
            if (k == 0 && rng() % 2) hs = vs = 2;
            comps.push_back({k + 1, hs, vs, k ? 1 : 0});
        }
        j.dqt(0, (uint8_t)(1 + rng() % 40));
        j.dqt(1, (uint8_t)(1 + rng() % 255));
        if (rng() % 3 == 0) j.adobe((int)(rng() % 3));
        j.sof(w, h, comps);
        if (rng() % 4 == 0) {
            // Random tables: any counts, symbols including DC categories beyond 16 bits.
            for (int cls = 0; cls < 2; cls++) {
                std::vector<uint8_t> counts(16), syms;
                for (int l = 0; l < 16; l++) counts[l] = (uint8_t)(rng() % 3 == 0 ? rng() % (l + 2) : 0);
                for (int l = 0; l < 16; l++)
                    for (int i = 0; i < counts[l]; i++)
                        syms.push_back((uint8_t)(cls == 0 ? (rng() % 8 == 0 ? rng() % 256 : rng() % 12) : rng()));
                j.dht(cls, 0, counts, syms);
            }
        } else {
            simple_tables(&j);
        }
        int ri = rng() % 3 == 0 ? (int)(rng() % 4) : 0;
        if (ri) j.dri(ri);
        std::vector<std::pair<int, int>> scan;
        for (int k = 0; k < nf; k++) scan.push_back({k + 1, 0x00});
        j.sos(scan);
        // Mostly well-formed: every block of every MCU coded with symbols of the tables and
        // random value bits, restart markers where the interval puts them; now and then a
        // stray marker, fill byte or random byte breaks it.
        BitWriter bw;
        int hmax = 1, vmax = 1;
        for (auto &c : comps) hmax = std::max(hmax, c.h), vmax = std::max(vmax, c.v);
        bool single = nf == 1;
        int mcus = single ? ((w + 7) / 8) * ((h + 7) / 8)
                          : ((w + 8 * hmax - 1) / (8 * hmax)) * ((h + 8 * vmax - 1) / (8 * vmax));
        const JpegBuilder::Code *eob = nullptr;
        for (const auto &c : j.codes[1])
            if (c.symbol == 0) eob = &c;
        int noise = (int)(rng() % 4);  // 0: clean stream
        for (int mcu = 0; mcu < mcus && !j.codes[0].empty() && !j.codes[1].empty(); mcu++) {
            for (auto &c : comps)
                for (int blk = 0; blk < (single ? 1 : c.h * c.v); blk++) {
                    const auto &dc = j.codes[0][rng() % j.codes[0].size()];
                    bw.put(dc.code, dc.len);
                    for (int v = dc.symbol; v > 0; v -= 16) bw.put((uint32_t)rng(), v < 16 ? v : 16);
                    for (int k = 1; k < 64;) {
                        const auto &ac = j.codes[1][rng() % j.codes[1].size()];
                        int r = ac.symbol >> 4, sz = ac.symbol & 15;
                        int next = k + r + (sz || r == 15 ? 1 : 0);
                        if (ac.symbol == 0 || next > 64 || (rng() % 4 == 0 && eob)) {
                            if (eob) bw.put(eob->code, eob->len);
                            break;
                        }
                        bw.put(ac.code, ac.len);
                        bw.put((uint32_t)rng(), sz);
                        k = next;
                    }
                }
            if (ri && (mcu + 1) % ri == 0 && mcu + 1 < mcus) {
                bw.flush();
                if (noise && rng() % 8 == 0) bw.out.push_back(0xFF);  // fill byte
                bw.out.push_back(0xFF);
                bw.out.push_back((uint8_t)(0xD0 + rng() % 8));
            }
            int r = noise ? (int)(rng() % 200) : 200;
            if (r < 3) {
                bw.flush();
                bw.out.push_back(0xFF);
                bw.out.push_back(r == 0 ? 0xD9 : (uint8_t)(0xC0 + rng() % 0x30));
            } else if (r < 5) {
                bw.put((uint32_t)rng(), 8);
            } else if (r < 6 && !bw.out.empty()) {
                bw.out.pop_back();
            }
        }
        bw.flush();
        if (noise && rng() % 3 == 0 && !bw.out.empty()) bw.out.resize(rng() % bw.out.size());
        for (uint8_t byte : bw.out) j.b.push_back(byte);
        if (rng() % 2) j.bytes({0xFF, 0xD9});
        if (rng() % 8 == 0) j.bytes({0xFF});
        expect_same_as_reference(j.b, "trial " + std::to_string(trial));
        if (HasFatalFailure()) return;
    }
}

// Real streams with bytes of the entropy-coded data changed, inserted or removed.
TEST(JpegDecode, MutatedFilesMatchReference) {
    std::mt19937 rng(5);
    const char *files[] = {"baseline-420.jpg", "restart-7mcu-420.jpg", "grey-2x2-40x24.jpg",
                           "cmyk-imagemagick.jpg", "baseline-411.jpg", "restart-1mcu-420.jpg"};
    for (const char *f : files) {
        std::vector<uint8_t> orig = read_file(data_path(std::string("jpeg/") + f));
        // The scan data starts after the SOS segment; mutate only past the headers.
        size_t start = 0;
        for (size_t i = 0; i + 1 < orig.size(); i++)
            if (orig[i] == 0xFF && orig[i + 1] == 0xDA) start = i + 2 + (orig[i + 2] << 8 | orig[i + 3]);
        ASSERT_GT(start, 0u);
        for (int trial = 0; trial < 150; trial++) {
            std::vector<uint8_t> m = orig;
            for (int e = 1 + (int)(rng() % 4); e > 0; e--) {
                size_t at = start + rng() % (m.size() - start);
                int kind = (int)(rng() % 5);
                if (kind == 0) m[at] = (uint8_t)rng();
                if (kind == 1) m[at] ^= (uint8_t)(1u << (rng() % 8));
                if (kind == 2) m.insert(m.begin() + (long)at, {0xFF, (uint8_t)(0xD0 + rng() % 10)});
                if (kind == 3) m.erase(m.begin() + (long)at);
                if (kind == 4) m.insert(m.begin() + (long)at, 0xFF);
            }
            expect_same_as_reference(m, std::string(f) + " mutation " + std::to_string(trial));
            if (HasFatalFailure()) return;
        }
    }
}

TEST(JpegDecode, EveryVectorFormDecodesTheSame) {
    std::vector<uint8_t> bytes = read_file(data_path("jpeg/ijg-testorig.jpg"));
    Result want = decode_ref(bytes);
    ASSERT_TRUE(want.ok);
    for (CpuLimit form : every_cpu_form()) {
        CpuFormScope scope(form);
        Result got = decode(bytes);
        ASSERT_TRUE(got.ok);
        EXPECT_TRUE(got.rgba == want.rgba) << cpu_limit_name(form);
    }
    // Every corpus file, progressive and 16-bit tables too, as the plain form decodes it.
    for (const std::string &name : list_dir(data_path("jpeg"))) {
        if (name.size() < 4 || name.compare(name.size() - 4, 4, ".jpg") != 0) continue;
        std::vector<uint8_t> file = read_file(data_path("jpeg/" + name));
        std::vector<uint8_t> plain;
        for (CpuLimit form : every_cpu_form()) {
            CpuFormScope scope(form);
            int w = 0, h = 0;
            unsigned char *px = kv_jpeg_decode_ex(file.data(), file.size(), KV_JPEG_ALL, &w, &h, nullptr);
            std::vector<uint8_t> got(px, px + (px ? (size_t)w * h * 4 : 0));
            std::free(px);
            if (form.form == CPU_PLAIN) plain = got;
            EXPECT_TRUE(got == plain) << name << " " << cpu_limit_name(form);
        }
    }
}

// A stream cut at every byte never crashes and ends as the reference ends: the cuts inside
// the headers fail with their messages, the cuts inside the scan with a decode error.
TEST(JpegDecode, TruncationAtEveryByte) {
    // The larger files are held against the reference at every seventh cut, which keeps
    // the sanitizer run short; every cut is still decoded.
    const struct {
        const char *file;
        size_t ref_stride;
    } files[] = {{"baseline-420.jpg", 1}, {"grey-2x2-40x24.jpg", 1}, {"restart-7mcu-420.jpg", 7}, {"cmyk-adobe0.jpg", 7}};
    for (const auto &f : files) {
        std::vector<uint8_t> full = read_file(data_path(std::string("jpeg/") + f.file));
        for (size_t n = 0; n <= full.size(); n++) {
            std::vector<uint8_t> cut(full.begin(), full.begin() + (long)n);
            Result r = decode(cut);
            if (!r.ok) {
                EXPECT_EQ(r.width, 0);
                EXPECT_EQ(r.height, 0);
                EXPECT_EQ(r.message.rfind("jpeg: ", 0), 0u);
            }
            if (n % f.ref_stride == 0 || n + 2 >= full.size())
                expect_same_as_reference(cut, std::string(f.file) + " cut at " + std::to_string(n));
            if (HasFatalFailure()) return;
        }
    }
}

// ---- Header faults ------------------------------------------------------------------------

std::string message_of(const std::vector<uint8_t> &bytes) {
    Result r = decode(bytes);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.width, 0);
    EXPECT_EQ(r.height, 0);
    return r.message;
}

JpegBuilder frame_3(int w = 16, int h = 16) {
    JpegBuilder j;
    j.dqt(0, 2);
    j.sof(w, h, {{1, 2, 2, 0}, {2, 1, 1, 0}, {3, 1, 1, 0}});
    simple_tables(&j);
    return j;
}

TEST(JpegDecode, HeaderFaultMessages) {
    {
        JpegBuilder j;
        j.bytes({0xFF, 0xD9, 0x00});
        EXPECT_EQ(message_of(j.b), "jpeg: no scan data");  // 5 bytes
    }
    EXPECT_EQ(message_of(frame_3().b), "jpeg: no scan data");  // tables and frame, no scan
    {
        JpegBuilder j = frame_3();
        j.b[2] = 0x00;
        EXPECT_EQ(message_of(j.b), "jpeg: corrupt stream");
    }
    {   // Counts that push code values past 16 bits.
        JpegBuilder j;
        std::vector<uint8_t> counts(16, 255), syms(16 * 255, 1);
        j.dht(0, 0, counts, syms);
        j.bytes({0xFF, 0xD9, 0, 0, 0, 0});
        EXPECT_EQ(message_of(j.b), "jpeg: bad DHT");
    }
    {   // Frame payload that names 3 components but holds one.
        JpegBuilder j;
        j.segment(0xC0, {8, 0, 16, 0, 16, 3, 1, 0x11, 0});
        j.bytes({0xFF, 0xD9, 0, 0, 0, 0});
        EXPECT_EQ(message_of(j.b), "jpeg: bad SOF");
    }
    {   // Scan payload that names 3 components but holds one.
        JpegBuilder j = frame_3();
        j.segment(0xDA, {3, 1, 0});
        j.bytes({0, 0, 0, 0});
        EXPECT_EQ(message_of(j.b), "jpeg: bad SOS");
    }
    {
        JpegBuilder j;
        j.dqt(0, 2);
        j.sof(16, 16, {{1, 1, 1, 0}, {2, 1, 1, 0}});
        simple_tables(&j);
        j.sos({{1, 0}, {2, 0}});
        j.bytes({0, 0, 0, 0});
        EXPECT_EQ(message_of(j.b), "jpeg: unsupported SOF");
    }
    {
        JpegBuilder j;
        j.dqt(0, 2);
        j.sof(16, 16, {{1, 1, 1, 0}}, 0xC2);
        EXPECT_EQ(message_of(j.b), "jpeg: progressive JPEG not supported");
    }
    {   // A scan naming one of three components, one naming a component twice, an empty one.
        JpegBuilder a = frame_3(), b = frame_3(), c = frame_3();
        a.sos({{1, 0}});
        b.sos({{1, 0}, {1, 0}, {2, 0}});
        c.sos({});
        for (JpegBuilder *j : {&a, &b, &c}) {
            j->bytes({0, 0, 0, 0, 0xFF, 0xD9});
            EXPECT_EQ(message_of(j->b), "jpeg: multi-scan JPEG not supported");
        }
    }
    {   // An empty scan with no frame at all.
        JpegBuilder j;
        j.sos({});
        j.bytes({0, 0, 0, 0});
        EXPECT_EQ(message_of(j.b), "jpeg: unknown SOS component");
    }
    {
        JpegBuilder j = frame_3();
        j.sos({{1, 0}, {2, 0x11}, {3, 0}});
        j.bytes({0, 0, 0, 0});
        EXPECT_EQ(message_of(j.b), "jpeg: missing Huffman table");
    }
}

// 20,000 x 10,000 pixels pass the frame check (the output allocation, the second after
// the context, is then made to fail, which shows it was reached); one line more does not.
TEST(JpegDecode, PixelLimit) {
    for (int h : {10000, 10001}) {
        JpegBuilder j = frame_3(20000, h);
        j.sos({{1, 0}, {2, 0}, {3, 0}});
        j.bytes({0, 0, 0, 0});
        mem_fail_at(2);
        Result r = decode(j.b);
        mem_fail_at(0);
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.message, h == 10000 ? "jpeg: out of memory" : "jpeg: image too large");
    }
}

TEST(JpegDecode, NullInputAndSuccessMessage) {
    int w = 7, h = 7;
    const char *msg = nullptr;
    EXPECT_EQ(kv_jpeg_decode_impl(nullptr, 100, &w, &h, &msg), nullptr);
    EXPECT_STREQ(msg, "jpeg: no scan data");
    EXPECT_EQ(w, 0);
    unsigned char *px = kv_jpeg_decode(data_path("jpeg/odd-1x1.jpg").c_str(), &w, &h, &msg);
    ASSERT_NE(px, nullptr);
    EXPECT_STREQ(msg, "");
    std::free(px);
    w = h = 7;
    EXPECT_EQ(kv_jpeg_decode(data_path("jpeg/no-such-file.jpg").c_str(), &w, &h, &msg), nullptr);
    EXPECT_STREQ(msg, "jpeg: cannot read file");
    EXPECT_EQ(w, 7);  // left untouched when the file cannot be read
}

// ---- Allocation failures ----------------------------------------------------------------

TEST(JpegDecode, FailedAllocationAtEveryPoint) {
    for (const char *f : {"baseline-420.jpg", "grey-2x2-40x24.jpg", "cmyk-imagemagick.jpg", "baseline-411.jpg"}) {
        std::string path = data_path(std::string("jpeg/") + f);
        for (long n = 1;; n++) {
            mem_fail_at(n);
            int w = -1, h = -1;
            const char *msg = nullptr;
            unsigned char *px = kv_jpeg_decode(path.c_str(), &w, &h, &msg);
            long made = mem_alloc_count();
            mem_fail_at(0);
            if (px) {
                std::free(px);
                EXPECT_GT(n, made) << f << ": succeeded although allocation " << n << " failed";
                break;
            }
            std::string m = msg;
            EXPECT_TRUE(m == "jpeg: out of memory" || m == "jpeg: cannot read file") << f << " n=" << n << ": " << m;
            if (m == "jpeg: out of memory") {
                EXPECT_EQ(w, 0);
                EXPECT_EQ(h, 0);
            }
            ASSERT_LT(n, 20) << f;
        }
    }
}

// ---- Restart intervals, colour rules and sampling against libjpeg-made pictures -------------

std::vector<uint8_t> to_grey(const std::vector<uint8_t> &rgb) {
    std::vector<uint8_t> g(rgb.size() / 3);
    for (size_t i = 0; i < g.size(); i++) g[i] = (uint8_t)((rgb[3 * i] + 2 * rgb[3 * i + 1] + rgb[3 * i + 2]) / 4);
    return g;
}

TEST(JpegDecode, RestartIntervalsGiveTheSamePixels) {
    const int w = 75, h = 53;
    std::vector<uint8_t> rgb = test_picture_rgb(w, h, 3), grey = to_grey(rgb);
    struct Shape {
        int comps, h0, v0;
    } shapes[] = {{3, 2, 2}, {3, 1, 1}, {3, 2, 1}, {1, 1, 1}};
    for (const Shape &s : shapes) {
        LibjpegEncodeOptions o;
        o.h0 = s.h0;
        o.v0 = s.v0;
        const uint8_t *px = s.comps == 3 ? rgb.data() : grey.data();
        Result plain = decode(libjpeg_encode(px, w, h, s.comps, o));
        ASSERT_TRUE(plain.ok) << plain.message;
        for (int ri : {1, 2, 3, 4, 7, 20}) {
            o.restart_interval = ri;
            std::vector<uint8_t> coded = libjpeg_encode(px, w, h, s.comps, o);
            Result r = decode(coded);
            ASSERT_TRUE(r.ok) << r.message;
            EXPECT_TRUE(r.rgba == plain.rgba) << "restart " << ri << " sampling " << s.h0 << "x" << s.v0;
        }
    }
}

// The same with files written by cjpeg, when it is installed.
TEST(JpegDecode, CjpegRestartFilesGiveTheSamePixels) {
    if (!have_program("cjpeg")) GTEST_SKIP() << "cjpeg not installed";
    TempDir dir;
    const int w = 64, h = 48;
    std::vector<uint8_t> rgb = test_picture_rgb(w, h, 9);
    std::string ppm = "P6\n" + std::to_string(w) + " " + std::to_string(h) + "\n255\n";
    std::vector<uint8_t> file(ppm.begin(), ppm.end());
    file.insert(file.end(), rgb.begin(), rgb.end());
    write_file(dir.file("in.ppm"), file);
    std::vector<std::vector<uint8_t>> decoded;
    for (const char *opt : {"", "-restart 1", "-restart 3B", "-restart 1B"}) {
        std::string out = dir.file("out.jpg");
        ASSERT_EQ(run_command(std::string("cjpeg -quality 80 ") + opt + " -outfile '" + out + "' '" +
                              dir.file("in.ppm") + "'"),
                  0);
        Result r = decode(read_file(out));
        ASSERT_TRUE(r.ok) << r.message;
        decoded.push_back(r.rgba);
    }
    for (size_t i = 1; i < decoded.size(); i++) EXPECT_TRUE(decoded[i] == decoded[0]) << i;
}

// Inverted (Adobe) CMYK made so that red = C x K / 255 inverts it: the decoded colours
// come back close to the original picture, stored as plain CMYK and as YCCK.
TEST(JpegDecode, InkPicturesComeBackClose) {
    const int w = 48, h = 40;
    std::vector<uint8_t> rgb = test_picture_rgb(w, h, 11), cmyk((size_t)w * h * 4), want((size_t)w * h * 4);
    for (size_t i = 0; i < (size_t)w * h; i++) {
        int r = rgb[3 * i], g = rgb[3 * i + 1], b = rgb[3 * i + 2];
        int k = std::max(1, std::max(r, std::max(g, b)));
        cmyk[4 * i] = (uint8_t)(r * 255 / k);
        cmyk[4 * i + 1] = (uint8_t)(g * 255 / k);
        cmyk[4 * i + 2] = (uint8_t)(b * 255 / k);
        cmyk[4 * i + 3] = (uint8_t)k;
        for (int c = 0; c < 3; c++) want[4 * i + c] = rgb[3 * i + c];
        want[4 * i + 3] = 255;
    }
    for (int colour : {0, 2}) {
        LibjpegEncodeOptions o;
        o.quality = 95;
        o.h0 = o.v0 = 1;
        o.colour = colour;
        Result r = decode(libjpeg_encode(cmyk.data(), w, h, 4, o));
        ASSERT_TRUE(r.ok) << r.message;
        EXPECT_GE(psnr_rgb(r.rgba, want), 30.0) << (colour ? "YCCK" : "CMYK");
    }
    // RGB stored without transform (Adobe transform 0) is read as RGB.
    LibjpegEncodeOptions o;
    o.quality = 95;
    o.h0 = o.v0 = 1;
    o.colour = 1;
    Result r = decode(libjpeg_encode(rgb.data(), w, h, 3, o));
    ASSERT_TRUE(r.ok) << r.message;
    EXPECT_GE(psnr_rgb(r.rgba, want), 35.0);
}

// Luma at half the chroma resolution: every component is read at its own scaled position,
// which is what libjpeg's plain replication gives.
TEST(JpegDecode, LumaNotTheDensestComponent) {
    const int w = 50, h = 36;
    std::vector<uint8_t> rgb = test_picture_rgb(w, h, 21);
    LibjpegEncodeOptions o;
    o.quality = 90;
    o.sampling = {1, 1, 2, 2, 1, 2};  // Y 1x1, Cb 2x2, Cr 1x2
    std::vector<uint8_t> jpeg = libjpeg_encode(rgb.data(), w, h, 3, o);
    Result r = decode(jpeg);
    ASSERT_TRUE(r.ok) << r.message;
    LibjpegImage img;
    ASSERT_TRUE(libjpeg_decode(jpeg, &img));
    std::vector<uint8_t> want((size_t)w * h * 4, 255);
    for (size_t i = 0; i < (size_t)w * h; i++)
        for (int c = 0; c < 3; c++) want[4 * i + c] = img.samples[3 * i + c];
    EXPECT_GE(psnr_rgb(r.rgba, want), 40.0);
    expect_same_as_reference(jpeg, "luma 1x1, chroma 2x2 and 1x2");
}

}  // namespace

// A scan that names one component twice is refused even when it also names every frame
// component; named once each, the same streams decode.
TEST(JpegDecode, ScanNamingAComponentTwiceIsRefused) {
    struct Shape {
        std::vector<JpegBuilder::Comp> frame;
        std::vector<std::pair<int, int>> once, twice;
    } shapes[] = {
        {{{1, 1, 1, 0}}, {{1, 0}}, {{1, 0}, {1, 0}}},
        {{{1, 1, 1, 0}, {2, 1, 1, 0}, {3, 1, 1, 0}}, {{1, 0}, {2, 0}, {3, 0}}, {{1, 0}, {2, 0}, {3, 0}, {1, 0}}},
        {{{1, 1, 1, 0}, {2, 1, 1, 0}, {3, 1, 1, 0}}, {{1, 0}, {2, 0}, {3, 0}}, {{1, 0}, {2, 0}, {2, 0}, {3, 0}}},
    };
    for (const Shape &s : shapes) {
        for (bool twice : {false, true}) {
            JpegBuilder j;
            j.dqt(0, 2);
            j.sof(16, 16, s.frame);
            simple_tables(&j);
            j.sos(twice ? s.twice : s.once);
            // Twelve blocks of DC category 0 ("00") and end-of-block ("1010").
            for (int k = 0; k < 3; k++) j.bytes({0x28, 0xA2, 0x8A});
            j.bytes({0xFF, 0xD9});
            Result r = decode(j.b);
            EXPECT_EQ(r.ok, !twice) << r.message;
            EXPECT_EQ(r.message, twice ? "jpeg: multi-scan JPEG not supported" : "");
            expect_same_as_reference(j.b, "scan naming components");
        }
    }
}

// Fill bytes (0xFF) may precede any marker: the end-of-image marker after a scan that stops
// midway is found behind them, as it is after a failed restart.
TEST(JpegDecode, FillBytesBeforeTheEndOfImageMarker) {
    for (int fills = 0; fills <= 3; fills++) {
        for (bool restart : {false, true}) {
            JpegBuilder j;
            j.dqt(0, 2);
            j.sof(32, 16, {{1, 1, 1, 0}});
            if (restart) j.dri(1);
            simple_tables(&j);
            j.sos({{1, 0}});
            if (restart) {
                j.bytes({0x28});  // one block (DC "00", end of block "1010"), then no restart marker
            } else {
                j.bytes({0xFF, 0x00, 0xFF, 0x00});  // sixteen 1 bits: no DC code, decoding stops
            }
            for (int i = 0; i < fills; i++) j.bytes({0xFF});
            j.bytes({0xFF, 0xD9});
            Result r = decode(j.b);
            EXPECT_TRUE(r.ok) << r.message << " with " << fills << " fill bytes, restart " << restart;
            expect_same_as_reference(j.b, "fill bytes before the end");
        }
    }
}
