// png_test.cpp: kv_png_decode follows its contract (every check, in order, with its message;
// the pixel rules of every colour type and depth, any zlib window, a safe palette look-up),
// gives libpng's pixels (under our rules) for images of every format, width and filter built here,
// fails cleanly with a message from the table when any allocation fails, and runs on
// several threads at once.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "checksum.h"
#include "folian.h"
#include "libpng_ref.h"
#include "mem.h"
#include "png/png.h"
#include "test_util.h"

namespace {

using Bytes = std::vector<uint8_t>;

// ---- Test-side PNG writer ---------------------------------------------------------------------
void put32(Bytes &b, uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) b.push_back((uint8_t)(v >> s));
}

const uint8_t SIGNATURE[8] = {137, 80, 78, 71, 13, 10, 26, 10};

struct Png {
    Bytes bytes;
    Png() : bytes(SIGNATURE, SIGNATURE + 8) {}
    Png &chunk(const char *type, const Bytes &data) {
        put32(bytes, (uint32_t)data.size());
        const size_t start = bytes.size();
        bytes.insert(bytes.end(), type, type + 4);
        bytes.insert(bytes.end(), data.begin(), data.end());
        put32(bytes, (uint32_t)crc32(0, bytes.data() + start, (uInt)(bytes.size() - start)));
        return *this;
    }
    Png &ihdr(uint32_t w, uint32_t h, int depth, int color, int interlace = 0) {
        Bytes d;
        put32(d, w);
        put32(d, h);
        d.push_back((uint8_t)depth);
        d.push_back((uint8_t)color);
        d.push_back(0);
        d.push_back(0);
        d.push_back((uint8_t)interlace);
        return chunk("IHDR", d);
    }
    Png &idat(const Bytes &z) { return chunk("IDAT", z); }
    Png &iend() { return chunk("IEND", {}); }
};

Bytes zlib_compress(const Bytes &raw, int level = 6) {
    uLongf n = compressBound((uLong)raw.size());
    Bytes z(n);
    EXPECT_EQ(compress2(z.data(), &n, raw.data(), (uLong)raw.size(), level), Z_OK);
    z.resize(n);
    return z;
}

// A zlib stream of stored blocks with header 78 01 (like the library's own encoder).
Bytes zlib_stored(const Bytes &raw) {
    Bytes z = {0x78, 0x01};
    size_t off = 0;
    do {
        const size_t n = std::min<size_t>(65535, raw.size() - off);
        z.push_back(off + n == raw.size());
        z.push_back((uint8_t)n);
        z.push_back((uint8_t)(n >> 8));
        z.push_back((uint8_t)~n);
        z.push_back((uint8_t)(~n >> 8));
        z.insert(z.end(), raw.begin() + off, raw.begin() + off + n);
        off += n;
    } while (off < raw.size());
    put32(z, (uint32_t)adler32(1, raw.data(), (uInt)raw.size()));
    return z;
}

// A whole file: IHDR, optional extra chunks before IDAT, one IDAT, IEND.
Bytes make_png(uint32_t w, uint32_t h, int depth, int color, const Bytes &raw,
               const std::vector<std::pair<const char *, Bytes>> &extra = {}) {
    Png p;
    p.ihdr(w, h, depth, color);
    for (auto &[t, d] : extra) p.chunk(t, d);
    p.idat(zlib_compress(raw)).iend();
    return p.bytes;
}

struct Decoded {
    uint8_t *px = nullptr;
    int w = -1, h = -1;
    const char *msg = nullptr;
    ~Decoded() { std::free(px); }
    std::string message() const { return msg ? msg : "(null)"; }
    Bytes pixels() const { return px ? Bytes(px, px + (size_t)w * h * 4) : Bytes(); }
};

void decode(const Bytes &file, Decoded *d) { d->px = png_decode_memory(file.data(), file.size(), &d->w, &d->h, &d->msg); }

// Decodes `file` and expects failure with `message` (null result, width and height 0).
void expect_failure(const Bytes &file, const char *message) {
    Decoded d;
    decode(file, &d);
    EXPECT_EQ(d.px, nullptr);
    EXPECT_EQ(d.w, 0);
    EXPECT_EQ(d.h, 0);
    EXPECT_EQ(d.message(), message);
}

Bytes expect_success(const Bytes &file, int w, int h) {
    Decoded d;
    decode(file, &d);
    EXPECT_NE(d.px, nullptr) << d.message();
    EXPECT_EQ(d.w, w);
    EXPECT_EQ(d.h, h);
    EXPECT_STREQ(d.msg, "");
    return d.pixels();
}

// Every text of the decoder's failure table.
const std::set<std::string> &message_table() {
    static const std::set<std::string> t = {
        "png: cannot read file", "png: not a PNG file (bad signature)", "png: missing IHDR or IDAT",
        "png: truncated chunk", "png: bad IHDR length", "png: image too large", "png: bad PLTE",
        "png: interlaced PNG not supported", "png: unsupported color type", "png: palette PNG without PLTE",
        "png: unsupported bit depth", "png: 16-bit palette not supported", "png: bad zlib header in IDAT",
        "png: inflate failed (corrupt or truncated stream)", "png: adler-32 checksum mismatch", "png: out of memory"};
    return t;
}

