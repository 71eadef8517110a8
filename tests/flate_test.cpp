// flate_test.cpp: kv_inflate gives exactly the results of the bit-at-a-time reference
// decoder (tests/ref/ref_inflate.cpp): the same return value and the same
// bytes in the whole output buffer (also past the last byte written, and on failure), on
// valid streams of every kind and on damaged ones; and it agrees with zlib, an
// independent decoder, on every valid stream.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <iterator>
#include <random>
#include <thread>
#include <vector>

#ifdef __linux__
#include <sys/mman.h>
#endif

#include "flate/flate.h"
#include "folian.h"
#include "ref_inflate.h"
#include "test_util.h"

namespace {

using Bytes = std::vector<uint8_t>;

using BitWriter = DeflateBitWriter;

// Length and distance codes of RFC 1951 section 3.2.5.
const int LEN_BASE[29] = {3, 4, 5, 6, 7, 8, 9, 10, 11, 13, 15, 17, 19, 23, 27, 31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
const int LEN_EXTRA[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
const int DIST_BASE[30] = {1, 2, 3, 4, 5, 7, 9, 13, 17, 25, 33, 49, 65, 97, 129, 193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
const int DIST_EXTRA[30] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

int length_symbol(int len) {
    for (int i = 28; i >= 0; i--)
        if (len >= LEN_BASE[i]) return i == 28 && len != 258 ? 27 : i;
    return 0;
}
int dist_symbol(int dist) {
    for (int i = 29; i >= 0; i--)
        if (dist >= DIST_BASE[i]) return i;
    return 0;
}

// Fixed Huffman code (section 3.2.6).
void fixed_lit(BitWriter &w, int sym) {
    if (sym < 144) w.code(0x30 + sym, 8);
    else if (sym < 256) w.code(0x190 + sym - 144, 9);
    else if (sym < 280) w.code(sym - 256, 7);
    else w.code(0xC0 + sym - 280, 8);
}
void fixed_match(BitWriter &w, int len, int dist) {
    const int ls = length_symbol(len);
    fixed_lit(w, 257 + ls);
    w.bits(len - LEN_BASE[ls], LEN_EXTRA[ls]);
    const int ds = dist_symbol(dist);
    w.code(ds, 5);
    w.bits(dist - DIST_BASE[ds], DIST_EXTRA[ds]);
}

// Canonical codes from code lengths (section 3.2.2).
std::vector<uint32_t> canonical_codes(const std::vector<int> &lens) {
    int count[16] = {0};
    for (int l : lens) count[l]++;
    count[0] = 0;
    uint32_t next[16] = {0}, code = 0;
    for (int b = 1; b < 16; b++) {
        code = (code + count[b - 1]) << 1;
        next[b] = code;
    }
    std::vector<uint32_t> codes(lens.size());
    for (size_t s = 0; s < lens.size(); s++)
        if (lens[s]) codes[s] = next[lens[s]]++;
    return codes;
}

// A dynamic block with any code lengths, legal or not. The code-length code gives the
// 16 symbols 0-15 `cl_bits` bits each (4: complete; 5: half the code space unused) and
// 16-18 none, so every length is sent as itself.
struct DynamicBlock {
    std::vector<int> lit_lens, dist_lens;
    std::vector<uint32_t> lit_codes, dist_codes;
    int cl_bits = 4;
    DynamicBlock(std::vector<int> lit, std::vector<int> dist) : lit_lens(std::move(lit)), dist_lens(std::move(dist)) {
        lit_codes = canonical_codes(lit_lens);
        dist_codes = canonical_codes(dist_lens);
    }
    void header(BitWriter &w, bool final) const {
        w.bits(final, 1);
        w.bits(2, 2);
        w.bits((uint32_t)lit_lens.size() - 257, 5);  // HLIT
        w.bits((uint32_t)dist_lens.size() - 1, 5);   // HDIST
        w.bits(15, 4);                               // HCLEN: all 19 code-length lengths
        for (int i = 0; i < 19; i++) w.bits(i < 3 ? 0 : cl_bits, 3);  // order 16,17,18,0,8,...: 16-18 unused
        for (int l : lit_lens) w.code(l, cl_bits);  // with all lengths equal, symbol l's code is l
        for (int l : dist_lens) w.code(l, cl_bits);
    }
    void lit(BitWriter &w, int sym) const { w.code(lit_codes[sym], lit_lens[sym]); }
    void match(BitWriter &w, int len, int dist) const {
        const int ls = length_symbol(len);
        lit(w, 257 + ls);
        w.bits(len - LEN_BASE[ls], LEN_EXTRA[ls]);
        const int ds = dist_symbol(dist);
        w.code(dist_codes[ds], dist_lens[ds]);
        w.bits(dist - DIST_BASE[ds], DIST_EXTRA[ds]);
    }
};

// ---- Running both decoders ----------------------------------------------------------------
struct Outcome {
    int32_t result;
    Bytes buffer;
};

constexpr size_t SLACK = 64;  // sentinel bytes past the capacity: never written

Outcome run_fast(const Bytes &in, size_t cap) {
    Outcome o{0, Bytes(cap + SLACK, 0xA5)};
    o.result = kv_inflate(in.empty() ? nullptr : in.data(), in.size(), o.buffer.data(), cap);
    return o;
}
Outcome run_ref(const Bytes &in, size_t cap) {
    Outcome o{0, Bytes(cap + SLACK, 0xA5)};
    o.result = ref_inflate(in.empty() ? nullptr : in.data(), in.size(), o.buffer.data(), cap);
    return o;
}

// The forms that change the inflater's code: its Huffman loop with BMI2 off, and on
// where the processor has it.
std::vector<CpuLimit> inflate_forms() {
    std::vector<CpuLimit> forms = {{cpu_form_available(), false}};
    if (cpu_bmi2_available()) forms.push_back({cpu_form_available(), true});
    return forms;
}

// Both decoders, sentinel-filled buffers compared whole, ours in each of its forms;
// returns the common result.
int32_t both(const Bytes &in, size_t cap) {
    const Outcome r = run_ref(in, cap);
    int32_t result = r.result;
    for (CpuLimit form : inflate_forms()) {
        CpuFormScope scope(form);
        const Outcome f = run_fast(in, cap);
        EXPECT_EQ(f.result, r.result) << cpu_limit_name(form);
        EXPECT_TRUE(f.buffer == r.buffer) << "output buffers differ (input " << in.size() << " bytes, capacity "
                                          << cap << ", " << cpu_limit_name(form) << ")";
        result = f.result;
    }
    return result;
}

Bytes zlib_raw_deflate(const Bytes &data, int level, int strategy, int mem_level = 8, int window_bits = 15) {
    z_stream z{};
    EXPECT_EQ(deflateInit2(&z, level, Z_DEFLATED, -window_bits, mem_level, strategy), Z_OK);
    Bytes out(deflateBound(&z, data.size()) + 64);
    z.next_in = const_cast<Bytef *>(data.data());
    z.avail_in = (uInt)data.size();
    z.next_out = out.data();
    z.avail_out = (uInt)out.size();
    EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

Bytes zlib_raw_inflate(const Bytes &in, size_t cap, int *rc) {
    Bytes out(cap + 1);
    z_stream z{};
    inflateInit2(&z, -15);
    z.next_in = const_cast<Bytef *>(in.data());
    z.avail_in = (uInt)in.size();
    z.next_out = out.data();
    z.avail_out = (uInt)out.size();
    *rc = inflate(&z, Z_FINISH);
    out.resize(z.total_out);
    inflateEnd(&z);
    return out;
}

// Data of several kinds for the valid-stream tests.
Bytes make_data(int kind, size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes d(n);
    for (size_t i = 0; i < n; i++) {
        switch (kind) {
        case 0: d[i] = (uint8_t)rng(); break;                                   // incompressible
        case 1: d[i] = "the quick brown fox jumps "[rng() % 26]; break;           // text-like
        case 2: d[i] = i >= 40 && rng() % 8 ? d[i - 1 - rng() % 40] : (uint8_t)rng(); break;  // many matches
        case 3: d[i] = (uint8_t)((i / 97) * 3); break;                           // long runs
        case 4: d[i] = i >= 300 && rng() % 4 ? (uint8_t)(d[i - 300] + rng() % 3) : (uint8_t)rng(); break;  // image rows
        default: d[i] = i >= 32768 ? d[i - 32768] : (uint8_t)rng(); break;       // distance 32768
        }
    }
    return d;
}

// ---- Edge cases of the format --------------------------------------------------------------------

TEST(Inflate, EmptyInputFails) {
    EXPECT_EQ(both({}, 16), -1);
    EXPECT_EQ(kv_inflate(nullptr, 0, nullptr, 0), -1);
}

TEST(Inflate, EmptyFinalStoredBlockGivesZero) {
    EXPECT_EQ(both({0x01, 0x00, 0x00, 0xFF, 0xFF}, 0), 0);
    EXPECT_EQ(both({0x01, 0x00, 0x00, 0xFF, 0xFF}, 10), 0);
    EXPECT_EQ(kv_inflate((const uint8_t *)"\x01\x00\x00\xFF\xFF", 5, nullptr, 0), 0);
}

TEST(Inflate, StoredThenFixedBlockCountTogether) {
    BitWriter w;
    w.bits(0, 1);  // BFINAL 0
    w.bits(0, 2);  // stored
    w.align();
    for (uint8_t b : Bytes{3, 0, 0xFC, 0xFF, 'a', 'b', 'c'}) w.byte(b);
    w.bits(1, 1);  // BFINAL 1
    w.bits(1, 2);  // fixed
    fixed_lit(w, 'd');
    fixed_match(w, 4, 4);  // "abcd" again
    fixed_lit(w, 256);
    const Bytes in = w.finish();
    EXPECT_EQ(both(in, 8), 8);
    Outcome o = run_fast(in, 8);
    EXPECT_EQ(std::string(o.buffer.begin(), o.buffer.begin() + 8), "abcdabcd");
}

TEST(Inflate, StoredBlockFailures) {
    // NLEN not the complement of LEN.
    EXPECT_EQ(both({0x01, 0x03, 0x00, 0xFC, 0xFE, 'a', 'b', 'c'}, 8), -1);
    // LEN runs past the end of the input (3 announced, 2 present).
    EXPECT_EQ(both({0x01, 0x03, 0x00, 0xFC, 0xFF, 'a', 'b'}, 8), -1);
    // Fewer than 4 header bytes after the block header.
    EXPECT_EQ(both({0x01, 0x03, 0x00, 0xFC}, 8), -1);
    // More than the capacity.
    EXPECT_EQ(both({0x01, 0x03, 0x00, 0xFC, 0xFF, 'a', 'b', 'c'}, 2), -1);
    EXPECT_EQ(both({0x01, 0x03, 0x00, 0xFC, 0xFF, 'a', 'b', 'c'}, 3), 3);
}

TEST(Inflate, CapacityExactSucceedsOneLessFails) {
    // Ends with a literal.
    BitWriter a;
    a.bits(1, 1);
    a.bits(1, 2);
    for (char c : std::string("hello")) fixed_lit(a, c);
    fixed_lit(a, 256);
    const Bytes lit = a.finish();
    EXPECT_EQ(both(lit, 5), 5);
    EXPECT_EQ(both(lit, 4), -1);  // the first four bytes stay in the buffer
    EXPECT_EQ(run_fast(lit, 4).buffer[3], 'l');
    // Ends with a match: nothing of the match is written when it does not fit.
    BitWriter b;
    b.bits(1, 1);
    b.bits(1, 2);
    fixed_lit(b, 'x');
    fixed_lit(b, 'y');
    fixed_match(b, 10, 2);
    fixed_lit(b, 256);
    const Bytes match = b.finish();
    EXPECT_EQ(both(match, 12), 12);
    EXPECT_EQ(both(match, 11), -1);
    Outcome o = run_fast(match, 11);
    EXPECT_EQ(o.buffer[2], 0xA5);  // untouched
}

TEST(Inflate, DistanceOneLength258RepeatsTheByte) {
    BitWriter w;
    w.bits(1, 1);
    w.bits(1, 2);
    fixed_lit(w, 'z');
    fixed_match(w, 258, 1);
    fixed_lit(w, 256);
    const Bytes in = w.finish();
    EXPECT_EQ(both(in, 259), 259);
    Outcome o = run_fast(in, 259);
    EXPECT_EQ(Bytes(o.buffer.begin(), o.buffer.begin() + 259), Bytes(259, 'z'));
    EXPECT_EQ(both(in, 258), -1);
}

TEST(Inflate, DistanceBeforeTheOutputFailsAcrossBlocks) {
    for (int dist : {5, 6}) {
        BitWriter w;
        w.bits(0, 1);
        w.bits(0, 2);
        w.align();
        for (uint8_t b : Bytes{5, 0, 0xFA, 0xFF, '1', '2', '3', '4', '5'}) w.byte(b);
        w.bits(1, 1);
        w.bits(1, 2);
        fixed_match(w, 3, dist);
        fixed_lit(w, 256);
        EXPECT_EQ(both(w.finish(), 100), dist == 5 ? 8 : -1) << dist;
    }
    // Within one block: one more than the bytes written so far.
    BitWriter w;
    w.bits(1, 1);
    w.bits(1, 2);
    fixed_lit(w, 'a');
    fixed_lit(w, 'b');
    fixed_match(w, 3, 3);
    fixed_lit(w, 256);
    EXPECT_EQ(both(w.finish(), 100), -1);
}

TEST(Inflate, ZlibHeaderIsReadAsAStoredBlock) {
    // 0x78 = BFINAL 0, BTYPE 00: a stored block whose LEN/NLEN are the next four bytes.
    const Bytes in = {0x78, 0x02, 0x00, 0xFD, 0xFF, 'o', 'k', 0x01, 0x00, 0x00, 0xFF, 0xFF};
    EXPECT_EQ(both(in, 10), 2);
    // A real zlib stream with its header still attached fails (0x9C 0x?? is no LEN/NLEN pair).
    const Bytes data = make_data(1, 1000, 1);
    uLongf n = compressBound(1000);
    Bytes z(n);
    ASSERT_EQ(compress2(z.data(), &n, data.data(), 1000, 9), Z_OK);
    z.resize(n);
    EXPECT_EQ(both(z, 1000), -1);
}

TEST(Inflate, BytesAfterTheFinalBlockAreIgnored) {
    const Bytes data = make_data(2, 5000, 2);
    Bytes in = zlib_raw_deflate(data, 6, Z_DEFAULT_STRATEGY);
    EXPECT_EQ(both(in, 5000), 5000);
    for (uint8_t b : {0x12, 0x34, 0x56, 0x78}) in.push_back(b);  // an Adler-32 trailer
    EXPECT_EQ(both(in, 5000), 5000);
    in.insert(in.end(), 1000, 0xFF);
    EXPECT_EQ(both(in, 5000), 5000);
}

TEST(Inflate, DynamicHeaderCountsOutOfRangeFail) {
    for (int hlit : {29, 30, 31}) {  // 286 codes are allowed, 287 and 288 are not
        BitWriter w;
        w.bits(1, 1);
        w.bits(2, 2);
        w.bits(hlit, 5);
        w.bits(0, 5);
        w.bits(15, 4);
        for (int i = 0; i < 19; i++) w.bits(i < 3 ? 0 : 4, 3);
        for (int i = 0; i < hlit + 257; i++) w.code(i == 256 || i == 'a' ? 1 : 0, 4);
        w.code(1, 4);  // one distance code
        w.code(0, 1);  // 'a' (code 0 of the two 1-bit codes 'a', 256)
        w.code(1, 1);  // end of block
        EXPECT_EQ(both(w.finish(), 10), hlit == 29 ? 1 : -1) << hlit;
    }
    for (int hdist : {29, 30, 31}) {
        BitWriter w;
        w.bits(1, 1);
        w.bits(2, 2);
        w.bits(0, 5);
        w.bits(hdist, 5);
        w.bits(15, 4);
        for (int i = 0; i < 19; i++) w.bits(i < 3 ? 0 : 4, 3);
        for (int i = 0; i < 257; i++) w.code(i == 256 || i == 'a' ? 1 : 0, 4);
        for (int i = 0; i < hdist + 1; i++) w.code(i == 0, 4);  // one distance code
        w.code(0, 1);
        w.code(1, 1);
        EXPECT_EQ(both(w.finish(), 10), hdist == 29 ? 1 : -1) << hdist;
    }
}

// A dynamic header whose code lengths are sent with the code-length symbols given.
Bytes header_with_cl_symbols(const std::vector<std::pair<int, int>> &syms) {
    // Code-length code: 0-15 and 16-18 all 5 bits long (19 of 32 codes: incomplete, legal).
    BitWriter w;
    w.bits(1, 1);
    w.bits(2, 2);
    w.bits(0, 5);   // 257 literal/length codes
    w.bits(0, 5);   // 1 distance code
    w.bits(15, 4);  // 19 code-length lengths
    for (int i = 0; i < 19; i++) w.bits(5, 3);
    for (auto [sym, extra] : syms) {
        w.code(sym, 5);  // with all lengths 5, symbol s has code s
        if (sym == 16) w.bits(extra, 2);
        if (sym == 17) w.bits(extra, 3);
        if (sym == 18) w.bits(extra, 7);
    }
    for (int i = 0; i < 16; i++) w.bits(0, 8);  // padding: never a clean end
    return w.finish();
}

TEST(Inflate, CodeLengthRepeatRules) {
    // First symbol 16: no previous length.
    EXPECT_EQ(both(header_with_cl_symbols({{16, 0}}), 10), -1);
    // 257 + 1 lengths in total: 18 with 138 zeros, 18 with 118 zeros = 256 zeros; then
    // symbol 256 gets 1, the distance 1: the repeat of code 16 may not run past the total.
    EXPECT_EQ(both(header_with_cl_symbols({{18, 127}, {18, 107}, {1, 0}, {16, 0}}), 10), -1);
    // A 17 or 18 past the total fails too.
    EXPECT_EQ(both(header_with_cl_symbols({{18, 127}, {18, 107}, {1, 0}, {17, 0}}), 10), -1);
    EXPECT_EQ(both(header_with_cl_symbols({{18, 127}, {18, 127}}), 10), -1);
}

// Literal/length lengths 'a', 256 and 257 two bits each, the rest 0, and distance
// lengths, where a code 16 starting at symbol 257 repeats the length 2 `rep` times and
// so runs from the literal/length lengths into the distance lengths.
Bytes crossing_repeat(int ndist, int rep_extra, bool with_data) {
    BitWriter w;
    w.bits(1, 1);
    w.bits(2, 2);
    w.bits(1, 5);         // 258 literal/length codes (257 is length 3)
    w.bits(ndist - 1, 5);
    w.bits(15, 4);
    for (int i = 0; i < 19; i++) w.bits(5, 3);  // code-length symbol s has the 5-bit code s
    auto sym = [&](int s) { w.code(s, 5); };
    sym(18);
    w.bits(97 - 11, 7);  // lengths of 0..96: 0
    sym(2);              // 'a'
    sym(18);
    w.bits(138 - 11, 7);  // 98..235: 0
    sym(18);
    w.bits(20 - 11, 7);  // 236..255: 0
    sym(2);              // 256
    sym(16);
    w.bits(rep_extra, 2);  // 3 + rep_extra copies of 2: symbol 257 and then distances
    for (int i = 3 + rep_extra; i < 1 + ndist; i++) sym(2);
    if (with_data) {
        // 'a' = 00, 256 = 01, 257 = 10; distance symbol 0 (distance 1) = 00.
        w.code(0, 2);
        w.code(2, 2);
        w.code(0, 2);
        w.code(1, 2);
    }
    for (int i = 0; i < 4; i++) w.bits(0, 8);
    return w.finish();
}

TEST(Inflate, RepeatMayRunFromLiteralIntoDistanceLengths) {
    // Two distance codes: the repeat of 3 covers 257 and both distance lengths.
    const Bytes good = crossing_repeat(2, 0, true);
    EXPECT_EQ(both(good, 10), 4);
    EXPECT_EQ(run_fast(good, 4).buffer[3], 'a');
    // Three distance codes, repeat of 3 then one more length.
    EXPECT_EQ(both(crossing_repeat(3, 0, true), 10), 4);
    // A repeat of 4 where only 3 lengths are left overruns the total.
    EXPECT_EQ(both(crossing_repeat(2, 1, true), 10), -1);
}

TEST(Inflate, OversubscribedCodesFail) {
    // Literal/length code: three 1-bit codes.
    std::vector<int> lit(257, 0);
    lit['a'] = lit['b'] = lit[256] = 1;
    DynamicBlock d(lit, {1});
    BitWriter w;
    d.header(w, true);
    EXPECT_EQ(both(w.finish(), 10), -1);
    // Distance code over-subscribed.
    std::vector<int> lit2(257, 0);
    lit2['a'] = lit2[256] = 1;
    DynamicBlock e(lit2, {1, 1, 1});
    BitWriter v;
    e.header(v, true);
    e.lit(v, 'a');
    e.lit(v, 256);
    EXPECT_EQ(both(v.finish(), 10), -1);
    // Code-length code over-subscribed: three 1-bit lengths.
    BitWriter u;
    u.bits(1, 1);
    u.bits(2, 2);
    u.bits(0, 5);
    u.bits(0, 5);
    u.bits(0, 4);  // 4 code-length lengths: for 16, 17, 18, 0
    for (int i = 0; i < 4; i++) u.bits(i < 3 ? 1 : 0, 3);
    for (int i = 0; i < 8; i++) u.bits(0, 8);
    EXPECT_EQ(both(u.finish(), 10), -1);
}

TEST(Inflate, IncompleteCodesDecodeUntilAnUnusedPatternIsMet) {
    // 'a' = 0, 256 = 10; pattern 11 belongs to no symbol.
    std::vector<int> lit(257, 0);
    lit['a'] = 1;
    lit[256] = 2;
    DynamicBlock d(lit, {0});
    BitWriter w;
    d.header(w, true);
    d.lit(w, 'a');
    d.lit(w, 'a');
    d.lit(w, 256);
    EXPECT_EQ(both(w.finish(), 10), 2);
    BitWriter v;
    d.header(v, true);
    d.lit(v, 'a');
    v.code(3, 2);  // unused
    for (int i = 0; i < 4; i++) v.bits(0, 8);
    const Bytes bad = v.finish();
    EXPECT_EQ(both(bad, 10), -1);
    EXPECT_EQ(run_fast(bad, 10).buffer[0], 'a');  // the byte before the failure stays
}

TEST(Inflate, AllZeroDistanceLengthsAllowLiteralsOnly) {
    std::vector<int> lit(258, 0);
    lit['x'] = 1;
    lit[256] = 2;
    lit[257] = 2;
    DynamicBlock d(lit, std::vector<int>(30, 0));
    BitWriter w;
    d.header(w, true);
    for (int i = 0; i < 50; i++) d.lit(w, 'x');
    d.lit(w, 256);
    EXPECT_EQ(both(w.finish(), 100), 50);
    BitWriter v;
    d.header(v, true);
    d.lit(v, 'x');
    d.lit(v, 257);  // a length, then a distance that has no code
    for (int i = 0; i < 4; i++) v.bits(0, 8);
    EXPECT_EQ(both(v.finish(), 100), -1);
}

TEST(Inflate, BlockWithoutEndOfBlockCodeFailsWhenInputOrRoomRunsOut) {
    std::vector<int> lit(257, 0);
    lit['q'] = 1;  // 256 has no code
    DynamicBlock d(lit, {0});
    BitWriter w;
    d.header(w, true);
    for (int i = 0; i < 100; i++) d.lit(w, 'q');
    const Bytes in = w.finish();
    EXPECT_EQ(both(in, 1000), -1);  // input runs out
    EXPECT_EQ(both(in, 50), -1);    // room runs out
}

TEST(Inflate, FixedBlockInvalidSymbols) {
    for (int sym : {286, 287}) {
        BitWriter w;
        w.bits(1, 1);
        w.bits(1, 2);
        fixed_lit(w, 'a');
        fixed_lit(w, sym);
        for (int i = 0; i < 4; i++) w.bits(0, 8);
        EXPECT_EQ(both(w.finish(), 10), -1) << sym;
    }
    for (int dsym : {30, 31}) {
        BitWriter w;
        w.bits(1, 1);
        w.bits(1, 2);
        fixed_lit(w, 'a');
        fixed_lit(w, 257);
        w.code(dsym, 5);
        for (int i = 0; i < 4; i++) w.bits(0, 8);
        EXPECT_EQ(both(w.finish(), 10), -1) << dsym;
    }
}

TEST(Inflate, BlockType3Fails) {
    EXPECT_EQ(both({0x07, 0, 0, 0}, 10), -1);
    EXPECT_EQ(both({0x06, 0, 0, 0}, 10), -1);
}

TEST(Inflate, LongestCodesUseSubtables) {
    // A literal/length code with lengths up to 15 (more than the 11-bit main table) and a
    // distance code with lengths up to 15 (more than 8), both incomplete but legal.
    std::vector<int> lit(286, 9);
    for (int i = 0; i < 20; i++) lit[i] = 15;
    for (int i = 20; i < 40; i++) lit[i] = 12;
    std::vector<int> dist(30, 5);
    dist[29] = 15;
    dist[28] = 14;
    dist[27] = 10;
    DynamicBlock d(lit, dist);
    BitWriter w;
    d.header(w, true);
    std::mt19937 rng(5);
    Bytes expect;
    for (int i = 0; i < 3000; i++) {
        if (expect.size() > 40000 || expect.empty() || rng() % 3) {
            const int s = rng() % 2 ? (int)(rng() % 40) : (int)(rng() % 256);
            d.lit(w, s);
            expect.push_back((uint8_t)s);
        } else {
            const int len = 3 + rng() % 256;
            const int dist_max = (int)std::min<size_t>(expect.size(), 32768);
            const int dd = 1 + (int)(rng() % dist_max);
            d.match(w, len, dd);
            for (int k = 0; k < len; k++) expect.push_back(expect[expect.size() - dd]);
        }
    }
    d.lit(w, 256);
    const Bytes in = w.finish();
    ASSERT_EQ(both(in, expect.size()), (int32_t)expect.size());
    Outcome o = run_fast(in, expect.size());
    EXPECT_TRUE(std::equal(expect.begin(), expect.end(), o.buffer.begin()));
    // (zlib refuses this incomplete literal/length code, so it is no oracle here.)
}

// The inflater takes incomplete codes; it also says whether zlib would, which decides
// whether a stream may be handed on to readers built on zlib. zlib is the oracle.
TEST(Inflate, ReportsTheCodesZlibRefuses) {
    auto lens = [](size_t n, std::initializer_list<std::pair<int, int>> set) {
        std::vector<int> v(n, 0);
        for (auto [sym, len] : set) v[sym] = len;
        return v;
    };
    const std::vector<int> lit4 = lens(258, {{'a', 2}, {'b', 2}, {256, 2}, {257, 2}});  // complete
    const std::vector<int> lit3 = lens(258, {{'a', 2}, {'b', 2}, {256, 2}});            // incomplete
    struct Case {
        std::vector<int> lit, dist;
        int cl_bits;
    };
    const Case cases[] = {
        {lit4, lens(1, {{0, 1}}), 4},             // a lone one-bit distance code: taken
        {lit4, lens(2, {{0, 1}, {1, 1}}), 4},     // complete
        {lit3, lens(1, {{0, 1}}), 4},             // incomplete literal/length code
        {lit4, lens(2, {{0, 2}, {1, 2}}), 4},     // incomplete distance code
        {lit4, lens(1, {{0, 2}}), 4},             // a lone two-bit distance code
        {lit4, lens(1, {{0, 1}}), 5},             // incomplete code-length code
        {lens(257, {{256, 1}}), lens(1, {}), 4},  // only the end: a lone one-bit code, no distances
    };
    for (size_t i = 0; i < std::size(cases); i++) {
        DynamicBlock d(cases[i].lit, cases[i].dist);
        d.cl_bits = cases[i].cl_bits;
        BitWriter w;
        d.header(w, true);
        Bytes expect;
        if (d.lit_lens['a']) {
            for (int c : {'a', 'b', 'a'}) d.lit(w, c), expect.push_back((uint8_t)c);
        }
        if (d.lit_lens.size() > 257 && d.lit_lens[257]) {
            d.match(w, 3, 1);
            expect.insert(expect.end(), 3, 'a');
        }
        d.lit(w, 256);
        const Bytes in = w.finish();
        Bytes out(expect.size() + 1);
        InflateFacts facts;
        ASSERT_EQ(flate_inflate_ex(in.data(), in.size(), out.data(), out.size(), &facts), (int32_t)expect.size()) << i;
        int rc;
        zlib_raw_inflate(in, expect.size(), &rc);
        EXPECT_EQ(facts.zlib_codes, rc == Z_STREAM_END) << "case " << i << ", zlib " << rc;
    }
}

TEST(Inflate, DistanceOf32768) {
    // Fixed block: 32768 literals, then a match from exactly 32768 back.
    BitWriter w;
    w.bits(1, 1);
    w.bits(1, 2);
    Bytes expect;
    for (int i = 0; i < 32768; i++) {
        const int c = (i * 7919) % 251;
        fixed_lit(w, c);
        expect.push_back((uint8_t)c);
    }
    fixed_match(w, 258, 32768);
    for (int k = 0; k < 258; k++) expect.push_back(expect[expect.size() - 32768]);
    fixed_lit(w, 256);
    const Bytes in = w.finish();
    ASSERT_EQ(both(in, expect.size()), (int32_t)expect.size());
    EXPECT_TRUE(std::equal(expect.begin(), expect.end(), run_fast(in, expect.size()).buffer.begin()));
    // And from zlib, whose matches reach back the whole window.
    const Bytes data = make_data(5, 100000, 6);
    const Bytes z = zlib_raw_deflate(data, 9, Z_DEFAULT_STRATEGY);
    EXPECT_EQ(both(z, data.size()), (int32_t)data.size());
}

TEST(Inflate, HugeCapacityIsAcceptedAndCountIsStillExact) {
    const Bytes data = make_data(2, 3000, 7);
    const Bytes in = zlib_raw_deflate(data, 6, Z_DEFAULT_STRATEGY);
    Bytes out(data.size() + 16);
    // The capacity announces far more room than 2^31 bytes; only the real output is written.
    EXPECT_EQ(kv_inflate(in.data(), in.size(), out.data(), (size_t)1 << 40), (int32_t)data.size());
    EXPECT_TRUE(std::equal(data.begin(), data.end(), out.begin()));
    EXPECT_EQ(ref_inflate(in.data(), in.size(), out.data(), SIZE_MAX), (int32_t)data.size());
}

// The count may not pass 2^31 - 1, whatever the capacity. Needs 2 GiB of address space
// whose pages get touched as the output grows (a few seconds, mostly the kernel clearing
// pages; huge pages are asked for to keep the faults few).
TEST(Inflate, CountPastTwoToThe31Fails) {
#if defined(__linux__) && defined(MAP_NORESERVE) && UINTPTR_MAX > 0xFFFFFFFFu
    const size_t big = ((size_t)1 << 31) + 4096;
    void *mem = mmap(nullptr, big, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (mem == MAP_FAILED) GTEST_SKIP() << "no 2 GiB of address space";
#ifdef MADV_HUGEPAGE
    madvise(mem, big, MADV_HUGEPAGE);
#endif
    // Fixed block: one literal, then matches of 258 from distance 1, then literals.
    auto stream = [](uint64_t total) {
        BitWriter w;
        w.bits(1, 1);
        w.bits(1, 2);
        fixed_lit(w, 'w');
        uint64_t n = 1;
        while (n + 258 <= total) {
            fixed_match(w, 258, 1);
            n += 258;
        }
        while (n < total) {
            fixed_lit(w, 'w');
            n++;
        }
        fixed_lit(w, 256);
        return w.finish();
    };
    uint8_t *out = (uint8_t *)mem;
    const Bytes max_ok = stream(0x7FFFFFFF);
    EXPECT_EQ(kv_inflate(max_ok.data(), max_ok.size(), out, big), 0x7FFFFFFF);
    EXPECT_EQ(out[0x7FFFFFFE], 'w');
    EXPECT_EQ(out[0x7FFFFFFF], 0);  // untouched
    const Bytes one_more = stream(0x80000000ull);
    EXPECT_EQ(kv_inflate(one_more.data(), one_more.size(), out, big), -1);
    EXPECT_EQ(out[0x7FFFFFFF], 0);  // the match that would pass the limit wrote nothing
    munmap(mem, big);
#else
    GTEST_SKIP() << "needs a 64-bit Linux address space";
#endif
}

// ---- Valid streams: zlib at every level and strategy -----------------------------------------

TEST(Inflate, ZlibEveryLevelAndStrategy) {
    const int strategies[] = {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED};
    int cases = 0;
    for (int kind = 0; kind < 6; kind++) {
        const Bytes data = make_data(kind, kind == 5 ? 70000 : 20000 + 3000 * kind, 100 + kind);
        for (int level = 0; level <= 9; level++) {
            for (int strategy : strategies) {
                const Bytes in = zlib_raw_deflate(data, level, strategy);
                ASSERT_EQ(both(in, data.size()), (int32_t)data.size()) << kind << " " << level << " " << strategy;
                const Outcome o = run_fast(in, data.size());
                ASSERT_TRUE(std::equal(data.begin(), data.end(), o.buffer.begin()));
                cases++;
            }
        }
    }
    EXPECT_EQ(cases, 6 * 10 * 5);
}

TEST(Inflate, ManySmallBlocksAndOddWindows) {
    // memLevel 1 makes zlib end a block every few hundred symbols; small windows bound
    // the distances. The last byte of output is checked at every capacity around it.
    const Bytes data = make_data(2, 50000, 9);
    for (int window : {9, 12, 15}) {
        const Bytes in = zlib_raw_deflate(data, 9, Z_DEFAULT_STRATEGY, 1, window);
        EXPECT_EQ(both(in, data.size()), (int32_t)data.size());
        EXPECT_EQ(both(in, data.size() - 1), -1);
        EXPECT_EQ(both(in, data.size() + 1), (int32_t)data.size());
    }
}

TEST(Inflate, AgreesWithZlibOnRandomValidStreams) {
    std::mt19937 rng(11);
    for (int it = 0; it < 300; it++) {
        const size_t n = rng() % (it < 200 ? 2000 : 100000);
        const Bytes data = make_data(rng() % 6, n, rng());
        const Bytes in = zlib_raw_deflate(data, rng() % 10, rng() % 5);
        int rc;
        const Bytes z = zlib_raw_inflate(in, n, &rc);
        ASSERT_EQ(rc, Z_STREAM_END);
        const Outcome o = run_fast(in, n);
        ASSERT_EQ(o.result, (int32_t)n);
        ASSERT_TRUE(std::equal(z.begin(), z.end(), o.buffer.begin()));
        ASSERT_EQ(o.result, ref_inflate(in.data(), in.size(), Bytes(n + 1).data(), n));
    }
}

// ---- Damaged streams ------------------------------------------------------------------------

TEST(Inflate, TruncatedAtEveryByte) {
    for (int kind : {1, 2, 4}) {
        const Bytes data = make_data(kind, 3000, 20 + kind);
        for (int strategy : {Z_DEFAULT_STRATEGY, Z_FIXED}) {
            const Bytes full = zlib_raw_deflate(data, 6, strategy);
            for (size_t cut = 0; cut < full.size(); cut++) {
                const Bytes in(full.begin(), full.begin() + cut);
                // Every cut loses bits of the final block, so every one fails.
                EXPECT_EQ(both(in, data.size()), -1) << cut;
            }
        }
    }
    // A stored stream too.
    const Bytes data = make_data(0, 1000, 3);
    const Bytes stored = zlib_raw_deflate(data, 0, Z_DEFAULT_STRATEGY);
    for (size_t cut = 0; cut < stored.size(); cut++) both(Bytes(stored.begin(), stored.begin() + cut), 1000);
}

TEST(Inflate, RandomBitFlipsAndCapacities) {
    std::mt19937 rng(77);
    for (int it = 0; it < 1500; it++) {
        const size_t n = 1 + rng() % 4000;
        const Bytes data = make_data(rng() % 6, n, rng());
        Bytes in = zlib_raw_deflate(data, rng() % 10, rng() % 5);
        const int flips = 1 + rng() % 3;
        for (int f = 0; f < flips; f++) in[rng() % in.size()] ^= (uint8_t)(1u << (rng() % 8));
        const size_t cap = rng() % 2 ? n : rng() % (n + 300);
        both(in, cap);
        if (HasFailure()) break;
    }
}

TEST(Inflate, RandomBytes) {
    std::mt19937 rng(1234);
    for (int it = 0; it < 3000; it++) {
        Bytes in(rng() % 200);
        for (auto &b : in) b = (uint8_t)rng();
        if (!in.empty() && rng() % 2) in[0] = (uint8_t)((in[0] & ~6) | 4);  // dynamic block
        both(in, rng() % 3000);
        if (HasFailure()) break;
    }
}

// ---- Re-entrancy ------------------------------------------------------------------------------

TEST(Inflate, ConcurrentCallsDoNotInterfere) {
    std::vector<Bytes> datas, streams;
    for (int i = 0; i < 4; i++) {
        datas.push_back(make_data(i + 1, 200000, 40 + i));
        streams.push_back(zlib_raw_deflate(datas.back(), 1 + 2 * i, i % 2 ? Z_FIXED : Z_DEFAULT_STRATEGY));
    }
    std::vector<int> ok(4, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([&, t] {
            Bytes out(datas[t].size());
            int good = 1;
            for (int r = 0; r < 20; r++) {
                good &= kv_inflate(streams[t].data(), streams[t].size(), out.data(), out.size()) == (int32_t)out.size();
                good &= out == datas[t];
            }
            ok[t] = good;
        });
    }
    for (auto &th : threads) th.join();
    EXPECT_EQ(ok, std::vector<int>(4, 1));
}

}  // namespace

// Dynamic codes whose decode tables need the most room, complete and incomplete: codes
// crowded at lengths 12 to 15 in many main-table prefixes, a lone long code, and random
// mixes. Every header must build (both decoders decode the block to its end).
TEST(Inflate, LargestDecodeTablesBuild) {
    std::vector<std::pair<std::vector<int>, std::vector<int>>> codes;
    std::mt19937 rng(21);
    auto random_code = [&rng](size_t n, int min_len, bool complete) {
        // Lengths drawn long first, then, for a complete code, the remaining space filled
        // from the shortest length that fits.
        std::vector<int> lens(n, 0);
        uint32_t used = 0;  // in units of 2^-15
        for (size_t s = 0; s < n; s++) {
            int l = min_len + (int)(rng() % (uint32_t)(16 - min_len));
            if (rng() % 4 == 0) continue;
            if (used + (1u << (15 - l)) > 32768u) continue;
            lens[s] = l;
            used += 1u << (15 - l);
        }
        if (complete) {
            for (size_t s = 0; s < n && used < 32768u; s++) {
                if (lens[s]) continue;
                int l = 1;
                while ((1u << (15 - l)) > 32768u - used) l++;
                lens[s] = l;
                used += 1u << (15 - l);
            }
        }
        return lens;
    };
    for (int i = 0; i < 300; i++) {
        std::vector<int> lit = random_code(286, 9 + i % 4, i % 3 != 0), dist = random_code(30, 6 + i % 5, i % 2 == 0);
        if (!lit[256]) lit[256] = 15;
        uint32_t used = 0;
        for (int l : lit) used += l ? 1u << (15 - l) : 0;
        if (used > 32768u) continue;  // the end-of-block code did not fit
        codes.push_back({lit, dist});
    }
    // Every literal/length symbol at length 15 but one, the lone code, one distance of 15 bits.
    std::vector<int> all15(286, 15), lone(286, 0), one_dist(30, 0);
    lone[256] = 15;
    one_dist[0] = 15;
    codes.push_back({all15, one_dist});
    codes.push_back({lone, one_dist});
    for (const auto &c : codes) {
        DynamicBlock d(c.first, c.second);
        BitWriter w;
        d.header(w, true);
        d.lit(w, 256);
        EXPECT_EQ(both(w.finish(), 16), 0);
    }
}
