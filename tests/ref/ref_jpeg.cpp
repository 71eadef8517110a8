// ref_jpeg.cpp: the plain reference JPEG decoder (see ref_jpeg.h). Every step follows the
// decoder's rules literally, one bit, one term and one pixel at a time.
#include "ref_jpeg.h"

#include <cmath>
#include <cstring>

namespace {

const int ZIGZAG[64] = {0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48,
                        41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23,
                        30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

struct Comp {
    int id, h, v, tq, td, ta;
    int32_t pred;
    int32_t qt[64];
    const RefJpegHuff *dc, *ac;
    std::vector<uint8_t> plane;
    int pw, ph;
};

uint8_t clamp255(int v) { return (uint8_t)(v < 0 ? 0 : v > 255 ? 255 : v); }

int32_t extend_value(RefJpegBits *b, int n) {
    uint32_t v = 0;
    int first = 0;
    for (int i = 0; i < n; i++) {
        int bit = ref_jpeg_bit(b);
        if (i == 0) first = bit;
        v = v << 1 | (uint32_t)bit;
    }
    if (!first) v = v - (n >= 32 ? 0u : 1u << n) + 1u;  // v - 2^n + 1, modulo 2^32
    return (int32_t)v;
}

unsigned be16(const uint8_t *p) { return (unsigned)p[0] << 8 | p[1]; }

}  // namespace

void ref_jpeg_costab(double costab[8][8]) {
    for (int u = 0; u < 8; u++) {
        double cf = (u > 0 ? 1.0 : 0.7071067811865476) * 0.5;
        costab[u][0] = cf * std::cos(u * 3.141592653589793 * 0.0625);
        for (int x = 1; x < 8; x++) costab[u][x] = cf * std::cos(((2 * x + 1) * u) * 3.141592653589793 * 0.0625);
    }
}

void ref_jpeg_idct_block(const int32_t coef[64], const int32_t qt[64], uint8_t out[64]) {
    struct Table {
        double cs[8][8];
        Table() { ref_jpeg_costab(cs); }
    };
    static const Table table;
    const double(*cs)[8] = table.cs;
    double f[64], t[8][8];
    for (int i = 0; i < 64; i++) f[i] = (double)(int32_t)((uint32_t)coef[i] * (uint32_t)qt[i]);
    for (int r = 0; r < 8; r++)
        for (int x = 0; x < 8; x++) {
            double s = 0.0;
            for (int u = 0; u < 8; u++) s += f[8 * r + u] * cs[u][x];
            t[r][x] = s;
        }
    for (int y = 0; y < 8; y++)
        for (int x = 0; x < 8; x++) {
            double s = 0.0;
            for (int v = 0; v < 8; v++) s += t[v][x] * cs[v][y];
            s = s + 128.0;
            out[8 * y + x] = s < 0 ? 0 : (uint8_t)(int)((s < 255.0 ? s : 255.0) + 0.5);
        }
}

void ref_jpeg_ycc(uint8_t y, uint8_t cb, uint8_t cr, uint8_t rgb[3]) {
    double yv = y, cbv = (int)cb - 128, crv = (int)cr - 128;
    rgb[0] = clamp255((int)(1.402 * crv + yv));
    rgb[1] = clamp255((int)(yv - 0.344136 * cbv - 0.714136 * crv));
    rgb[2] = clamp255((int)(1.772 * cbv + yv));
}

bool ref_jpeg_huff_build(RefJpegHuff *t, const uint8_t counts[16], const uint8_t *symbols) {
    t->sym.clear();
    int32_t code = 0, s = 0;
    for (int l = 0; l < 16; l++) {
        int cnt = counts[l];
        if (cnt == 0) {
            t->maxcode[l] = -1;
        } else {
            if (code + cnt - 1 >= 65536) return false;
            for (int i = 0; i < cnt; i++) t->sym[code + i] = symbols[s + i];
            t->maxcode[l] = code + cnt - 1;
            s += cnt;
            code += cnt;
        }
        code *= 2;
    }
    return true;
}

int ref_jpeg_bit(RefJpegBits *b) {
    if (b->nbits > 0) {
        b->nbits--;
        return (b->cur >> b->nbits) & 1;
    }
    if (b->pos >= b->len) {
        b->state = 1;
        return 0;
    }
    int c = b->data[b->pos++];
    if (c != 0xFF) {
        b->cur = c;
        b->nbits = 7;
        return c >> 7;
    }
    if (b->pos >= b->len) {
        b->state = 1;
        return 0;
    }
    if (b->data[b->pos] == 0x00) {
        b->pos++;
        b->cur = 0xFF;
        b->nbits = 7;
        return 1;
    }
    b->state = 2;  // pos stays on the marker's code
    return 0;
}

int ref_jpeg_decode_symbol(RefJpegBits *b, const RefJpegHuff *t) {
    int32_t code = 0;
    for (int l = 0; l < 16; l++) {
        code = 2 * code + ref_jpeg_bit(b);
        if (b->state == 1) return -1;
        if (b->state == 2) return -2;
        if (code <= t->maxcode[l]) {
            auto it = t->sym.find(code);
            int32_t s = it == t->sym.end() ? -1 : it->second;
            if (s < 0) {
                b->state = 1;
                return -1;
            }
            return s;
        }
    }
    b->state = 1;
    return -1;
}

bool ref_jpeg_decode(const uint8_t *d, size_t n, int *width, int *height, std::vector<uint8_t> *rgba,
                     std::string *message) {
    auto fail = [&](const char *m) {
        *message = m;
        return false;
    };
    *width = *height = 0;
    if (n < 6) return fail("jpeg: no scan data");
    int32_t qt[4][64];
    bool qdef[4] = {}, dcdef[4] = {}, acdef[4] = {};
    RefJpegHuff dct[4], act[4];
    Comp comps[4] = {};
    int nf = 0, X = 0, Y = 0, ri = 0, adobe = 0;
    bool adobe_seen = false;
    size_t p = 2, next = 0;
    for (;;) {
        if (d[p] != 0xFF) return fail("jpeg: corrupt stream");
        while (p + 1 < n && d[p + 1] == 0xFF) p++;
        if (p + 1 >= n) return fail("jpeg: no scan data");
        int m = d[p + 1];
        bool scan = false;
        if ((m >= 0xD0 && m <= 0xD9) || m == 0x01) {
            next = p + 2;
        } else if (m == 0x00) {
            next = p + 1;
        } else {
            if (p + 4 > n) return fail("jpeg: no scan data");
            unsigned L = be16(d + p + 2);
            if (L < 2) return fail("jpeg: bad segment length");
            next = p + 2 + L;
            if (next > n) return fail("jpeg: truncated segment");
            const uint8_t *pl = d + p + 4;
            size_t ln = L - 2;
            if (m == 0xC2) return fail("jpeg: progressive JPEG not supported");
            if (m >= 0xC9 && m <= 0xCF && m != 0xCC) return fail("jpeg: arithmetic-coded JPEG not supported");
            if (m == 0xC0) {
                if (ln <= 6) return fail("jpeg: bad SOF");
                if (pl[0] != 8) return fail("jpeg: only 8-bit samples supported");
                int y = (int)be16(pl + 1), x = (int)be16(pl + 3), c = pl[5];
                if (!(c == 1 || c == 3 || c == 4) || x == 0 || y == 0) return fail("jpeg: unsupported SOF");
                if ((long long)x * y > 200000000LL) return fail("jpeg: image too large");
                if (ln < 6 + 3 * (size_t)c) return fail("jpeg: bad SOF");
                for (int i = 0; i < c; i++) {
                    const uint8_t *e = pl + 6 + 3 * i;
                    if ((e[1] >> 4) == 0 || (e[1] & 15) == 0 || e[2] > 3) return fail("jpeg: bad component spec");
                    comps[i].id = e[0];
                    comps[i].h = e[1] >> 4;
                    comps[i].v = e[1] & 15;
                    comps[i].tq = e[2];
                }
                nf = c;
                X = x;
                Y = y;
            } else if (m == 0xDB) {
                size_t i = 0;
                while (i < ln) {
                    int t = pl[i];
                    if (t & 0x0C) return fail("jpeg: bad quant table id");
                    size_t size = (t >> 4) == 0 ? 65 : 129;
                    if (i + size > ln) return fail("jpeg: truncated DQT");
                    for (int k = 0; k < 64; k++) {
                        unsigned v = (t >> 4) == 0 ? pl[i + 1 + k] : be16(pl + i + 1 + 2 * k);
                        if (v < 1 || v > 255) return fail("jpeg: bad quant value");
                        qt[t & 15][ZIGZAG[k]] = (int32_t)v;
                    }
                    qdef[t & 15] = true;
                    i += size;
                }
            } else if (m == 0xC4) {
                size_t i = 0;
                while (i < ln) {
                    int t = pl[i];
                    if ((t & 0x0C) || (t >> 4) > 1) return fail("jpeg: bad DHT");
                    if (i + 17 > ln) return fail("jpeg: truncated DHT");
                    size_t total = 0;
                    for (int l = 0; l < 16; l++) total += pl[i + 1 + l];
                    if (i + 17 + total > ln) return fail("jpeg: truncated DHT");
                    RefJpegHuff *h = (t >> 4) == 0 ? &dct[t & 15] : &act[t & 15];
                    if (!ref_jpeg_huff_build(h, pl + i + 1, pl + i + 17)) return fail("jpeg: bad DHT");
                    ((t >> 4) == 0 ? dcdef : acdef)[t & 15] = true;
                    i += 17 + total;
                }
            } else if (m == 0xDD) {
                if (ln >= 2) ri = (int)be16(pl);
            } else if (m == 0xEE) {
                if (ln >= 12 && std::memcmp(pl, "Adobe", 5) == 0) {
                    adobe = pl[11];
                    adobe_seen = true;
                }
            } else if (m == 0xDA) {
                if (ln == 0) return fail("jpeg: bad SOS");
                size_t ns = pl[0];
                if (ns > 4) return fail("jpeg: bad SOS count");
                if (ns > 0 && nf == 0) return fail("jpeg: unknown SOS component");
                if (ln < 1 + 2 * ns) return fail("jpeg: bad SOS");
                bool named[4] = {};
                bool repeated = false;
                for (size_t i = 0; i < ns; i++) {
                    int sel = pl[1 + 2 * i], tb = pl[2 + 2 * i];
                    int k = 0;
                    while (k < nf && comps[k].id != sel) k++;
                    if (k == nf) return fail("jpeg: unknown SOS component");
                    Comp &c = comps[k];
                    c.td = tb >> 4;
                    c.ta = tb & 15;
                    if (!qdef[c.tq]) return fail("jpeg: missing quant table");
                    std::memcpy(c.qt, qt[c.tq], sizeof c.qt);
                    if (c.td > 3 || c.ta > 3 || !dcdef[c.td] || !acdef[c.ta]) return fail("jpeg: missing Huffman table");
                    c.dc = &dct[c.td];
                    c.ac = &act[c.ta];
                    if (named[k]) repeated = true;
                    named[k] = true;
                }
                if (nf == 0) return fail("jpeg: unknown SOS component");
                if (repeated) return fail("jpeg: multi-scan JPEG not supported");
                for (int k = 0; k < nf; k++)
                    if (!named[k]) return fail("jpeg: multi-scan JPEG not supported");
                scan = true;
            }
        }
        if (scan) break;
        if (next + 4 > n) return fail("jpeg: no scan data");
        p = next;
    }

    int hmax = 1, vmax = 1;
    for (int k = 0; k < nf; k++) {
        if (comps[k].h > hmax) hmax = comps[k].h;
        if (comps[k].v > vmax) vmax = comps[k].v;
    }
    int mcux = (X + 8 * hmax - 1) / (8 * hmax), mcuy = (Y + 8 * vmax - 1) / (8 * vmax);
    for (int k = 0; k < nf; k++) {
        Comp &c = comps[k];
        c.pw = mcux * c.h * 8;
        c.ph = mcuy * c.v * 8;
        c.plane.assign((size_t)c.pw * (size_t)c.ph, 0);
        c.pred = 0;
    }
    // A one-component scan is non-interleaved: one block per MCU, raster order.
    bool single = nf == 1;
    int rows = single ? (Y + 7) / 8 : mcuy, cols = single ? (X + 7) / 8 : mcux;
    RefJpegBits b = {d, n, next, 0, 0, 0};
    int countdown = ri;
    bool stopped = false;
    size_t stop_pos = 0;
    bool stop_pos_set = false;
    for (int my = 0; my < rows && !stopped; my++) {
        for (int mx = 0; mx < cols && !stopped; mx++) {
            bool restarts = countdown > 0;
            for (int k = 0; k < nf && !stopped; k++) {
                Comp &c = comps[k];
                int bh = single ? 1 : c.h, bv = single ? 1 : c.v;
                for (int by = 0; by < bv && !stopped; by++) {
                    for (int bx = 0; bx < bh; bx++) {
                        int32_t coef[64] = {};
                        int t = ref_jpeg_decode_symbol(&b, c.dc);
                        if (t == -1) {
                            stopped = true;
                            break;
                        }
                        if (t == -2) {  // marker in a DC code: the rest of the block row is skipped
                            b.state = 0;
                            break;
                        }
                        int32_t diff = t ? extend_value(&b, t) : 0;
                        c.pred = (int32_t)((uint32_t)c.pred + (uint32_t)diff);
                        coef[0] = c.pred;
                        bool err = false;
                        for (int kk = 1;;) {
                            int rs = ref_jpeg_decode_symbol(&b, c.ac);
                            if (rs == -1) {
                                err = true;
                                break;
                            }
                            if (rs == -2) {
                                b.state = 0;
                                break;
                            }
                            if (rs == 0) break;
                            int r = rs >> 4, s = rs & 15;
                            kk += r;
                            if (kk > 63) {
                                err = true;
                                break;
                            }
                            if (s == 0) {
                                if (r == 15) kk++;
                                continue;
                            }
                            coef[ZIGZAG[kk]] = extend_value(&b, s);
                            kk++;
                            if (kk == 64) break;
                        }
                        uint8_t px[64];
                        ref_jpeg_idct_block(coef, c.qt, px);
                        int col = (mx * bh + bx) * 8, row = (my * bv + by) * 8;
                        for (int y = 0; y < 8; y++)
                            for (int x = 0; x < 8; x++)
                                c.plane[(size_t)(row + y) * (size_t)c.pw + (size_t)(col + x)] = px[8 * y + x];
                        if (err) {
                            stopped = true;
                            break;
                        }
                    }
                }
            }
            if (stopped || !restarts) continue;
            if (--countdown == 0) {
                size_t q = b.pos;
                while (q + 1 < n && d[q] == 0xFF && d[q + 1] == 0xFF) q++;  // fill bytes
                if (q + 1 < n && d[q] == 0xFF && d[q + 1] >= 0xD0 && d[q + 1] <= 0xD7) {
                    b.pos = q + 2;
                    b.nbits = 0;
                    b.cur = 0;
                    for (int k = 0; k < nf; k++) comps[k].pred = 0;
                    countdown = ri;
                } else {
                    stopped = true;
                    stop_pos = q;
                    stop_pos_set = true;
                }
            }
        }
    }
    if (stopped) {
        size_t q = stop_pos_set ? stop_pos : b.pos;
        while (q + 1 < n && d[q] == 0xFF && d[q + 1] == 0xFF) q++;  // fill bytes
        if (!(q + 1 < n && d[q] == 0xFF && d[q + 1] == 0xD9)) return fail("jpeg: decode error in scan data");
    }

    rgba->assign((size_t)X * (size_t)Y * 4, 0);
    for (int y = 0; y < Y; y++)
        for (int x = 0; x < X; x++) {
            int s[4] = {};
            for (int k = 0; k < nf; k++) {
                const Comp &c = comps[k];
                long long col = (long long)x * c.h / hmax, row = (long long)y * c.v / vmax;
                if (col > c.pw - 1) col = c.pw - 1;
                if (row > c.ph - 1) row = c.ph - 1;
                s[k] = c.plane[(size_t)row * (size_t)c.pw + (size_t)col];
            }
            uint8_t *o = rgba->data() + 4 * ((size_t)y * (size_t)X + (size_t)x);
            uint8_t rgb[3];
            if (nf == 1) {
                o[0] = o[1] = o[2] = (uint8_t)s[0];
            } else if (adobe_seen && adobe == 0 && nf == 3) {
                o[0] = (uint8_t)s[0];
                o[1] = (uint8_t)s[1];
                o[2] = (uint8_t)s[2];
            } else if (adobe_seen && adobe == 0 && nf == 4) {
                for (int i = 0; i < 3; i++) o[i] = (uint8_t)(s[i] * s[3] / 255);
            } else if (adobe_seen && adobe == 2 && nf == 4) {
                ref_jpeg_ycc((uint8_t)s[0], (uint8_t)s[1], (uint8_t)s[2], rgb);
                for (int i = 0; i < 3; i++) o[i] = (uint8_t)((255 - rgb[i]) * s[3] / 255);
            } else {
                ref_jpeg_ycc((uint8_t)s[0], (uint8_t)s[1], (uint8_t)s[2], rgb);
                o[0] = rgb[0];
                o[1] = rgb[1];
                o[2] = rgb[2];
            }
            o[3] = 255;
        }
    *width = X;
    *height = Y;
    message->clear();
    return true;
}
