// deflate.cpp: the deflate compressor (RFC 1951), its zlib framing (RFC 1950), and the
// stored-block zlib stream (kv_deflate) of the default PDF pages and PNG files.
//
// Matching: a hash of the next four bytes heads a chain of earlier positions with the
// same hash (a 32 KiB ring of links); a bounded walk of the chain finds the longest match,
// and one step of lazy evaluation gives up a match when the next position has a longer
// one. The quick effort first walks a second chain, of positions whose next eight bytes
// hash alike: on smooth images the four-byte chains are crowded with short matches, and
// a short walk of them misses the long ones that a walk of the eight-byte chain finds. Matches shorter than four bytes are not looked for, and one shorter than eight
// counts only when it costs fewer bits than its literals by the previous block's codes:
// on image data a short match from far back often costs more.
// Blocks: the matcher's literals and matches are kept as items until a block is full;
// then its cost is counted exactly for a dynamic Huffman block, the fixed code and
// stored form, and the smallest is written. Huffman code lengths come from a two-queue
// Huffman build; when a code would exceed its length limit the counts are halved and it
// is built again, which keeps it complete and costs little on the rare blocks it hits.
//
// Input is gathered in one buffer that keeps 32 KiB of history behind the position being
// coded; matching runs only when the buffer is full or at the end, and stops 267 bytes
// short of the buffered input until the end, so every decision sees the same bytes
// whatever the pieces the input came in. When the buffer is full the block is ended and
// the buffer slides down by a multiple of the window size, so ring slots stay valid.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "bytes.h"
#include "checksum.h"
#include "flate/flate.h"
#include "mem.h"

