// deflate_test.cpp: every stream the compressor writes inflates, with zlib and with
// kv_inflate, to exactly its input, whatever the input (random, runs, constant, filtered
// photo planes, sizes around the stored-block and buffer limits); a stream written in
// pieces equals the one-shot stream; output taken out while compressing joins up to the
// same stream; compressible input gets smaller and incompressible input barely grows;
// running out of memory fails cleanly at every allocation.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "flate/flate.h"
#include "folian.h"
#include "mem.h"
#include "png/filter.h"
#include "test_util.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes compress(DeflateFormat format, const Bytes &in) {
    size_t len = 0;
    uint8_t *p = deflate_compress(format, in.data(), in.size(), &len);
    EXPECT_NE(p, nullptr);
    if (!p) return {};
    Bytes out(p, p + len);
    std::free(p);
    return out;
}

// zlib's inflate of a zlib stream (checks the header and the Adler-32) or a raw one.
Bytes zlib_inflate(const Bytes &z, size_t expect, bool raw) {
    Bytes out(expect + 1);
    z_stream s{};
    EXPECT_EQ(inflateInit2(&s, raw ? -15 : 15), Z_OK);
    s.next_in = const_cast<uint8_t *>(z.data());
    s.avail_in = (uInt)z.size();
    s.next_out = out.data();
    s.avail_out = (uInt)out.size();
    const int r = inflate(&s, Z_FINISH);
    EXPECT_EQ(r, Z_STREAM_END);
    EXPECT_EQ(s.avail_in, 0u) << "bytes after the end of the stream";
    out.resize(s.total_out);
    inflateEnd(&s);
    return out;
}

// Compresses `in` in both formats and checks both decoders get it back exactly.
void expect_round_trip(const Bytes &in, const char *what) {
    SCOPED_TRACE(what);
    const Bytes z = compress(DEFLATE_ZLIB, in);
    ASSERT_GE(z.size(), 6u);
    EXPECT_EQ(((unsigned)z[0] << 8 | z[1]) % 31, 0u);
    EXPECT_EQ(zlib_inflate(z, in.size(), false), in);
    const Bytes raw = compress(DEFLATE_RAW, in);
    EXPECT_EQ(Bytes(z.begin() + 2, z.end() - 4), raw) << "zlib framing around the same data";
    EXPECT_EQ(zlib_inflate(raw, in.size(), true), in);
    Bytes out(in.size() + 1, 0xEE);
    EXPECT_EQ(kv_inflate(raw.data(), raw.size(), out.data(), out.size()), (int32_t)in.size());
    out.resize(in.size());
    EXPECT_EQ(out, in);
}

Bytes random_bytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes b(n);
    for (auto &v : b) v = (uint8_t)rng();
    return b;
}

// Runs of random length and value mixed with short random stretches and repeats from
// far back: exercises every length and distance code.
Bytes mixed_bytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes b;
    b.reserve(n);
    while (b.size() < n) {
        switch (rng() % 4) {
        case 0: b.insert(b.end(), 1 + rng() % 300, (uint8_t)rng()); break;
        case 1: for (unsigned k = rng() % 40; k > 0; k--) b.push_back((uint8_t)(rng() % 8)); break;
        case 2:
            if (b.size() > 10) {
                const size_t dist = 1 + rng() % std::min<size_t>(b.size(), 40000);
                const size_t len = 3 + rng() % 300;
                for (size_t k = 0; k < len; k++) b.push_back(b[b.size() - dist]);
            }
            break;
        default: for (unsigned k = rng() % 20; k > 0; k--) b.push_back((uint8_t)rng()); break;
        }
    }
    b.resize(n);
    return b;
}

// The filtered RGB (3 bytes a pixel) and alpha planes of an RGBA image, rows as PNG
// filters them.
Bytes filtered_plane(const uint8_t *rgba, int w, int h, bool alpha) {
    const unsigned bpp = alpha ? 1 : 3;
    const size_t row = (size_t)w * bpp;
    Bytes out, cur(row), prev(row);
    out.resize((size_t)h * (row + 1));
    for (int y = 0; y < h; y++) {
        for (int x = 0; x < w; x++) {
            const uint8_t *p = rgba + ((size_t)y * w + x) * 4;
            if (alpha) cur[x] = p[3];
            else std::memcpy(&cur[(size_t)x * 3], p, 3);
        }
        png_filter_row(cur.data(), y ? prev.data() : nullptr, row, bpp, &out[(size_t)y * (row + 1)]);
        std::swap(cur, prev);
    }
    return out;
}

