// ref_inflate.cpp: the reference inflater, written step by step from the format's description.
//
// Deliberately plain: one bit at a time, canonical decoding by first/count/offs, fixed
// tables rebuilt per block, byte-by-byte match copies. Two choices it shares with the fast
// decoder: the bit accumulator lives in the stream record
// instead of process-global variables (same results, re-entrant), and the output count
// may not pass 2^31 - 1 whatever the capacity (the count is returned as int32).
#include "ref_inflate.h"

#include <cstring>

namespace {

const int base_len[32] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                          31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
const int extra_bits[32] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
const int base_dist[32] = {1,    2,    3,    4,    5,    7,     9,     13,    17,  25,
                           33,   49,   65,   97,   129,  193,   257,   385,   513, 769,
                           1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
const int dist_bits[32] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
const int DECODE_ORDER[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

struct bit_stream {
    const uint8_t *data;
    uint64_t pos;
    uint64_t len;
    int32_t error;
    uint64_t bitbuf;  // the bit accumulator, kept per call
    int32_t bitcnt;   // bits held in it
};

struct huff_table {
    int32_t count[16];
    int32_t first[16];
    int32_t offs[16];
    uint16_t symbol[288];
};

int in_bits(bit_stream *s, int n) {
    while (s->bitcnt < n) {
        if (s->pos >= s->len) {
            s->error = 1;
            return 0;
        }
        s->bitbuf |= (uint64_t)s->data[s->pos] << s->bitcnt;
        s->pos++;
        s->bitcnt += 8;
    }
    int v = (int)(s->bitbuf & ((1ull << n) - 1));
    s->bitbuf >>= n;
    s->bitcnt -= n;
    return v;
}

int huff_build(bit_stream *s, huff_table *t, const int32_t *lengths, int n) {
    std::memset(t, 0, sizeof *t);
    for (int i = 0; i < n; i++)
        if (lengths[i] > 0) t->count[lengths[i]]++;
    int left = 1;
    for (int L = 1; L <= 15; L++) {
        left = 2 * left - t->count[L];
        if (left < 0) {
            s->error = 1;
            return 0;
        }
    }
    t->first[1] = 0;
    t->offs[1] = 0;
    int code = 0, index = 0;
    for (int L = 1; L <= 14; L++) {
        code = (code + t->count[L]) * 2;
        index = index + t->count[L];
        t->first[L + 1] = code;
        t->offs[L + 1] = index;
    }
    int next[16];
    for (int L = 0; L < 16; L++) next[L] = t->offs[L];
    for (int i = 0; i < n; i++)
        if (lengths[i] > 0) t->symbol[next[lengths[i]]++] = (uint16_t)i;
    return 1;
}

int huff_decode(bit_stream *s, const huff_table *t) {
    int code = 0;
    for (int L = 1; L <= 15; L++) {
        int bit = in_bits(s, 1);
        if (s->error) return -1;
        code = code * 2 + bit;
        if (t->first[L] <= code && code < t->first[L] + t->count[L]) return t->symbol[t->offs[L] + code - t->first[L]];
    }
    s->error = 1;
    return -1;
}

// The symbol loop shared by both block kinds.
int symbol_loop(bit_stream *s, uint8_t **out, uint64_t *count, uint64_t cap, const huff_table *lit,
                const huff_table *dist) {
    for (;;) {
        int sym = huff_decode(s, lit);
        if (s->error) return 0;
        if (sym < 256) {
            if (*count >= cap) {
                s->error = 1;
                return 0;
            }
            (*out)[(*count)++] = (uint8_t)sym;
        } else if (sym == 256) {
            return 1;
        } else {
            if (sym > 285) {
                s->error = 1;
                return 0;
            }
            int i = sym - 257;
            int length = base_len[i] + in_bits(s, extra_bits[i]);
            if (s->error) return 0;
            int d = huff_decode(s, dist);
            if (d < 0 || d > 29) {
                s->error = 1;
                return 0;
            }
            int distance = base_dist[d] + in_bits(s, dist_bits[d]);
            if (s->error) return 0;
            if ((uint64_t)distance > *count || *count + (uint64_t)length > cap) {
                s->error = 1;
                return 0;
            }
            for (int k = 0; k < length; k++) {
                (*out)[*count] = (*out)[*count - (uint64_t)distance];
                (*count)++;
            }
        }
    }
}

int inflate_block_fixed(bit_stream *s, uint8_t **out, uint64_t *count, uint64_t cap) {
    int32_t lit_lens[288], dist_lens[30];
    for (int i = 0; i < 144; i++) lit_lens[i] = 8;
    for (int i = 144; i < 256; i++) lit_lens[i] = 9;
    for (int i = 256; i < 280; i++) lit_lens[i] = 7;
    for (int i = 280; i < 288; i++) lit_lens[i] = 8;
    for (int i = 0; i < 30; i++) dist_lens[i] = 5;
    huff_table lit, dist;
    if (!huff_build(s, &lit, lit_lens, 288) || !huff_build(s, &dist, dist_lens, 30)) return 0;
    return symbol_loop(s, out, count, cap, &lit, &dist);
}

int inflate_block_dynamic(bit_stream *s, uint8_t **out, uint64_t *count, uint64_t cap) {
    int hlit = in_bits(s, 5);
    int hdist = in_bits(s, 5);
    int hclen = in_bits(s, 4);
    if (s->error) return 0;
    int nlit = hlit + 257, ndist = hdist + 1;
    if (nlit > 286 || ndist > 30) {
        s->error = 1;
        return 0;
    }
    int32_t cl_lens[19] = {0};
    for (int i = 0; i < hclen + 4; i++) cl_lens[DECODE_ORDER[i]] = in_bits(s, 3);
    if (s->error) return 0;
    huff_table cl;
    if (!huff_build(s, &cl, cl_lens, 19)) return 0;
    int32_t all_lens[316];
    int total = nlit + ndist, n = 0;
    while (n < total) {
        int sym = huff_decode(s, &cl);
        if (sym < 0) return 0;
        if (sym < 16) {
            all_lens[n++] = sym;
        } else {
            int rep, value = 0;
            if (sym == 16) {
                if (n == 0) {
                    s->error = 1;
                    return 0;
                }
                rep = in_bits(s, 2) + 3;
                value = all_lens[n - 1];
            } else if (sym == 17) {
                rep = in_bits(s, 3) + 3;
            } else {
                rep = in_bits(s, 7) + 11;
            }
            if (n + rep > total) {
                s->error = 1;
                return 0;
            }
            while (rep--) all_lens[n++] = value;
        }
    }
    if (s->error) return 0;
    huff_table lit, dist;
    if (!huff_build(s, &lit, all_lens, nlit) || !huff_build(s, &dist, all_lens + nlit, ndist)) return 0;
    return symbol_loop(s, out, count, cap, &lit, &dist);
}

}  // namespace

int32_t ref_inflate(const uint8_t *in, size_t in_len, uint8_t *out, size_t capacity) {
    bit_stream s = {in, 0, in_len, 0, 0, 0};
    uint64_t cap = capacity < 0x7FFFFFFFull ? capacity : 0x7FFFFFFFull;
    uint64_t count = 0;
    for (;;) {
        int hdr = in_bits(&s, 3);
        if (s.error) return -1;
        int bfinal = hdr & 1, btype = hdr >> 1;
        if (btype == 0) {
            s.bitbuf = 0;
            s.bitcnt = 0;
            if (s.len - s.pos < 4) return -1;
            unsigned len = s.data[s.pos] | (unsigned)s.data[s.pos + 1] << 8;
            unsigned nlen = s.data[s.pos + 2] | (unsigned)s.data[s.pos + 3] << 8;
            if (nlen != (~len & 0xFFFF)) return -1;
            if (s.len - s.pos - 4 < len || count + len > cap) return -1;
            if (len) std::memcpy(out + count, s.data + s.pos + 4, len);
            count += len;
            s.pos += 4 + len;
        } else if (btype == 1) {
            if (!inflate_block_fixed(&s, &out, &count, cap)) return -1;
        } else if (btype == 2) {
            if (!inflate_block_dynamic(&s, &out, &count, cap)) return -1;
        } else {
            return -1;
        }
        if (bfinal) return (int32_t)count;
    }
}
