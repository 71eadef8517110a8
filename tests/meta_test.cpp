// The metadata readers take orientation, resolution and ICC profiles from JPEG and PNG
// files, and whatever is missing, out of range, malformed or cut short reads as "none"
// without reading outside the file; the placement matrix shows each orientation upright.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "bytes.h"
#include "folian.h"
#include "mem.h"
#include "meta/meta.h"
#include "test_util.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr unsigned ALL = FOLIAN_OPT_ORIENTATION | FOLIAN_OPT_FILE_DPI | FOLIAN_OPT_ICC;

struct Meta {
    ImageMeta m;
    Meta() { meta_init(&m); }
    ~Meta() { meta_release(&m); }
};

void read_meta(const Bytes &file, unsigned options, int components, ImageMeta *m) {
    const bool png = file.size() >= 4 && file[1] == 'P' && file[2] == 'N' && file[3] == 'G';
    if (png) png_read_meta(file.data(), file.size(), options, components, m);
    else jpeg_read_meta(file.data(), file.size(), options, components, m);
}

// ---- Small writers for hand-built blocks ---------------------------------------------
void put16(Bytes &b, uint32_t v, bool be) {
    if (be) b.insert(b.end(), {(uint8_t)(v >> 8), (uint8_t)v});
    else b.insert(b.end(), {(uint8_t)v, (uint8_t)(v >> 8)});
}
void put32(Bytes &b, uint32_t v, bool be) {
    if (be) { put16(b, v >> 16, true); put16(b, v & 0xFFFF, true); }
    else { put16(b, v & 0xFFFF, false); put16(b, v >> 16, false); }
}

struct Entry {
    uint16_t tag, type;
    uint32_t count, value;  // the value itself, or an offset from the TIFF header
};

// A TIFF header and IFD0 with `entries`, then `tail` (rationals pointed at by offsets).
Bytes tiff(bool be, const std::vector<Entry> &entries, const Bytes &tail = {}) {
    Bytes b;
    b.insert(b.end(), be ? std::initializer_list<uint8_t>{'M', 'M'} : std::initializer_list<uint8_t>{'I', 'I'});
    put16(b, 42, be);
    put32(b, 8, be);
    put16(b, (uint32_t)entries.size(), be);
    for (const Entry &e : entries) {
        put16(b, e.tag, be);
        put16(b, e.type, be);
        put32(b, e.count, be);
        if (e.type == 3 && e.count == 1) { put16(b, e.value, be); put16(b, 0, be); }
        else put32(b, e.value, be);
    }
    put32(b, 0, be);  // no IFD1
    b.insert(b.end(), tail.begin(), tail.end());
    return b;
}
uint32_t tail_at(size_t entries) { return (uint32_t)(8 + 2 + 12 * entries + 4); }
Bytes rationals(bool be, std::initializer_list<uint32_t> v) {
    Bytes b;
    for (uint32_t x : v) put32(b, x, be);
    return b;
}

Bytes segment(uint8_t code, const Bytes &payload) {
    Bytes s = {0xFF, code, (uint8_t)((payload.size() + 2) >> 8), (uint8_t)(payload.size() + 2)};
    s.insert(s.end(), payload.begin(), payload.end());
    return s;
}
Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes &b : parts) out.insert(out.end(), b.begin(), b.end());
    return out;
}
Bytes exif_segment(const Bytes &t) {
    Bytes p = {'E', 'x', 'i', 'f', 0, 0};
    p.insert(p.end(), t.begin(), t.end());
    return segment(0xE1, p);
}
Bytes jfif_segment(uint8_t units, uint16_t x, uint16_t y) {
    return segment(0xE0, {'J', 'F', 'I', 'F', 0, 1, 2, units, (uint8_t)(x >> 8), (uint8_t)x,
                          (uint8_t)(y >> 8), (uint8_t)y, 0, 0});
}
Bytes icc_chunk(uint8_t seq, uint8_t n, const Bytes &part) {
    Bytes p = {'I', 'C', 'C', '_', 'P', 'R', 'O', 'F', 'I', 'L', 'E', 0, seq, n};
    p.insert(p.end(), part.begin(), part.end());
    return segment(0xE2, p);
}
const Bytes SOI = {0xFF, 0xD8};
const Bytes SOS = segment(0xDA, {1, 1, 0, 0, 63, 0});

