// ccitt.cpp: the CCITT fax decoder: Modified Huffman rows, one- and two-dimensional
// Group 3 rows after end-of-line codes, and Group 4 rows.
//
// A row is kept as its changing elements: the columns where the colour flips, white
// first, so that two-dimensional modes (pass, horizontal, vertical) read as arithmetic on
// the row above. Run-length codes are found by one look-up of the next 13 bits in tables
// built at compile time from the code lists below. Uncompressed-mode extensions are not
// supported and read as damaged data.
#include <array>
#include <cstdlib>
#include <cstring>

#include "mem.h"
#include "tiff/codecs.h"
#include "tiff/tiff.h"

namespace {

// ---- Run-length codes ------------------------------------------------------------------------
struct FaxCode {
    uint16_t code;
    uint8_t len;
    uint16_t run;
};

// White terminating codes (runs 0 to 63), then the white make-up codes (64 to 1728).
constexpr FaxCode WHITE_CODES[] = {
    {0b00110101, 8, 0}, {0b000111, 6, 1}, {0b0111, 4, 2}, {0b1000, 4, 3}, {0b1011, 4, 4}, {0b1100, 4, 5},
    {0b1110, 4, 6}, {0b1111, 4, 7}, {0b10011, 5, 8}, {0b10100, 5, 9}, {0b00111, 5, 10}, {0b01000, 5, 11},
    {0b001000, 6, 12}, {0b000011, 6, 13}, {0b110100, 6, 14}, {0b110101, 6, 15}, {0b101010, 6, 16},
    {0b101011, 6, 17}, {0b0100111, 7, 18}, {0b0001100, 7, 19}, {0b0001000, 7, 20}, {0b0010111, 7, 21},
    {0b0000011, 7, 22}, {0b0000100, 7, 23}, {0b0101000, 7, 24}, {0b0101011, 7, 25}, {0b0010011, 7, 26},
    {0b0100100, 7, 27}, {0b0011000, 7, 28}, {0b00000010, 8, 29}, {0b00000011, 8, 30}, {0b00011010, 8, 31},
    {0b00011011, 8, 32}, {0b00010010, 8, 33}, {0b00010011, 8, 34}, {0b00010100, 8, 35}, {0b00010101, 8, 36},
    {0b00010110, 8, 37}, {0b00010111, 8, 38}, {0b00101000, 8, 39}, {0b00101001, 8, 40}, {0b00101010, 8, 41},
    {0b00101011, 8, 42}, {0b00101100, 8, 43}, {0b00101101, 8, 44}, {0b00000100, 8, 45}, {0b00000101, 8, 46},
    {0b00001010, 8, 47}, {0b00001011, 8, 48}, {0b01010010, 8, 49}, {0b01010011, 8, 50}, {0b01010100, 8, 51},
    {0b01010101, 8, 52}, {0b00100100, 8, 53}, {0b00100101, 8, 54}, {0b01011000, 8, 55}, {0b01011001, 8, 56},
    {0b01011010, 8, 57}, {0b01011011, 8, 58}, {0b01001010, 8, 59}, {0b01001011, 8, 60}, {0b00110010, 8, 61},
    {0b00110011, 8, 62}, {0b00110100, 8, 63},
    {0b11011, 5, 64}, {0b10010, 5, 128}, {0b010111, 6, 192}, {0b0110111, 7, 256}, {0b00110110, 8, 320},
    {0b00110111, 8, 384}, {0b01100100, 8, 448}, {0b01100101, 8, 512}, {0b01101000, 8, 576},
    {0b01100111, 8, 640}, {0b011001100, 9, 704}, {0b011001101, 9, 768}, {0b011010010, 9, 832},
    {0b011010011, 9, 896}, {0b011010100, 9, 960}, {0b011010101, 9, 1024}, {0b011010110, 9, 1088},
    {0b011010111, 9, 1152}, {0b011011000, 9, 1216}, {0b011011001, 9, 1280}, {0b011011010, 9, 1344},
    {0b011011011, 9, 1408}, {0b010011000, 9, 1472}, {0b010011001, 9, 1536}, {0b010011010, 9, 1600},
    {0b011000, 6, 1664}, {0b010011011, 9, 1728},
};

// Black terminating codes (runs 0 to 63), then the black make-up codes (64 to 1728).
constexpr FaxCode BLACK_CODES[] = {
    {0b0000110111, 10, 0}, {0b010, 3, 1}, {0b11, 2, 2}, {0b10, 2, 3}, {0b011, 3, 4}, {0b0011, 4, 5},
    {0b0010, 4, 6}, {0b00011, 5, 7}, {0b000101, 6, 8}, {0b000100, 6, 9}, {0b0000100, 7, 10},
    {0b0000101, 7, 11}, {0b0000111, 7, 12}, {0b00000100, 8, 13}, {0b00000111, 8, 14},
    {0b000011000, 9, 15}, {0b0000010111, 10, 16}, {0b0000011000, 10, 17}, {0b0000001000, 10, 18},
    {0b00001100111, 11, 19}, {0b00001101000, 11, 20}, {0b00001101100, 11, 21}, {0b00000110111, 11, 22},
    {0b00000101000, 11, 23}, {0b00000010111, 11, 24}, {0b00000011000, 11, 25}, {0b000011001010, 12, 26},
    {0b000011001011, 12, 27}, {0b000011001100, 12, 28}, {0b000011001101, 12, 29}, {0b000001101000, 12, 30},
    {0b000001101001, 12, 31}, {0b000001101010, 12, 32}, {0b000001101011, 12, 33}, {0b000011010010, 12, 34},
    {0b000011010011, 12, 35}, {0b000011010100, 12, 36}, {0b000011010101, 12, 37}, {0b000011010110, 12, 38},
    {0b000011010111, 12, 39}, {0b000001101100, 12, 40}, {0b000001101101, 12, 41}, {0b000011011010, 12, 42},
    {0b000011011011, 12, 43}, {0b000001010100, 12, 44}, {0b000001010101, 12, 45}, {0b000001010110, 12, 46},
    {0b000001010111, 12, 47}, {0b000001100100, 12, 48}, {0b000001100101, 12, 49}, {0b000001010010, 12, 50},
    {0b000001010011, 12, 51}, {0b000000100100, 12, 52}, {0b000000110111, 12, 53}, {0b000000111000, 12, 54},
    {0b000000100111, 12, 55}, {0b000000101000, 12, 56}, {0b000001011000, 12, 57}, {0b000001011001, 12, 58},
    {0b000000101011, 12, 59}, {0b000000101100, 12, 60}, {0b000001011010, 12, 61}, {0b000001100110, 12, 62},
    {0b000001100111, 12, 63},
    {0b0000001111, 10, 64}, {0b000011001000, 12, 128}, {0b000011001001, 12, 192}, {0b000001011011, 12, 256},
    {0b000000110011, 12, 320}, {0b000000110100, 12, 384}, {0b000000110101, 12, 448},
    {0b0000001101100, 13, 512}, {0b0000001101101, 13, 576}, {0b0000001001010, 13, 640},
    {0b0000001001011, 13, 704}, {0b0000001001100, 13, 768}, {0b0000001001101, 13, 832},
    {0b0000001110010, 13, 896}, {0b0000001110011, 13, 960}, {0b0000001110100, 13, 1024},
    {0b0000001110101, 13, 1088}, {0b0000001110110, 13, 1152}, {0b0000001110111, 13, 1216},
    {0b0000001010010, 13, 1280}, {0b0000001010011, 13, 1344}, {0b0000001010100, 13, 1408},
    {0b0000001010101, 13, 1472}, {0b0000001011010, 13, 1536}, {0b0000001011011, 13, 1600},
    {0b0000001100100, 13, 1664}, {0b0000001100101, 13, 1728},
};

// Make-up codes shared by both colours (1792 to 2560), and the end-of-line code.
constexpr FaxCode COMMON_CODES[] = {
    {0b00000001000, 11, 1792}, {0b00000001100, 11, 1856}, {0b00000001101, 11, 1920},
    {0b000000010010, 12, 1984}, {0b000000010011, 12, 2048}, {0b000000010100, 12, 2112},
    {0b000000010101, 12, 2176}, {0b000000010110, 12, 2240}, {0b000000010111, 12, 2304},
    {0b000000011100, 12, 2368}, {0b000000011101, 12, 2432}, {0b000000011110, 12, 2496},
    {0b000000011111, 12, 2560},
};
constexpr uint32_t EOL_CODE = 1, EOL_LEN = 12;
constexpr uint16_t RUN_EOL = 4095;  // the table's mark for the end-of-line code

// A look-up table over the next PEEK bits: entry = run << 4 | code length; 0 = no code.
constexpr uint32_t PEEK = 13;
using RunTable = std::array<uint16_t, 1u << PEEK>;

constexpr void fill_code(RunTable &t, uint32_t code, uint32_t len, uint32_t run) {
    const uint32_t first = code << (PEEK - len), count = 1u << (PEEK - len);
    for (uint32_t i = 0; i < count; i++) t[first + i] = (uint16_t)(run << 4 | len);
}

template <size_t N>
constexpr RunTable build_runs(const FaxCode (&codes)[N]) {
    RunTable t{};
    for (const FaxCode &c : codes) fill_code(t, c.code, c.len, c.run);
    for (const FaxCode &c : COMMON_CODES) fill_code(t, c.code, c.len, c.run);
    fill_code(t, EOL_CODE, EOL_LEN, RUN_EOL);
    return t;
}

constexpr RunTable WHITE_RUNS = build_runs(WHITE_CODES);
constexpr RunTable BLACK_RUNS = build_runs(BLACK_CODES);

// ---- Two-dimensional mode codes -----------------------------------------------------------------
enum Mode : uint8_t { M_NONE, M_PASS, M_HORIZONTAL, M_V0, M_VR1, M_VR2, M_VR3, M_VL1, M_VL2, M_VL3, M_EXT };
struct ModeCode {
    uint8_t code, len;
    Mode mode;
};
constexpr ModeCode MODE_CODES[] = {
    {0b1, 1, M_V0},         {0b011, 3, M_VR1},      {0b000011, 6, M_VR2}, {0b0000011, 7, M_VR3},
    {0b010, 3, M_VL1},      {0b000010, 6, M_VL2},   {0b0000010, 7, M_VL3}, {0b001, 3, M_HORIZONTAL},
    {0b0001, 4, M_PASS},    {0b0000001, 7, M_EXT},
};
constexpr uint32_t MODE_PEEK = 7;
// Entry = mode << 4 | code length over the next MODE_PEEK bits; 0 = no code.
constexpr std::array<uint8_t, 1u << MODE_PEEK> build_modes() {
    std::array<uint8_t, 1u << MODE_PEEK> t{};
    for (const ModeCode &m : MODE_CODES) {
        const uint32_t first = (uint32_t)m.code << (MODE_PEEK - m.len), count = 1u << (MODE_PEEK - m.len);
        for (uint32_t i = 0; i < count; i++) t[first + i] = (uint8_t)(m.mode << 4 | m.len);
    }
    return t;
}
constexpr std::array<uint8_t, 1u << MODE_PEEK> MODES = build_modes();
constexpr int VERTICAL_OFFSET[] = {0, 0, 0, 0, 1, 2, 3, -1, -2, -3, 0};  // indexed by Mode

// ---- Bit reader ------------------------------------------------------------------------------
// Bits past the end of the input read as zeros; `pos` may run past `nbits`, which the
// decoder tests after each code. No code is all zeros, so zeros past the end never
// decode as a code: the decoder fails there rather than loop.
struct Bits {
    const uint8_t *p;
    uint64_t len, nbits, pos;
};

uint32_t peek(const Bits &b, uint32_t n) {
    uint64_t byte = b.pos >> 3;
    uint32_t v = 0;
    for (int k = 0; k < 4; k++, byte++) v = v << 8 | (byte < b.len ? b.p[byte] : 0);
    return (v << (b.pos & 7)) >> (32 - n);
}

bool over(const Bits &b) { return b.pos > b.nbits; }

// One run of the given colour: make-up codes, then a terminating code. -1 on a bad code
// or an end-of-line code in mid-row.
int64_t read_run(Bits &b, bool black) {
    const RunTable &t = black ? BLACK_RUNS : WHITE_RUNS;
    int64_t run = 0;
    for (;;) {
        const uint16_t e = t[peek(b, PEEK)];
        const uint32_t len = e & 15, r = e >> 4;
        if (len == 0 || r == RUN_EOL) return -1;
        b.pos += len;
        if (over(b)) return -1;
        run += r;
        if (r < 64) return run;
    }
}

// Skips an end-of-line code, with any fill zeros before it, when the next bits hold one.
// No run or mode code starts with 11 zeros, so these bits are unambiguous.
bool skip_eol(Bits &b) {
    if (peek(b, 11) != 0) return false;
    while (b.pos < b.nbits && peek(b, 1) == 0) b.pos++;
    if (b.pos >= b.nbits) return false;
    b.pos++;  // the 1 that ends the code
    return true;
}

// Changing elements of a row: the columns where the colour flips, white first; then four
// copies of the width, so a search for b1 and b2 always ends.
struct Row {
    uint32_t *c;
    uint32_t n;
};

void end_row(Row &r, uint32_t width) { r.c[r.n] = r.c[r.n + 1] = r.c[r.n + 2] = r.c[r.n + 3] = width; }

bool push(Row &r, uint64_t at, uint32_t width) {
    if (at > width) return false;
    if (at == width) return true;
    if (r.n >= width) return false;  // damaged data repeating a column; keeps room for the end marks
    r.c[r.n++] = (uint32_t)at;
    return true;
}

bool decode_1d(Bits &b, Row &cur, uint32_t width) {
    cur.n = 0;
    uint64_t a = 0;
    bool black = false;
    while (a < width) {
        const int64_t run = read_run(b, black);
        if (run < 0) return false;
        a += (uint64_t)run;
        if (!push(cur, a, width)) return false;
        black = !black;
    }
    end_row(cur, width);
    return true;
}

bool decode_2d(Bits &b, const Row &ref, Row &cur, uint32_t width) {
    cur.n = 0;
    int64_t a0 = -1;  // before the first column at the row's start
    uint32_t color = 0, ib = 0;
    while (a0 < (int64_t)width) {
        // b1: the first change on the row above right of a0 to the colour opposite a0's
        // (even indexes turn white to black); b2: the change after it.
        uint32_t i = ib > 0 ? ib - 1 : 0;
        while ((int64_t)ref.c[i] <= a0 || (i & 1) != color) {
            if (i >= ref.n + 2) return false;
            i++;
        }
        ib = i;
        const int64_t b1 = ref.c[i], b2 = ref.c[i + 1];
        const uint8_t e = MODES[peek(b, MODE_PEEK)];
        const Mode mode = (Mode)(e >> 4);
        if (e == 0 || mode == M_EXT) return false;
        b.pos += e & 15;
        if (over(b)) return false;
        const int64_t start = a0 < 0 ? 0 : a0;
        if (mode == M_PASS) {
            a0 = b2;
        } else if (mode == M_HORIZONTAL) {
            const int64_t r1 = read_run(b, color != 0), r2 = r1 < 0 ? -1 : read_run(b, color == 0);
            if (r2 < 0) return false;
            if (!push(cur, (uint64_t)(start + r1), width) || !push(cur, (uint64_t)(start + r1 + r2), width))
                return false;
            a0 = start + r1 + r2;
        } else {
            const int64_t a1 = b1 + VERTICAL_OFFSET[mode];
            if (a1 < start || !push(cur, (uint64_t)a1, width)) return false;
            a0 = a1;
            color ^= 1;
        }
    }
    end_row(cur, width);
    return true;
}

// Sets bits [from, to) of a zeroed row.
void set_bits(uint8_t *row, uint32_t from, uint32_t to) {
    for (; from < to && (from & 7); from++) row[from >> 3] |= (uint8_t)(0x80 >> (from & 7));
    for (; from + 8 <= to; from += 8) row[from >> 3] = 0xFF;
    for (; from < to; from++) row[from >> 3] |= (uint8_t)(0x80 >> (from & 7));
}

void render(const Row &r, uint32_t width, uint8_t *row) {
    std::memset(row, 0, ((size_t)width + 7) / 8);
    for (uint32_t k = 0; k < r.n; k += 2) set_bits(row, r.c[k], k + 1 < r.n ? r.c[k + 1] : width);
}

}  // namespace

