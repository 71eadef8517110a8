// inflate.cpp: raw deflate (RFC 1951) decoder, kv_inflate.
//
// Results are exactly those of the plain bit-at-a-time decoder (kept as the test
// reference in tests/ref/ref_inflate.cpp): the same return value, the same bytes written
// to the output buffer (on failure too, and never a byte past the last one the reference
// writes) and a failure for exactly the same streams. What makes it fast:
//
//  - Symbols are decoded through multi-bit lookup tables (11 bits for literal/length
//    codes, 8 for distances, 7 for the code-length code) with second-level subtables for
//    longer codes. One table entry gives the symbol's value, its code length and the
//    number of extra bits, so a symbol with its extra bits is consumed by one shift.
//  - The bit buffer is a 64-bit word refilled a word at a time without branches while at
//    least 16 input bytes remain (the "fast loop"); near the end of the input or of the
//    output a careful loop takes over that checks every bit count and every byte of room.
//  - Matches are copied 8 bytes at a time where the distance allows, but never past the
//    match's end, so the output buffer holds exactly what the reference would write.
//  - The fixed-code tables are built once per process (function-local static, so the
//    one-time build is thread-safe); all other state lives in the per-call stream record,
//    which makes kv_inflate re-entrant.
//
// Exactness rests on two invariants of the bit buffer:
//  - `bitsleft` counts the bits of whole input bytes taken in and not yet consumed; the
//    bits above them are either the true next input bits or zero past the end of the
//    input. A table lookup over them therefore finds the same code as a bit-by-bit
//    decode would whenever the code is complete within the real bits; a code (or extra
//    bits) needing more bits than `bitsleft` when the input is exhausted is the
//    reference's "input runs out" failure.
//  - Incomplete codes are legal (as in the reference): table slots that belong to no
//    code hold an invalid entry, which fails when met, as the reference fails after 15
//    bits that match nothing. zlib refuses most of them; flate_inflate_ex tells its
//    caller whether the stream held one, for those that hand the stream on to such readers.
#include <cstring>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "bytes.h"
#include "cpu.h"
#include "flate/flate.h"
#include "folian.h"