// A minimal well-formed profile of `size` bytes (at least 320 for its tags): the header,
// a tag table with what its space needs to reach colours (a grey curve; three colorants
// and curves for RGB; a table for any other space) and `extra` entries, then one data
// block of each type: 'XYZ ' at 256, 'curv' at 276, 'mAB ' at 288.
struct FakeTag {
    const char *sig;
    uint32_t at, size;
};
constexpr FakeTag XYZ_AT = {"", 256, 20}, CURV_AT = {"", 276, 12}, LUT_AT = {"", 288, 32};
Bytes fake_profile(const char *space, uint32_t size, const char *cls = "mntr", std::vector<FakeTag> tags = {}) {
    Bytes p(size, 0);
    store_be32(p.data(), size);
    std::copy(cls, cls + 4, p.begin() + 12);
    std::copy(space, space + 4, p.begin() + 16);
    std::copy("acsp", "acsp" + 4, p.begin() + 36);
    if (size < 320) return p;
    const std::string s = space;
    auto add = [&tags](const char *sig, FakeTag block) { tags.insert(tags.begin(), {sig, block.at, block.size}); };
    if (s == "GRAY") add("kTRC", CURV_AT);
    else if (s != "RGB ") add("A2B0", LUT_AT);
    else for (const char *c : {"bTRC", "gTRC", "rTRC"}) add(c, CURV_AT);
    if (s == "RGB ") for (const char *c : {"bXYZ", "gXYZ", "rXYZ"}) add(c, XYZ_AT);
    store_be32(&p[128], (uint32_t)tags.size());
    for (size_t i = 0; i < tags.size(); i++) {
        std::copy(tags[i].sig, tags[i].sig + 4, &p[132 + 12 * i]);
        store_be32(&p[136 + 12 * i], tags[i].at);
        store_be32(&p[140 + 12 * i], tags[i].size);
    }
    std::copy_n("XYZ ", 4, &p[XYZ_AT.at]);
    std::copy_n("curv", 4, &p[CURV_AT.at]);
    std::copy_n("mAB ", 4, &p[LUT_AT.at]);
    return p;
}
Bytes zlib_of(const Bytes &data) {
    uLongf n = compressBound(data.size());
    Bytes z(n);
    compress2(z.data(), &n, data.data(), data.size(), 9);
    z.resize(n);
    return z;
}

// ---- Fixtures ------------------------------------------------------------------------
struct Expect {
    const char *file;
    int orientation;
    double dpi_x, dpi_y;  // 0: none
    int icc_components;   // with components 0 (any profile kept)
};

TEST(Meta, FixturesReadAsTheirWritersSetThem) {
    const Expect cases[] = {
        {"base.jpg", 0, 0, 0, 0},             // JFIF unit 0: aspect only
        {"base.png", 0, 0, 0, 0},
        {"orient-1.jpg", 1, 0, 0, 0},         {"orient-2.jpg", 2, 0, 0, 0},
        {"orient-3.jpg", 3, 0, 0, 0},         {"orient-4.jpg", 4, 0, 0, 0},
        {"orient-5.jpg", 5, 0, 0, 0},         {"orient-6.jpg", 6, 0, 0, 0},
        {"orient-7.jpg", 7, 0, 0, 0},         {"orient-8.jpg", 8, 0, 0, 0},
        {"orient-6-le.jpg", 6, 0, 0, 0},      {"orient-6.png", 6, 0, 0, 0},
        {"jfif-300dpi.jpg", 0, 300, 300, 0},  {"jfif-dpcm.jpg", 0, 299.72, 149.86, 0},
        {"jfif-ratio-only.jpg", 0, 0, 0, 0},      {"jfif-too-high.jpg", 0, 0, 0, 0},
        {"exif-dpi.jpg", 0, 200, 100, 0},     {"exif-cm.jpg", 0, 101.6, 101.6, 0},
        {"phys-300x150.png", 0, 11811 * 0.0254, 5906 * 0.0254, 0},
        {"phys-too-high.png", 0, 0, 0, 0},    {"phys-unit0.png", 0, 0, 0, 0},
        {"icc-srgb.jpg", 0, 0, 0, 3},         {"icc-gray.jpg", 0, 0, 0, 1},
        {"icc-srgb.png", 0, 0, 0, 3},         {"icc-gray.png", 0, 0, 0, 1},
    };
    for (const Expect &e : cases) {
        SCOPED_TRACE(e.file);
        Bytes file = read_file(data_path(std::string("meta/") + e.file));
        Meta r;
        read_meta(file, ALL, 0, &r.m);
        EXPECT_EQ(r.m.orientation, e.orientation);
        EXPECT_EQ(r.m.dpi.known, e.dpi_x != 0);
        if (e.dpi_x != 0) {
            EXPECT_NEAR(r.m.dpi.x, e.dpi_x, 1e-9);
            EXPECT_NEAR(r.m.dpi.y, e.dpi_y, 1e-9);
        }
        EXPECT_EQ(r.m.icc_components, e.icc_components);
        EXPECT_EQ(r.m.icc != nullptr, e.icc_components != 0);
    }
}