TEST(Deflate, RoundTripSizesAtTheLimits) {
    // Stored pieces hold 65535 bytes; the input buffer holds 256 KiB, and a block ends
    // when it slides.
    for (size_t n : {0, 1, 2, 3, 4, 5, 258, 259, 65535, 65536, 262144 - 267, 262144, 262145}) {
        expect_round_trip(random_bytes(n, (uint32_t)n), ("random " + std::to_string(n)).c_str());
        expect_round_trip(mixed_bytes(n, (uint32_t)n), ("mixed " + std::to_string(n)).c_str());
    }
}

TEST(Deflate, RoundTripConstantAndRuns) {
    expect_round_trip(Bytes(1 << 20, 0), "all zero");
    expect_round_trip(Bytes(300000, 0xAB), "all equal");
    Bytes runs;
    for (int i = 0; runs.size() < 500000; i++) runs.insert(runs.end(), 1 + i % 523, (uint8_t)(i * 37));
    expect_round_trip(runs, "runs");
    // Repeats at the largest distance the matcher uses, and at the format's largest.
    Bytes far, farthest;
    const Bytes unit = random_bytes(32767, 1), unit2 = random_bytes(32768, 2);
    for (int k = 0; k < 3; k++) far.insert(far.end(), unit.begin(), unit.end());
    for (int k = 0; k < 3; k++) farthest.insert(farthest.end(), unit2.begin(), unit2.end());
    expect_round_trip(far, "repeats at distance 32767");
    expect_round_trip(farthest, "repeats at distance 32768");
    EXPECT_LT(compress(DEFLATE_ZLIB, far).size(), unit.size() + 1000) << "far repeats are found";
}

TEST(Deflate, RoundTripLargeMixed) {
    expect_round_trip(mixed_bytes(5 << 20, 7), "5 MiB mixed");
}

TEST(Deflate, RoundTripPhotoPlanes) {
    int count = 0;
    for (const char *name : {"png/misc/im-rgba8.png", "png/misc/im-rgb8.png", "png/misc/im-greyalpha8.png"}) {
        const std::string path = data_path(name);
        if (!file_exists(path)) continue;
        int w = 0, h = 0;
        const char *msg = nullptr;
        uint8_t *px = kv_png_decode(path.c_str(), &w, &h, &msg);
        ASSERT_NE(px, nullptr) << name << ": " << msg;
        for (bool alpha : {false, true}) {
            const Bytes plane = filtered_plane(px, w, h, alpha);
            expect_round_trip(plane, name);
            EXPECT_LT(compress(DEFLATE_ZLIB, plane).size(), plane.size() * 9 / 10) << name;
        }
        std::free(px);
        count++;
    }
    EXPECT_GT(count, 0);
}

TEST(Deflate, SizeBounds) {
    // Incompressible input falls back to stored blocks: 5 or 6 bytes a block of at least
    // 32768 bytes, and the framing.
    const size_t n = 1 << 20;
    EXPECT_LE(compress(DEFLATE_ZLIB, random_bytes(n, 3)).size(), n + n / 1000 + 16);
    EXPECT_LT(compress(DEFLATE_ZLIB, Bytes(n, 0)).size(), 2000u);
    // The empty stream is one final fixed block with only its end code.
    EXPECT_EQ(compress(DEFLATE_RAW, {}), (Bytes{0x03, 0x00}));
}

// Feeds the input in pieces of the given sizes (cycled), taking the output out as it
// comes when `drain` is set, and returns the whole stream.
Bytes compress_in_pieces(const Bytes &in, const std::vector<size_t> &pieces, bool drain) {
    Deflater *d = deflate_new(DEFLATE_ZLIB);
    EXPECT_NE(d, nullptr);
    Bytes out;
    auto take = [&] {
        size_t len = 0;
        const uint8_t *p = deflate_output(d, &len);
        out.insert(out.end(), p, p + len);
        deflate_consume(d, len);
    };
    size_t pos = 0;
    for (size_t i = 0; pos < in.size(); i++) {
        const size_t n = std::min(pieces[i % pieces.size()], in.size() - pos);
        EXPECT_TRUE(deflate_write(d, in.data() + pos, n));
        pos += n;
        if (drain) take();
    }
    EXPECT_TRUE(deflate_finish(d));
    take();
    EXPECT_FALSE(deflate_write(d, in.data(), 1)) << "no input after the end";
    EXPECT_FALSE(deflate_finish(d));
    deflate_free(d);
    return out;
}

TEST(Deflate, PiecewiseEqualsOneShot) {
    const Bytes in = mixed_bytes(700000, 11);
    const Bytes one = compress(DEFLATE_ZLIB, in);
    EXPECT_EQ(compress_in_pieces(in, {1}, false), one);
    EXPECT_EQ(compress_in_pieces(in, {7, 1000, 65536, 0, 3}, true), one);
    EXPECT_EQ(compress_in_pieces(in, {262144}, true), one);
    EXPECT_EQ(compress_in_pieces(in, {300000}, false), one);
}

