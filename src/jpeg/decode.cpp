// decode.cpp: the baseline JPEG decoder: marker parsing, tables, frame and scan headers,
// entropy decoding with restart intervals, and the output assembly (nearest-neighbour
// upsampling and colour) behind kv_jpeg_decode and kv_jpeg_decode_impl.
//
// The decoder reads one sequential Huffman-coded scan with 8-bit samples that carries
// every component of the frame; progressive, multi-scan, arithmetic and 12-bit streams
// are refused with a message. Its results are defined by a bit-serial reader: a marker
// inside the entropy-coded data delivers one 0 bit and flags the reader, the end of the
// data delivers 0 bits and flags it, and the symbol decoder reacts to a flag after each
// bit (ending the block, skipping the rest of a block row, or stopping). The reader here
// keeps up to 64 bits in a word and decodes symbols through a look-up of the next ten
// bits; whenever fewer than 16 real bits remain before a marker or the end, or the flag
// is already up, it falls back to the bit-serial procedure, so every stop lands on the
// same bit and byte. Block reconstruction lives in idct.cpp.
//
// The context (tables in their decoding form, components) is about 85 KB, allocated per
// call. The component planes are kept one MCU row at a time and turned into output rows
// as soon as that row is decoded, so besides the context the heap holds only the output
// and one small scratch buffer.
#include <cstdlib>
#include <cstring>

#include "bytes.h"
#include "folian.h"
#include "jpeg/decode.h"
#include "jpeg/jpeg.h"
#include "jpeg/markers.h"
#include "mem.h"

const char JPEG_ERR_TOO_LARGE[] = "jpeg: image too large";

bool jpg_huff_build(jpg_huff *t, const uint8_t counts[16], const uint8_t *symbols) {
    int32_t code = 0, index = 0;
    t->maxcode[0] = -1;
    t->valoff[0] = 0;
    for (int l = 1; l <= 16; l++) {
        int32_t cnt = counts[l - 1];
        t->valoff[l] = index - code;
        if (cnt == 0) {
            t->maxcode[l] = -1;
        } else {
            if (code + cnt - 1 >= 65536) return false;
            t->maxcode[l] = code + cnt - 1;
            index += cnt;
            code += cnt;
        }
        code *= 2;
    }
    t->nvals = index;
    std::memcpy(t->vals, symbols, (size_t)index);
    // The look-up answers what the bit-serial walk answers for every JPG_FAST_BITS-bit prefix.
    for (uint32_t p = 0; p < (1u << JPG_FAST_BITS); p++) {
        uint16_t entry = 0;
        for (int l = 1; l <= JPG_FAST_BITS; l++) {
            int32_t c = (int32_t)(p >> (JPG_FAST_BITS - l));
            if (c <= t->maxcode[l]) {
                // Canonical codes put every code the walk can reach inside vals; the
                // test only keeps a broken table from reading outside it.
                int32_t i = c + t->valoff[l];
                if (i >= 0 && i < t->nvals) entry = (uint16_t)(t->vals[i] | l << 8);
                break;
            }
        }
        t->fast[p] = entry;
        uint32_t len = entry >> 8, rs = entry & 0xFF, size = rs & 15;
        uint32_t ac = 0;
        if (len && size && len + size <= JPG_FAST_BITS) {
            uint32_t v = (p >> (JPG_FAST_BITS - len - size)) & ((1u << size) - 1);
            if (v < 1u << (size - 1)) v = v - (1u << size) + 1u;
            ac = len | size << 4 | (rs >> 4) << 8 | (v & 0xFFFF) << 16;
        }
        t->ac_fast[p] = ac;
    }
    return true;
}