Bytes rgba(std::initializer_list<int> v) {
    Bytes b;
    for (int x : v) b.push_back((uint8_t)x);
    return b;
}

// ---- Edge cases of the format ----------------------------------------------------------------------

TEST(PngDecode, OnePixelRgbaStoredBlock) {
    Png p;
    p.ihdr(1, 1, 8, 6).idat(zlib_stored({0, 0x11, 0x22, 0x33, 0x44})).iend();
    EXPECT_EQ(expect_success(p.bytes, 1, 1), rgba({0x11, 0x22, 0x33, 0x44}));
}

TEST(PngDecode, RoundTripThroughTheEncoder) {
    TempDir tmp;
    const std::string path = tmp.file("rt.png");
    std::mt19937 rng(3);
    for (auto [w, h] : {std::pair{1, 1}, {7, 3}, {64, 65}, {300, 20}}) {
        Bytes px((size_t)w * h * 4);
        for (auto &b : px) b = (uint8_t)rng();
        ASSERT_EQ(kv_png_write(path.c_str(), w, h, px.data()), 1);
        int dw, dh;
        const char *msg;
        uint8_t *back = kv_png_decode(path.c_str(), &dw, &dh, &msg);
        ASSERT_NE(back, nullptr) << msg;
        EXPECT_EQ(dw, w);
        EXPECT_EQ(dh, h);
        EXPECT_EQ(Bytes(back, back + px.size()), px);
        std::free(back);
    }
}

TEST(PngDecode, Grey8) {
    const Bytes f = make_png(3, 1, 8, 0, {0, 0, 100, 255});
    EXPECT_EQ(expect_success(f, 3, 1), rgba({0, 0, 0, 255, 100, 100, 100, 255, 255, 255, 255, 255}));
}

TEST(PngDecode, Grey1RowA5) {
    const Bytes out = expect_success(make_png(8, 1, 1, 0, {0, 0xA5}), 8, 1);
    const int grey[8] = {255, 0, 255, 0, 0, 255, 0, 255};
    for (int k = 0; k < 8; k++) EXPECT_EQ(out[4 * k], grey[k]) << k;
}

TEST(PngDecode, LowDepthGreyScaling) {
    // 2-bit sample 2 -> 170; 4-bit sample 7 -> 119 (s * 255 / (2^depth - 1)).
    EXPECT_EQ(expect_success(make_png(1, 1, 2, 0, {0, 0x80}), 1, 1), rgba({170, 170, 170, 255}));
    EXPECT_EQ(expect_success(make_png(1, 1, 4, 0, {0, 0x70}), 1, 1), rgba({119, 119, 119, 255}));
    // A row of 4-bit samples 0..15 and a partial last byte (odd width).
    Bytes raw = {0};
    for (int i = 0; i < 8; i++) raw.push_back((uint8_t)((2 * i) << 4 | (2 * i + 1)));
    raw.push_back(0xF0);
    const Bytes out = expect_success(make_png(17, 1, 4, 0, raw), 17, 1);
    for (int k = 0; k < 16; k++) EXPECT_EQ(out[4 * k], k * 17);
    EXPECT_EQ(out[4 * 16], 255);
}

TEST(PngDecode, PaletteWithShortTrns) {
    // 2-bit palette, 4 entries, tRNS of 2 bytes: indexes 0, 1 take their alpha from it.
    const Bytes plte = {10, 11, 12, 20, 21, 22, 30, 31, 32, 40, 41, 42};
    const Bytes f = make_png(4, 1, 2, 3, {0, 0x1B}, {{"PLTE", plte}, {"tRNS", {0x00, 0x80}}});
    EXPECT_EQ(expect_success(f, 4, 1),
              rgba({10, 11, 12, 0, 20, 21, 22, 128, 30, 31, 32, 255, 40, 41, 42, 255}));
}

TEST(PngDecode, GreyTransparencyKey) {
    const Bytes f = make_png(3, 1, 8, 0, {0, 64, 65, 0}, {{"tRNS", {0x00, 0x40}}});
    EXPECT_EQ(expect_success(f, 3, 1), rgba({64, 64, 64, 0, 65, 65, 65, 255, 0, 0, 0, 255}));
    // The key is compared with the unscaled sample: 2-bit sample 1 (85) with key 1.
    const Bytes g = make_png(4, 1, 2, 0, {0, 0x1B}, {{"tRNS", {0x00, 0x01}}});
    EXPECT_EQ(expect_success(g, 4, 1), rgba({0, 0, 0, 255, 85, 85, 85, 0, 170, 170, 170, 255, 255, 255, 255, 255}));
    // A key past the sample range matches nothing; a 1-byte tRNS is no key.
    const Bytes k = make_png(2, 1, 1, 0, {0, 0x40}, {{"tRNS", {0x01, 0x01}}});
    EXPECT_EQ(expect_success(k, 2, 1), rgba({0, 0, 0, 255, 255, 255, 255, 255}));
    const Bytes one = make_png(1, 1, 8, 0, {0, 0}, {{"tRNS", {0x00}}});
    EXPECT_EQ(expect_success(one, 1, 1), rgba({0, 0, 0, 255}));
}