TEST(Meta, EmbeddedProfilesAreTheOnesWrittenByteForByte) {
    for (const char *f : {"icc-srgb.jpg", "icc-srgb.png"}) {
        Bytes want = read_file(data_path("meta/rgb.icc"));
        Bytes file = read_file(data_path(std::string("meta/") + f));
        Meta r;
        read_meta(file, FOLIAN_OPT_ICC, 3, &r.m);
        ASSERT_NE(r.m.icc, nullptr) << f;
        EXPECT_EQ(Bytes(r.m.icc, r.m.icc + r.m.icc_len), want) << f;
    }
}

TEST(Meta, OnlyTheAskedForItemsAreRead) {
    Bytes file = read_file(data_path("meta/icc-srgb.jpg"));
    Bytes exif = read_file(data_path("meta/exif-dpi.jpg"));
    Meta none, dpi, icc;
    read_meta(file, FOLIAN_OPT_COMPACT, 0, &none.m);
    EXPECT_EQ(none.m.icc, nullptr);
    read_meta(exif, FOLIAN_OPT_ORIENTATION, 0, &dpi.m);
    EXPECT_FALSE(dpi.m.dpi.known);
    read_meta(file, FOLIAN_OPT_FILE_DPI, 0, &icc.m);
    EXPECT_EQ(icc.m.icc, nullptr);
}

TEST(Meta, ProfileMustMatchTheImageComponentCount) {
    Bytes grey_with_rgb = read_file(data_path("meta/icc-mismatch.jpg"));
    Meta grey, any;
    read_meta(grey_with_rgb, FOLIAN_OPT_ICC, 1, &grey.m);
    EXPECT_EQ(grey.m.icc, nullptr);
    read_meta(grey_with_rgb, FOLIAN_OPT_ICC, 0, &any.m);
    EXPECT_EQ(any.m.icc_components, 3);
    Bytes srgb_png = read_file(data_path("meta/icc-srgb.png"));
    Meta rgb, cmyk;
    read_meta(srgb_png, FOLIAN_OPT_ICC, 3, &rgb.m);
    EXPECT_EQ(rgb.m.icc_components, 3);
    read_meta(srgb_png, FOLIAN_OPT_ICC, 4, &cmyk.m);
    EXPECT_EQ(cmyk.m.icc, nullptr);
}

// Every cut of every fixture, in a buffer of exactly the cut's size so that a read past
// it is caught by the sanitizers, gives some answer and never a fault.
TEST(Meta, CutFilesNeverReadPastTheirEnd) {
    for (const char *f : {"orient-6.jpg", "orient-6-le.jpg", "orient-6.png", "exif-dpi.jpg", "icc-srgb.jpg",
                          "icc-gray.png", "phys-300x150.png"}) {
        Bytes file = read_file(data_path(std::string("meta/") + f));
        for (size_t n = 0; n <= file.size(); n++) {
            std::unique_ptr<uint8_t[]> cut(new uint8_t[n ? n : 1]);
            std::copy(file.begin(), file.begin() + n, cut.get());
            Meta as_png, as_jpeg;
            png_read_meta(cut.get(), n, ALL, 0, &as_png.m);
            jpeg_read_meta(cut.get(), n, ALL, 0, &as_jpeg.m);
            EXPECT_LE(as_png.m.orientation + as_jpeg.m.orientation, 8);
        }
    }
}

