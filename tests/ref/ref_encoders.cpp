// ref_encoders.cpp: the reference encoders, one step after another with no shortcut:
// whole colour planes, a bit-at-a-time writer, a canonical code walk for every symbol,
// a zig-zag order derived by walking the diagonals, a bitwise CRC and a per-byte Adler-32.
// They share no code or table with the library, so a slip in either shows as a mismatch.
#include "ref_encoders.h"

#include <cmath>
#include <cstdlib>

namespace {

// ---- JPEG -------------------------------------------------------------------------------

const int LUMA_Q[64] = {
    16, 11, 10, 16, 24,  40,  51,  61,  12, 12, 14, 19, 26,  58,  60,  55,
    14, 13, 16, 24, 40,  57,  69,  56,  14, 17, 22, 29, 51,  87,  80,  62,
    18, 22, 37, 56, 68,  109, 103, 77,  24, 35, 55, 64, 81,  104, 113, 92,
    49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99,
};
const int CHROMA_Q[64] = {
    17, 18, 24, 47, 99, 99, 99, 99, 18, 21, 26, 66, 99, 99, 99, 99,
    24, 26, 56, 99, 99, 99, 99, 99, 47, 66, 99, 99, 99, 99, 99, 99,
    99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99,
    99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99,
};

const uint8_t LUMA_DC_COUNTS[16] = {0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0};
const uint8_t CHROMA_DC_COUNTS[16] = {0, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0};
const uint8_t DC_SYMS[12] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
const uint8_t LUMA_AC_COUNTS[16] = {0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 125};
const uint8_t LUMA_AC_SYMS[162] = {
    0x01, 0x02, 0x03, 0x00, 0x04, 0x11, 0x05, 0x12, 0x21, 0x31, 0x41, 0x06, 0x13, 0x51, 0x61, 0x07,
    0x22, 0x71, 0x14, 0x32, 0x81, 0x91, 0xa1, 0x08, 0x23, 0x42, 0xb1, 0xc1, 0x15, 0x52, 0xd1, 0xf0,
    0x24, 0x33, 0x62, 0x72, 0x82, 0x09, 0x0a, 0x16, 0x17, 0x18, 0x19, 0x1a, 0x25, 0x26, 0x27, 0x28,
    0x29, 0x2a, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49,
    0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5a, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x69,
    0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89,
    0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99, 0x9a, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7,
    0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4, 0xb5, 0xb6, 0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3, 0xc4, 0xc5,
    0xc6, 0xc7, 0xc8, 0xc9, 0xca, 0xd2, 0xd3, 0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe1, 0xe2,
    0xe3, 0xe4, 0xe5, 0xe6, 0xe7, 0xe8, 0xe9, 0xea, 0xf1, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8,
    0xf9, 0xfa,
};
const uint8_t CHROMA_AC_COUNTS[16] = {0, 2, 1, 2, 4, 4, 3, 4, 7, 5, 4, 4, 0, 1, 2, 119};
const uint8_t CHROMA_AC_SYMS[162] = {
    0x00, 0x01, 0x02, 0x03, 0x11, 0x04, 0x05, 0x21, 0x31, 0x06, 0x12, 0x41, 0x51, 0x07, 0x61, 0x71,
    0x13, 0x22, 0x32, 0x81, 0x08, 0x14, 0x42, 0x91, 0xa1, 0xb1, 0xc1, 0x09, 0x23, 0x33, 0x52, 0xf0,
    0x15, 0x62, 0x72, 0xd1, 0x0a, 0x16, 0x24, 0x34, 0xe1, 0x25, 0xf1, 0x17, 0x18, 0x19, 0x1a, 0x26,
    0x27, 0x28, 0x29, 0x2a, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48,
    0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5a, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68,
    0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a, 0x82, 0x83, 0x84, 0x85, 0x86, 0x87,
    0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99, 0x9a, 0xa2, 0xa3, 0xa4, 0xa5,
    0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4, 0xb5, 0xb6, 0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3,
    0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca, 0xd2, 0xd3, 0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda,
    0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7, 0xe8, 0xe9, 0xea, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8,
    0xf9, 0xfa,
};

struct RefHuff {
    const uint8_t *counts;
    const uint8_t *syms;
    int nsyms;
};

// Zig-zag order by walking the anti-diagonals, alternating direction.
void make_zigzag(int zz[64]) {
    int k = 0;
    for (int d = 0; d < 15; d++) {
        for (int i = 0; i <= d; i++) {
            int row = d % 2 == 0 ? d - i : i;  // even diagonals run up and to the right
            int col = d - row;
            if (row < 8 && col < 8) zz[k++] = row * 8 + col;
        }
    }
}

struct BitOut {
    std::vector<uint8_t> *out;
    uint64_t acc = 0;
    int nbits = 0;
};

void bw_bits(BitOut &w, int value, int n) {
    for (int i = n - 1; i >= 0; i--) {
        w.acc = w.acc * 2 + ((value >> i) & 1);
        w.nbits++;
        if (w.nbits == 8) {
            uint8_t byte = (uint8_t)(w.acc & 0xFF);
            w.out->push_back(byte);
            if (byte == 0xFF) w.out->push_back(0x00);
            w.acc = 0;
            w.nbits = 0;
        }
    }
}

void write_code(BitOut &w, const RefHuff &h, int symbol) {
    int code = 0, k = 0;
    for (int len = 1; len <= 16; len++) {
        for (int i = 0; i < h.counts[len - 1]; i++, k++) {
            if (h.syms[k] == symbol) {
                bw_bits(w, code, len);
                return;
            }
            code++;
        }
        code *= 2;
    }
    std::abort();  // every symbol 8-bit input can produce is in the tables
}

int size_of(int v) {
    int a = std::abs(v), s = 0;
    while ((1 << s) <= a) s++;
    return s;
}

void write_value(BitOut &w, int v, int s) {
    if (s > 0) bw_bits(w, v > 0 ? v : v + (1 << s) - 1, s);
}

void put16(std::vector<uint8_t> &o, int v) {
    o.push_back((uint8_t)(v >> 8));
    o.push_back((uint8_t)v);
}

// ---- PNG --------------------------------------------------------------------------------

uint32_t crc_bitwise(const uint8_t *p, size_t n) {
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; i++) {
        c ^= p[i];
        for (int k = 0; k < 8; k++) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
    }
    return ~c;
}