TEST(PngDecode, TrnsIgnoredForRgbAndSixteenBitGrey) {
    const Bytes rgb = make_png(1, 1, 8, 2, {0, 1, 2, 3}, {{"tRNS", {0, 1, 0, 2, 0, 3}}});
    EXPECT_EQ(expect_success(rgb, 1, 1), rgba({1, 2, 3, 255}));
    const Bytes g16 = make_png(1, 1, 16, 0, {0, 0x12, 0x34}, {{"tRNS", {0x12, 0x34}}});
    EXPECT_EQ(expect_success(g16, 1, 1), rgba({0x12, 0x12, 0x12, 255}));
}

TEST(PngDecode, SixteenBitKeepsTheHighByte) {
    const Bytes f = make_png(1, 1, 16, 2, {0, 0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC});
    EXPECT_EQ(expect_success(f, 1, 1), rgba({0x12, 0x56, 0x9A, 255}));
    const Bytes ga = make_png(1, 1, 16, 4, {0, 0xAB, 0xCD, 0x80, 0x01});
    EXPECT_EQ(expect_success(ga, 1, 1), rgba({0xAB, 0xAB, 0xAB, 0x80}));
    const Bytes a = make_png(1, 1, 16, 6, {0, 1, 2, 3, 4, 5, 6, 7, 8});
    EXPECT_EQ(expect_success(a, 1, 1), rgba({1, 3, 5, 7}));
    const Bytes ga8 = make_png(1, 1, 8, 4, {0, 9, 200});
    EXPECT_EQ(expect_success(ga8, 1, 1), rgba({9, 9, 9, 200}));
}

// Paeth ties. With u = a - c and v = b - c: pa = |v|, pb = |u|, pc = |u + v|.
// Row 0 holds c, b; row 1 is Paeth-filtered: its first byte has a = c = 0, so the
// predictor is b (row 0's first byte); its second byte has the tie under test.
Bytes paeth_file(int channels, int c, int b, int a, int stored_x) {
    const int color = channels == 1 ? 0 : channels == 3 ? 2 : 6;
    Bytes raw = {0};
    for (int i = 0; i < channels; i++) raw.push_back((uint8_t)c);
    for (int i = 0; i < channels; i++) raw.push_back((uint8_t)b);
    raw.push_back(4);
    for (int i = 0; i < channels; i++) raw.push_back((uint8_t)(a - c));  // predictor b = c here
    for (int i = 0; i < channels; i++) raw.push_back((uint8_t)stored_x);
    return make_png(2, 2, 8, color, raw);
}

TEST(PngDecode, PaethTieBreaking) {
    for (int ch : {1, 3, 4}) {
        // pa == pc < pb (c=100, b=110, a=80: pa 10, pb 20, pc 10): a is taken.
        Bytes out = expect_success(paeth_file(ch, 100, 110, 80, 5), 2, 2);
        EXPECT_EQ(out[12], 85) << ch;
        // pb == pc < pa (c=100, b=80, a=110: pa 20, pb 10, pc 10): b is taken.
        out = expect_success(paeth_file(ch, 100, 80, 110, 5), 2, 2);
        EXPECT_EQ(out[12], 85) << ch;
        // pa == pb < pc needs a == b (then both give the same value).
        out = expect_success(paeth_file(ch, 100, 90, 90, 5), 2, 2);
        EXPECT_EQ(out[12], 95) << ch;
        // All three equal only with a == b == c.
        out = expect_success(paeth_file(ch, 7, 7, 7, 1), 2, 2);
        EXPECT_EQ(out[12], 8) << ch;
    }
}

TEST(PngDecode, UnknownFilterTypeLeavesTheRow) {
    for (int ch : {1, 3, 4}) {
        const int color = ch == 1 ? 0 : ch == 3 ? 2 : 6;
        Bytes raw = {1};
        for (int i = 0; i < 2 * ch; i++) raw.push_back(10);
        raw.push_back(5);  // unknown: stays as stored, and is the row above for the next
        for (int i = 0; i < 2 * ch; i++) raw.push_back((uint8_t)(i + 1));
        raw.push_back(2);  // Up
        for (int i = 0; i < 2 * ch; i++) raw.push_back(100);
        const Bytes out = expect_success(make_png(2, 3, 8, color, raw), 2, 3);
        EXPECT_EQ(out[0], 10);
        EXPECT_EQ(out[4], 20);
        EXPECT_EQ(out[8], 1);                  // row 1 pixel 0, first sample
        EXPECT_EQ(out[12], ch + 1);            // row 1 pixel 1, first sample
        EXPECT_EQ(out[16], 101);               // row 2: Up over the unchanged row
    }
}

// Splits a zlib stream over IDAT chunks of the given sizes, with a tEXt between them.
Bytes split_idat(const Bytes &z, std::vector<size_t> cuts) {
    Png p;
    p.ihdr(16, 16, 8, 2);
    size_t off = 0;
    for (size_t c : cuts) {
        p.idat(Bytes(z.begin() + off, z.begin() + off + c));
        p.chunk("tEXt", {'k', 0, 'v'});
        off += c;
    }
    p.idat(Bytes(z.begin() + off, z.end())).iend();
    return p.bytes;
}

