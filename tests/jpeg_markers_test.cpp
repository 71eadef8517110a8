// jpeg_markers_test.cpp: the marker walk reads each kind of marker with its fill bytes and
// length, reports each way a header can be malformed, and finds a given segment (several
// in a row, such as ICC chunks) among those in front of the first scan and never past it.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "jpeg/markers.h"

namespace {

using Bytes = std::vector<uint8_t>;

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

TEST(JpegMarkers, ReadsEachKindOfMarker) {
    jpg_marker m;
    // A segment behind three fill bytes: `at` is the last 0xFF, the payload follows the length.
    const Bytes seg = cat({{0xFF, 0xFF, 0xFF}, segment(0xE1, {'a', 'b', 'c'}), {0xFF, 0xD9}});
    ASSERT_EQ(jpg_read_marker(seg.data(), seg.size(), 0, &m), JPG_MARKER_OK);
    EXPECT_EQ(m.code, 0xE1);
    EXPECT_EQ(m.at, 3u);
    EXPECT_TRUE(m.has_length);
    EXPECT_EQ(m.length, 5u);
    EXPECT_EQ(m.payload_len, 3u);
    EXPECT_EQ(std::memcmp(m.payload, "abc", 3), 0);
    EXPECT_EQ(m.next, 10u);
    // Standalone codes: restart, SOI, EOI, TEM; and 0x00, which is no marker.
    for (uint8_t code : {0xD0, 0xD7, 0xD8, 0xD9, 0x01, 0x00}) {
        const Bytes b = {0xFF, code, 0x12, 0x34};
        ASSERT_EQ(jpg_read_marker(b.data(), b.size(), 0, &m), JPG_MARKER_OK) << (int)code;
        EXPECT_FALSE(m.has_length);
        EXPECT_EQ(m.next, code == 0x00 ? 1u : 2u);
    }
    // An empty payload (length 2) is a segment.
    const Bytes empty = {0xFF, 0xFE, 0x00, 0x02};
    ASSERT_EQ(jpg_read_marker(empty.data(), empty.size(), 0, &m), JPG_MARKER_OK);
    EXPECT_EQ(m.payload_len, 0u);
    EXPECT_EQ(m.next, 4u);
}

TEST(JpegMarkers, ReportsEachMalformation) {
    jpg_marker m;
    const Bytes not_ff = {0x00, 0xD8};
    EXPECT_EQ(jpg_read_marker(not_ff.data(), not_ff.size(), 0, &m), JPG_MARKER_NOT_FF);
    const Bytes fill_to_end = {0xFF, 0xFF, 0xFF};
    EXPECT_EQ(jpg_read_marker(fill_to_end.data(), fill_to_end.size(), 0, &m), JPG_MARKER_NO_CODE);
    EXPECT_EQ(jpg_read_marker(fill_to_end.data(), fill_to_end.size(), 3, &m), JPG_MARKER_NO_CODE);  // at the end
    const Bytes no_length = {0xFF, 0xDB, 0x00};
    EXPECT_EQ(jpg_read_marker(no_length.data(), no_length.size(), 0, &m), JPG_MARKER_NO_LENGTH);
    // Lengths 0 and 1 are reported with the record filled in, for walks that go on.
    const Bytes short_len = {0xFF, 0xDB, 0x00, 0x01, 0xFF};
    EXPECT_EQ(jpg_read_marker(short_len.data(), short_len.size(), 0, &m), JPG_MARKER_BAD_LENGTH);
    EXPECT_EQ(m.next, 3u);
    const Bytes truncated = {0xFF, 0xDB, 0x00, 0x10, 1, 2, 3};
    EXPECT_EQ(jpg_read_marker(truncated.data(), truncated.size(), 0, &m), JPG_MARKER_TRUNCATED);
    // A segment that ends exactly at the end of the data is whole.
    const Bytes exact = {0xFF, 0xDB, 0x00, 0x05, 1, 2, 3};
    EXPECT_EQ(jpg_read_marker(exact.data(), exact.size(), 0, &m), JPG_MARKER_OK);
}

TEST(JpegMarkers, FindsSegmentsInFrontOfTheScanOnly) {
    const Bytes icc = {'I', 'C', 'C', '_', 'P', 'R', 'O', 'F', 'I', 'L', 'E', 0};
    auto chunk = [&](uint8_t seq, uint8_t byte) {
        Bytes p = icc;
        p.insert(p.end(), {seq, 2, byte});
        return segment(0xE2, p);
    };
    const Bytes f = cat({{0xFF, 0xD8}, segment(0xE0, {'J', 'F', 'I', 'F', 0}), chunk(1, 0xAA), {0xFF, 0xFF},
                         segment(0xE2, {'M', 'P', 'F', 0}), chunk(2, 0xBB), segment(0xDA, {0}), chunk(3, 0xCC),
                         {0xFF, 0xD9}});
    uint64_t pos = 2;
    jpg_marker m;
    ASSERT_TRUE(jpg_find_segment(f.data(), f.size(), &pos, 0xE2, icc.data(), icc.size(), &m));
    EXPECT_EQ(m.payload[icc.size() + 2], 0xAA);
    ASSERT_TRUE(jpg_find_segment(f.data(), f.size(), &pos, 0xE2, icc.data(), icc.size(), &m));
    EXPECT_EQ(m.payload[icc.size() + 2], 0xBB);  // past the fill bytes and the other APP2
    EXPECT_FALSE(jpg_find_segment(f.data(), f.size(), &pos, 0xE2, icc.data(), icc.size(), &m));  // behind the scan
    // Without a signature any segment of the code matches; a code that is absent is not found.
    pos = 2;
    ASSERT_TRUE(jpg_find_segment(f.data(), f.size(), &pos, 0xE0, nullptr, 0, &m));
    EXPECT_EQ(m.payload_len, 5u);
    pos = 2;
    EXPECT_FALSE(jpg_find_segment(f.data(), f.size(), &pos, 0xEE, "Adobe", 5, &m));
    // A broken segment on the way, or the end of the image, stops the search.
    const Bytes broken = cat({{0xFF, 0xD8}, {0xFF, 0xE1, 0x00, 0x01}, chunk(1, 0xAA)});
    pos = 2;
    EXPECT_FALSE(jpg_find_segment(broken.data(), broken.size(), &pos, 0xE2, icc.data(), icc.size(), &m));
    const Bytes ended = cat({{0xFF, 0xD8}, {0xFF, 0xD9}, chunk(1, 0xAA)});
    pos = 2;
    EXPECT_FALSE(jpg_find_segment(ended.data(), ended.size(), &pos, 0xE2, icc.data(), icc.size(), &m));
    pos = 2;
    EXPECT_FALSE(jpg_find_segment(nullptr, 0, &pos, 0xE2, nullptr, 0, &m));
}

}  // namespace