namespace {

// ---- Format constants (RFC 1951) -------------------------------------------------------
constexpr unsigned NUM_LITLEN_SYMS = 286;  // 0-255 literals, 256 end of block, 257-285 lengths
constexpr unsigned NUM_DIST_SYMS = 30;
constexpr unsigned NUM_PRECODE_SYMS = 19;
constexpr unsigned END_OF_BLOCK = 256;
constexpr unsigned MAX_CODE_LEN = 15;
constexpr unsigned MAX_PRECODE_LEN = 7;
constexpr unsigned MIN_MATCH = 3;            // the format's shortest match
constexpr unsigned MAX_MATCH = 258;
constexpr unsigned WSIZE = 32768;            // the largest distance
constexpr size_t STORED_MAX = 65535;         // bytes in one stored block

constexpr uint8_t LEN_EXTRA[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                   2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr uint16_t LEN_BASE[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                   31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr uint8_t PRECODE_ORDER[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

// ---- Matcher settings ------------------------------------------------------------------
constexpr unsigned HASH_BITS = 15;
constexpr unsigned FIND_MIN = 4;             // shortest match looked for
// Chain links walked per search, and the match length that ends a search, per effort;
// long_chain: links of the eight-byte chain walked first (0: no such chain is kept). The
// quick setting walks few links of each: on filtered photo planes it is faster than the
// default and, thanks to the long chain, smaller on smooth pictures and alpha planes.
struct Effort {
    unsigned max_chain, nice_len, long_chain;
};
constexpr Effort EFFORTS[2] = {{12, 64, 0}, {1, 32, 2}};  // DEFLATE_DEFAULT, DEFLATE_QUICK
constexpr unsigned GOOD_LEN = 6;             // a match this long cuts the look ahead's walk to a quarter
constexpr unsigned LAZY_LEN = 32;            // a match this long is taken without a look ahead
constexpr unsigned LOOKAHEAD = MAX_MATCH + 1 + 8;  // input a lazy search may read past its start
constexpr size_t BUF_SIZE = size_t(1) << 18;
constexpr size_t BUF_PAD = 8;                // bytes after the buffer a comparison may read
constexpr size_t MAX_ITEMS = size_t(1) << 16;
constexpr int32_t NIL = -(1 << 30);          // no position; far below any window start

// Bits a short match must save over its literals: the costs are last block's, and a
// match also takes hash-chain room from later ones; measured best on the photo corpus.
constexpr int MATCH_MARGIN = 2;
constexpr unsigned SHORT_MATCH = 8;           // matches below this length must pay for themselves
constexpr uint8_t UNSEEN_COST = 12;           // bits assumed for a symbol the last block did not use

// Length symbol index (0-28, symbol 257 + index) of every length - 3 (0-255). Lengths
// 3-10 have a symbol each, then each base covers 2^extra lengths; 258 has its own symbol.
struct LenSyms {
    uint8_t v[256];
};
constexpr LenSyms make_len_syms() {
    LenSyms t{};
    for (unsigned i = 0; i < 28; i++)
        for (unsigned k = 0; k < (1u << LEN_EXTRA[i]); k++) t.v[LEN_BASE[i] - 3 + k] = (uint8_t)i;
    t.v[255] = 28;
    return t;
}
constexpr LenSyms LEN_SYM = make_len_syms();

// Distance symbol of distance - 1 (x): 0-3 stand for themselves; above, with k the index
// of x's top bit, the symbol is 2k plus the next bit down, and k - 1 extra bits follow.
inline unsigned dist_sym(unsigned x) {
    if (x < 4) return x;
    const unsigned k = 31 - (unsigned)__builtin_clz(x);
    return 2 * k + ((x >> (k - 1)) & 1);
}
inline unsigned dist_extra_bits(unsigned sym) { return sym < 4 ? 0 : sym / 2 - 1; }
inline unsigned dist_base_minus1(unsigned sym) {
    return sym < 4 ? sym : (2u + (sym & 1)) << (sym / 2 - 1);
}

// A prefix code as the writer uses it: per symbol, its length and its bits reversed (the
// format sends Huffman codes most significant bit first, the bit writer least first).
struct Code {
    uint8_t len[NUM_LITLEN_SYMS + 2];
    uint16_t bits[NUM_LITLEN_SYMS + 2];
};

// Canonical codes from code lengths (RFC 1951 section 3.2.2).
constexpr void assign_codes(Code &c, unsigned n) {
    unsigned count[MAX_CODE_LEN + 1] = {}, next[MAX_CODE_LEN + 1] = {};
    for (unsigned s = 0; s < n; s++) count[c.len[s]]++;
    count[0] = 0;
    unsigned code = 0;
    for (unsigned l = 1; l <= MAX_CODE_LEN; l++) {
        code = (code + count[l - 1]) << 1;
        next[l] = code;
    }
    for (unsigned s = 0; s < n; s++) {
        const unsigned l = c.len[s];
        uint32_t r = 0, v = l ? next[l]++ : 0;
        for (unsigned i = 0; i < l; i++, v >>= 1) r = r << 1 | (v & 1);
        c.bits[s] = (uint16_t)r;
    }
}

struct FixedCodes {
    Code litlen, dist;
};
// The fixed code (section 3.2.6): literal/length lengths 8, 9, 7, 8 over 0-143, 144-255,
// 256-279, 280-287; every distance 5 bits.
constexpr FixedCodes make_fixed() {
    FixedCodes f{};
    for (unsigned s = 0; s < 288; s++) f.litlen.len[s] = s < 144 ? 8 : s < 256 ? 9 : s < 280 ? 7 : 8;
    assign_codes(f.litlen, 288);
    for (unsigned s = 0; s < NUM_DIST_SYMS; s++) f.dist.len[s] = 5;
    assign_codes(f.dist, NUM_DIST_SYMS);
    return f;
}
constexpr FixedCodes FIXED = make_fixed();

// ---- Huffman code lengths --------------------------------------------------------------
// Code lengths for symbols 0..n-1 (n at most 288) with the given counts, none above
// `limit`. At least two symbols get a code (a one-symbol code would be incomplete,
// which zlib refuses), so unused symbols may be given one.
void huffman_lengths(const uint32_t *counts, unsigned n, unsigned limit, uint8_t *lens) {
    uint32_t freq[288];
    unsigned used = 0;
    for (unsigned s = 0; s < n; s++) used += (freq[s] = counts[s]) != 0;
    for (unsigned s = 0; s < n && used < 2; s++)
        if (!freq[s]) freq[s] = 1, used++;

    struct Leaf {
        uint32_t freq;
        uint16_t sym;
    };
    Leaf leaf[288];
    uint32_t node_w[288];
    uint16_t leaf_parent[288], node_parent[288], depth[288];
    for (;;) {
        unsigned m = 0;
        for (unsigned s = 0; s < n; s++)
            if (freq[s]) leaf[m++] = {freq[s], (uint16_t)s};
        std::sort(leaf, leaf + m, [](const Leaf &a, const Leaf &b) {
            return a.freq != b.freq ? a.freq < b.freq : a.sym < b.sym;
        });
        // Two queues: the sorted leaves, and the internal nodes, which are made in
        // non-decreasing weight order; each step joins the two lightest heads.
        unsigned i = 0, j = 0;
        for (unsigned k = 0; k + 1 < m; k++) {
            uint32_t w = 0;
            for (int t = 0; t < 2; t++) {
                if (i < m && (j >= k || leaf[i].freq <= node_w[j])) {
                    w += leaf[i].freq;
                    leaf_parent[i++] = (uint16_t)k;
                } else {
                    w += node_w[j];
                    node_parent[j++] = (uint16_t)k;
                }
            }
            node_w[k] = w;
        }
        depth[m - 2] = 0;  // the root
        for (unsigned k = m - 2; k-- > 0;) depth[k] = (uint16_t)(depth[node_parent[k]] + 1);
        unsigned max_len = 0;
        std::memset(lens, 0, n);
        for (unsigned t = 0; t < m; t++) {
            const unsigned l = depth[leaf_parent[t]] + 1u;
            lens[leaf[t].sym] = (uint8_t)l;
            max_len = std::max(max_len, l);
        }
        if (max_len <= limit) return;
        for (unsigned s = 0; s < n; s++) freq[s] = (freq[s] + 1) >> 1;  // nonzero stays nonzero
    }
}

// ---- Bit writer --------------------------------------------------------------------------
// Bits go out least significant first. `bits` holds `count` (< 32 between calls) pending
// bits; whole 32-bit words are stored as soon as they are complete. The caller reserves
// room for the block beforehand, so the hot path never checks it.
struct BitWriter {
    uint64_t bits;
    unsigned count;
    uint8_t *p;
};

inline void put_bits(BitWriter &w, uint32_t v, unsigned n) {  // n at most 32
    w.bits |= (uint64_t)v << w.count;
    w.count += n;
    if (w.count >= 32) {
        const uint32_t word = (uint32_t)w.bits;
        uint8_t b[4] = {(uint8_t)word, (uint8_t)(word >> 8), (uint8_t)(word >> 16), (uint8_t)(word >> 24)};
        std::memcpy(w.p, b, 4);
        w.p += 4;
        w.bits >>= 32;
        w.count -= 32;
    }
}
// Stores the whole pending bytes, leaving fewer than 8 bits.
inline void flush_bytes(BitWriter &w) {
    while (w.count >= 8) {
        *w.p++ = (uint8_t)w.bits;
        w.bits >>= 8;
        w.count -= 8;
    }
}
// Pads with zero bits to a byte boundary.
inline void align_byte(BitWriter &w) {
    flush_bytes(w);
    if (w.count) {
        *w.p++ = (uint8_t)w.bits;
        w.bits = 0;
        w.count = 0;
    }
}

inline uint32_t load32(const uint8_t *p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}
inline uint32_t hash4(const uint8_t *p) { return (load32(p) * 0x9E3779B1u) >> (32 - HASH_BITS); }
constexpr unsigned LONG_HASHED = 8;  // bytes the long chain's hash covers
inline uint32_t hash8(const uint8_t *p) { return (uint32_t)((load_le64(p) * 0x9E3779B97F4A7C15ull) >> (64 - HASH_BITS)); }

// Length of the common prefix of a and b, at most `limit`; reads no byte at or past
// b + limit except through 8-byte loads that end at most BUF_PAD bytes beyond it.
inline unsigned match_length(const uint8_t *a, const uint8_t *b, unsigned limit) {
    unsigned len = 0;
    while (len + 8 <= limit) {
        const uint64_t x = load_le64(a + len) ^ load_le64(b + len);
        if (x) return len + ((unsigned)__builtin_ctzll(x) >> 3);
        len += 8;
    }
    while (len < limit && a[len] == b[len]) len++;
    return len;
}

// One item of a block: a literal byte (bit 31 clear), or a match with distance - 1 in
// bits 8-22 and length - 3 in bits 0-7.
constexpr uint32_t ITEM_MATCH = 0x80000000u;

}  // namespace

struct Deflater {
    DeflateFormat format;
    Effort effort;
    bool failed;
    bool finished;
    uint32_t adler;

    uint8_t *work;      // one allocation: items, buf, head, prev (and the long chain)
    uint8_t *buf;       // BUF_SIZE + BUF_PAD bytes of input: history, then unmatched input
    int32_t *head;      // 2^HASH_BITS chain heads: newest position with that hash, or NIL
    int32_t *prev;      // WSIZE links: prev[p % WSIZE] is the position before p on its chain
    int32_t *long_head; // the same for the eight-byte hash; null when the effort keeps none
    int32_t *long_prev;
    uint32_t *items;    // the current block's items
    size_t buf_len;     // input bytes in buf
    size_t pos;         // next input position to code
    size_t block_start; // where the current block's input begins
    size_t item_count;
    uint32_t litlen_freq[NUM_LITLEN_SYMS];
    uint32_t dist_freq[NUM_DIST_SYMS];
    // Bits each symbol cost in the last block's codes (the fixed code's before the first),
    // extra bits included, to tell whether a short match pays for itself.
    uint8_t lit_cost[256];
    uint8_t len_cost[29];
    uint8_t dist_cost[NUM_DIST_SYMS];

    // A match already found at next_pos by the look ahead (next_len 0: none pending).
    size_t next_pos;
    unsigned next_len, next_dist;

    uint8_t *out;       // pending output bytes out[0..out_len)
    size_t out_len, out_cap;
    uint64_t bits;      // fewer than 8 bits not yet in `out`
    unsigned bit_count;
};

namespace {

bool reserve(Deflater *d, size_t extra) {
    if (d->out_cap - d->out_len >= extra) return true;
    size_t cap = d->out_cap ? d->out_cap : 4096;
    while (cap - d->out_len < extra) {
        if (cap > SIZE_MAX / 2) return false;
        cap *= 2;
    }
    uint8_t *p = (uint8_t *)mem_realloc(d->out, cap);
    if (!p) return false;
    d->out = p;
    d->out_cap = cap;
    return true;
}

inline BitWriter writer(Deflater *d) { return {d->bits, d->bit_count, d->out + d->out_len}; }
inline void keep(Deflater *d, BitWriter &w) {
    flush_bytes(w);
    d->bits = w.bits;
    d->bit_count = w.count;
    d->out_len = (size_t)(w.p - d->out);
}

// ---- Block writing ---------------------------------------------------------------------

// The code-length sequence of a dynamic header, run-length coded: each entry is a
// code-length symbol (0-18) in bits 0-4 and its extra-bit value above.
struct Precode {
    uint16_t items[NUM_LITLEN_SYMS + NUM_DIST_SYMS];
    unsigned count;
    uint32_t freq[NUM_PRECODE_SYMS];
};

inline void precode_add(Precode &pc, unsigned sym, unsigned extra) {
    pc.items[pc.count++] = (uint16_t)(sym | extra << 5);
    pc.freq[sym]++;
}

void precode_run_lengths(const uint8_t *lens, unsigned total, Precode &pc) {
    pc.count = 0;
    std::memset(pc.freq, 0, sizeof pc.freq);
    for (unsigned i = 0; i < total;) {
        const unsigned l = lens[i];
        unsigned run = 1;
        while (i + run < total && lens[i + run] == l) run++;
        i += run;
        if (l == 0) {
            for (; run >= 11; ) {
                const unsigned r = std::min(run, 138u);
                precode_add(pc, 18, r - 11);
                run -= r;
            }
            if (run >= 3) {
                precode_add(pc, 17, run - 3);
                run = 0;
            }
        } else {
            precode_add(pc, l, 0);
            run--;
            for (; run >= 3; ) {
                const unsigned r = std::min(run, 6u);
                precode_add(pc, 16, r - 3);
                run -= r;
            }
        }
        for (; run > 0; run--) precode_add(pc, l, 0);
    }
}

constexpr uint8_t PRECODE_EXTRA[19] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 3, 7};

// Everything needed to write a dynamic block's header and body.
struct DynamicBlock {
    Code litlen, dist, pre;
    Precode pc;
    unsigned hlit, hdist, hclen;
};

// Builds the dynamic codes of the current block and returns the block's size in bits
// without the extra bits of lengths and distances (which every block kind spends alike).
uint64_t plan_dynamic(const Deflater *d, DynamicBlock &b) {
    huffman_lengths(d->litlen_freq, NUM_LITLEN_SYMS, MAX_CODE_LEN, b.litlen.len);
    huffman_lengths(d->dist_freq, NUM_DIST_SYMS, MAX_CODE_LEN, b.dist.len);
    assign_codes(b.litlen, NUM_LITLEN_SYMS);
    assign_codes(b.dist, NUM_DIST_SYMS);
    b.hlit = NUM_LITLEN_SYMS;
    while (b.hlit > 257 && !b.litlen.len[b.hlit - 1]) b.hlit--;
    b.hdist = NUM_DIST_SYMS;
    while (b.hdist > 1 && !b.dist.len[b.hdist - 1]) b.hdist--;
    uint8_t lens[NUM_LITLEN_SYMS + NUM_DIST_SYMS];
    std::memcpy(lens, b.litlen.len, b.hlit);
    std::memcpy(lens + b.hlit, b.dist.len, b.hdist);
    precode_run_lengths(lens, b.hlit + b.hdist, b.pc);
    huffman_lengths(b.pc.freq, NUM_PRECODE_SYMS, MAX_PRECODE_LEN, b.pre.len);
    assign_codes(b.pre, NUM_PRECODE_SYMS);
    b.hclen = NUM_PRECODE_SYMS;
    while (b.hclen > 4 && !b.pre.len[PRECODE_ORDER[b.hclen - 1]]) b.hclen--;

    uint64_t bits = 3 + 5 + 5 + 4 + 3 * (uint64_t)b.hclen;
    for (unsigned s = 0; s < NUM_PRECODE_SYMS; s++)
        bits += (uint64_t)b.pc.freq[s] * (b.pre.len[s] + PRECODE_EXTRA[s]);
    for (unsigned s = 0; s < NUM_LITLEN_SYMS; s++) bits += (uint64_t)d->litlen_freq[s] * b.litlen.len[s];
    for (unsigned s = 0; s < NUM_DIST_SYMS; s++) bits += (uint64_t)d->dist_freq[s] * b.dist.len[s];
    return bits;
}

uint64_t fixed_bits(const Deflater *d) {
    uint64_t bits = 3;
    for (unsigned s = 0; s < NUM_LITLEN_SYMS; s++) bits += (uint64_t)d->litlen_freq[s] * FIXED.litlen.len[s];
    for (unsigned s = 0; s < NUM_DIST_SYMS; s++) bits += (uint64_t)d->dist_freq[s] * 5;
    return bits;
}

uint64_t extra_bits(const Deflater *d) {
    uint64_t bits = 0;
    for (unsigned s = 257; s < NUM_LITLEN_SYMS; s++) bits += (uint64_t)d->litlen_freq[s] * LEN_EXTRA[s - 257];
    for (unsigned s = 0; s < NUM_DIST_SYMS; s++) bits += (uint64_t)d->dist_freq[s] * dist_extra_bits(s);
    return bits;
}

inline size_t stored_pieces(size_t n) { return n == 0 ? 1 : (n + STORED_MAX - 1) / STORED_MAX; }

// Stored form: each piece's 3 header bits padded to a byte, then LEN, NLEN and the bytes.
uint64_t stored_bits(const Deflater *d, size_t n) {
    const uint64_t first_pad = (8 - (d->bit_count + 3) % 8) % 8;
    return 3 + first_pad + 32 + 40 * (uint64_t)(stored_pieces(n) - 1) + 8 * (uint64_t)n;
}

void write_items(BitWriter &w, const uint32_t *items, size_t count, const Code &lc, const Code &dc) {
    for (size_t i = 0; i < count; i++) {
        const uint32_t it = items[i];
        if (!(it & ITEM_MATCH)) {
            put_bits(w, lc.bits[it], lc.len[it]);
            continue;
        }
        const unsigned x = it & 0xFF, ls = LEN_SYM.v[x], lsym = 257 + ls;
        put_bits(w, lc.bits[lsym] | (uint32_t)(x + 3 - LEN_BASE[ls]) << lc.len[lsym], lc.len[lsym] + LEN_EXTRA[ls]);
        const unsigned dx = (it >> 8) & 0x7FFF, ds = dist_sym(dx);
        put_bits(w, dc.bits[ds] | (uint32_t)(dx - dist_base_minus1(ds)) << dc.len[ds], dc.len[ds] + dist_extra_bits(ds));
    }
    put_bits(w, lc.bits[END_OF_BLOCK], lc.len[END_OF_BLOCK]);
}

void write_dynamic_header(BitWriter &w, const DynamicBlock &b, bool final) {
    put_bits(w, (final ? 1u : 0u) | 2u << 1, 3);
    put_bits(w, b.hlit - 257, 5);
    put_bits(w, b.hdist - 1, 5);
    put_bits(w, b.hclen - 4, 4);
    for (unsigned i = 0; i < b.hclen; i++) put_bits(w, b.pre.len[PRECODE_ORDER[i]], 3);
    for (unsigned i = 0; i < b.pc.count; i++) {
        const unsigned sym = b.pc.items[i] & 31, extra = b.pc.items[i] >> 5;
        put_bits(w, b.pre.bits[sym] | extra << b.pre.len[sym], b.pre.len[sym] + PRECODE_EXTRA[sym]);
    }
}

void write_stored(BitWriter &w, const uint8_t *data, size_t n, bool final) {
    size_t done = 0;
    do {
        const size_t len = std::min(n - done, STORED_MAX);
        const bool last = done + len == n;
        put_bits(w, final && last ? 1u : 0u, 3);
        align_byte(w);
        const uint8_t hdr[4] = {(uint8_t)len, (uint8_t)(len >> 8), (uint8_t)~len, (uint8_t)(~len >> 8)};
        std::memcpy(w.p, hdr, 4);
        if (len) std::memcpy(w.p + 4, data + done, len);
        w.p += 4 + len;
        done += len;
    } while (done < n);
}

inline uint8_t cost_of(const Code &c, unsigned sym, unsigned extra) {
    return (uint8_t)((c.len[sym] ? c.len[sym] : UNSEEN_COST) + extra);
}

void learn_costs(Deflater *d, const Code &litlen, const Code &dist) {
    for (unsigned s = 0; s < 256; s++) d->lit_cost[s] = cost_of(litlen, s, 0);
    for (unsigned s = 0; s < 29; s++) d->len_cost[s] = cost_of(litlen, 257 + s, LEN_EXTRA[s]);
    for (unsigned s = 0; s < NUM_DIST_SYMS; s++) d->dist_cost[s] = cost_of(dist, s, dist_extra_bits(s));
}

// Writes the current block in its smallest form and starts a new one.
bool flush_block(Deflater *d, bool final) {
    const size_t n = d->pos - d->block_start;
    if (!final && n == 0) return true;
    d->litlen_freq[END_OF_BLOCK]++;
    DynamicBlock b;
    const uint64_t extra = extra_bits(d);
    const uint64_t dyn = plan_dynamic(d, b) + extra, fix = fixed_bits(d) + extra;
    const uint64_t sto = stored_bits(d, n);
    const uint64_t best = std::min(dyn, std::min(fix, sto));
    bool ok = reserve(d, (size_t)(best / 8) + 16);
    if (ok) {
        BitWriter w = writer(d);
        if (best == sto) {
            write_stored(w, d->buf + d->block_start, n, final);
        } else if (best == fix) {
            put_bits(w, (final ? 1u : 0u) | 1u << 1, 3);
            write_items(w, d->items, d->item_count, FIXED.litlen, FIXED.dist);
        } else {
            write_dynamic_header(w, b, final);
            write_items(w, d->items, d->item_count, b.litlen, b.dist);
        }
        keep(d, w);
    }
    learn_costs(d, b.litlen, b.dist);
    d->block_start = d->pos;
    d->item_count = 0;
    std::memset(d->litlen_freq, 0, sizeof d->litlen_freq);
    std::memset(d->dist_freq, 0, sizeof d->dist_freq);
    return ok;
}

// ---- Matching ---------------------------------------------------------------------------

// Puts p at the head of its chain: link to the old head, become the head.
inline void link(int32_t *head, int32_t *prev, uint32_t h, size_t p) {
    prev[p % WSIZE] = head[h];
    head[h] = (int32_t)p;
}

// Both chains take p when enough bytes follow it to hash; the last block sees the same
// bytes whatever pieces the input came in, so the chains do too.
inline void insert(Deflater *d, size_t p) {
    if (p + FIND_MIN > d->buf_len) return;
    link(d->head, d->prev, hash4(d->buf + p), p);
    if (d->long_head && p + LONG_HASHED <= d->buf_len) link(d->long_head, d->long_prev, hash8(d->buf + p), p);
}

// What a match costs in the last block's codes.
inline unsigned match_bits(const Deflater *d, unsigned len, unsigned distance) {
    return d->len_cost[LEN_SYM.v[len - MIN_MATCH]] + d->dist_cost[dist_sym(distance - 1)];
}

// Inserts p and returns the longest match for it longer than `shorter`, walking at most
// `chain` links (0 when there is none), with its distance in *dist. A short match counts
// only when it costs fewer bits than its bytes as literals, by the last block's codes.
unsigned longest_match(Deflater *d, size_t p, unsigned *dist, unsigned shorter, unsigned chain) {
    const size_t avail = d->buf_len - p;
    const unsigned limit = avail < MAX_MATCH ? (unsigned)avail : MAX_MATCH;
    if (limit < FIND_MIN) return 0;  // too close to the end to hash: not inserted either
    const uint8_t *buf = d->buf, *cur = buf + p;
    const uint32_t h = hash4(cur);
    int32_t cand = d->head[h];
    link(d->head, d->prev, h, p);
    int32_t long_cand = NIL;
    if (d->long_head && limit >= LONG_HASHED) {
        const uint32_t g = hash8(cur);
        long_cand = d->long_head[g];
        link(d->long_head, d->long_prev, g, p);
    }
    // Distances stop one short of WSIZE: the ring slot of p - WSIZE was just reused.
    if (limit <= shorter) return 0;  // nothing longer fits
    const int32_t lowest = (int32_t)p - (int32_t)(WSIZE - 1);
    const uint32_t first = load32(cur);
    unsigned best = shorter;
    // The long chain's matches are at least as long as the short-match rule's bound, so
    // they pay for themselves without a cost test.
    for (unsigned links = d->effort.long_chain; long_cand >= lowest && long_cand >= 0 && links;
         long_cand = d->long_prev[long_cand % WSIZE], links--) {
        const uint8_t *c = buf + long_cand;
        if (c[best] != cur[best] || load32(c) != first) continue;
        const unsigned len = match_length(c, cur, limit);
        if (len <= best || len < SHORT_MATCH) continue;
        best = len;
        *dist = (unsigned)(p - (size_t)long_cand);
        if (len >= d->effort.nice_len || len >= limit) return best;
    }
    // lit_bits[k]: what the first k bytes cost as literals.
    unsigned lit_bits[SHORT_MATCH];
    lit_bits[0] = 0;
    for (unsigned k = 1; k < SHORT_MATCH && k <= limit; k++) lit_bits[k] = lit_bits[k - 1] + d->lit_cost[cur[k - 1]];
    for (; cand >= lowest && cand >= 0; cand = d->prev[cand % WSIZE]) {
        // Testing the byte that would make the match longer than the best so far rules
        // out most candidates without a comparison.
        const uint8_t *c = buf + cand;
        if (c[best] == cur[best] && load32(c) == first) {
            const unsigned len = match_length(c, cur, limit);
            const unsigned distance = (unsigned)(p - (size_t)cand);
            if (len > best && (len >= SHORT_MATCH || (int)match_bits(d, len, distance) + MATCH_MARGIN < (int)lit_bits[len])) {
                best = len;
                *dist = distance;
                if (len >= d->effort.nice_len || len >= limit) break;
            }
        }
        if (--chain == 0) break;
    }
    return best > shorter ? best : 0;
}

inline void add_literal(Deflater *d, uint8_t byte) {
    d->items[d->item_count++] = byte;
    d->litlen_freq[byte]++;
}

inline void add_match(Deflater *d, unsigned len, unsigned dist) {
    d->items[d->item_count++] = ITEM_MATCH | (dist - 1) << 8 | (len - MIN_MATCH);
    d->litlen_freq[257 + LEN_SYM.v[len - MIN_MATCH]]++;
    d->dist_freq[dist_sym(dist - 1)]++;
}

// Codes the buffered input up to `stop`, ending blocks when they fill.
bool match_until(Deflater *d, size_t stop) {
    const uint8_t *buf = d->buf;
    const unsigned max_chain = d->effort.max_chain;
    while (d->pos < stop) {
        const size_t p = d->pos;
        unsigned dist = 0, len;
        if (d->next_len && d->next_pos == p) {
            len = d->next_len;
            dist = d->next_dist;
        } else {
            len = longest_match(d, p, &dist, FIND_MIN - 1, max_chain);
        }
        d->next_len = 0;
        size_t inserted = p + 1;  // positions below this are in the hash chains
        if (len && len < LAZY_LEN && p + 1 < d->buf_len) {
            unsigned dist2 = 0;
            const unsigned len2 = longest_match(d, p + 1, &dist2, len, len >= GOOD_LEN ? max_chain / 4 + 1 : max_chain);
            inserted = p + 2;
            if (len2 > len) {
                add_literal(d, buf[p]);
                d->pos = p + 1;
                d->next_pos = p + 1;
                d->next_len = len2;
                d->next_dist = dist2;
                if (d->item_count == MAX_ITEMS && !flush_block(d, false)) return false;
                continue;
            }
        }
        if (len) {
            add_match(d, len, dist);
            for (size_t q = inserted; q < p + len; q++) insert(d, q);
            d->pos = p + len;
        } else {
            add_literal(d, buf[p]);
            d->pos = p + 1;
        }
        if (d->item_count == MAX_ITEMS && !flush_block(d, false)) return false;
    }
    return true;
}

inline int32_t rebase(int32_t v, int32_t delta) { return v >= delta ? v - delta : NIL; }

// Moves the buffer down by a multiple of WSIZE, keeping at least WSIZE bytes of history.
void slide(Deflater *d) {
    const size_t delta = (d->pos - WSIZE) / WSIZE * WSIZE;
    if (delta == 0) return;
    std::memmove(d->buf, d->buf + delta, d->buf_len - delta);
    d->buf_len -= delta;
    d->pos -= delta;
    d->block_start -= delta;
    d->next_pos -= d->next_len ? delta : 0;
    for (size_t i = 0; i < (size_t(1) << HASH_BITS); i++) d->head[i] = rebase(d->head[i], (int32_t)delta);
    for (size_t i = 0; i < WSIZE; i++) d->prev[i] = rebase(d->prev[i], (int32_t)delta);
    if (!d->long_head) return;
    for (size_t i = 0; i < (size_t(1) << HASH_BITS); i++) d->long_head[i] = rebase(d->long_head[i], (int32_t)delta);
    for (size_t i = 0; i < WSIZE; i++) d->long_prev[i] = rebase(d->long_prev[i], (int32_t)delta);
}

}  // namespace

Deflater *deflate_new(DeflateFormat format, DeflateEffort effort) {
    Deflater *d = (Deflater *)mem_calloc(1, sizeof(Deflater));
    if (!d) return nullptr;
    const size_t head_bytes = (size_t(1) << HASH_BITS) * sizeof(int32_t);
    const size_t prev_bytes = WSIZE * sizeof(int32_t);
    const size_t item_bytes = MAX_ITEMS * sizeof(uint32_t);
    d->effort = EFFORTS[effort == DEFLATE_QUICK ? 1 : 0];
    const size_t chain_bytes = head_bytes + prev_bytes, chains = d->effort.long_chain ? 2 : 1;
    d->work = (uint8_t *)mem_malloc(chains * chain_bytes + item_bytes + BUF_SIZE + BUF_PAD);
    if (!d->work) {
        std::free(d);
        return nullptr;
    }
    // Layout: items, input buffer, then each chain's heads and links (all NIL at first).
    d->items = (uint32_t *)d->work;
    d->buf = d->work + item_bytes;
    std::memset(d->buf + BUF_SIZE, 0, BUF_PAD);
    int32_t *chain = (int32_t *)(d->buf + BUF_SIZE + BUF_PAD);
    for (size_t i = 0; i < chains * chain_bytes / sizeof(int32_t); i++) chain[i] = NIL;
    d->head = chain;
    d->prev = chain + (size_t(1) << HASH_BITS);
    if (chains == 2) {
        d->long_head = chain + chain_bytes / sizeof(int32_t);
        d->long_prev = d->long_head + (size_t(1) << HASH_BITS);
    }
    d->format = format;
    d->adler = 1;
    learn_costs(d, FIXED.litlen, FIXED.dist);
    if (format == DEFLATE_ZLIB) {
        if (!reserve(d, 2)) {
            deflate_free(d);
            return nullptr;
        }
        d->out[0] = 0x78;  // deflate, 32 KiB window
        d->out[1] = 0x9C;  // default level, no dictionary; 0x789C is a multiple of 31
        d->out_len = 2;
    }
    return d;
}

void deflate_free(Deflater *d) {
    if (!d) return;
    std::free(d->work);
    std::free(d->out);
    std::free(d);
}

bool deflate_write(Deflater *d, const uint8_t *data, size_t n) {
    if (d->failed || d->finished) return false;
    if (n == 0) return true;
    if (d->format == DEFLATE_ZLIB) d->adler = adler32_update(d->adler, data, n);
    while (n > 0) {
        const size_t take = std::min(n, BUF_SIZE - d->buf_len);
        std::memcpy(d->buf + d->buf_len, data, take);
        d->buf_len += take;
        data += take;
        n -= take;
        if (d->buf_len < BUF_SIZE) break;
        if (!match_until(d, BUF_SIZE - LOOKAHEAD) || !flush_block(d, false)) {
            d->failed = true;
            return false;
        }
        slide(d);
    }
    return true;
}

bool deflate_finish(Deflater *d) {
    if (d->failed || d->finished) return false;
    if (!match_until(d, d->buf_len) || !flush_block(d, true) || !reserve(d, 8)) {
        d->failed = true;
        return false;
    }
    BitWriter w = writer(d);
    align_byte(w);
    keep(d, w);
    if (d->format == DEFLATE_ZLIB) {
        store_be32(d->out + d->out_len, d->adler);
        d->out_len += 4;
    }
    d->finished = true;
    return true;
}

const uint8_t *deflate_output(const Deflater *d, size_t *len) {
    *len = d->out_len;
    return d->out;
}

void deflate_consume(Deflater *d, size_t n) {
    if (n > d->out_len) n = d->out_len;
    std::memmove(d->out, d->out + n, d->out_len - n);
    d->out_len -= n;
}

uint8_t *deflate_take(Deflater *d, size_t *len) {
    uint8_t *p = d->out_len ? d->out : nullptr;
    *len = d->out_len;
    if (!p) return nullptr;
    d->out = nullptr;
    d->out_len = d->out_cap = 0;
    return p;
}

uint8_t *deflate_compress(DeflateFormat format, const uint8_t *data, size_t n, size_t *out_len) {
    Deflater *d = deflate_new(format);
    if (!d) return nullptr;
    uint8_t *out = nullptr;
    size_t len = 0;
    if (deflate_write(d, data, n) && deflate_finish(d)) out = deflate_take(d, &len);
    deflate_free(d);
    if (out) *out_len = len;
    return out;
}

// The stored-block stream: one allocation of its exact size, one copy of the input.
uint8_t *kv_deflate(const uint8_t *data, uint64_t len, uint64_t *out_len) {
    uint64_t size = zlib_stored_size(len);
    if (size > SIZE_MAX) return nullptr;
    uint8_t *out = (uint8_t *)mem_malloc((size_t)size);
    if (!out) return nullptr;
    zlib_stored_write(out, len, [data](uint8_t *dst, uint64_t first, uint64_t count) {
        std::memcpy(dst, data + first, (size_t)count);
    });
    *out_len = size;
    return out;
}