Bytes gradient_raw(int w, int h, int channels) {
    Bytes raw;
    for (int y = 0; y < h; y++) {
        raw.push_back((uint8_t)(y % 5));
        for (int x = 0; x < w * channels; x++) raw.push_back((uint8_t)(x * 7 + y * 3));
    }
    return raw;
}

TEST(PngDecode, IdatSplitOverChunksWithOthersBetween) {
    const Bytes z = zlib_compress(gradient_raw(16, 16, 3));
    const Bytes one = expect_success(make_png(16, 16, 8, 2, gradient_raw(16, 16, 3)), 16, 16);
    EXPECT_EQ(expect_success(split_idat(z, {10, 1}), 16, 16), one);
    EXPECT_EQ(expect_success(split_idat(z, {0, 3, 0}), 16, 16), one);  // empty IDATs count too
    // The 2-byte header split from its stream.
    EXPECT_EQ(expect_success(split_idat(z, {1, 1}), 16, 16), one);
}

TEST(PngDecode, EndOfFileAndStrayBytes) {
    Png p;
    p.ihdr(4, 4, 8, 0).idat(zlib_compress(gradient_raw(4, 4, 1)));
    const Bytes ref = expect_success(p.bytes, 4, 4);  // no IEND
    for (int stray = 1; stray <= 11; stray++) {
        Bytes f = p.bytes;
        f.insert(f.end(), stray, 0x41);
        if (stray <= 7) EXPECT_EQ(expect_success(f, 4, 4), ref) << stray;
        else expect_failure(f, "png: truncated chunk");  // taken as a chunk header
    }
    Bytes after = p.bytes;
    Png q = p;
    q.iend();
    after = q.bytes;
    after.insert(after.end(), {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13});
    EXPECT_EQ(expect_success(after, 4, 4), ref);
}

TEST(PngDecode, ChunkLengthsAndCrcs) {
    Png p;
    p.ihdr(4, 4, 8, 0);
    Bytes f = p.bytes;
    put32(f, 0xFFFFFFFF);
    f.insert(f.end(), {'t', 'E', 'X', 't', 0, 0, 0, 0, 0, 0, 0, 0});
    expect_failure(f, "png: truncated chunk");
    // Damaged CRCs go unnoticed.
    Png q;
    q.ihdr(4, 4, 8, 0).idat(zlib_compress(gradient_raw(4, 4, 1))).iend();
    Bytes g = q.bytes;
    for (size_t i = 8 + 8 + 13; i < 8 + 8 + 13 + 4; i++) g[i] ^= 0xFF;  // IHDR's CRC
    g[g.size() - 1] ^= 0x55;                                             // IEND's CRC
    expect_success(g, 4, 4);
}

TEST(PngDecode, SignatureAndSizeChecks) {
    expect_failure({}, "png: not a PNG file (bad signature)");
    expect_failure({137, 80, 78, 71, 13, 10, 26}, "png: not a PNG file (bad signature)");
    expect_failure({137, 80, 78, 71, 13, 10, 26, 11, 0, 0, 0, 0, 0, 0, 0, 0}, "png: not a PNG file (bad signature)");
    Bytes sig = {137, 80, 78, 71, 13, 10, 26, 10};
    expect_failure(sig, "png: missing IHDR or IDAT");
    Bytes fifteen = sig;
    fifteen.insert(fifteen.end(), 7, 0);
    expect_failure(fifteen, "png: missing IHDR or IDAT");
    Bytes sixteen = sig;
    sixteen.insert(sixteen.end(), {0, 0, 0, 13, 'I', 'H', 'D', 'R'});
    expect_failure(sixteen, "png: truncated chunk");
}

TEST(PngDecode, HeaderChecksInOrder) {
    const Bytes z = zlib_compress(gradient_raw(2, 2, 1));
    // No IHDR / no IDAT.
    expect_failure(Png().idat(z).iend().bytes, "png: missing IHDR or IDAT");
    expect_failure(Png().ihdr(2, 2, 8, 0).iend().bytes, "png: missing IHDR or IDAT");
    // IHDR length.
    expect_failure(Png().chunk("IHDR", Bytes(12, 1)).idat(z).bytes, "png: bad IHDR length");
    expect_failure(Png().chunk("IHDR", Bytes(14, 1)).idat(z).bytes, "png: bad IHDR length");
    // Sizes.
    expect_failure(Png().ihdr(0, 2, 8, 0).idat(z).bytes, "png: image too large");
    expect_failure(Png().ihdr(2, 0, 8, 0).idat(z).bytes, "png: image too large");
    expect_failure(Png().ihdr(0x80000000u, 2, 8, 0).idat(z).bytes, "png: image too large");
    expect_failure(Png().ihdr(10241, 10240, 8, 0).idat(z).bytes, "png: image too large");
    // Interlace before colour type before PLTE before bit depth before 16-bit palette.
    expect_failure(Png().ihdr(2, 2, 3, 9, 1).idat(z).bytes, "png: interlaced PNG not supported");
    expect_failure(Png().ihdr(2, 2, 3, 9).idat(z).bytes, "png: unsupported color type");
    for (int ct : {1, 5, 7, 255}) expect_failure(Png().ihdr(2, 2, 8, ct).idat(z).bytes, "png: unsupported color type");
    expect_failure(Png().ihdr(2, 2, 3, 3).idat(z).bytes, "png: palette PNG without PLTE");
    expect_failure(Png().ihdr(2, 2, 16, 3).idat(z).bytes, "png: palette PNG without PLTE");
    expect_failure(Png().ihdr(2, 2, 4, 2).idat(z).bytes, "png: unsupported bit depth");
    for (int d : {0, 3, 5, 32})
        expect_failure(Png().ihdr(2, 2, d, 0).idat(z).bytes, "png: unsupported bit depth");
    for (int ct : {4, 6})
        for (int d : {1, 2, 4}) expect_failure(Png().ihdr(2, 2, d, ct).idat(z).bytes, "png: unsupported bit depth");
    expect_failure(Png().ihdr(2, 2, 16, 3).chunk("PLTE", {1, 2, 3}).idat(z).bytes, "png: 16-bit palette not supported");
}

