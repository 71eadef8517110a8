// progressive.cpp: the multi-scan JPEG decoder: progressive frames (spectral selection
// and successive approximation, Huffman-coded) and sequential frames whose components
// come in several scans. Reached through kv_jpeg_decode_ex when the single-scan decoder
// of decode.cpp cannot take the first scan.
//
// Every scan adds to one array of coefficients per component (16 bits each, whole MCUs);
// only after the last scan are the blocks dequantised, transformed and assembled into
// RGBA by the same kernels and rules as the single-scan decoder. Tables may change
// between scans; a component's quantisation table is the one defined when it is first
// scanned.
//
// Damaged data: a scan whose data ends (a marker, or the end of the input) before its
// last MCU, or holds a code no table defines, stops; the picture is delivered as far as
// it was decoded when the end-of-image marker follows the stop, and the call fails with
// "jpeg: decode error in scan data" otherwise. Input that ends between two scans
// (without an end-of-image marker) delivers what the scans so far hold.
#include <cstdlib>
#include <cstring>

#include "bytes.h"
#include "jpeg/decode.h"
#include "jpeg/jpeg.h"
#include "jpeg/markers.h"
#include "mem.h"

namespace {

constexpr const char *E_BAD_SOS = "jpeg: bad SOS";
constexpr const char *E_SOS_COUNT = "jpeg: bad SOS count";
constexpr const char *E_SOS_COMP = "jpeg: unknown SOS component";
constexpr const char *E_NO_QUANT = "jpeg: missing quant table";
constexpr const char *E_NO_HUFF = "jpeg: missing Huffman table";
constexpr const char *E_BAD_PROGRESSION = "jpeg: bad progressive scan parameters";
constexpr const char *E_SECOND_FRAME = "jpeg: frame header after the first scan";
constexpr const char *E_CORRUPT = "jpeg: corrupt stream";
constexpr const char *E_SEG_LEN = "jpeg: bad segment length";
constexpr const char *E_TRUNC_SEG = "jpeg: truncated segment";
constexpr const char *E_OOM = "jpeg: out of memory";
constexpr const char *E_SCAN = "jpeg: decode error in scan data";

constexpr uint8_t M_DHT = 0xC4, M_RST0 = 0xD0, M_RST7 = 0xD7, M_EOI = 0xD9, M_SOS = 0xDA;

// One scan header.
struct Scan {
    int ns;
    int comp[4];  // frame component indexes, in scan order
    int ss, se, ah, al;
};

// ---- Bit reader -----------------------------------------------------------------------
// `acc` holds `nbits` real bits, most significant first, zeros below. Filling stops in
// front of a marker (or at the end of the data), `pos` then resting on the marker's first
// 0xFF; reads past the real bits deliver zeros and set `overrun`, which stops the scan.
struct Reader {
    const uint8_t *data;
    uint64_t len, pos;
    uint64_t acc;
    int nbits;
    bool at_marker;  // filling has reached a marker or the end of the data
    bool overrun;
};

void fill(Reader &r) {
    while (r.nbits <= 56 && !r.at_marker) {
        // Whole bytes at once while none of the next eight is 0xFF. A byte of ~w is 0
        // exactly where w holds 0xFF, and (x - 0x0101..01) & ~x & 0x8080..80 is non-zero
        // exactly when some byte of x is 0. The byte loop below is the plain form.
        if (r.pos + 8 <= r.len) {
            const uint64_t nw = ~load_le64(r.data + r.pos);
            if (!((nw - 0x0101010101010101ull) & ~nw & 0x8080808080808080ull)) {
                const int take = (64 - r.nbits) >> 3;
                const uint64_t be = (uint64_t)load_be32(r.data + r.pos) << 32 | load_be32(r.data + r.pos + 4);
                r.acc |= take == 8 ? be : (be >> (64 - 8 * take)) << (64 - 8 * take - r.nbits);
                r.pos += (uint64_t)take;
                r.nbits += 8 * take;
                continue;
            }
        }
        if (r.pos >= r.len) {
            r.at_marker = true;
            break;
        }
        uint8_t c = r.data[r.pos];
        if (c == 0xFF) {
            // 0xFF, fill bytes, then 0x00 is one 0xFF data byte; anything else is a marker.
            uint64_t q = r.pos + 1;
            while (q < r.len && r.data[q] == 0xFF) q++;
            if (q >= r.len || r.data[q] != 0x00) {
                r.at_marker = true;
                break;
            }
            r.pos = q + 1;
        } else {
            r.pos++;
        }
        r.acc |= (uint64_t)c << (56 - r.nbits);
        r.nbits += 8;
    }
}

inline uint32_t peek(Reader &r, int n) {  // n from 1 to 16
    if (r.nbits < n) fill(r);
    return (uint32_t)(r.acc >> (64 - n));
}

inline void consume(Reader &r, int n) {
    if (n > r.nbits) {
        r.overrun = true;
        r.acc = 0;
        r.nbits = 0;
        return;
    }
    r.acc <<= n;
    r.nbits -= n;
}

inline uint32_t get_bit(Reader &r) {
    if (r.nbits == 0) fill(r);
    if (r.nbits == 0) {
        r.overrun = true;
        return 0;
    }
    const uint32_t bit = (uint32_t)(r.acc >> 63);
    r.acc <<= 1;
    r.nbits--;
    return bit;
}

inline uint32_t get_bits(Reader &r, int n) {
    if (n == 0) return 0;
    uint32_t v = peek(r, n);
    consume(r, n);
    return v;
}

// EXTEND: n bits v below 2^(n-1) stand for v - 2^n + 1.
inline int32_t extend(uint32_t v, int n) { return v < (1u << (n - 1)) ? (int32_t)v - (int32_t)(1u << n) + 1 : (int32_t)v; }

inline int32_t receive_extend(Reader &r, int n) { return n ? extend(get_bits(r, n), n) : 0; }

// The next symbol, or -1 for a code no table entry has.
int decode_symbol(Reader &r, const jpg_huff *t) {
    uint32_t bits = peek(r, 16);
    uint32_t e = t->fast[bits >> (16 - JPG_FAST_BITS)];
    if (e >> 8) {
        consume(r, (int)(e >> 8));
        return (int)(e & 0xFF);
    }
    for (int l = JPG_FAST_BITS + 1; l <= 16; l++) {
        int32_t code = (int32_t)(bits >> (16 - l));
        if (code <= t->maxcode[l]) {
            int32_t i = code + t->valoff[l];
            if (i < 0 || i >= t->nvals) return -1;
            consume(r, l);
            return t->vals[i];
        }
    }
    return -1;
}

// The first byte of the next marker at or after p (past any stray data bytes), or len.
uint64_t next_marker(const uint8_t *d, uint64_t len, uint64_t p) {
    for (; p + 1 < len; p++) {
        if (d[p] != 0xFF) continue;
        uint64_t q = p + 1;
        while (q < len && d[q] == 0xFF) q++;
        if (q < len && d[q] != 0x00) return p;
        p = q;
    }
    return len;
}

// ---- Coefficients ----------------------------------------------------------------------

struct Coefs {
    int16_t *blocks[4];    // per component: blocks_w x blocks_h blocks of 64, natural order
    uint64_t *masks[4];    // per block: bit k set when coefficient ZZ[k] may be non-zero
    int32_t blocks_w[4];   // whole MCUs: MCUX x h
    int32_t blocks_h[4];
    int32_t comp_bw[4];    // blocks that hold the component's own samples
    int32_t comp_bh[4];
    bool scanned[4];       // the component's quantisation table is latched
    int32_t mcux, mcuy;
};

inline size_t block_index(const Coefs &cf, int k, int32_t bx, int32_t by) {
    return (size_t)by * (size_t)cf.blocks_w[k] + (size_t)bx;
}

// Bits k and up of a mask (k from 0 to 64).
inline uint64_t from_bit(int k) { return k >= 64 ? 0 : ~0ull << k; }

// Values are kept modulo 2^16, as 16-bit coefficient stores keep them.
inline int16_t wrap16(int64_t v) { return (int16_t)(uint16_t)(uint64_t)v; }

// Decoding state of one scan.
struct ScanState {
    Reader r;
    int32_t pred[4];
    uint32_t eobrun;
    bool error;  // a code no table defines, or a run past the end of the block
};

// One block being decoded: its coefficients and its mask of non-zero ones (zig-zag order).
struct Block {
    int16_t *coef;
    uint64_t *mask;
};

inline Block block_at(const Coefs &cf, int k, int32_t bx, int32_t by) {
    const size_t i = block_index(cf, k, bx, by);
    return {cf.blocks[k] + i * 64, cf.masks[k] + i};
}

inline void put(Block b, int k, int16_t v) {
    b.coef[ZZ[k]] = v;
    if (v) *b.mask |= 1ull << k;
}

void dc_first(ScanState &s, const jpg_component *c, int k, Block blk, int al) {
    int t = decode_symbol(s.r, c->dc);
    if (t < 0 || t > 16) {
        s.error = true;
        return;
    }
    int32_t diff = receive_extend(s.r, t);
    s.pred[k] = (int32_t)((uint32_t)s.pred[k] + (uint32_t)diff);
    put(blk, 0, wrap16((int64_t)s.pred[k] * ((int64_t)1 << al)));
}

void dc_refine(ScanState &s, Block blk, int al) {
    if (get_bit(s.r)) put(blk, 0, (int16_t)(blk.coef[0] | (1 << al)));
}

// The AC coefficients of a sequential block, by the single-scan decoder's rules: a run
// past coefficient 63 is an error, and R/0 symbols other than end-of-block and ZRL (which
// baseline coding does not use) move k by R.
void ac_sequential(ScanState &s, const jpg_component *c, Block blk) {
    for (int k = 1;;) {
        int rs = decode_symbol(s.r, c->ac);
        if (rs < 0) {
            s.error = true;
            return;
        }
        if (rs == 0) return;
        int r = rs >> 4, sz = rs & 15;
        k += r;
        if (k > 63) {
            s.error = true;
            return;
        }
        if (sz == 0) {
            if (r == 15) k++;
            continue;
        }
        put(blk, k, (int16_t)receive_extend(s.r, sz));
        if (++k == 64) return;
    }
}

// First pass over coefficients ss..se of a progressive scan.
void ac_first(ScanState &s, const jpg_component *c, Block blk, int ss, int se, int al) {
    if (s.eobrun) {
        s.eobrun--;
        return;
    }
    for (int k = ss; k <= se; k++) {
        int rs = decode_symbol(s.r, c->ac);
        if (rs < 0) {
            s.error = true;
            return;
        }
        int r = rs >> 4, sz = rs & 15;
        if (sz) {
            k += r;
            if (k > se) {
                s.error = true;
                return;
            }
            put(blk, k, wrap16((int64_t)receive_extend(s.r, sz) * ((int64_t)1 << al)));
        } else if (r == 15) {
            k += 15;
        } else {
            s.eobrun = ((1u << r) - 1) + get_bits(s.r, r);
            return;
        }
    }
}

// A correction bit for a coefficient already non-zero: moves it one step of 2^al away
// from zero, unless that bit is already set.
inline void refine_nonzero(ScanState &s, int16_t *coef, int al) {
    if (get_bit(s.r) && (*coef & (1 << al)) == 0) *coef = wrap16(*coef >= 0 ? *coef + (1 << al) : *coef - (1 << al));
}

// One correction bit for each non-zero coefficient of `which`, in zig-zag order.
void refine_all(ScanState &s, Block blk, uint64_t which, int al) {
    for (; which; which &= which - 1) refine_nonzero(s, &blk.coef[ZZ[low_bit(which)]], al);
}

// Refinement of coefficients ss..se: new coefficients of magnitude 2^al placed among the
// zero ones, and one correction bit for each non-zero one passed on the way. The masks
// find the zeros and the non-zero coefficients without looking at the others.
void ac_refine(ScanState &s, const jpg_component *c, Block blk, int ss, int se, int al) {
    const uint64_t band = from_bit(ss) & ~from_bit(se + 1);
    int k = ss;
    if (!s.eobrun) {
        while (k <= se) {
            int rs = decode_symbol(s.r, c->ac);
            if (rs < 0) {
                s.error = true;
                return;
            }
            int r = rs >> 4, sz = rs & 15;
            int16_t value = 0;
            if (sz) {
                // A new coefficient is always of magnitude 1 << al; a size other than 1 is
                // damage, read as 1 as other decoders do.
                value = (int16_t)(get_bit(s.r) ? (1 << al) : -(1 << al));
            } else if (r != 15) {
                s.eobrun = (1u << r) + get_bits(s.r, r);
                break;  // the rest of the band goes with the end-of-band run below
            }
            // Skip r zero coefficients, refining the non-zero ones passed; the new one
            // goes on the next zero (ZRL: 16 zeros skipped and nothing placed).
            const uint64_t ahead = band & from_bit(k);
            uint64_t zeros = ahead & ~*blk.mask;
            for (int i = 0; i < r && zeros; i++) zeros &= zeros - 1;
            const int target = zeros ? low_bit(zeros) : se + 1;
            refine_all(s, blk, ahead & *blk.mask & ~from_bit(target), al);
            k = target;
            if (value && k <= se) put(blk, k, value);
            k++;
        }
    }
    if (s.eobrun) {
        refine_all(s, blk, band & from_bit(k) & *blk.mask, al);
        s.eobrun--;
    }
}

void decode_block(ScanState &s, const jpg_decoder *d, const Scan &sc, int k, Block blk) {
    const jpg_component *c = &d->comp[k];
    if (!d->progressive) {
        dc_first(s, c, k, blk, 0);
        if (!s.error) ac_sequential(s, c, blk);
    } else if (sc.ss == 0) {
        if (sc.ah == 0)
            dc_first(s, c, k, blk, sc.al);
        else
            dc_refine(s, blk, sc.al);
    } else if (sc.ah == 0) {
        ac_first(s, c, blk, sc.ss, sc.se, sc.al);
    } else {
        ac_refine(s, c, blk, sc.ss, sc.se, sc.al);
    }
}

// ---- Scan headers ----------------------------------------------------------------------

const char *parse_scan(jpg_decoder *d, Coefs &cf, const uint8_t *p, uint32_t n, Scan *sc) {
    if (n == 0) return E_BAD_SOS;
    const uint32_t ns = p[0];
    if (ns > 4) return E_SOS_COUNT;
    if (ns == 0 || n < 4 + 2 * ns) return E_BAD_SOS;
    sc->ns = (int)ns;
    const uint8_t *q = p + 1 + 2 * ns;
    sc->ss = q[0];
    sc->se = q[1];
    sc->ah = q[2] >> 4;
    sc->al = q[2] & 15;
    if (d->progressive) {
        const bool dc = sc->ss == 0;
        if (sc->ss > sc->se || sc->se > 63 || (dc && sc->se != 0) || (!dc && ns != 1) ||
            (sc->ah != 0 && sc->al != sc->ah - 1) || sc->al > 13)
            return E_BAD_PROGRESSION;
    }
    // Which tables the scan reads: DC for a first DC pass, AC for any AC pass.
    const bool needs_dc = !d->progressive || (sc->ss == 0 && sc->ah == 0);
    const bool needs_ac = !d->progressive || sc->ss > 0;
    for (uint32_t i = 0; i < ns; i++) {
        const uint32_t sel = p[1 + 2 * i], tables = p[2 + 2 * i];
        int k = 0;
        while (k < d->ncomp && (uint32_t)d->comp[k].id != sel) k++;
        if (k == d->ncomp) return E_SOS_COMP;
        for (uint32_t j = 0; j < i; j++)
            if (sc->comp[j] == k) return E_BAD_SOS;  // a component named twice
        sc->comp[i] = k;
        jpg_component *c = &d->comp[k];
        c->td = (int32_t)(tables >> 4);
        c->ta = (int32_t)(tables & 15);
        if (!cf.scanned[k]) {
            if (!d->qt_defined[c->tq]) return E_NO_QUANT;
            std::memcpy(c->qt, d->qt[c->tq], sizeof c->qt);
            cf.scanned[k] = true;
        }
        if (needs_dc && (c->td > 3 || !d->dc_defined[c->td])) return E_NO_HUFF;
        if (needs_ac && (c->ta > 3 || !d->ac_defined[c->ta])) return E_NO_HUFF;
        c->dc = needs_dc ? &d->dc_tab[c->td] : nullptr;
        c->ac = needs_ac ? &d->ac_tab[c->ta] : nullptr;
    }
    return nullptr;
}

// ---- One scan --------------------------------------------------------------------------

// At a restart boundary: the restart marker (any number) is taken and the predictors and
// the end-of-band run start afresh. False when another marker, or none, is there.
bool restart(ScanState &s) {
    Reader &r = s.r;
    uint64_t p = next_marker(r.data, r.len, r.pos);
    jpg_marker m;
    if (jpg_read_marker(r.data, r.len, p, &m) != JPG_MARKER_OK || m.code < M_RST0 || m.code > M_RST7) {
        r.pos = p;
        return false;
    }
    r.pos = m.next;
    r.acc = 0;
    r.nbits = 0;
    r.at_marker = false;
    for (int32_t &v : s.pred) v = 0;
    s.eobrun = 0;
    return true;
}

// Decodes one scan from `start`. Returns the offset where the walk over the segments goes
// on, or sets *stopped when the scan ended early (the offset is then where it stopped).
uint64_t decode_one_scan(const jpg_decoder *d, const Coefs &cf, const Scan &sc, const uint8_t *data, uint64_t len,
                         uint64_t start, bool *stopped) {
    ScanState s = {{data, len, start, 0, 0, false, false}, {0, 0, 0, 0}, 0, false};
    const bool single = sc.ns == 1;
    const int k0 = sc.comp[0];
    const int32_t cols = single ? cf.comp_bw[k0] : cf.mcux;
    const int64_t mcus = (int64_t)cols * (single ? cf.comp_bh[k0] : cf.mcuy);
    const int32_t interval = d->restart_interval;
    for (int64_t i = 0; i < mcus; i++) {
        if (interval && i > 0 && i % interval == 0 && !restart(s)) {
            *stopped = true;
            return s.r.pos;
        }
        const int32_t mx = (int32_t)(i % cols), my = (int32_t)(i / cols);
        if (single) {
            decode_block(s, d, sc, k0, block_at(cf, k0, mx, my));
        } else {
            for (int j = 0; j < sc.ns && !s.error; j++) {
                const int k = sc.comp[j];
                const jpg_component *c = &d->comp[k];
                for (int32_t by = 0; by < c->v; by++)
                    for (int32_t bx = 0; bx < c->h; bx++)
                        decode_block(s, d, sc, k, block_at(cf, k, mx * c->h + bx, my * c->v + by));
            }
        }
        if (s.error || s.r.overrun) {
            *stopped = true;
            return s.r.pos;  // on the marker that stopped the data, if one did
        }
    }
    return next_marker(data, len, s.r.pos);
}

// ---- Frame -----------------------------------------------------------------------------

void free_coefs(Coefs &cf) {
    for (int k = 0; k < 4; k++) {
        std::free(cf.blocks[k]);
        std::free(cf.masks[k]);
        cf.blocks[k] = nullptr;
        cf.masks[k] = nullptr;
    }
}

const char *setup_coefs(const jpg_decoder *d, Coefs &cf) {
    int32_t hmax = 1, vmax = 1;
    for (int k = 0; k < d->ncomp; k++) {
        if (d->comp[k].h > hmax) hmax = d->comp[k].h;
        if (d->comp[k].v > vmax) vmax = d->comp[k].v;
    }
    cf.mcux = (d->width + 8 * hmax - 1) / (8 * hmax);
    cf.mcuy = (d->height + 8 * vmax - 1) / (8 * vmax);
    for (int k = 0; k < d->ncomp; k++) {
        const jpg_component *c = &d->comp[k];
        cf.blocks_w[k] = cf.mcux * c->h;
        cf.blocks_h[k] = cf.mcuy * c->v;
        // The component's own size is ceil(X h / Hmax) by ceil(Y v / Vmax) samples.
        const int64_t cw = ((int64_t)d->width * c->h + hmax - 1) / hmax;
        const int64_t ch = ((int64_t)d->height * c->v + vmax - 1) / vmax;
        cf.comp_bw[k] = (int32_t)((cw + 7) / 8);
        cf.comp_bh[k] = (int32_t)((ch + 7) / 8);
        const size_t blocks = (size_t)cf.blocks_w[k] * (size_t)cf.blocks_h[k];
        cf.blocks[k] = (int16_t *)mem_calloc(blocks, 64 * sizeof(int16_t));
        cf.masks[k] = (uint64_t *)mem_calloc(blocks, sizeof(uint64_t));
        if (!cf.blocks[k] || !cf.masks[k]) return E_OOM;
    }
    return nullptr;
}

// Dequantises and transforms every block of every component into its plane, freeing each
// component's coefficients once its plane is built.
const char *build_planes(jpg_decoder *d, Coefs &cf) {
    int32_t coef[64];
    std::memset(coef, 0, sizeof coef);
    for (int k = 0; k < d->ncomp; k++) {
        jpg_component *c = &d->comp[k];
        c->plane_w = cf.blocks_w[k] * 8;
        c->plane_h = cf.blocks_h[k] * 8;
        c->plane = (uint8_t *)mem_malloc((size_t)c->plane_w * (size_t)c->plane_h);
        if (!c->plane) return E_OOM;
        // A component never scanned has no latched table; its coefficients are all 0.
        if (!cf.scanned[k]) std::memset(c->qt, 0, sizeof c->qt);
        for (int32_t by = 0; by < cf.blocks_h[k]; by++) {
            for (int32_t bx = 0; bx < cf.blocks_w[k]; bx++) {
                const Block blk = block_at(cf, k, bx, by);
                uint64_t nz = 0;  // the mask in natural order
                for (uint64_t m = *blk.mask; m; m &= m - 1) {
                    const int i = ZZ[low_bit(m)];
                    coef[i] = blk.coef[i];
                    nz |= 1ull << i;
                }
                uint8_t *dst = c->plane + (size_t)by * 8 * (size_t)c->plane_w + (size_t)bx * 8;
                jpg_idct_store_sparse(coef, nz, c->qt, dst, (size_t)c->plane_w);
            }
        }
        std::free(cf.blocks[k]);
        std::free(cf.masks[k]);
        cf.blocks[k] = nullptr;
        cf.masks[k] = nullptr;
    }
    return nullptr;
}

// The scans and the segments between them, from the first scan's data on. On success the
// coefficients hold everything the stream had to give.
const char *decode_all_scans(jpg_decoder *d, Coefs &cf, const uint8_t *data, uint64_t len, uint64_t scan) {
    Scan sc;
    if (const char *err = parse_scan(d, cf, d->first_sos, d->first_sos_len, &sc)) return err;
    for (;;) {
        bool stopped = false;
        uint64_t p = decode_one_scan(d, cf, sc, data, len, scan, &stopped);
        if (stopped) {
            // What was decoded stands only when the end-of-image marker follows.
            jpg_marker m;
            if (jpg_read_marker(data, len, p, &m) == JPG_MARKER_OK && m.code == M_EOI) return nullptr;
            return E_SCAN;
        }
        // Segments up to the next scan header; the end of the data or of the image ends it all.
        for (;;) {
            jpg_marker m;
            const jpg_marker_status st = jpg_read_marker(data, len, p, &m);
            if (st == JPG_MARKER_NO_CODE) return nullptr;
            if (st == JPG_MARKER_NOT_FF) return E_CORRUPT;
            if (st == JPG_MARKER_NO_LENGTH) return nullptr;
            if (st == JPG_MARKER_BAD_LENGTH) return E_SEG_LEN;
            if (st == JPG_MARKER_TRUNCATED) return E_TRUNC_SEG;
            if (m.code == M_EOI) return nullptr;
            if (m.code == M_SOS) {
                if (const char *err = parse_scan(d, cf, m.payload, m.payload_len, &sc)) return err;
                scan = m.next;
                break;
            }
            if (m.code >= 0xC0 && m.code <= 0xCF && m.code != M_DHT && m.code != 0xC8 && m.code != 0xCC)
                return E_SECOND_FRAME;
            // The colour transform was settled with the frame: a later Adobe segment is passed over.
            if (m.has_length && m.code != 0xEE)
                if (const char *err = jpg_parse_table_segment(d, m.code, m.payload, m.payload_len)) return err;
            p = m.next;
        }
    }
}

}  // namespace

const char *jpg_decode_scans(jpg_decoder *d, const uint8_t *data, uint64_t len, uint64_t scan, uint8_t **out) {
    Coefs cf;
    std::memset(&cf, 0, sizeof cf);
    const char *err = setup_coefs(d, cf);
    if (!err) err = decode_all_scans(d, cf, data, len, scan);
    if (!err) err = build_planes(d, cf);
    if (!err) err = jpg_assemble_planes(d, out);
    free_coefs(cf);
    for (jpg_component &c : d->comp) {
        std::free(c.plane);
        c.plane = nullptr;
    }
    return err;
}