// ---- EXIF ----------------------------------------------------------------------------
TEST(Exif, OrientationInBothByteOrdersAndOnlyOneToEight) {
    for (bool be : {false, true}) {
        for (uint32_t v = 0; v <= 10; v++) {
            Bytes t = tiff(be, {{0x0112, 3, 1, v}});
            EXPECT_EQ(exif_read(t.data(), t.size()).orientation, v >= 1 && v <= 8 ? (int)v : 0) << be << v;
        }
        // A LONG is read too; a count other than 1 or a RATIONAL is malformed.
        Bytes as_long = tiff(be, {{0x0112, 4, 1, 6}});
        EXPECT_EQ(exif_read(as_long.data(), as_long.size()).orientation, 6);
        Bytes count2 = tiff(be, {{0x0112, 3, 2, 6}});
        EXPECT_EQ(exif_read(count2.data(), count2.size()).orientation, 0);
        Bytes rational = tiff(be, {{0x0112, 5, 1, 6}});
        EXPECT_EQ(exif_read(rational.data(), rational.size()).orientation, 0);
    }
}

TEST(Exif, BrokenStructuresReadAsNothing) {
    Bytes good = tiff(true, {{0x0112, 3, 1, 3}});
    Bytes bad_order = good;
    bad_order[0] = 'M', bad_order[1] = 'I';
    Bytes bad_magic = good;
    bad_magic[3] = 43;
    Bytes ifd_past_end = good;
    ifd_past_end[7] = 200;
    for (const Bytes *b : {&bad_order, &bad_magic, &ifd_past_end})
        EXPECT_EQ(exif_read(b->data(), b->size()).orientation, 0);
    EXPECT_EQ(exif_read(nullptr, 0).orientation, 0);
    // An entry count larger than the block: the entries that fit are still read.
    Bytes big_count = good;
    big_count[9] = 0xFF;
    EXPECT_EQ(exif_read(big_count.data(), big_count.size()).orientation, 3);
    // The first of two orientation tags wins even when it is invalid.
    Bytes twice = tiff(false, {{0x0112, 3, 1, 9}, {0x0112, 3, 1, 6}});
    EXPECT_EQ(exif_read(twice.data(), twice.size()).orientation, 0);
}

TEST(Exif, ResolutionWithItsUnit) {
    for (bool be : {false, true}) {
        const uint32_t at = tail_at(3);
        Bytes inch = tiff(be, {{0x011A, 5, 1, at}, {0x011B, 5, 1, at + 8}, {0x0128, 3, 1, 2}},
                          rationals(be, {600, 2, 150, 1}));
        ExifInfo i = exif_read(inch.data(), inch.size());
        EXPECT_TRUE(i.dpi.known);
        EXPECT_EQ(i.dpi.x, 300.0);
        EXPECT_EQ(i.dpi.y, 150.0);
        Bytes cm = tiff(be, {{0x011A, 5, 1, at}, {0x011B, 5, 1, at + 8}, {0x0128, 3, 1, 3}},
                        rationals(be, {118, 1, 59, 1}));
        i = exif_read(cm.data(), cm.size());
        EXPECT_DOUBLE_EQ(i.dpi.x, 299.72);
        EXPECT_DOUBLE_EQ(i.dpi.y, 149.86);
        // Without a unit tag TIFF means inches; unit 1 (no absolute unit) gives nothing.
        Bytes no_unit = tiff(be, {{0x011A, 5, 1, tail_at(2)}, {0x011B, 5, 1, tail_at(2) + 8}},
                             rationals(be, {72, 1, 72, 1}));
        EXPECT_EQ(exif_read(no_unit.data(), no_unit.size()).dpi.x, 72.0);
        Bytes unit1 = tiff(be, {{0x011A, 5, 1, at}, {0x011B, 5, 1, at + 8}, {0x0128, 3, 1, 1}},
                           rationals(be, {72, 1, 72, 1}));
        EXPECT_FALSE(exif_read(unit1.data(), unit1.size()).dpi.known);
    }
    const uint32_t at = tail_at(2);
    // A zero denominator, a rational outside the block, or one direction missing.
    Bytes zero_den = tiff(false, {{0x011A, 5, 1, at}, {0x011B, 5, 1, at + 8}}, rationals(false, {72, 0, 72, 1}));
    Bytes outside = tiff(false, {{0x011A, 5, 1, at}, {0x011B, 5, 1, at + 4}}, rationals(false, {72, 1, 72}));
    Bytes x_only = tiff(false, {{0x011A, 5, 1, tail_at(1)}}, rationals(false, {72, 1}));
    for (const Bytes *b : {&zero_den, &outside, &x_only}) EXPECT_FALSE(exif_read(b->data(), b->size()).dpi.known);
}