namespace {

// ---- Format constants (RFC 1951) -------------------------------------------------------
constexpr unsigned NUM_LITLEN_SYMS = 288;  // fixed code: 0-287 (286, 287 invalid)
constexpr unsigned MAX_LITLEN_CODES = 286; // dynamic block: HLIT + 257 at most
constexpr unsigned MAX_DIST_CODES = 30;    // dynamic block: HDIST + 1 at most
constexpr unsigned NUM_PRECODE_SYMS = 19;
constexpr unsigned MAX_CODE_LEN = 15;
constexpr unsigned MAX_MATCH_LEN = 258;
// Most bytes one fast-loop iteration writes: two literals and a longest match.
constexpr unsigned FASTLOOP_MAX_WRITE = 2 + MAX_MATCH_LEN;

// Output count limit: the result is a signed 32-bit count.
constexpr uint64_t MAX_OUTPUT = 0x7FFFFFFF;

// Base values and extra-bit counts of length symbols 257-285 and distance symbols 0-29
// (RFC 1951 section 3.2.5).
constexpr uint16_t LEN_BASE[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                   31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr uint8_t LEN_EXTRA[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                   2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr uint16_t DIST_BASE[30] = {1,    2,    3,    4,    5,    7,     9,     13,    17,  25,
                                    33,   49,   65,   97,   129,  193,   257,   385,   513, 769,
                                    1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr uint8_t DIST_EXTRA[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                    6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
// Order of the code-length code lengths in a dynamic block header (section 3.2.7).
constexpr uint8_t DECODE_ORDER[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

// ---- Decode table entries ---------------------------------------------------------------
// One 32-bit entry per table slot:
//   bits 0-4    bits to consume: code length (within this table level) plus the number of
//               extra bits that follow the code; for a subtable pointer, the main-table bits
//   bits 8-11   code length within this table level (the extra bits start above it);
//               for a subtable pointer, the subtable's index bits
//   bit 12      LITERAL      literal byte in bits 16-23
//   bit 13      EXCEPTIONAL  not a literal, length or distance: end of block, subtable
//                            pointer, or (with neither of those flags) an invalid slot
//   bit 14      SUBTABLE     subtable pointer; subtable start index in bits 16-31
//   bit 15      END_OF_BLOCK
//   bits 16-31  value: literal, length base, distance base, code-length symbol, or
//               subtable start
constexpr uint32_t E_LITERAL = 1u << 12;
constexpr uint32_t E_EXCEPTIONAL = 1u << 13;
constexpr uint32_t E_SUBTABLE = 1u << 14;
constexpr uint32_t E_EOB = 1u << 15;
constexpr uint32_t E_INVALID = E_EXCEPTIONAL;

constexpr unsigned LITLEN_TABLEBITS = 11;
constexpr unsigned DIST_TABLEBITS = 8;
constexpr unsigned PRECODE_TABLEBITS = 7;
// Table sizes, main table included. They live in the per-call record on the caller's
// stack, so they are kept tight (about 11 KB together) for hosts with small thread stacks.
//
// For a complete code, zlib's examples/enough.c gives the largest table: "enough N B 15"
// for N symbols and B main-table bits. Incomplete codes are legal here too. Canonical
// codes fill the code space from its start, so every main-table prefix that holds long
// codes is filled by them except the last one, and the builder sizes each filled prefix's
// subtable exactly as for a complete code. Drop the codes of that last prefix and fill
// the unused space with at most B codes of B bits or fewer (one per bit of the count of
// free prefixes): a complete code of at most N + B symbols with the same subtables, whose
// table is within "enough N+B B 15". The last prefix adds at most 2^(15 - B) slots.
//   litlen: enough 297 11 15 = 2352, + 16;   dist: enough 38 8 15 = 408, + 128.
// build_table still checks every subtable against the size, so a mistake in this bound
// would reject a stream rather than write past the table.
constexpr unsigned LITLEN_ENOUGH = 2352 + (1u << (MAX_CODE_LEN - LITLEN_TABLEBITS));
constexpr unsigned DIST_ENOUGH = 408 + (1u << (MAX_CODE_LEN - DIST_TABLEBITS));
constexpr unsigned PRECODE_ENOUGH = 1u << PRECODE_TABLEBITS;  // code lengths are at most 7

inline uint32_t entry_bits(uint32_t e) { return e & 31; }
inline uint32_t entry_codelen(uint32_t e) { return (e >> 8) & 15; }
inline uint64_t low_bits(uint64_t v, unsigned n) { return v & ((uint64_t(1) << n) - 1); }

// Native-order word moves for match copies (byte order does not matter for a copy).
inline uint64_t load64(const uint8_t *p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}
inline void store64(uint8_t *p, uint64_t v) { std::memcpy(p, &v, 8); }

// Entry templates per symbol: flags, value and extra-bit count; the builder adds the
// code length. Built by the same rules as the constant tables above.
struct Templates {
    uint32_t litlen[NUM_LITLEN_SYMS];
    uint32_t dist[32];
    uint32_t precode[NUM_PRECODE_SYMS];
};

constexpr Templates make_templates() {
    Templates t{};
    for (unsigned s = 0; s < 256; s++) t.litlen[s] = E_LITERAL | s << 16;
    t.litlen[256] = E_EXCEPTIONAL | E_EOB;
    for (unsigned s = 257; s < 286; s++) t.litlen[s] = uint32_t(LEN_BASE[s - 257]) << 16 | LEN_EXTRA[s - 257];
    t.litlen[286] = E_INVALID;
    t.litlen[287] = E_INVALID;
    for (unsigned d = 0; d < 30; d++) t.dist[d] = uint32_t(DIST_BASE[d]) << 16 | DIST_EXTRA[d];
    t.dist[30] = E_INVALID;
    t.dist[31] = E_INVALID;
    for (unsigned s = 0; s < NUM_PRECODE_SYMS; s++) t.precode[s] = s << 16;
    return t;
}
constexpr Templates TEMPLATES = make_templates();

// How zlib judges a code that build_table accepts: it takes complete codes and the empty
// code everywhere, and a lone one-bit code for literal/lengths and distances (a block
// that uses one distance, or only ends), but no other incomplete code.
enum CodeKind { CODE_LENGTHS, CODE_SYMBOLS };

// Builds the decode table of a canonical code from n code lengths (0 = no code) into
// `table` of `size` slots. Returns false for over-subscribed lengths, tested exactly as
// the reference does; incomplete codes (and the empty code) are accepted, their unused
// slots invalid, and *zlib_takes says whether zlib would accept the code as `kind`.
bool build_table(uint32_t *table, unsigned size, const uint8_t *lens, unsigned n, const uint32_t *tmpl,
                 unsigned tablebits, CodeKind kind, bool *zlib_takes) {
    unsigned count[MAX_CODE_LEN + 1] = {};
    for (unsigned s = 0; s < n; s++) count[lens[s]]++;
    count[0] = 0;
    int left = 1;
    for (unsigned len = 1; len <= MAX_CODE_LEN; len++) {
        left = 2 * left - (int)count[len];
        if (left < 0) return false;
    }
    // Symbols sorted by code length, then by value: the canonical order.
    unsigned offs[MAX_CODE_LEN + 2];
    offs[1] = 0;
    for (unsigned len = 1; len <= MAX_CODE_LEN; len++) offs[len + 1] = offs[len] + count[len];
    const unsigned total = offs[MAX_CODE_LEN + 1];
    const bool lone_one_bit = total == 1 && count[1] == 1;
    *zlib_takes = left == 0 || total == 0 || (kind == CODE_SYMBOLS && lone_one_bit);
    uint16_t sorted[NUM_LITLEN_SYMS];
    for (unsigned s = 0; s < n; s++)
        if (lens[s]) sorted[offs[lens[s]]++] = (uint16_t)s;

    const unsigned main_size = 1u << tablebits;
    for (unsigned i = 0; i < main_size; i++) table[i] = E_INVALID;
    if (total == 0) return true;

    unsigned maxlen = MAX_CODE_LEN;
    while (count[maxlen] == 0) maxlen--;
    unsigned len = 1;
    while (count[len] == 0) len++;

    // `huff` is the current code bit-reversed (deflate sends Huffman codes most
    // significant bit first into an LSB-first bit stream), so that it indexes the table.
    unsigned huff = 0;
    unsigned cur_low = ~0u, sub_start = 0, sub_bits = 0, next_free = main_size;
    for (unsigned i = 0; i < total; i++) {
        const unsigned s = sorted[i];
        if (len <= tablebits) {
            const uint32_t e = tmpl[s] + len + (len << 8);
            for (unsigned k = huff; k < main_size; k += 1u << len) table[k] = e;
        } else {
            const unsigned low = huff & (main_size - 1);
            if (low != cur_low) {
                // New subtable: the smallest size the remaining codes with this prefix fill
                // (zlib's rule); an incomplete code may leave part of it invalid.
                unsigned curr = len - tablebits;
                int room = 1 << curr;
                while (curr + tablebits < maxlen) {
                    room -= (int)count[curr + tablebits];
                    if (room <= 0) break;
                    curr++;
                    room <<= 1;
                }
                sub_bits = curr;
                if (next_free + (1u << sub_bits) > size) return false;  // see LITLEN_ENOUGH
                sub_start = next_free;
                next_free += 1u << sub_bits;
                for (unsigned k = 0; k < (1u << sub_bits); k++) table[sub_start + k] = E_INVALID;
                table[low] = E_EXCEPTIONAL | E_SUBTABLE | sub_start << 16 | sub_bits << 8 | tablebits;
                cur_low = low;
            }
            const unsigned sublen = len - tablebits;
            const uint32_t e = tmpl[s] + sublen + (sublen << 8);
            for (unsigned k = huff >> tablebits; k < (1u << sub_bits); k += 1u << sublen) table[sub_start + k] = e;
        }
        // Next code of the same length, in bit-reversed form (zlib's backwards increment).
        unsigned incr = 1u << (len - 1);
        while (huff & incr) incr >>= 1;
        huff = incr ? (huff & (incr - 1)) + incr : 0;
        // `count` now serves as the number of codes still to place, per length.
        if (--count[len] == 0 && i + 1 < total)
            while (count[len] == 0) len++;
    }
    return true;
}

struct FixedTables {
    uint32_t litlen[1u << LITLEN_TABLEBITS];  // fixed codes are at most 9 bits: no subtables
    uint32_t dist[1u << DIST_TABLEBITS];
};

const FixedTables &fixed_tables() {
    static const FixedTables tables = [] {
        FixedTables t;
        uint8_t lens[NUM_LITLEN_SYMS];
        for (unsigned s = 0; s < 144; s++) lens[s] = 8;
        for (unsigned s = 144; s < 256; s++) lens[s] = 9;
        for (unsigned s = 256; s < 280; s++) lens[s] = 7;
        for (unsigned s = 280; s < 288; s++) lens[s] = 8;
        bool unused;
        build_table(t.litlen, 1u << LITLEN_TABLEBITS, lens, NUM_LITLEN_SYMS, TEMPLATES.litlen, LITLEN_TABLEBITS,
                    CODE_SYMBOLS, &unused);
        uint8_t dlens[32];
        for (unsigned d = 0; d < 32; d++) dlens[d] = 5;
        // Only 30 of the 32 five-bit codes have a symbol; codes 30 and 31 stay invalid.
        build_table(t.dist, 1u << DIST_TABLEBITS, dlens, 30, TEMPLATES.dist, DIST_TABLEBITS, CODE_SYMBOLS, &unused);
        return t;
    }();
    return tables;
}

// ---- Per-call state ----------------------------------------------------------------------
struct Stream {
    const uint8_t *in_next;  // next input byte not yet taken into bitbuf
    const uint8_t *in_end;
    uint64_t bitbuf;    // unconsumed bits, next bit lowest
    unsigned bitsleft;  // counted bits in bitbuf (0-63); see the invariants above
    uint8_t *out_begin;
    uint8_t *out_next;
    uint8_t *out_end;  // out_begin + min(capacity, 2^31 - 1)
    bool zlib_codes;   // every dynamic block's codes so far are ones zlib takes
    uint32_t litlen[LITLEN_ENOUGH];
    uint32_t dist[DIST_ENOUGH];
    uint32_t precode[PRECODE_ENOUGH];
    uint8_t lens[MAX_LITLEN_CODES + MAX_DIST_CODES];
};

// Word refill, valid while 8 bytes can be loaded at in_next. Plain form: take whole bytes
// while they fit, i.e. k = (63 - bitsleft) / 8 bytes, bitsleft += 8k. The trick: load 8
// bytes at once and OR them in above the counted bits; the bytes that do not fit whole
// are loaded partly but not counted, and the next refill ORs the same bits in again.
// After it, bitsleft is 56 to 63, and bitsleft + 8k equals bitsleft | 56.
inline void refill_fast(Stream &s) {
    s.bitbuf |= load_le64(s.in_next) << s.bitsleft;
    s.in_next += (63 - s.bitsleft) >> 3;
    s.bitsleft |= 56;
}

// Byte refill for the careful paths: up to 56+ bits, or until the input ends.
inline void refill_careful(Stream &s) {
    if (s.in_end - s.in_next >= 8) {
        refill_fast(s);
        return;
    }
    while (s.bitsleft <= 56 && s.in_next < s.in_end) {
        s.bitbuf |= uint64_t(*s.in_next++) << s.bitsleft;
        s.bitsleft += 8;
    }
}

inline void consume(Stream &s, unsigned n) {
    s.bitbuf >>= n;
    s.bitsleft -= n;
}

// Reads n bits (n <= 32); false when the input runs out.
inline bool get_bits(Stream &s, unsigned n, uint32_t *v) {
    if (s.bitsleft < n) refill_careful(s);
    if (s.bitsleft < n) return false;
    *v = (uint32_t)low_bits(s.bitbuf, n);
    consume(s, n);
    return true;
}

// Careful symbol lookup: returns the entry (subtable resolved) and in *total the bits it
// needs (code plus extra bits); the caller checks them against bitsleft.
inline uint32_t lookup_careful(const uint32_t *table, unsigned tablebits, uint64_t bitbuf, unsigned *total) {
    uint32_t e = table[low_bits(bitbuf, tablebits)];
    unsigned pre = 0;
    if (e & E_SUBTABLE) {
        pre = tablebits;
        e = table[(e >> 16) + low_bits(bitbuf >> tablebits, entry_codelen(e))];
    }
    *total = pre + entry_bits(e);
    return e;
}

// Copies a match of `length` bytes from `distance` bytes back, front to back, so that a
// distance shorter than the length repeats the bytes just written. Writes exactly
// [dst, dst + length). Needs length >= 3 and distance <= bytes already written.
inline void copy_match(uint8_t *dst, unsigned length, unsigned distance) {
    const uint8_t *src = dst - distance;
    uint8_t *const end = dst + length;
    if (distance >= 8) {
        // Every 8-byte load reads only bytes written before the store that follows it.
        if (length <= 16) {
            if (length >= 8) {
                store64(dst, load64(src));
                store64(end - 8, load64(end - 8 - distance));
            } else if (length >= 4) {  // distance >= 8 > length: no overlap
                uint32_t a, b;
                std::memcpy(&a, src, 4);
                std::memcpy(&b, src + length - 4, 4);
                std::memcpy(dst, &a, 4);
                std::memcpy(end - 4, &b, 4);
            } else {
                dst[0] = src[0];
                dst[1] = src[1];
                dst[2] = src[2];
            }
            return;
        }
        do {
            store64(dst, load64(src));
            dst += 8;
            src += 8;
        } while (end - dst > 8);
        store64(end - 8, load64(end - 8 - distance));
        return;
    }
    if (distance == 1) {
        const uint64_t v = 0x0101010101010101ull * dst[-1];
        if (length >= 8) {
            do {
                store64(dst, v);
                dst += 8;
            } while (end - dst > 8);
            store64(end - 8, v);
        } else {
            while (dst < end) *dst++ = (uint8_t)v;
        }
        return;
    }
    dst[0] = src[0];
    dst[1] = src[1];
    dst[2] = src[2];
    dst += 3;
    src += 3;
    while (dst < end) *dst++ = *src++;
}

// Byte masks for the short-match copy: 16 bytes 0xFF then 16 bytes 0x00, so that the
// 16 bytes from MATCH_MASK + 16 - n have their first n bytes set.
alignas(32) constexpr uint8_t MATCH_MASK[32] = {
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0};

// copy_match for the fast loop, where at least 16 bytes of the output buffer follow dst.
// The common match in PNG data (93% of them in photos) is at most 16 bytes long from at
// least 16 bytes back; it is copied without a branch on its length by blending the 16
// source bytes into the 16 destination bytes under a mask: the bytes past the match's
// end are written back with the value they had, so the buffer past the match is
// unchanged. (Their value may be indeterminate to the language if the caller's buffer
// was never written there; they are only copied, never used.)
inline void copy_match_fast(uint8_t *dst, unsigned length, unsigned distance) {
    if (distance >= 16 && length <= 16) {
        const uint8_t *src = dst - distance;
#ifdef __SSE2__
        const __m128i m = _mm_loadu_si128((const __m128i *)(MATCH_MASK + 16 - length));
        const __m128i v = _mm_loadu_si128((const __m128i *)src);
        const __m128i old = _mm_loadu_si128((const __m128i *)dst);
        _mm_storeu_si128((__m128i *)dst, _mm_or_si128(_mm_and_si128(v, m), _mm_andnot_si128(m, old)));
#else
        const uint64_t m0 = load64(MATCH_MASK + 16 - length), m1 = load64(MATCH_MASK + 24 - length);
        store64(dst, (load64(src) & m0) | (load64(dst) & ~m0));
        store64(dst + 8, (load64(src + 8) & m1) | (load64(dst + 8) & ~m1));
#endif
        return;
    }
    copy_match(dst, length, distance);
}

enum BlockResult { BLOCK_OK, BLOCK_FAIL };

// Decodes the symbols of one Huffman block up to and including its end-of-block code.
// Always inlined into the wrappers below, which compile it for the baseline instruction
// set and, on x86-64, once more with BMI2 (shifts and bit extraction without the flags
// register and without a mask constant), chosen at run time.
#if defined(__GNUC__)
__attribute__((always_inline))
#endif
inline BlockResult decode_huffman_block_body(Stream &s, const uint32_t *litlen, const uint32_t *dist) {
    constexpr uint64_t LITMASK = (1u << LITLEN_TABLEBITS) - 1;
    constexpr uint64_t DISTMASK = (1u << DIST_TABLEBITS) - 1;

    // ---- Fast loop. At the top of every iteration at least 16 input bytes remain (room
    // for two word refills) and room for two literals plus a longest match, so nothing
    // inside needs a bounds check; the bit counts below show that no decode runs short.
    if (s.in_end - s.in_next >= 16 && (uint64_t)(s.out_end - s.out_next) >= FASTLOOP_MAX_WRITE) {
        const uint8_t *const in_fastend = s.in_end - 16;
        uint8_t *const out_fastend = s.out_end - FASTLOOP_MAX_WRITE;
        uint64_t bitbuf = s.bitbuf;
        // Only the low 8 bits of `bitsleft` are meaningful here: whole entries are
        // subtracted from it (their low byte is the bit count), which saves a mask per
        // symbol; the borrows land in the bits above, which nothing reads.
        uint32_t bitsleft = s.bitsleft;
        const uint8_t *in_next = s.in_next;
        uint8_t *out_next = s.out_next;
        uint8_t *const out_begin = s.out_begin;
        BlockResult result = BLOCK_OK;
        bool done = false;
#define FAST_REFILL()                                       \
    do {                                                    \
        bitbuf |= load_le64(in_next) << (bitsleft & 63);    \
        in_next += 7 - ((bitsleft >> 3) & 7);               \
        bitsleft |= 56;                                     \
    } while (0)
#define CONSUME(e)                 \
    do {                           \
        bitbuf >>= (uint8_t)(e);   \
        bitsleft -= (e);           \
    } while (0)
        // Invariant at the loop top: (uint8_t)bitsleft >= 56, and `e` holds the litlen
        // entry for the next bits, looked up ahead so that its load overlaps other work.
        FAST_REFILL();
        uint32_t e = litlen[bitbuf & LITMASK];
        do {
            uint64_t saved = bitbuf;
            CONSUME(e);
            if (e & E_LITERAL) {
                // Up to two more literals from the main table without a refill: a
                // main-table literal takes at most 11 bits, so >= 45, 34, then 23 remain.
                uint32_t lit = e >> 16;
                e = litlen[bitbuf & LITMASK];
                saved = bitbuf;
                CONSUME(e);
                *out_next++ = (uint8_t)lit;
                if (e & E_LITERAL) {
                    lit = e >> 16;
                    e = litlen[bitbuf & LITMASK];
                    saved = bitbuf;
                    CONSUME(e);
                    *out_next++ = (uint8_t)lit;
                    if (e & E_LITERAL) {
                        lit = e >> 16;
                        e = litlen[bitbuf & LITMASK];
                        FAST_REFILL();
                        *out_next++ = (uint8_t)lit;
                        continue;
                    }
                }
            }
            // `e` (consumed) is a length, or exceptional: subtable pointer, end of block or
            // an invalid code. At worst 22 bits went to two literals and 11 to the pointer.
            if (e & E_EXCEPTIONAL) {
                if (e & E_SUBTABLE) {
                    e = litlen[(e >> 16) + low_bits(bitbuf, entry_codelen(e))];
                    saved = bitbuf;
                    CONSUME(e);  // at most 4 code bits + 5 extra bits: >= 14 remain
                    if (e & E_LITERAL) {
                        *out_next++ = (uint8_t)(e >> 16);
                        e = litlen[bitbuf & LITMASK];
                        FAST_REFILL();
                        continue;
                    }
                }
                if (e & E_EXCEPTIONAL) {
                    result = (e & E_EOB) ? BLOCK_OK : BLOCK_FAIL;
                    done = true;
                    break;
                }
            }
            const unsigned length = (e >> 16) + (unsigned)(low_bits(saved, (uint8_t)e) >> entry_codelen(e));
            // >= 14 bits remain: enough to look the distance up before refilling. The
            // refill leaves room for a distance code with extra bits (<= 28 bits) plus
            // the next litlen lookup (11).
            e = dist[bitbuf & DISTMASK];
            if ((uint8_t)bitsleft < 28 + LITLEN_TABLEBITS) FAST_REFILL();
            if (e & E_SUBTABLE) {
                CONSUME(e);
                e = dist[(e >> 16) + low_bits(bitbuf, entry_codelen(e))];
            }
            if (e & E_EXCEPTIONAL) {  // fixed-code distance 30 or 31
                result = BLOCK_FAIL;
                done = true;
                break;
            }
            saved = bitbuf;
            CONSUME(e);
            const unsigned distance = (e >> 16) + (unsigned)(low_bits(saved, (uint8_t)e) >> entry_codelen(e));
            if (distance > (uint64_t)(out_next - out_begin)) {
                result = BLOCK_FAIL;
                done = true;
                break;
            }
            e = litlen[bitbuf & LITMASK];
            FAST_REFILL();
            copy_match_fast(out_next, length, distance);
            out_next += length;
        } while (in_next < in_fastend && out_next < out_fastend);
#undef FAST_REFILL
#undef CONSUME
        s.bitbuf = bitbuf;
        s.bitsleft = bitsleft & 0xFF;
        s.in_next = in_next;
        s.out_next = out_next;
        if (done) return result;
    }

    // ---- Careful loop: every bit count and every output byte checked.
    for (;;) {
        refill_careful(s);
        unsigned need;
        uint32_t e = lookup_careful(litlen, LITLEN_TABLEBITS, s.bitbuf, &need);
        if ((e & E_EXCEPTIONAL) && !(e & E_EOB)) return BLOCK_FAIL;  // no such code
        if (need > s.bitsleft) return BLOCK_FAIL;                      // input ran out
        uint64_t saved = s.bitbuf >> (need - entry_bits(e));
        consume(s, need);
        if (e & E_LITERAL) {
            if (s.out_next == s.out_end) return BLOCK_FAIL;
            *s.out_next++ = (uint8_t)(e >> 16);
            continue;
        }
        if (e & E_EOB) return BLOCK_OK;
        const unsigned length = (e >> 16) + (unsigned)(low_bits(saved, entry_bits(e)) >> entry_codelen(e));
        refill_careful(s);
        e = lookup_careful(dist, DIST_TABLEBITS, s.bitbuf, &need);
        if (e & E_EXCEPTIONAL) return BLOCK_FAIL;
        if (need > s.bitsleft) return BLOCK_FAIL;
        saved = s.bitbuf >> (need - entry_bits(e));
        consume(s, need);
        const unsigned distance = (e >> 16) + (unsigned)(low_bits(saved, entry_bits(e)) >> entry_codelen(e));
        if (distance > (uint64_t)(s.out_next - s.out_begin)) return BLOCK_FAIL;
        if (length > (uint64_t)(s.out_end - s.out_next)) return BLOCK_FAIL;
        copy_match(s.out_next, length, distance);
        s.out_next += length;
    }
}

BlockResult decode_huffman_block_generic(Stream &s, const uint32_t *litlen, const uint32_t *dist) {
    return decode_huffman_block_body(s, litlen, dist);
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__)) && !defined(__BMI2__)
#define FOLIAN_INFLATE_BMI2_DISPATCH 1
__attribute__((target("bmi2"))) BlockResult decode_huffman_block_bmi2(Stream &s, const uint32_t *litlen,
                                                                      const uint32_t *dist) {
    return decode_huffman_block_body(s, litlen, dist);
}
#endif

using HuffmanBlockFn = BlockResult (*)(Stream &, const uint32_t *, const uint32_t *);

// The shared probe answers from a value read once per process.
HuffmanBlockFn huffman_block_fn() {
#ifdef FOLIAN_INFLATE_BMI2_DISPATCH
    return cpu_bmi2() ? decode_huffman_block_bmi2 : decode_huffman_block_generic;
#else
    return decode_huffman_block_generic;
#endif
}

BlockResult decode_stored_block(Stream &s) {
    // Byte alignment: drop the rest of the current byte, give back the whole bytes that
    // were taken into the bit buffer ahead of need.
    consume(s, s.bitsleft & 7);
    s.in_next -= s.bitsleft >> 3;
    s.bitbuf = 0;
    s.bitsleft = 0;
    if (s.in_end - s.in_next < 4) return BLOCK_FAIL;
    const unsigned len = s.in_next[0] | (unsigned)s.in_next[1] << 8;
    const unsigned nlen = s.in_next[2] | (unsigned)s.in_next[3] << 8;
    if (nlen != (~len & 0xFFFF)) return BLOCK_FAIL;
    s.in_next += 4;
    if ((uint64_t)(s.in_end - s.in_next) < len) return BLOCK_FAIL;
    if ((uint64_t)(s.out_end - s.out_next) < len) return BLOCK_FAIL;
    if (len) std::memcpy(s.out_next, s.in_next, len);
    s.out_next += len;
    s.in_next += len;
    return BLOCK_OK;
}

// Reads a dynamic block's header and builds its tables into the stream record.
BlockResult read_dynamic_header(Stream &s) {
    uint32_t hlit, hdist, hclen;
    if (!get_bits(s, 5, &hlit) || !get_bits(s, 5, &hdist) || !get_bits(s, 4, &hclen)) return BLOCK_FAIL;
    const unsigned nlit = hlit + 257, ndist = hdist + 1;
    if (nlit > MAX_LITLEN_CODES || ndist > MAX_DIST_CODES) return BLOCK_FAIL;

    uint8_t cl_lens[NUM_PRECODE_SYMS] = {};
    for (unsigned i = 0; i < hclen + 4; i++) {
        uint32_t v;
        if (!get_bits(s, 3, &v)) return BLOCK_FAIL;
        cl_lens[DECODE_ORDER[i]] = (uint8_t)v;
    }
    bool taken[3];
    if (!build_table(s.precode, PRECODE_ENOUGH, cl_lens, NUM_PRECODE_SYMS, TEMPLATES.precode, PRECODE_TABLEBITS,
                     CODE_LENGTHS, &taken[0]))
        return BLOCK_FAIL;

    const unsigned total = nlit + ndist;
    unsigned i = 0;
    while (i < total) {
        refill_careful(s);
        const uint32_t e = s.precode[low_bits(s.bitbuf, PRECODE_TABLEBITS)];
        if (e & E_EXCEPTIONAL) return BLOCK_FAIL;  // no such code
        if (entry_bits(e) > s.bitsleft) return BLOCK_FAIL;
        consume(s, entry_bits(e));
        const unsigned sym = e >> 16;
        if (sym < 16) {
            s.lens[i++] = (uint8_t)sym;
            continue;
        }
        unsigned rep;
        uint8_t value = 0;
        uint32_t r;
        if (sym == 16) {
            if (i == 0) return BLOCK_FAIL;
            if (!get_bits(s, 2, &r)) return BLOCK_FAIL;
            rep = 3 + r;
            value = s.lens[i - 1];
        } else if (sym == 17) {
            if (!get_bits(s, 3, &r)) return BLOCK_FAIL;
            rep = 3 + r;
        } else {
            if (!get_bits(s, 7, &r)) return BLOCK_FAIL;
            rep = 11 + r;
        }
        if (rep > total - i) return BLOCK_FAIL;
        std::memset(s.lens + i, value, rep);
        i += rep;
    }
    if (!build_table(s.litlen, LITLEN_ENOUGH, s.lens, nlit, TEMPLATES.litlen, LITLEN_TABLEBITS, CODE_SYMBOLS,
                     &taken[1]) ||
        !build_table(s.dist, DIST_ENOUGH, s.lens + nlit, ndist, TEMPLATES.dist, DIST_TABLEBITS, CODE_SYMBOLS,
                     &taken[2]))
        return BLOCK_FAIL;
    s.zlib_codes = s.zlib_codes && taken[0] && taken[1] && taken[2];
    return BLOCK_OK;
}

}  // namespace

int32_t flate_inflate_ex(const uint8_t *in, size_t in_len, uint8_t *out, size_t capacity, InflateFacts *facts) {
    Stream s;
    s.zlib_codes = true;
    s.in_next = in;
    s.in_end = in_len ? in + in_len : in;
    s.bitbuf = 0;
    s.bitsleft = 0;
    const uint64_t cap = capacity < MAX_OUTPUT ? capacity : MAX_OUTPUT;
    s.out_begin = out;
    s.out_next = out;
    s.out_end = cap ? out + cap : out;
    for (;;) {
        uint32_t hdr;
        if (!get_bits(s, 3, &hdr)) return -1;
        const unsigned bfinal = hdr & 1, btype = hdr >> 1;
        BlockResult r;
        if (btype == 0) {
            r = decode_stored_block(s);
        } else if (btype == 1) {
            const FixedTables &f = fixed_tables();
            r = huffman_block_fn()(s, f.litlen, f.dist);
        } else if (btype == 2) {
            r = read_dynamic_header(s);
            if (r == BLOCK_OK) r = huffman_block_fn()(s, s.litlen, s.dist);
        } else {
            return -1;
        }
        if (r != BLOCK_OK) return -1;
        if (bfinal) {
            // The bit buffer holds whole bytes taken ahead of need; a partly used byte counts.
            facts->consumed = (size_t)(s.in_next - in) - (s.bitsleft >> 3);
            facts->zlib_codes = s.zlib_codes;
            return (int32_t)(s.out_next - s.out_begin);
        }
    }
}

int32_t flate_inflate(const uint8_t *in, size_t in_len, uint8_t *out, size_t capacity) {
    InflateFacts facts;
    return flate_inflate_ex(in, in_len, out, capacity, &facts);
}

extern "C" FOLIAN_API int32_t kv_inflate(const unsigned char *in, size_t in_len, unsigned char *out,
                                         size_t capacity) noexcept {
    return flate_inflate(in, in_len, out, capacity);
}