void put32(std::vector<uint8_t> &o, uint32_t v) {
    for (int sh = 24; sh >= 0; sh -= 8) o.push_back((uint8_t)(v >> sh));
}

void chunk(std::vector<uint8_t> &file, const char *type, const std::vector<uint8_t> &data) {
    put32(file, (uint32_t)data.size());
    std::vector<uint8_t> typed(type, type + 4);
    typed.insert(typed.end(), data.begin(), data.end());
    file.insert(file.end(), typed.begin(), typed.end());
    put32(file, crc_bitwise(typed.data(), typed.size()));
}

}  // namespace

std::vector<uint8_t> ref_jpeg_encode(int width, int height, const uint8_t *rgba) {
    int zz[64];
    make_zigzag(zz);
    size_t count = (size_t)width * height;
    std::vector<uint8_t> planes[3];
    for (auto &p : planes) p.resize(count);
    for (size_t i = 0; i < count; i++) {
        double r = rgba[4 * i], g = rgba[4 * i + 1], b = rgba[4 * i + 2];
        double v[3] = {
            (0.587 * g + 0.299 * r) + 0.114 * b + 0.5,
            ((-0.168736 * r) - 0.331264 * g) + 0.5 * b + 128,
            ((0.5 * r) - 0.418688 * g) - 0.081312 * b + 128,
        };
        for (int c = 0; c < 3; c++) {
            int t = (int)v[c];
            planes[c][i] = (uint8_t)(t < 0 ? 0 : t > 255 ? 255 : t);
        }
    }

    std::vector<uint8_t> o = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0x00,
                              0x01, 0x01, 0x01, 0x00, 0x30, 0x00, 0x30, 0x00, 0x00};
    const int *qt[2] = {LUMA_Q, CHROMA_Q};
    for (int t = 0; t < 2; t++) {
        o.insert(o.end(), {0xFF, 0xDB, 0x00, 0x43, (uint8_t)t});
        for (int k = 0; k < 64; k++) o.push_back((uint8_t)qt[t][zz[k]]);
    }
    o.insert(o.end(), {0xFF, 0xC0, 0x00, 0x11, 0x08});
    put16(o, height);
    put16(o, width);
    o.insert(o.end(), {0x03, 0x01, 0x11, 0x00, 0x02, 0x11, 0x01, 0x03, 0x11, 0x01});
    const RefHuff huff[4] = {{LUMA_DC_COUNTS, DC_SYMS, 12},
                             {LUMA_AC_COUNTS, LUMA_AC_SYMS, 162},
                             {CHROMA_DC_COUNTS, DC_SYMS, 12},
                             {CHROMA_AC_COUNTS, CHROMA_AC_SYMS, 162}};
    const uint8_t class_id[4] = {0x00, 0x10, 0x01, 0x11};
    for (int t = 0; t < 4; t++) {
        o.insert(o.end(), {0xFF, 0xC4});
        put16(o, huff[t].nsyms + 19);
        o.push_back(class_id[t]);
        o.insert(o.end(), huff[t].counts, huff[t].counts + 16);
        o.insert(o.end(), huff[t].syms, huff[t].syms + huff[t].nsyms);
    }
    o.insert(o.end(), {0xFF, 0xDA, 0x00, 0x0C, 0x03, 0x01, 0x00, 0x02, 0x11, 0x03, 0x11, 0x00, 0x3F, 0x00});

    double costab[8][8];
    for (int u = 0; u < 8; u++)
        for (int x = 0; x < 8; x++)
            costab[u][x] = (u == 0 ? 0.5 * 0.7071067811865476 : 0.5) *
                           std::cos((2 * x + 1) * u * 3.141592653589793 * 0.0625);

    BitOut w;
    w.out = &o;
    int pred[3] = {0, 0, 0};
    for (int by = 0; by < (height + 7) / 8; by++) {
        for (int bx = 0; bx < (width + 7) / 8; bx++) {
            for (int c = 0; c < 3; c++) {
                double s[8][8];
                for (int r = 0; r < 8; r++) {
                    for (int x = 0; x < 8; x++) {
                        int row = by * 8 + r < height - 1 ? by * 8 + r : height - 1;
                        int col = bx * 8 + x < width - 1 ? bx * 8 + x : width - 1;
                        s[r][x] = (double)(planes[c][(size_t)row * width + col] - 128);
                    }
                }
                double t[8][8], f[8][8];
                for (int y = 0; y < 8; y++) {
                    for (int u = 0; u < 8; u++) {
                        double sum = 0;
                        for (int x = 0; x < 8; x++) sum += s[y][x] * costab[u][x];
                        t[y][u] = sum;
                    }
                }
                for (int v = 0; v < 8; v++) {
                    for (int u = 0; u < 8; u++) {
                        double sum = 0;
                        for (int y = 0; y < 8; y++) sum += costab[v][y] * t[y][u];
                        f[v][u] = sum;
                    }
                }
                const int *q = c == 0 ? LUMA_Q : CHROMA_Q;
                int zq[64];
                for (int k = 0; k < 64; k++) {
                    int n = zz[k];
                    double fn = f[n / 8][n % 8];
                    zq[k] = (int)(fn / q[n] + (fn < 0 ? -0.5 : 0.5));
                }
                const RefHuff &dc = huff[c == 0 ? 0 : 2];
                const RefHuff &ac = huff[c == 0 ? 1 : 3];
                int diff = zq[0] - pred[c];
                pred[c] = zq[0];
                int s0 = size_of(diff);
                write_code(w, dc, s0);
                write_value(w, diff, s0);
                int last = 0;
                for (int k = 1; k < 64; k++) {
                    if (zq[k] == 0) continue;
                    int run = k - last - 1;
                    while (run > 15) {
                        write_code(w, ac, 0xF0);
                        run -= 16;
                    }
                    int sk = size_of(zq[k]);
                    write_code(w, ac, run * 16 + sk);
                    write_value(w, zq[k], sk);
                    last = k;
                }
                if (last < 63) write_code(w, ac, 0x00);
            }
        }
    }
    bw_bits(w, 0x7FF, 11);
    if (w.nbits > 0) {
        while (w.nbits < 8) {
            w.acc *= 2;
            w.nbits++;
        }
        o.push_back((uint8_t)w.acc);
    }
    o.insert(o.end(), {0xFF, 0xD9});
    return o;
}