TEST(PngDecode, ChunkWalkFailuresComeInFileOrder) {
    const Bytes z = zlib_compress(gradient_raw(2, 2, 1));
    // A bad PLTE before the IHDR's bad values is met first, and the reverse.
    expect_failure(Png().chunk("PLTE", Bytes(4, 0)).ihdr(0, 2, 8, 0).idat(z).bytes, "png: bad PLTE");
    expect_failure(Png().ihdr(0, 2, 8, 0).chunk("PLTE", Bytes(4, 0)).idat(z).bytes, "png: image too large");
    // Walk failures come before header checks (colour type 9 would fail later).
    expect_failure(Png().ihdr(2, 2, 8, 9).chunk("PLTE", Bytes(771, 0)).idat(z).bytes, "png: bad PLTE");
    // A later IHDR replaces the earlier one.
    const Bytes f = Png().ihdr(100, 100, 16, 6).ihdr(2, 2, 8, 0).idat(z).iend().bytes;
    expect_success(f, 2, 2);
    // Chunks after IEND are never looked at.
    expect_success(Png().ihdr(2, 2, 8, 0).idat(z).iend().chunk("PLTE", Bytes(5, 0)).bytes, 2, 2);
}

TEST(PngDecode, PlteRules) {
    Bytes raw = {0, 0x01};
    expect_failure(Png().ihdr(2, 1, 4, 3).chunk("PLTE", Bytes(769, 0)).idat(zlib_compress(raw)).bytes, "png: bad PLTE");
    expect_failure(Png().ihdr(2, 1, 4, 3).chunk("PLTE", Bytes(20, 0)).idat(zlib_compress(raw)).bytes, "png: bad PLTE");
    // 768 bytes is the most.
    expect_success(Png().ihdr(2, 1, 4, 3).chunk("PLTE", Bytes(768, 9)).idat(zlib_compress(raw)).bytes, 2, 1);
    // An empty PLTE is accepted: every index is past it.
    const Bytes e = Png().ihdr(2, 1, 4, 3).chunk("PLTE", {}).chunk("tRNS", {7}).idat(zlib_compress(raw)).iend().bytes;
    EXPECT_EQ(expect_success(e, 2, 1), rgba({0, 0, 0, 7, 0, 0, 0, 255}));
}

TEST(PngDecode, PaletteIndexPastThePlteIsBlackWithTrnsAlpha) {
    // Two entries; indexes 2 and 3 have no colour: black. tRNS of 3 bytes covers index 2.
    const Bytes f = make_png(4, 1, 2, 3, {0, 0x1B}, {{"PLTE", {9, 8, 7, 6, 5, 4}}, {"tRNS", {1, 2, 3}}});
    EXPECT_EQ(expect_success(f, 4, 1), rgba({9, 8, 7, 1, 6, 5, 4, 2, 0, 0, 0, 3, 0, 0, 0, 255}));
    // 8-bit indexes up to 255 with a 1-entry palette.
    Bytes raw = {0};
    for (int i = 0; i < 256; i++) raw.push_back((uint8_t)i);
    const Bytes out = expect_success(make_png(256, 1, 8, 3, raw, {{"PLTE", {50, 60, 70}}}), 256, 1);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 4), rgba({50, 60, 70, 255}));
    for (int i = 1; i < 256; i++) EXPECT_EQ(Bytes(out.begin() + 4 * i, out.begin() + 4 * i + 4), rgba({0, 0, 0, 255}));
}

TEST(PngDecode, PlteAndTrnsMayFollowIdat) {
    Png p;
    p.ihdr(2, 1, 8, 3).idat(zlib_compress({0, 0, 1})).chunk("PLTE", {1, 2, 3, 4, 5, 6}).chunk("tRNS", {9}).iend();
    EXPECT_EQ(expect_success(p.bytes, 2, 1), rgba({1, 2, 3, 9, 4, 5, 6, 255}));
    // A later PLTE or tRNS replaces the earlier.
    Png q;
    q.ihdr(1, 1, 8, 3).chunk("PLTE", {1, 1, 1}).chunk("tRNS", {1}).idat(zlib_compress({0, 0}));
    q.chunk("PLTE", {2, 2, 2}).chunk("tRNS", {}).iend();
    EXPECT_EQ(expect_success(q.bytes, 1, 1), rgba({2, 2, 2, 255}));
}