const char *tiff_unpack_fax(const uint8_t *in, uint64_t in_len, const TiffFax &fax, uint8_t *out) {
    const uint32_t width = fax.width;
    if (width == 0 || in_len > UINT64_MAX / 8) return TIFF_ERR_CCITT;
    // A row has at most width changes; four end marks follow them.
    const size_t cap = (size_t)width + 4;
    uint32_t *buf = (uint32_t *)mem_malloc(2 * cap * sizeof(uint32_t));
    if (!buf) return TIFF_ERR_MEMORY;
    Row ref{buf, 0}, cur{buf + cap, 0};
    end_row(ref, width);  // an all-white row above the first
    Bits b{in, in_len, in_len * 8, 0};
    const size_t row_bytes = ((size_t)width + 7) / 8;
    const char *err = nullptr;
    for (uint32_t y = 0; y < fax.rows && !err; y++) {
        bool ok;
        if (fax.coding == FAX_MH_ROWS) {
            ok = decode_1d(b, cur, width);
            b.pos = (b.pos + 7) & ~(uint64_t)7;
        } else if (fax.coding == FAX_T6) {
            ok = decode_2d(b, ref, cur, width);
        } else {
            skip_eol(b);
            bool one_d = true;
            if (fax.two_d) {  // the tag bit: 1 for a one-dimensional row
                one_d = peek(b, 1) == 1;
                b.pos++;
            }
            ok = one_d ? decode_1d(b, cur, width) : decode_2d(b, ref, cur, width);
        }
        if (!ok || over(b)) {
            err = over(b) ? TIFF_ERR_TRUNCATED : TIFF_ERR_CCITT;
            break;
        }
        render(cur, width, out + (size_t)y * row_bytes);
        const Row t = ref;
        ref = cur;
        cur = t;
    }
    std::free(buf);
    return err;
}