std::vector<uint8_t> ref_png_encode(int width, int height, const uint8_t *rgba) {
    std::vector<uint8_t> filtered;
    for (int y = 0; y < height; y++) {
        filtered.push_back(0);
        const uint8_t *row = rgba + (size_t)y * width * 4;
        filtered.insert(filtered.end(), row, row + (size_t)width * 4);
    }
    uint32_t s1 = 1, s2 = 0;
    for (size_t j = 0; j < filtered.size(); j++) {
        s1 = (s1 + filtered[j]) % 65521;
        s2 = (s2 + s1) % 65521;
    }
    std::vector<uint8_t> z = {0x78, 0x01};
    size_t pos = 0;
    do {
        size_t n = filtered.size() - pos < 65535 ? filtered.size() - pos : 65535;
        z.push_back(pos + n == filtered.size() ? 1 : 0);
        z.push_back((uint8_t)n);
        z.push_back((uint8_t)(n >> 8));
        z.push_back((uint8_t)~n);
        z.push_back((uint8_t)(~n >> 8));
        z.insert(z.end(), filtered.begin() + (long)pos, filtered.begin() + (long)(pos + n));
        pos += n;
    } while (pos < filtered.size());
    put32(z, s2 << 16 | s1);

    std::vector<uint8_t> file = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
    std::vector<uint8_t> ihdr;
    put32(ihdr, (uint32_t)width);
    put32(ihdr, (uint32_t)height);
    ihdr.insert(ihdr.end(), {8, 6, 0, 0, 0});
    chunk(file, "IHDR", ihdr);
    chunk(file, "IDAT", z);
    chunk(file, "IEND", {});
    return file;
}