namespace {

const char *const EMPTY = "";

constexpr const char *E_NO_SCAN = "jpeg: no scan data";
constexpr const char *E_CORRUPT = "jpeg: corrupt stream";
constexpr const char *E_SEG_LEN = "jpeg: bad segment length";
constexpr const char *E_TRUNC_SEG = "jpeg: truncated segment";
constexpr const char *E_BAD_SOF = "jpeg: bad SOF";
constexpr const char *E_PRECISION = "jpeg: only 8-bit samples supported";
constexpr const char *E_UNSUP_SOF = "jpeg: unsupported SOF";
constexpr const char *E_COMPONENT = "jpeg: bad component spec";
constexpr const char *E_QUANT_ID = "jpeg: bad quant table id";
constexpr const char *E_TRUNC_DQT = "jpeg: truncated DQT";
constexpr const char *E_QUANT_VAL = "jpeg: bad quant value";
constexpr const char *E_BAD_DHT = "jpeg: bad DHT";
constexpr const char *E_TRUNC_DHT = "jpeg: truncated DHT";
constexpr const char *E_BAD_SOS = "jpeg: bad SOS";
constexpr const char *E_SOS_COUNT = "jpeg: bad SOS count";
constexpr const char *E_SOS_COMP = "jpeg: unknown SOS component";
constexpr const char *E_NO_QUANT = "jpeg: missing quant table";
constexpr const char *E_NO_HUFF = "jpeg: missing Huffman table";
constexpr const char *E_OOM = "jpeg: out of memory";
constexpr const char *E_SCAN = "jpeg: decode error in scan data";
constexpr const char *E_PROGRESSIVE = "jpeg: progressive JPEG not supported";
constexpr const char *E_MULTISCAN = "jpeg: multi-scan JPEG not supported";
constexpr const char *E_READ = "jpeg: cannot read file";
constexpr const char *E_LOSSLESS = "jpeg: lossless JPEG not supported";
constexpr const char *E_HIERARCHICAL = "jpeg: hierarchical JPEG not supported";
constexpr const char *E_ARITHMETIC = "jpeg: arithmetic-coded JPEG not supported";


// Marker codes.
constexpr uint8_t M_SOF0 = 0xC0, M_SOF1 = 0xC1, M_SOF2 = 0xC2, M_DHT = 0xC4, M_RST0 = 0xD0, M_RST7 = 0xD7,
                  M_EOI = 0xD9, M_SOS = 0xDA, M_DQT = 0xDB, M_DRI = 0xDD, M_APP14 = 0xEE;

// ---- Marker segments ----------------------------------------------------------------

const char *parse_dqt(jpg_decoder *d, const uint8_t *p, uint32_t n) {
    uint32_t i = 0;
    while (i < n) {
        uint32_t t = p[i];
        if (t & 0x0C) return E_QUANT_ID;
        uint32_t pq = t >> 4, id = t & 15;
        uint32_t size = pq == 0 ? 65 : 129;
        if (i + size > n) return E_TRUNC_DQT;
        for (int k = 0; k < 64; k++) {
            uint32_t v = pq == 0 ? p[i + 1 + k] : load_be16(p + i + 1 + 2 * k);
            if (v < 1 || v > d->max_quant) return E_QUANT_VAL;
            d->qt[id][ZZ[k]] = (int32_t)v;
        }
        d->qt_defined[id] = true;
        i += size;
    }
    return nullptr;
}

const char *parse_dht(jpg_decoder *d, const uint8_t *p, uint32_t n) {
    uint32_t i = 0;
    while (i < n) {
        uint32_t t = p[i];
        if ((t & 0x0C) || (t >> 4) > 1) return E_BAD_DHT;
        if (i + 17 > n) return E_TRUNC_DHT;
        uint32_t total = 0;
        for (int l = 0; l < 16; l++) total += p[i + 1 + l];
        if (i + 17 + total > n) return E_TRUNC_DHT;
        uint32_t id = t & 15;
        jpg_huff *h = (t >> 4) == 0 ? &d->dc_tab[id] : &d->ac_tab[id];
        if (!jpg_huff_build(h, p + i + 1, p + i + 17)) return E_BAD_DHT;
        ((t >> 4) == 0 ? d->dc_defined : d->ac_defined)[id] = true;
        i += 17 + total;
    }
    return nullptr;
}

const char *parse_sof(jpg_decoder *d, const uint8_t *p, uint32_t n) {
    if (n <= 6) return E_BAD_SOF;
    if (p[0] != 8) return E_PRECISION;
    uint32_t y = load_be16(p + 1), x = load_be16(p + 3), nf = p[5];
    // Two components have no colour rule; 1, 3 and 4 do.
    if (!(nf == 1 || nf == 3 || nf == 4) || x == 0 || y == 0) return E_UNSUP_SOF;
    if (jpeg_too_large(x, y)) return JPEG_ERR_TOO_LARGE;
    if (n < 6 + 3 * nf) return E_BAD_SOF;
    for (uint32_t i = 0; i < nf; i++) {
        const uint8_t *c = p + 6 + 3 * i;
        uint32_t h = c[1] >> 4, v = c[1] & 15;
        if (h == 0 || v == 0 || c[2] > 3) return E_COMPONENT;
        d->comp[i].id = c[0];
        d->comp[i].h = (int32_t)h;
        d->comp[i].v = (int32_t)v;
        d->comp[i].tq = c[2];
    }
    d->ncomp = (int32_t)nf;
    d->width = (int32_t)x;
    d->height = (int32_t)y;
    return nullptr;
}

const char *parse_sos(jpg_decoder *d, const uint8_t *p, uint32_t n) {
    if (n == 0) return E_BAD_SOS;
    uint32_t ns = p[0];
    if (ns > 4) return E_SOS_COUNT;
    if (ns > 0 && d->ncomp == 0) return E_SOS_COMP;
    if (n < 1 + 2 * ns) return E_BAD_SOS;
    bool named[4] = {false, false, false, false};
    bool repeated = false;
    for (uint32_t i = 0; i < ns; i++) {
        uint32_t sel = p[1 + 2 * i], tables = p[2 + 2 * i];
        int k = 0;
        while (k < d->ncomp && (uint32_t)d->comp[k].id != sel) k++;
        if (k == d->ncomp) return E_SOS_COMP;
        jpg_component *c = &d->comp[k];
        c->td = (int32_t)(tables >> 4);
        c->ta = (int32_t)(tables & 15);
        if (!d->qt_defined[c->tq]) return E_NO_QUANT;
        std::memcpy(c->qt, d->qt[c->tq], sizeof c->qt);
        if (c->td > 3 || c->ta > 3 || !d->dc_defined[c->td] || !d->ac_defined[c->ta]) return E_NO_HUFF;
        c->dc = &d->dc_tab[c->td];
        c->ac = &d->ac_tab[c->ta];
        if (named[k]) repeated = true;
        named[k] = true;
    }
    // A scan without a frame, or one that leaves a frame component out, would leave
    // planes undecoded and still report success. A component named twice would take
    // blocks meant for the next one (the scan is not the frame's one interleaved scan).
    if (d->ncomp == 0) return E_SOS_COMP;
    if (repeated) return E_MULTISCAN;
    for (int k = 0; k < d->ncomp; k++)
        if (!named[k]) return E_MULTISCAN;
    return nullptr;
}

// What the extended decoder says about the frame types it does not decode. Frames
// 0xC9 to 0xCF (0xCC is not one) are arithmetic-coded, whatever else they are.
const char *unsupported_frame(uint8_t m) {
    if (m >= 0xC9 && m != 0xCC) return E_ARITHMETIC;
    switch (m) {
    case 0xC3: case 0xC7: return E_LOSSLESS;
    case 0xC5: case 0xC6: return E_HIERARCHICAL;
    default: return nullptr;
    }
}

// A frame header segment as the call's options see it.
const char *parse_frame(jpg_decoder *d, uint8_t m, const uint8_t *pl, uint32_t n) {
    if (m == M_SOF0) return parse_sof(d, pl, n);
    if (m == M_SOF2) {
        if (!(d->flags & KV_JPEG_PROGRESSIVE)) return E_PROGRESSIVE;
        d->progressive = true;
        return parse_sof(d, pl, n);
    }
    if (m == M_SOF1 && (d->flags & KV_JPEG_EXTENDED)) return parse_sof(d, pl, n);
    // Without options other frames are passed over, but an arithmetic-coded one is named:
    // its scan would otherwise fail as if the file were broken.
    const char *why = unsupported_frame(m);
    return d->flags || why == E_ARITHMETIC ? why : nullptr;
}

}  // namespace