TEST(PngDecode, BitsPerRowOverflowIsTooLarge) {
    // 33554432 RGBA 16-bit pixels (within the pixel limit) need 2^31 bits per row.
    const Bytes z = zlib_compress({0});
    expect_failure(Png().ihdr(33554432, 1, 16, 6).idat(z).iend().bytes, "png: image too large");
    expect_failure(Png().ihdr(50000000, 2, 16, 2).idat(z).iend().bytes, "png: image too large");
    // The header checks come first.
    expect_failure(Png().ihdr(33554432, 1, 16, 6, 1).idat(z).iend().bytes, "png: interlaced PNG not supported");
}

TEST(PngDecode, InterlacedFails) {
    const Bytes f = Png().ihdr(2, 2, 8, 0, 1).idat(zlib_compress(gradient_raw(2, 2, 1))).iend().bytes;
    expect_failure(f, "png: interlaced PNG not supported");
}

TEST(PngDecode, DataOfTheWrongSizeFails) {
    Bytes raw = gradient_raw(5, 4, 3);
    Bytes more = raw, less = raw;
    more.push_back(0);
    less.pop_back();
    expect_failure(make_png(5, 4, 8, 2, more), "png: inflate failed (corrupt or truncated stream)");
    expect_failure(make_png(5, 4, 8, 2, less), "png: inflate failed (corrupt or truncated stream)");
    // A truncated stream, and a corrupt one.
    Bytes z = zlib_compress(raw);
    z.resize(z.size() - 8);
    expect_failure(Png().ihdr(5, 4, 8, 2).idat(z).iend().bytes, "png: inflate failed (corrupt or truncated stream)");
}

TEST(PngDecode, ZlibHeaderAnyWindowPngAllows) {
    const Bytes raw = gradient_raw(6, 3, 1);
    const Bytes good = expect_success(make_png(6, 3, 8, 0, raw), 6, 3);
    Bytes z = zlib_compress(raw);
    // Windows of 256 bytes to 32 KiB (first byte 0x08 to 0x78) decode alike.
    for (int cinfo = 0; cinfo <= 7; cinfo++) {
        z[0] = (uint8_t)(cinfo << 4 | 8);
        EXPECT_EQ(expect_success(Png().ihdr(6, 3, 8, 0).idat(z).iend().bytes, 6, 3), good) << cinfo;
    }
    // The second byte is not examined.
    z[0] = 0x78;
    z[1] = 0xFF;
    expect_success(Png().ihdr(6, 3, 8, 0).idat(z).iend().bytes, 6, 3);
    // Window code 8 or more, or another compression method, fails.
    for (uint8_t first : {0x88, 0xF8, 0x79, 0x77, 0x7F, 0x00}) {
        z[0] = first;
        expect_failure(Png().ihdr(6, 3, 8, 0).idat(z).iend().bytes, "png: bad zlib header in IDAT");
    }
    // Data of 5 bytes or less fails whatever it holds; 6 bytes pass the header test.
    expect_failure(Png().ihdr(6, 3, 8, 0).idat({0x78, 0x9C, 0, 0, 0}).bytes, "png: bad zlib header in IDAT");
    expect_failure(Png().ihdr(6, 3, 8, 0).idat({}).bytes, "png: bad zlib header in IDAT");
    expect_failure(Png().ihdr(6, 3, 8, 0).idat({0x78, 0x9C, 0, 0, 0, 1}).bytes,
                   "png: inflate failed (corrupt or truncated stream)");
    // libpng's smaller windows for small images: it reads the same pixels (zlib checks
    // the header's check bits, so they are set right here).
    z = zlib_compress(raw);
    z[0] = 0x28;
    z[1] = (uint8_t)(z[1] & 0xE0);
    z[1] = (uint8_t)(z[1] + (31 - (z[0] * 256 + z[1]) % 31) % 31);
    const Bytes small = Png().ihdr(6, 3, 8, 0).idat(z).iend().bytes;
    std::vector<uint8_t> ref;
    int w, h;
    std::string err;
    ASSERT_TRUE(libpng_decode_rgba(small.data(), small.size(), &ref, &w, &h, &err)) << err;
    EXPECT_EQ(ref, good);
}

TEST(PngDecode, AdlerMismatch) {
    Bytes z = zlib_compress(gradient_raw(3, 3, 4));
    z[z.size() - 1] ^= 1;
    expect_failure(Png().ihdr(3, 3, 8, 6).idat(z).iend().bytes, "png: adler-32 checksum mismatch");
    // The checksum is the last 4 bytes of the joined data, wherever the stream ended.
    Bytes y = zlib_compress(gradient_raw(3, 3, 4));
    const Bytes trailer(y.end() - 4, y.end());
    y.resize(y.size() - 4);
    y.insert(y.end(), {1, 2, 3});
    y.insert(y.end(), trailer.begin(), trailer.end());
    expect_success(Png().ihdr(3, 3, 8, 6).idat(y).iend().bytes, 3, 3);
}

// ---- The file front end ---------------------------------------------------------------------------