TEST(Deflate, TakeHandsOverTheOutput) {
    const Bytes in = mixed_bytes(600000, 5);
    Deflater *d = deflate_new(DEFLATE_ZLIB);
    ASSERT_NE(d, nullptr);
    Bytes out;
    for (size_t pos = 0; pos < in.size(); pos += 100000) {
        ASSERT_TRUE(deflate_write(d, in.data() + pos, std::min<size_t>(100000, in.size() - pos)));
        size_t len = 1;
        uint8_t *p = deflate_take(d, &len);
        if (p) out.insert(out.end(), p, p + len);
        else EXPECT_EQ(len, 0u);
        std::free(p);
    }
    ASSERT_TRUE(deflate_finish(d));
    size_t len = 0;
    uint8_t *p = deflate_take(d, &len);
    ASSERT_NE(p, nullptr);
    out.insert(out.end(), p, p + len);
    std::free(p);
    deflate_free(d);
    EXPECT_EQ(out, compress(DEFLATE_ZLIB, in));
}

// The quick effort's zlib stream of `in`, written in pieces of `piece` bytes.
Bytes quick(const Bytes &in, size_t piece = 50000) {
    Deflater *d = deflate_new(DEFLATE_ZLIB, DEFLATE_QUICK);
    EXPECT_NE(d, nullptr);
    for (size_t pos = 0; pos < in.size(); pos += piece)
        EXPECT_TRUE(deflate_write(d, in.data() + pos, std::min<size_t>(piece, in.size() - pos)));
    EXPECT_TRUE(deflate_finish(d));
    size_t len = 0;
    uint8_t *p = deflate_take(d, &len);
    Bytes out(p, p + len);
    std::free(p);
    deflate_free(d);
    return out;
}

// The quick effort writes streams that inflate to their input too, the same whatever
// the pieces, not much larger than the default effort's on photo planes.
TEST(Deflate, QuickEffortRoundTrips) {
    for (const Bytes &in : {Bytes(), mixed_bytes(65536, 3), mixed_bytes(900000, 4), random_bytes(300000, 5),
                            Bytes(400000, 7)})
        EXPECT_EQ(zlib_inflate(quick(in), in.size(), false), in) << in.size();
    const Bytes mixed = mixed_bytes(700000, 12);
    EXPECT_EQ(quick(mixed, 7), quick(mixed, 262144));
    int w = 0, h = 0;
    const char *msg = nullptr;
    uint8_t *px = kv_png_decode(data_path("png/misc/im-rgba8.png").c_str(), &w, &h, &msg);
    ASSERT_NE(px, nullptr) << msg;
    const Bytes plane = filtered_plane(px, w, h, false);
    std::free(px);
    const Bytes z = quick(plane);
    EXPECT_EQ(zlib_inflate(z, plane.size(), false), plane);
    EXPECT_LT(z.size(), compress(DEFLATE_ZLIB, plane).size() * 21 / 20);
}

// A long match whose four-byte chains are crowded with newer short ones, as in smooth
// picture planes (here: bytes of four values), is still found: its repeat costs a few
// bytes, not the ninety its literals would.
TEST(Deflate, QuickEffortFindsLongMatchesBehindCrowdedChains) {
    std::mt19937 rng(21);
    Bytes in(8300);
    for (uint8_t &b : in) b = (uint8_t)(rng() & 3);
    const Bytes without = in;
    in.insert(in.end(), in.begin(), in.begin() + 300);
    const Bytes z = quick(in);
    EXPECT_EQ(zlib_inflate(z, in.size(), false), in);
    EXPECT_LT(z.size(), quick(without).size() + 40);
}

TEST(Deflate, AllocationFailures) {
    const Bytes in = mixed_bytes(600000, 9);
    const Bytes expected = compress(DEFLATE_ZLIB, in);
    for (long n = 1;; n++) {
        size_t len = 12345;
        mem_fail_at(n);
        uint8_t *p = deflate_compress(DEFLATE_ZLIB, in.data(), in.size(), &len);
        mem_fail_at(0);
        if (p) {
            EXPECT_EQ(Bytes(p, p + len), expected);
            std::free(p);
            break;
        }
        EXPECT_EQ(len, 12345u) << "length untouched on failure";
        ASSERT_LT(n, 100);
    }
}

TEST(Deflate, ConcurrentStatesAreIndependent) {
    std::vector<Bytes> inputs, expected, got(4);
    for (uint32_t i = 0; i < 4; i++) {
        inputs.push_back(mixed_bytes(400000, 100 + i));
        expected.push_back(compress(DEFLATE_ZLIB, inputs.back()));
    }
    std::vector<std::thread> threads;
    for (size_t i = 0; i < 4; i++)
        threads.emplace_back([&, i] { got[i] = compress_in_pieces(inputs[i], {4096 + i}, true); });
    for (auto &t : threads) t.join();
    EXPECT_EQ(got, expected);
}

}  // namespace