const char *jpg_parse_table_segment(jpg_decoder *d, uint8_t m, const uint8_t *pl, uint32_t n) {
    switch (m) {
    case M_DHT: return parse_dht(d, pl, n);
    case M_DQT: return parse_dqt(d, pl, n);
    case M_DRI:
        if (n >= 2) d->restart_interval = (int32_t)load_be16(pl);
        return nullptr;
    case M_APP14:
        if (jpg_adobe_payload(pl, n, &d->adobe_transform)) d->adobe_seen = true;
        return nullptr;
    default: return nullptr;
    }
}

namespace {

// Walks the segments from offset 2 to the first scan header. On success *scan is the
// offset of the first entropy-coded byte. A scan that the single-scan decoder cannot
// take (a progressive frame's, or one naming fewer components than the frame when the
// options allow more scans) is left unparsed in d->first_sos for the multi-scan decoder.
const char *parse_headers(jpg_decoder *d, const uint8_t *data, uint64_t len, uint64_t *scan) {
    if (len < 6) return E_NO_SCAN;
    uint64_t p = 2;  // the first two bytes (normally SOI) are not examined
    for (;;) {
        jpg_marker mk;
        switch (jpg_read_marker(data, len, p, &mk)) {
        case JPG_MARKER_OK: break;
        case JPG_MARKER_NOT_FF: return E_CORRUPT;
        case JPG_MARKER_BAD_LENGTH: return E_SEG_LEN;
        case JPG_MARKER_TRUNCATED: return E_TRUNC_SEG;
        default: return E_NO_SCAN;
        }
        const uint8_t m = mk.code;
        if (mk.has_length) {
            const uint8_t *pl = mk.payload;
            const uint32_t n = mk.payload_len;
            const char *err = nullptr;
            if (m >= M_SOF0 && m <= 0xCF && m != M_DHT && m != 0xC8 && m != 0xCC) {
                err = parse_frame(d, m, pl, n);
            } else if (m == M_SOS) {
                const bool several = (d->flags & KV_JPEG_MULTISCAN) && n >= 1 && d->ncomp > 0 && pl[0] < d->ncomp;
                if (d->progressive || several) {
                    d->first_sos = pl;
                    d->first_sos_len = n;
                } else {
                    err = parse_sos(d, pl, n);
                }
                if (err) return err;
                *scan = mk.next;
                return nullptr;
            } else {
                err = jpg_parse_table_segment(d, m, pl, n);
            }
            if (err) return err;
        }
        if (mk.next + 4 > len) return E_NO_SCAN;
        p = mk.next;
    }
}

// ---- Bit reader -----------------------------------------------------------------------

// The entropy-coded bytes as the bit-serial reader sees them: 0xFF 0x00 is one 0xFF data
// byte; 0xFF followed by anything else is a marker, read as one 0 bit that raises
// `state` 2, after which reading goes on with the marker's code byte as data; past the
// end of the data (or at a lone 0xFF as the last byte) every bit is 0 and raises
// `state` 1. `acc` holds the real bits fetched so far; the refill stops in front of a
// marker or the end and notes which one it met in `event`, and br_bit delivers the
// event's 0 bit once the real bits are used up.
struct BitReader {
    const uint8_t *data;
    uint64_t len;
    uint64_t start;  // first byte of the current run of entropy-coded data
    uint64_t pos;    // next byte to move into acc
    uint64_t acc;    // nbits unread bits, most significant first; the bits below are 0
    int nbits;
    int event;  // what stopped the refill at pos: 0 nothing, 1 end of data, 2 a marker
    int state;  // the bit-serial reader's flag: 0 normal, 1 ended or invalid, 2 marker met
};

constexpr int SYM_STOP = -1;  // state 1: decoding stops
constexpr int SYM_MARK = -2;  // state 2: a marker was met while reading the code

void br_fill(BitReader &b) {
    while (b.nbits <= 56 && !b.event) {
        // Eight bytes without 0xFF go in at once.
        if (b.nbits <= 8 && b.pos + 8 <= b.len) {
            uint64_t w = load_le64(b.data + b.pos);
            // A byte is 0xFF exactly when its complement is 0.
            uint64_t nw = ~w;
            if (!((nw - 0x0101010101010101ull) & ~nw & 0x8080808080808080ull)) {
                int take = (64 - b.nbits) >> 3;  // 7 or 8 bytes
                uint64_t be = (uint64_t)load_be32(b.data + b.pos) << 32 | load_be32(b.data + b.pos + 4);
                if (take == 8) {
                    b.acc = be;
                } else {
                    b.acc |= (be >> 8) << (8 - b.nbits);
                }
                b.pos += (uint64_t)take;
                b.nbits += take * 8;
                continue;
            }
        }
        if (b.pos >= b.len) {
            b.event = 1;
            break;
        }
        uint8_t c = b.data[b.pos];
        if (c == 0xFF) {
            if (b.pos + 1 >= b.len) {
                b.event = 1;
                break;
            }
            if (b.data[b.pos + 1] != 0x00) {
                b.event = 2;
                break;
            }
            b.pos++;
        }
        b.pos++;
        b.acc |= (uint64_t)c << (56 - b.nbits);
        b.nbits += 8;
    }
}

inline void br_consume(BitReader &b, int n) {
    b.acc <<= n;
    b.nbits -= n;
}

// One bit exactly as the bit-serial reader delivers it.
int br_bit(BitReader &b) {
    if (b.nbits == 0) br_fill(b);
    if (b.nbits > 0) {
        int bit = (int)(b.acc >> 63);
        br_consume(b, 1);
        return bit;
    }
    if (b.event == 2) {
        b.state = 2;
        b.pos++;  // onto the marker's code byte, which is read on as data
        b.start = b.pos;
        b.event = 0;
        return 0;
    }
    b.state = 1;
    b.pos = b.len;
    return 0;
}

// The input offset the bit-serial reader would be at: just past the byte that gave the
// last bit taken, so whole bytes still in acc are handed back (two input bytes for a
// stuffed 0xFF 0x00, which is the only way a 0xFF byte enters acc).
uint64_t br_serial_pos(const BitReader &b) {
    uint64_t p = b.pos;
    for (int k = b.nbits / 8; k > 0; k--)
        p -= (p >= b.start + 2 && b.data[p - 1] == 0x00 && b.data[p - 2] == 0xFF) ? 2 : 1;
    return p;
}

int decode_serial(BitReader &b, const jpg_huff *t) {
    int32_t code = 0;
    for (int l = 1; l <= 16; l++) {
        code = 2 * code + br_bit(b);
        if (b.state == 1) return SYM_STOP;
        if (b.state == 2) return SYM_MARK;
        if (code <= t->maxcode[l]) {
            int32_t i = code + t->valoff[l];
            if (i < 0 || i >= t->nvals) break;
            return t->vals[i];
        }
    }
    b.state = 1;
    return SYM_STOP;
}

inline int decode_symbol(BitReader &b, const jpg_huff *t) {
    if (b.state == 0) {
        if (b.nbits < 16) br_fill(b);
        if (b.nbits >= 16) {  // the whole code is real bits: no flag can rise
            uint32_t peek = (uint32_t)(b.acc >> 48);
            uint32_t e = t->fast[peek >> (16 - JPG_FAST_BITS)];
            if (e >> 8) {
                br_consume(b, (int)(e >> 8));
                return (int)(e & 0xFF);
            }
            for (int l = JPG_FAST_BITS + 1; l <= 16; l++) {
                int32_t code = (int32_t)(peek >> (16 - l));
                if (code <= t->maxcode[l]) {
                    br_consume(b, l);
                    int32_t i = code + t->valoff[l];
                    if (i < 0 || i >= t->nvals) {
                        b.state = 1;
                        return SYM_STOP;
                    }
                    return t->vals[i];
                }
            }
            br_consume(b, 16);  // no code of any length matches
            b.state = 1;
            return SYM_STOP;
        }
    }
    return decode_serial(b, t);
}

// EXTEND of ITU-T T.81 on n bits read: v below 2^(n-1) becomes v - 2^n + 1, computed
// modulo 2^32 (a DC category can name up to 255 bits).
int32_t value_serial(BitReader &b, int n) {
    uint32_t v = 0;
    int first = 0;
    for (int i = 0; i < n; i++) {
        int bit = br_bit(b);
        if (i == 0) first = bit;
        v = v << 1 | (uint32_t)bit;
    }
    if (!first) v = v - (n >= 32 ? 0u : 1u << n) + 1u;
    return (int32_t)v;
}

inline int32_t read_value(BitReader &b, int n) {
    if (n <= 16) {
        if (b.nbits < n) br_fill(b);
        if (b.nbits >= n) {
            uint32_t v = (uint32_t)(b.acc >> (64 - n));
            br_consume(b, n);
            if (v < 1u << (n - 1)) v = v - (1u << n) + 1u;
            return (int32_t)v;
        }
    }
    return value_serial(b, n);
}

// ---- Scan -----------------------------------------------------------------------------

enum BlockResult { BLOCK_OK, BLOCK_STOP_AFTER, BLOCK_ROW_SKIP, BLOCK_STOP };

// Decodes one block into coef (cleared, natural order) and stores it in the plane.
inline BlockResult decode_block(BitReader &b, jpg_component *c, int32_t *coef, uint8_t *dst) {
    int t = decode_symbol(b, c->dc);
    if (t == SYM_STOP) return BLOCK_STOP;
    if (t == SYM_MARK) {
        b.state = 0;
        return BLOCK_ROW_SKIP;
    }
    int32_t diff = t ? read_value(b, t) : 0;
    c->pred = (int32_t)((uint32_t)c->pred + (uint32_t)diff);
    coef[0] = c->pred;
    uint64_t nz = c->pred != 0;  // bit i: coef[i] written (AC values are never 0)
    bool err = false;
    const jpg_huff *ac = c->ac;
    for (int k = 1;;) {
        // Code and value bits together, when both are real bits within the look-up.
        if (b.state == 0) {
            if (b.nbits < 16) br_fill(b);
            if (b.nbits >= 16) {
                uint32_t e = ac->ac_fast[b.acc >> (64 - JPG_FAST_BITS)];
                if (e) {
                    br_consume(b, (int)(e & 15));
                    k += (int)(e >> 8 & 15);
                    if (k > 63) {
                        err = true;
                        break;
                    }
                    br_consume(b, (int)(e >> 4 & 15));
                    coef[ZZ[k]] = (int16_t)(e >> 16);
                    nz |= 1ull << ZZ[k];
                    if (++k == 64) break;
                    continue;
                }
            }
        }
        int rs = decode_symbol(b, ac);
        if (rs < 0) {
            if (rs == SYM_STOP)
                err = true;
            else
                b.state = 0;  // a marker ends the block like an end-of-block
            break;
        }
        if (rs == 0) break;
        int r = rs >> 4, s = rs & 15;
        k += r;
        if (k > 63) {
            err = true;
            break;
        }
        if (s == 0) {
            if (r == 15) k++;
            continue;
        }
        coef[ZZ[k]] = read_value(b, s);
        nz |= 1ull << ZZ[k];
        if (++k == 64) break;
    }
    jpg_idct_store_sparse(coef, nz, c->qt, dst, (size_t)c->plane_w);
    return err ? BLOCK_STOP_AFTER : BLOCK_OK;
}

// Any marker may be preceded by 0xFF fill bytes: returns the offset of the last 0xFF of
// the run that starts at p (p itself when there is no run).
uint64_t skip_fill_bytes(const uint8_t *data, uint64_t len, uint64_t p) {
    while (p + 1 < len && data[p] == 0xFF && data[p + 1] == 0xFF) p++;
    return p;
}

// Restart: any run of 0xFF fill bytes, then 0xFF 0xD0..0xD7 (in any numbering). On
// failure *stop_pos is where the end-of-image test looks.
bool process_restart(BitReader &b, jpg_decoder *d, uint64_t *stop_pos) {
    uint64_t p = skip_fill_bytes(b.data, b.len, br_serial_pos(b));
    if (!(p + 1 < b.len && b.data[p] == 0xFF && b.data[p + 1] >= M_RST0 && b.data[p + 1] <= M_RST7)) {
        *stop_pos = p;
        return false;
    }
    b.pos = b.start = p + 2;
    b.acc = 0;
    b.nbits = 0;
    b.event = 0;  // `state` stays as it was: the reader never clears it
    for (int k = 0; k < d->ncomp; k++) d->comp[k].pred = 0;
    return true;
}

// ---- Output assembly ------------------------------------------------------------------

enum ColourRule { GREY, YCC, RGB, CMYK, YCCK };

ColourRule colour_rule(const jpg_decoder *d) {
    if (d->ncomp == 1) return GREY;
    if (d->adobe_seen && d->adobe_transform == 0) return d->ncomp == 3 ? RGB : CMYK;
    if (d->adobe_seen && d->adobe_transform == 2 && d->ncomp == 4) return YCCK;
    return YCC;
}

void colour_row(ColourRule rule, const uint8_t *const *in, int32_t n, uint8_t *out) {
    switch (rule) {
    case GREY:
        for (int32_t x = 0; x < n; x++) {
            uint8_t v = in[0][x];
            out[4 * x] = out[4 * x + 1] = out[4 * x + 2] = v;
            out[4 * x + 3] = 255;
        }
        break;
    case RGB:
        for (int32_t x = 0; x < n; x++) {
            out[4 * x] = in[0][x];
            out[4 * x + 1] = in[1][x];
            out[4 * x + 2] = in[2][x];
            out[4 * x + 3] = 255;
        }
        break;
    case YCC: jpg_ycc_row(in[0], in[1], in[2], n, out); break;
    case CMYK:  // Adobe-style inverted ink: 255 is no ink
        for (int32_t x = 0; x < n; x++) {
            uint32_t k = in[3][x];
            out[4 * x] = (uint8_t)(in[0][x] * k / 255);
            out[4 * x + 1] = (uint8_t)(in[1][x] * k / 255);
            out[4 * x + 2] = (uint8_t)(in[2][x] * k / 255);
            out[4 * x + 3] = 255;
        }
        break;
    case YCCK:  // YCbCr gives the complements of the inverted inks C, M, Y
        for (int32_t x = 0; x < n; x++) {
            uint8_t rgb[3];
            jpg_ycc_to_rgb(in[0][x], in[1][x], in[2][x], rgb);
            uint32_t k = in[3][x];
            out[4 * x] = (uint8_t)((255u - rgb[0]) * k / 255);
            out[4 * x + 1] = (uint8_t)((255u - rgb[1]) * k / 255);
            out[4 * x + 2] = (uint8_t)((255u - rgb[2]) * k / 255);
            out[4 * x + 3] = 255;
        }
        break;
    }
}

// The planes are kept one strip (one MCU row) at a time: strip s of component k holds
// plane rows s x strip_h[k] onwards, and output rows are built as soon as their strip is
// decoded. Every component is read at column floor(x h / Hmax) and row
// floor(y v / Vmax) of its plane (clamped into it), which replicates subsampled samples
// over their h x v pixel squares; the rows a strip's output needs all lie in that strip.
struct Strips {
    int32_t hmax, vmax;
    int32_t strip_h[4];    // plane rows per strip
    int32_t out_rows;      // output rows per strip
    int32_t *colmap[4];    // plane column of each output column
    uint8_t *rowbuf[4];    // one upsampled row
    ColourRule rule;
};

void assemble_strip(const jpg_decoder *d, const Strips &st, int32_t s, uint8_t *out) {
    const int32_t w = d->width;
    int32_t y0 = s * st.out_rows, y1 = y0 + st.out_rows;
    if (y1 > d->height) y1 = d->height;
    const uint8_t *in[4];
    for (int32_t y = y0; y < y1; y++) {
        for (int k = 0; k < d->ncomp; k++) {
            const jpg_component *c = &d->comp[k];
            int64_t r = (int64_t)y * c->v / st.vmax;
            if (r > c->plane_h - 1) r = c->plane_h - 1;
            r -= (int64_t)s * st.strip_h[k];
            const uint8_t *src = c->plane + (size_t)r * (size_t)c->plane_w;
            if (c->h == st.hmax) {
                in[k] = src;
            } else if (2 * c->h == st.hmax) {
                uint8_t *dst = st.rowbuf[k];
                for (int32_t i = 0; i < w / 2; i++) {  // each sample twice, as one 16-bit store
                    uint16_t pair = (uint16_t)(src[i] * 0x0101u);
                    std::memcpy(dst + 2 * i, &pair, 2);
                }
                if (w & 1) dst[w - 1] = src[w / 2];
                in[k] = dst;
            } else {
                uint8_t *dst = st.rowbuf[k];
                const int32_t *map = st.colmap[k];
                for (int32_t x = 0; x < w; x++) dst[x] = src[map[x]];
                in[k] = dst;
            }
        }
        colour_row(st.rule, in, w, out + (size_t)y * (size_t)w * 4);
    }
}

void max_sampling(const jpg_decoder *d, Strips &st) {
    st.hmax = 1;
    st.vmax = 1;
    for (int k = 0; k < d->ncomp; k++) {
        if (d->comp[k].h > st.hmax) st.hmax = d->comp[k].h;
        if (d->comp[k].v > st.vmax) st.vmax = d->comp[k].v;
    }
}

// Lays out the column maps at the start of `scratch` (malloc-aligned, so they come
// first) and returns the first byte after them.
uint8_t *map_columns(const jpg_decoder *d, Strips &st, uint8_t *scratch) {
    const int32_t w = d->width;
    uint8_t *p = scratch;
    for (int k = 0; k < d->ncomp; k++) {
        const jpg_component *c = &d->comp[k];
        st.colmap[k] = (int32_t *)p;
        p += (size_t)w * sizeof(int32_t);
        for (int32_t x = 0; x < w; x++) {
            int64_t col = (int64_t)x * c->h / st.hmax;
            st.colmap[k][x] = (int32_t)(col < c->plane_w - 1 ? col : c->plane_w - 1);
        }
    }
    return p;
}

// ---- Scan -----------------------------------------------------------------------------

// Decodes the scan strip by strip into *out (allocated here). Blocks that are never
// decoded (skipped after a marker in a DC code, or left when decoding stopped before
// the end-of-image marker) read as samples of 0.
const char *decode_scan(jpg_decoder *d, const uint8_t *data, uint64_t len, uint64_t scan, uint8_t **out) {
    Strips st;
    max_sampling(d, st);
    const int32_t w = d->width;
    int32_t mcux = (d->width + 8 * st.hmax - 1) / (8 * st.hmax);
    int32_t mcuy = (d->height + 8 * st.vmax - 1) / (8 * st.vmax);
    // One component: a non-interleaved scan, one block per MCU over the component's own
    // block grid. Several: interleaved, h x v blocks of each component per MCU.
    bool single = d->ncomp == 1;
    int32_t rows = single ? (d->height + 7) / 8 : mcuy;
    int32_t cols = single ? (d->width + 7) / 8 : mcux;
    st.out_rows = single ? 8 : 8 * st.vmax;
    st.rule = colour_rule(d);

    size_t scratch_size = 0;
    for (int k = 0; k < d->ncomp; k++) {
        jpg_component *c = &d->comp[k];
        c->plane_w = mcux * c->h * 8;
        c->plane_h = mcuy * c->v * 8;
        st.strip_h[k] = single ? 8 : 8 * c->v;
        scratch_size += (size_t)c->plane_w * (size_t)st.strip_h[k] + (size_t)w * (1 + sizeof(int32_t));
        c->pred = 0;
    }
    uint8_t *pixels = (uint8_t *)mem_malloc((size_t)w * (size_t)d->height * 4);
    if (!pixels) return E_OOM;
    uint8_t *scratch = (uint8_t *)mem_malloc(scratch_size);
    if (!scratch) {
        std::free(pixels);
        return E_OOM;
    }
    uint8_t *p = map_columns(d, st, scratch);
    for (int k = 0; k < d->ncomp; k++) {
        jpg_component *c = &d->comp[k];
        c->plane = p;  // the current strip; plane_h stays the whole plane's height
        p += (size_t)c->plane_w * (size_t)st.strip_h[k];
        st.rowbuf[k] = p;
        p += (size_t)w;
    }

    BitReader b = {data, len, scan, scan, 0, 0, 0, 0};
    int32_t countdown = d->restart_interval;
    int32_t coef[64];
    std::memset(coef, 0, sizeof coef);
    bool stopped = false;
    int32_t my_stop = -1;
    uint64_t stop_pos = 0;
    bool stop_pos_set = false;
    for (int32_t my = 0; my < rows; my++) {
        for (int k = 0; k < d->ncomp; k++)
            std::memset(d->comp[k].plane, 0, (size_t)d->comp[k].plane_w * (size_t)st.strip_h[k]);
        for (int32_t mx = 0; mx < cols && !stopped; mx++) {
            bool restarts = countdown > 0;
            for (int k = 0; k < d->ncomp && !stopped; k++) {
                jpg_component *c = &d->comp[k];
                int32_t bh = single ? 1 : c->h, bv = single ? 1 : c->v;
                for (int32_t by = 0; by < bv && !stopped; by++) {
                    uint8_t *dst = c->plane + (size_t)by * 8 * (size_t)c->plane_w + (size_t)mx * bh * 8;
                    for (int32_t bx = 0; bx < bh; bx++, dst += 8) {
                        BlockResult r = decode_block(b, c, coef, dst);
                        if (r == BLOCK_OK) continue;
                        if (r == BLOCK_ROW_SKIP) break;
                        stopped = true;
                        break;
                    }
                }
            }
            if (stopped || !restarts) continue;
            if (--countdown == 0) {
                if (!process_restart(b, d, &stop_pos)) {
                    stopped = true;
                    stop_pos_set = true;
                } else {
                    countdown = d->restart_interval;
                }
            }
        }
        if (stopped && my_stop < 0) {
            // Decoding stopped early: the picture stands only if the end-of-image marker
            // follows; the rest of it is then assembled from empty strips.
            uint64_t at = stop_pos_set ? stop_pos : skip_fill_bytes(data, len, br_serial_pos(b));
            if (!(at + 1 < len && data[at] == 0xFF && data[at + 1] == M_EOI)) {
                std::free(scratch);
                std::free(pixels);
                for (int k = 0; k < 4; k++) d->comp[k].plane = nullptr;
                return E_SCAN;
            }
            my_stop = my;
        }
        assemble_strip(d, st, my, pixels);
    }
    std::free(scratch);
    for (int k = 0; k < 4; k++) d->comp[k].plane = nullptr;
    *out = pixels;
    return nullptr;
}

const char *decode_stream(const uint8_t *data, uint64_t len, unsigned flags, uint8_t **out, int *width, int *height) {
    // About 85 KB, too much for the stacks of some host threads; zeroed as every call
    // starts with no tables, no frame and no restart interval.
    jpg_decoder *d = (jpg_decoder *)mem_calloc(1, sizeof *d);
    if (!d) return E_OOM;
    d->flags = flags;
    // Quantisation values above 255 come with extended-sequential and progressive frames.
    d->max_quant = flags ? 65535 : 255;
    uint64_t scan = 0;
    const char *err = parse_headers(d, data, len, &scan);
    if (!err) err = d->first_sos ? jpg_decode_scans(d, data, len, scan, out) : decode_scan(d, data, len, scan, out);
    if (!err) {
        *width = d->width;
        *height = d->height;
    }
    std::free(d);
    return err;
}

}  // namespace