TEST(PngDecode, FileFrontEnd) {
    TempDir tmp;
    int w = 7, h = 7;
    const char *msg = nullptr;
    EXPECT_EQ(kv_png_decode(tmp.file("missing.png").c_str(), &w, &h, &msg), nullptr);
    EXPECT_EQ(w, 0);
    EXPECT_EQ(h, 0);
    EXPECT_STREQ(msg, "png: cannot read file");
    EXPECT_EQ(kv_png_decode(nullptr, &w, &h, &msg), nullptr);
    EXPECT_STREQ(msg, "png: cannot read file");
    write_file(tmp.file("empty.png"), {});
    EXPECT_EQ(kv_png_decode(tmp.file("empty.png").c_str(), &w, &h, &msg), nullptr);
    EXPECT_STREQ(msg, "png: not a PNG file (bad signature)");
    const char *kept = msg;
    // A success points at an empty text; the earlier text stays readable.
    write_file(tmp.file("ok.png"), make_png(2, 1, 8, 0, {0, 1, 2}));
    w = h = 7;
    uint8_t *px = kv_png_decode(tmp.file("ok.png").c_str(), &w, &h, &msg);
    ASSERT_NE(px, nullptr);
    EXPECT_EQ(w, 2);
    EXPECT_EQ(h, 1);
    EXPECT_STREQ(msg, "");
    EXPECT_STREQ(kept, "png: not a PNG file (bad signature)");
    std::free(px);
}

// ---- Differential: every format against libpng ---------------------------------------------------

// Filters a row of unfiltered bytes with filter type f (the encoder side of PNG).
void filter_row(int f, const uint8_t *cur, const uint8_t *prev, size_t n, size_t bpp, Bytes &out) {
    out.push_back((uint8_t)f);
    for (size_t k = 0; k < n; k++) {
        const int a = k >= bpp ? cur[k - bpp] : 0, b = prev ? prev[k] : 0, c = prev && k >= bpp ? prev[k - bpp] : 0;
        int pred = 0;
        if (f == 1) pred = a;
        if (f == 2) pred = b;
        if (f == 3) pred = (a + b) / 2;
        if (f == 4) {
            const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
            pred = pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
        }
        out.push_back((uint8_t)(cur[k] - pred));
    }
}

struct Format {
    int color, depth;
};

// A random image of the given format whose rows use random filters; smooth content so
// that the predictors matter.
Bytes random_png(std::mt19937 &rng, Format fmt, uint32_t w, uint32_t h, bool trns) {
    const int channels = fmt.color == 2 ? 3 : fmt.color == 4 ? 2 : fmt.color == 6 ? 4 : 1;
    const size_t row_len = ((size_t)w * channels * fmt.depth + 7) / 8;
    const size_t bpp = std::max<size_t>(1, channels * fmt.depth / 8);
    std::vector<Bytes> rows(h, Bytes(row_len));
    for (uint32_t y = 0; y < h; y++)
        for (size_t k = 0; k < row_len; k++)
            rows[y][k] = rng() % 4 == 0 ? (uint8_t)rng() : (uint8_t)((y ? rows[y - 1][k] : 0) + (k >= bpp ? rows[y][k - bpp] : 0) / 2 + rng() % 5);
    Bytes raw;
    for (uint32_t y = 0; y < h; y++) filter_row(rng() % 5, rows[y].data(), y ? rows[y - 1].data() : nullptr, row_len, bpp, raw);
    std::vector<std::pair<const char *, Bytes>> extra;
    if (fmt.color == 3) {
        Bytes plte(3 * (1 + rng() % (1u << fmt.depth)));  // libpng cuts longer ones to 2^depth
        for (auto &b : plte) b = (uint8_t)rng();
        extra.push_back({"PLTE", plte});
    }
    if (trns) {
        Bytes t;
        if (fmt.color == 3) t.resize(rng() % (extra[0].second.size() / 3 + 1));  // libpng takes no more
        if (fmt.color == 0) t = {0, (uint8_t)(rng() % (1u << std::min(fmt.depth, 8)))};
        for (auto &b : t) b = fmt.color == 3 ? (uint8_t)rng() : b;
        if (fmt.color == 3 || fmt.color == 0) extra.push_back({"tRNS", t});
    }
    return make_png(w, h, fmt.depth, fmt.color, raw, extra);
}

TEST(PngDecode, EveryFormatWidthAndFilterAgreesWithLibpng) {
    const Format formats[] = {{0, 1}, {0, 2}, {0, 4}, {0, 8}, {0, 16}, {2, 8}, {2, 16}, {3, 1}, {3, 2},
                              {3, 4}, {3, 8}, {4, 8}, {4, 16}, {6, 8}, {6, 16}};
    std::mt19937 rng(2024);
    int cases = 0;
    for (const Format &fmt : formats) {
        for (uint32_t w : {1u, 2u, 3u, 5u, 7u, 8u, 9u, 15u, 16u, 17u, 31u, 33u, 64u, 100u}) {
            for (int rep = 0; rep < 2; rep++) {
                const uint32_t h = 1 + rng() % 9;
                const bool trns = rep == 1 && rng() % 2;
                const Bytes file = random_png(rng, fmt, w, h, trns);
                std::vector<uint8_t> ref;
                int rw, rh;
                std::string err;
                ASSERT_TRUE(libpng_decode_rgba(file.data(), file.size(), &ref, &rw, &rh, &err)) << err;
                Decoded d;
                decode(file, &d);
                ASSERT_NE(d.px, nullptr) << d.message();
                ASSERT_EQ(d.w, rw);
                ASSERT_EQ(d.h, rh);
                ASSERT_EQ(d.pixels(), ref) << "colour type " << fmt.color << " depth " << fmt.depth << " width " << w;
                cases++;
            }
        }
    }
    EXPECT_EQ(cases, 15 * 14 * 2);
}