TEST(Exif, ResolutionsOutsideOneToTenThousandAreIgnored) {
    struct Case { uint64_t x_num, x_den; bool known; } cases[] = {
        {1, 1, true}, {10000, 1, true}, {99, 100, false}, {10001, 1, false}, {20001, 2, false}, {0, 1, false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(meta_dpi_from_rational(c.x_num, c.x_den, 300, 1, META_UNIT_INCH).known, c.known) << c.x_num;
    // pHYs at the edges: 40 pixels per metre is 1.016 dpi, 39 is below one.
    EXPECT_TRUE(meta_dpi_from_rational(40, 1, 40, 1, META_UNIT_METRE).known);
    EXPECT_FALSE(meta_dpi_from_rational(39, 1, 40, 1, META_UNIT_METRE).known);
    EXPECT_FALSE(meta_dpi_from_rational(300, 1, 300, 1, META_UNIT_NONE).known);
}

// Page sizes computed from the file's resolution round as the writer's do for an
// integer setting: width x 72 / dpi printed to two decimals. 11811 pixels per metre is
// 299.9994 dpi and 5906 is 150.0124, not rounded to 300 and 150 (which give 1683.84).
TEST(Exif, PageSizesFromResolution) {
    MetaDpi d = meta_dpi_from_rational(11811, 1, 5906, 1, META_UNIT_METRE);
    char text[64];
    std::snprintf(text, sizeof text, "%.2f %.2f", (2480 * 72.0) / d.x, (3508 * 72.0) / d.y);
    EXPECT_STREQ(text, "595.20 1683.70");
    MetaDpi whole = meta_dpi_from_rational(300, 1, 300, 1, META_UNIT_INCH);
    EXPECT_EQ((1000 * 72.0) / whole.x, (1000 * 72.0) / 300);
}

// ---- JPEG segments -------------------------------------------------------------------
TEST(JpegMeta, SegmentsBeforeTheFirstScanOnly) {
    Bytes file = cat({SOI, {0xFF, 0xFF}, jfif_segment(1, 300, 300), {0xFF, 0xD0}, segment(0xDB, Bytes(65, 0)),
                      exif_segment(tiff(true, {{0x0112, 3, 1, 8}})), SOS, exif_segment(tiff(true, {{0x0112, 3, 1, 3}}))});
    JpegSegment segs[8];
    ASSERT_EQ(jpeg_find_app_segments(file.data(), file.size(), segs, 8), 2u);
    EXPECT_EQ(segs[0].marker, 0xE0);
    EXPECT_EQ(segs[0].len, 14u);
    EXPECT_EQ(segs[1].marker, 0xE1);
    EXPECT_EQ(jpeg_find_app_segments(file.data(), file.size(), segs, 1), 1u);
    Meta r;
    read_meta(file, ALL, 3, &r.m);
    EXPECT_EQ(r.m.orientation, 8);
    EXPECT_EQ(r.m.dpi.x, 300.0);
    // A length running past the end ends the list before that segment.
    Bytes cut = cat({SOI, jfif_segment(1, 300, 300), {0xFF, 0xE1, 0x40, 0x00, 1, 2}});
    EXPECT_EQ(jpeg_find_app_segments(cut.data(), cut.size(), segs, 8), 1u);
}

TEST(JpegMeta, JfifDensityComesFirstAndUnitZeroLeavesItToExif) {
    const uint32_t at = tail_at(3);
    Bytes exif = exif_segment(tiff(false, {{0x011A, 5, 1, at}, {0x011B, 5, 1, at + 8}, {0x0128, 3, 1, 2}},
                                   rationals(false, {200, 1, 200, 1})));
    Meta jfif_wins, exif_wins, broken_exif;
    read_meta(cat({SOI, jfif_segment(1, 96, 96), exif, SOS}), FOLIAN_OPT_FILE_DPI, 3, &jfif_wins.m);
    EXPECT_EQ(jfif_wins.m.dpi.x, 96.0);
    read_meta(cat({SOI, jfif_segment(0, 1, 1), exif, SOS}), FOLIAN_OPT_FILE_DPI, 3, &exif_wins.m);
    EXPECT_EQ(exif_wins.m.dpi.x, 200.0);
    Bytes bad = exif;
    bad[10] = 'X';  // the TIFF byte-order mark
    read_meta(cat({SOI, jfif_segment(0, 1, 1), bad, SOS}), ALL, 3, &broken_exif.m);
    EXPECT_FALSE(broken_exif.m.dpi.known);
    EXPECT_EQ(broken_exif.m.orientation, 0);
}

TEST(JpegMeta, IccChunksJoinInSequenceOrder) {
    Bytes profile = read_file(data_path("meta/rgb.icc"));
    const size_t third = profile.size() / 3;
    Bytes p1(profile.begin(), profile.begin() + third), p2(profile.begin() + third, profile.begin() + 2 * third),
        p3(profile.begin() + 2 * third, profile.end());
    Meta shuffled;
    read_meta(cat({SOI, icc_chunk(2, 3, p2), jfif_segment(1, 72, 72), icc_chunk(3, 3, p3), icc_chunk(1, 3, p1), SOS}),
              FOLIAN_OPT_ICC, 3, &shuffled.m);
    ASSERT_NE(shuffled.m.icc, nullptr);
    EXPECT_EQ(Bytes(shuffled.m.icc, shuffled.m.icc + shuffled.m.icc_len), profile);

    const Bytes broken[] = {
        cat({SOI, icc_chunk(1, 3, p1), icc_chunk(3, 3, p3), SOS}),                       // one missing
        cat({SOI, icc_chunk(1, 3, p1), icc_chunk(2, 3, p2), icc_chunk(2, 3, p2), icc_chunk(3, 3, p3), SOS}),
        cat({SOI, icc_chunk(1, 3, p1), icc_chunk(2, 4, p2), icc_chunk(3, 3, p3), SOS}),  // counts disagree
        cat({SOI, icc_chunk(0, 1, profile), SOS}),                                       // sequence 0
        cat({SOI, icc_chunk(2, 1, profile), SOS}),                                       // past the count
        cat({SOI, icc_chunk(1, 2, p1), SOS, icc_chunk(2, 2, Bytes(p2.begin(), p2.end())), SOS}),  // after the scan
    };
    for (const Bytes &f : broken) {
        Meta r;
        read_meta(f, FOLIAN_OPT_ICC, 3, &r.m);
        EXPECT_EQ(r.m.icc, nullptr);
    }
}

TEST(JpegMeta, ProfileCopyOutOfMemoryLeavesItOut) {
    Bytes file = read_file(data_path("meta/icc-srgb.jpg"));
    mem_fail_at(1);
    Meta r;
    read_meta(file, ALL, 3, &r.m);
    mem_fail_at(0);
    EXPECT_EQ(r.m.icc, nullptr);
    EXPECT_EQ(r.m.orientation, 0);
}

// ---- ICC profiles --------------------------------------------------------------------
TEST(Icc, WellFormedHeadersOnly) {
    EXPECT_EQ(icc_check(fake_profile("GRAY", 400).data(), 400), 1);
    EXPECT_EQ(icc_check(fake_profile("RGB ", 400).data(), 400), 3);
    EXPECT_EQ(icc_check(fake_profile("CMYK", 400, "prtr").data(), 400), 4);
    EXPECT_EQ(icc_check(fake_profile("Lab ", 400, "spac").data(), 400), 0);
    EXPECT_EQ(icc_check(fake_profile("RGB ", 400, "link").data(), 400), 0);
    EXPECT_EQ(icc_check(fake_profile("RGB ", 400, "abst").data(), 400), 0);
    EXPECT_EQ(icc_check(fake_profile("RGB ", 400).data(), 399), 0);  // size field says 400
    EXPECT_EQ(icc_check(fake_profile("RGB ", 100).data(), 100), 0);  // shorter than a header
    Bytes no_magic = fake_profile("RGB ", 400);
    no_magic[36] = 'b';
    EXPECT_EQ(icc_check(no_magic.data(), 400), 0);
    EXPECT_EQ(icc_check(nullptr, 0), 0);
    Bytes real = read_file(data_path("meta/gray.icc"));
    EXPECT_EQ(icc_check(real.data(), real.size()), 1);
}

// Profiles whose header is fine but whose tags viewers cannot use: each was embedded
// as a colour space before, and viewers warned on every render. Entry i of the table
// sits at 132 + 12 i (signature, offset, size); RGB lists rXYZ gXYZ bXYZ rTRC gTRC bTRC.
TEST(Icc, BrokenTagTablesAreRefused) {
    auto edit = [](const char *space, std::function<void(Bytes &)> f) {
        Bytes p = fake_profile(space, 400);
        f(p);
        return p;
    };
    const Bytes broken[] = {
        edit("RGB ", [](Bytes &p) { store_be32(&p[128], 0); }),                    // no tags
        edit("RGB ", [](Bytes &p) { store_be32(&p[128], 0x0FFFFFFF); }),           // count past the end
        edit("RGB ", [](Bytes &p) { store_be32(&p[136], 390); }),                  // data past the end
        edit("RGB ", [](Bytes &p) { store_be32(&p[140], 0xFFFFFFF0); }),           // size past the end
        edit("RGB ", [](Bytes &p) { store_be32(&p[136], 16); }),                   // inside the header
        edit("RGB ", [](Bytes &p) { std::fill(p.begin() + 256, p.end(), 0xFF); }),  // data overwritten
        edit("RGB ", [](Bytes &p) { p[132 + 12 * 5] = 'x'; }),                     // bTRC missing
        edit("RGB ", [](Bytes &p) { store_be32(&p[CURV_AT.at + 8], 200); }),       // curve past its tag
        edit("GRAY", [](Bytes &p) { std::copy_n("para\0\0\0\0\0\x09", 10, &p[CURV_AT.at]); }),  // no such function
        edit("CMYK", [](Bytes &p) { p[135] = '1'; }),                              // A2B1 only
        fake_profile("RGB ", 400, "mntr", {{"A2B0", XYZ_AT.at, XYZ_AT.size}}),      // preferred table mistyped
    };
    for (size_t i = 0; i < std::size(broken); i++)
        EXPECT_EQ(icc_check(broken[i].data(), broken[i].size()), 0) << "case " << i;
    Bytes rgb_table = fake_profile("RGB ", 400, "mntr", {{"A2B0", LUT_AT.at, LUT_AT.size}});
    EXPECT_EQ(icc_check(rgb_table.data(), rgb_table.size()), 3);
}

Bytes iccp_png(const Bytes &chunk_data) {
    Bytes png = {137, 80, 78, 71, 13, 10, 26, 10};
    auto chunk = [&png](const char *type, const Bytes &d) {
        put32(png, (uint32_t)d.size(), true);
        png.insert(png.end(), type, type + 4);
        png.insert(png.end(), d.begin(), d.end());
        put32(png, 0, true);  // CRCs are not checked
    };
    chunk("IHDR", {0, 0, 0, 1, 0, 0, 0, 1, 8, 2, 0, 0, 0});
    chunk("iCCP", chunk_data);
    chunk("IEND", {});
    return png;
}
Bytes iccp_data(const char *name, uint8_t method, const Bytes &z) {
    Bytes d(name, name + std::string(name).size());
    d.push_back(0);
    d.push_back(method);
    d.insert(d.end(), z.begin(), z.end());
    return d;
}

TEST(PngMeta, IccpInflatesBeyondTheFirstBufferAndChecksEverything) {
    // 300000 bytes: larger than the first inflate buffer, so it has to grow.
    Bytes big = fake_profile("RGB ", 300000);
    Meta ok;
    read_meta(iccp_png(iccp_data("big", 0, zlib_of(big))), FOLIAN_OPT_ICC, 3, &ok.m);
    ASSERT_NE(ok.m.icc, nullptr);
    EXPECT_EQ(Bytes(ok.m.icc, ok.m.icc + ok.m.icc_len), big);

    Bytes z = zlib_of(fake_profile("RGB ", 500));
    Bytes bad_adler = z;
    bad_adler.back() ^= 1;
    Bytes fdict = z;
    fdict[1] |= 0x20;
    fdict[1] = (uint8_t)(fdict[1] + (31 - ((fdict[0] << 8 | fdict[1]) % 31)) % 31);
    Bytes wrong_size = fake_profile("RGB ", 600);
    wrong_size[3] = 0x57;
    const Bytes broken[] = {
        iccp_data("x", 0, bad_adler),
        iccp_data("x", 0, fdict),
        iccp_data("x", 1, z),                               // method other than 0
        iccp_data("", 0, z),                                // empty name
        iccp_data(std::string(80, 'n').c_str(), 0, z),      // name longer than 79
        iccp_data("x", 0, Bytes(z.begin(), z.end() - 9)),   // stream cut short
        iccp_data("x", 0, zlib_of(wrong_size)),            // size field disagrees with the data
    };
    for (const Bytes &d : broken) {
        Meta r;
        read_meta(iccp_png(d), FOLIAN_OPT_ICC, 0, &r.m);
        EXPECT_EQ(r.m.icc, nullptr);
    }
}

TEST(PngMeta, IccpLargerThanTheBoundIsDropped) {
    Bytes huge = fake_profile("RGB ", (uint32_t)META_MAX_ICC + 1);
    Meta r;
    read_meta(iccp_png(iccp_data("huge", 0, zlib_of(huge))), FOLIAN_OPT_ICC, 3, &r.m);
    EXPECT_EQ(r.m.icc, nullptr);
}

TEST(PngMeta, ExifChunkWithOrWithoutTheJpegTag) {
    Bytes t = tiff(false, {{0x0112, 3, 1, 7}});
    Bytes tagged = {'E', 'x', 'i', 'f', 0, 0};
    tagged.insert(tagged.end(), t.begin(), t.end());
    for (const Bytes *d : {&t, &tagged}) {
        Bytes png = iccp_png({});
        // Replace the iCCP chunk's type by eXIf and its data by the block.
        Bytes built(png.begin(), png.begin() + 33);
        put32(built, (uint32_t)d->size(), true);
        built.insert(built.end(), {'e', 'X', 'I', 'f'});
        built.insert(built.end(), d->begin(), d->end());
        put32(built, 0, true);
        Meta r;
        png_read_meta(built.data(), built.size(), FOLIAN_OPT_ORIENTATION, 0, &r.m);
        EXPECT_EQ(r.m.orientation, 7);
    }
}

// ---- Placement -----------------------------------------------------------------------
// Where stored pixel (row r, column c) of a rows x cols picture appears upright, from the
// meaning of each value: which side row 0 and column 0 stand on when the picture is shown.
void upright_position(int o, int rows, int cols, int r, int c, int *ur, int *uc) {
    switch (o) {
    case 2: *ur = r, *uc = cols - 1 - c; break;
    case 3: *ur = rows - 1 - r, *uc = cols - 1 - c; break;
    case 4: *ur = rows - 1 - r, *uc = c; break;
    case 5: *ur = c, *uc = r; break;                        // row 0 left, column 0 top
    case 6: *ur = c, *uc = rows - 1 - r; break;             // row 0 right, column 0 top
    case 7: *ur = cols - 1 - c, *uc = rows - 1 - r; break;  // row 0 right, column 0 bottom
    case 8: *ur = cols - 1 - c, *uc = r; break;             // row 0 left, column 0 bottom
    default: *ur = r, *uc = c;
    }
}

TEST(Placement, EachOrientationDrawsEveryPixelWhereItBelongs) {
    const int rows = 2, cols = 3;
    for (int o = 0; o <= 9; o++) {
        SCOPED_TRACE(o);
        const bool swap = geo_orientation_swaps_sides(o);
        EXPECT_EQ(swap, o >= 5 && o <= 8);
        const double box_w = swap ? rows : cols, box_h = swap ? cols : rows, x0 = 10, y0 = 20;
        double m[6];
        geo_orientation_matrix(o, box_w, box_h, x0, y0, m);
        for (int r = 0; r < rows; r++) {
            for (int c = 0; c < cols; c++) {
                // The stored pixel's centre in the unit square (first row at the top).
                const double s = (c + 0.5) / cols, t = 1 - (r + 0.5) / rows;
                const double px = m[0] * s + m[2] * t + m[4], py = m[1] * s + m[3] * t + m[5];
                int ur, uc;
                upright_position(o, rows, cols, r, c, &ur, &uc);
                EXPECT_NEAR(px, x0 + uc + 0.5, 1e-12) << r << "," << c;
                EXPECT_NEAR(py, y0 + box_h - (ur + 0.5), 1e-12) << r << "," << c;
            }
        }
    }
}

}  // namespace