const char *jpg_assemble_planes(const jpg_decoder *d, uint8_t **out) {
    Strips st;
    max_sampling(d, st);
    st.out_rows = d->height;  // one strip: the whole picture
    st.rule = colour_rule(d);
    const int32_t w = d->width;
    size_t scratch_size = 0;
    for (int k = 0; k < d->ncomp; k++) {
        st.strip_h[k] = d->comp[k].plane_h;
        scratch_size += (size_t)w * (1 + sizeof(int32_t));
    }
    uint8_t *pixels = (uint8_t *)mem_malloc((size_t)w * (size_t)d->height * 4);
    uint8_t *scratch = (uint8_t *)mem_malloc(scratch_size);
    if (!pixels || !scratch) {
        std::free(pixels);
        std::free(scratch);
        return E_OOM;
    }
    uint8_t *p = map_columns(d, st, scratch);
    for (int k = 0; k < d->ncomp; k++, p += w) st.rowbuf[k] = p;
    assemble_strip(d, st, 0, pixels);
    std::free(scratch);
    *out = pixels;
    return nullptr;
}

namespace {

// Messages are the constant texts themselves: nothing is shared between threads, and a
// pointer a caller keeps never changes under it.
const char *fail(const char **message, const char *text) {
    if (message) *message = text;
    return text;
}

}  // namespace