// ---- Allocation failures ------------------------------------------------------------------------

// Every allocation of one decode is made to fail in turn; each such call must give null,
// width and height 0 and a message of the table (the sanitizer build checks for leaks).
void walk_allocation_failures(const std::string &path, const Bytes &expected) {
    for (long n = 1;; n++) {
        ASSERT_LT(n, 100) << "no success after 100 allocations";
        int w = 7, h = 7;
        const char *msg = nullptr;
        mem_fail_at(n);
        uint8_t *px = kv_png_decode(path.c_str(), &w, &h, &msg);
        mem_fail_at(0);
        if (px) {
            EXPECT_GT(n, 1);  // at least the file buffer was an allocation
            EXPECT_EQ(Bytes(px, px + expected.size()), expected);
            std::free(px);
            return;
        }
        EXPECT_EQ(w, 0);
        EXPECT_EQ(h, 0);
        ASSERT_NE(msg, nullptr);
        EXPECT_TRUE(message_table().count(msg)) << msg;
        EXPECT_TRUE(!strcmp(msg, "png: out of memory") || !strcmp(msg, "png: cannot read file")) << msg;
    }
}

TEST(PngDecode, EachAllocationFailingInTurn) {
    TempDir tmp;
    std::mt19937 rng(99);
    const Format formats[] = {{6, 8}, {2, 8}, {3, 4}, {0, 8}, {2, 16}, {6, 16}, {4, 16}};
    int i = 0;
    for (const Format &fmt : formats) {
        const Bytes file = random_png(rng, fmt, 40, 30, true);
        const std::string path = tmp.file("f" + std::to_string(i++) + ".png");
        write_file(path, file);
        std::vector<uint8_t> ref;
        int w, h;
        std::string err;
        ASSERT_TRUE(libpng_decode_rgba(file.data(), file.size(), &ref, &w, &h, &err));
        walk_allocation_failures(path, ref);
    }
    // Image data in several chunks (joined into a buffer of its own).
    const Bytes z = zlib_compress(gradient_raw(16, 16, 3));
    const std::string split = tmp.file("split.png");
    write_file(split, split_idat(z, {5, 5, 5}));
    walk_allocation_failures(split, expect_success(split_idat(z, {5, 5, 5}), 16, 16));
}

// ---- Several threads ------------------------------------------------------------------------------

TEST(PngDecode, ConcurrentDecodesDoNotInterfere) {
    TempDir tmp;
    std::mt19937 rng(5);
    const Format formats[] = {{6, 8}, {2, 8}, {3, 8}, {0, 1}};
    std::vector<std::string> paths;
    std::vector<Bytes> expected;
    for (int i = 0; i < 4; i++) {
        const Bytes file = random_png(rng, formats[i], 300, 200, true);
        paths.push_back(tmp.file("t" + std::to_string(i) + ".png"));
        write_file(paths.back(), file);
        expected.push_back(expect_success(file, 300, 200));
    }
    const std::string bad = tmp.file("bad.png");
    write_file(bad, {1, 2, 3});
    std::vector<int> ok(4, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([&, t] {
            int good = 1;
            for (int r = 0; r < 10; r++) {
                int w, h;
                const char *msg;
                uint8_t *px = kv_png_decode(paths[t].c_str(), &w, &h, &msg);
                good &= px && w == 300 && h == 200 && Bytes(px, px + expected[t].size()) == expected[t];
                std::free(px);
                good &= kv_png_decode(bad.c_str(), &w, &h, &msg) == nullptr &&
                        !strcmp(msg, "png: not a PNG file (bad signature)");
            }
            ok[t] = good;
        });
    }
    for (auto &th : threads) th.join();
    EXPECT_EQ(ok, std::vector<int>(4, 1));
}

}  // namespace

// The decoder's Adler-32 (src/checksum.cpp, vectorised) agrees with zlib's at every
// length, alignment and starting value, on the worst-case bytes too.
namespace {
TEST(Adler32, AgreesWithZlib) {
    std::mt19937 rng(8);
    Bytes data(70016);
    for (auto &b : data) b = (uint8_t)rng();
    Bytes ff(70016, 0xFF);
    for (const Bytes *d : {&data, &ff}) {
        for (size_t n : {0, 1, 15, 16, 31, 32, 33, 63, 64, 4095, 4096, 4097, 5551, 5552, 5553, 8192, 20000, 69999}) {
            for (size_t off : {0, 1, 7}) {
                for (uint32_t start : {1u, 0u, 0xFFF0FFF0u}) {
                    const uint32_t z = (uint32_t)adler32(start, d->data() + off, (uInt)n);
                    for (CpuLimit form : every_cpu_form()) {
                        CpuFormScope scope(form);
                        ASSERT_EQ(adler32_update(start, d->data() + off, n), z)
                            << n << " " << off << " " << start << " " << cpu_limit_name(form);
                    }
                }
            }
        }
    }
}
}  // namespace