namespace {

unsigned char *decode_memory(const unsigned char *data, uint64_t len, unsigned flags, int *width, int *height,
                             const char **message) {
    int w = 0, h = 0;
    if (width) *width = 0;
    if (height) *height = 0;
    if (!data) len = 0;
    uint8_t *out = nullptr;
    const char *err = decode_stream(data, len, flags, &out, &w, &h);
    if (err) {
        fail(message, err);
        return nullptr;
    }
    if (width) *width = w;
    if (height) *height = h;
    if (message) *message = EMPTY;
    return out;
}

unsigned char *decode_file(const char *path, unsigned flags, int *width, int *height, const char **message) {
    jpg_buf buf = {nullptr, 0};
    if (!path || !jpg_read_file(path, &buf)) {
        fail(message, E_READ);
        return nullptr;
    }
    unsigned char *out = decode_memory(buf.data, buf.len, flags, width, height, message);
    std::free(buf.data);
    return out;
}

constexpr unsigned KNOWN_FLAGS = KV_JPEG_PROGRESSIVE | KV_JPEG_MULTISCAN | KV_JPEG_EXTENDED;

}  // namespace

extern "C" FOLIAN_API unsigned char *kv_jpeg_decode_impl(const unsigned char *data, uint64_t len, int *width,
                                                         int *height, const char **message) noexcept {
    return decode_memory(data, len, 0, width, height, message);
}

extern "C" FOLIAN_API unsigned char *kv_jpeg_decode(const char *path, int *width, int *height,
                                                    const char **message) noexcept {
    return decode_file(path, 0, width, height, message);
}

extern "C" FOLIAN_API unsigned char *kv_jpeg_decode_ex(const unsigned char *data, uint64_t len, unsigned flags,
                                                       int *width, int *height, const char **message) noexcept {
    return decode_memory(data, len, flags & KNOWN_FLAGS, width, height, message);
}

extern "C" FOLIAN_API unsigned char *kv_jpeg_decode_file_ex(const char *path, unsigned flags, int *width, int *height,
                                                            const char **message) noexcept {
    return decode_file(path, flags & KNOWN_FLAGS, width, height, message);
}
