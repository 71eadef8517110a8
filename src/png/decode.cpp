// decode.cpp: PNG decoder, kv_png_decode.
//
// The file is read whole (file_read_whole), its chunks walked with every check in a
// fixed order, the IDAT data inflated in one inflate call into a buffer sized exactly
// from the header, and then each row is, in one pass while it is in cache: added to the
// Adler-32, unfiltered and expanded to RGBA. Supported: colour types 0, 2, 3, 4, 6 at
// every bit depth the PNG standard allows for them; Adam7 interlacing when the caller
// asks for it (PNG_DECODE_INTERLACED), the passes then going through a separate buffer.
//
// Why it is fast:
//  - No copy of PLTE or tRNS, no previous-row buffer, and no IDAT copy when the image
//    data is one chunk; several chunks are joined once into a buffer of their exact size.
//  - The inflated rows land in the result buffer itself, at its end; row y is unfiltered
//    and converted into the front of the same buffer, which never overtakes the rows not
//    yet read (shown at place_rows). For 8-bit RGBA the rows are unfiltered straight to
//    their final place, with the previous output row as the row above.
//  - The Paeth, Average and Sub filters of 3- and 4-byte pixels, and Up, use SSE2.
//
// Behaviour worth knowing:
//  - File sizes are 64-bit: a file is read whole or refused, never cut.
//  - A palette index at or past the PLTE entry count reads black (0, 0, 0), its alpha
//    following the tRNS rule like any index.
//  - A header whose bits per row overflow 32 bits (very wide images within the pixel
//    limit) fails with "png: image too large" when the sizes are computed.
//  - The zlib header may announce any window size PNG allows: the first byte needs
//    compression method 8 in its low four bits and a window code of 7 or less above them.
//  - Messages are constant texts rather than one static buffer, so the decoder keeps no
//    state and is re-entrant; a text stays valid for the life of the process.
//  - Few buffers: under memory exhaustion any of them may be the one that fails; the call
//    then fails with "png: out of memory" or "png: cannot read file".
#include <cstdlib>
#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif
#ifdef __linux__
#include <sys/mman.h>
#endif

#include "bytes.h"
#include "checksum.h"
#include "file_io.h"
#include "flate/flate.h"
#include "folian.h"
#include "mem.h"
#include "png/filter.h"
#include "png/png.h"

const char PNG_ERR_READ[] = "png: cannot read file";
const char PNG_ERR_SIGNATURE[] = "png: not a PNG file (bad signature)";
const char PNG_ERR_MISSING[] = "png: missing IHDR or IDAT";
const char PNG_ERR_TRUNCATED[] = "png: truncated chunk";
const char PNG_ERR_IHDR_LEN[] = "png: bad IHDR length";
const char PNG_ERR_TOO_LARGE[] = "png: image too large";
const char PNG_ERR_PLTE[] = "png: bad PLTE";
const char PNG_ERR_INTERLACED[] = "png: interlaced PNG not supported";
const char PNG_ERR_COLOR_TYPE[] = "png: unsupported color type";
const char PNG_ERR_NO_PLTE[] = "png: palette PNG without PLTE";
const char PNG_ERR_BIT_DEPTH[] = "png: unsupported bit depth";
const char PNG_ERR_PALETTE16[] = "png: 16-bit palette not supported";
const char PNG_ERR_ZLIB[] = "png: bad zlib header in IDAT";
const char PNG_ERR_INFLATE[] = "png: inflate failed (corrupt or truncated stream)";
const char PNG_ERR_ADLER[] = "png: adler-32 checksum mismatch";
const char PNG_ERR_MEMORY[] = "png: out of memory";

namespace {

// ---- Format constants ------------------------------------------------------------------
constexpr uint8_t SIGNATURE[8] = {137, 80, 78, 71, 13, 10, 26, 10};
constexpr uint32_t MAX_PLTE_LEN = 768;      // 256 entries of 3 bytes
constexpr uint64_t MAX_BITS_PER_ROW = 0x7FFFFFFF;  // it must fit a signed 32-bit value
constexpr size_t ROW_SLACK = 16;
enum ColorType { CT_GREY = 0, CT_RGB = 2, CT_PALETTE = 3, CT_GREY_ALPHA = 4, CT_RGBA = 6 };

const char EMPTY_MESSAGE[] = "";

}  // namespace

// ---- Chunk walk -----------------------------------------------------------------------------

const char *png_walk_chunks(const uint8_t *data, uint64_t len, PngChunks *ci) {
    if (len < 8 || std::memcmp(data, SIGNATURE, 8) != 0) return PNG_ERR_SIGNATURE;
    if (len < 16) return PNG_ERR_MISSING;
    uint64_t off = 8;
    for (;;) {
        const uint32_t L = load_be32(data + off);
        const uint8_t *type = data + off + 4;
        if (off + 8 + (uint64_t)L + 4 > len) return PNG_ERR_TRUNCATED;
        const uint8_t *d = data + off + 8;
        if (std::memcmp(type, "IHDR", 4) == 0) {
            if (L != 13) return PNG_ERR_IHDR_LEN;
            const int32_t w = (int32_t)load_be32(d), h = (int32_t)load_be32(d + 4);
            if (w <= 0 || h <= 0 || (uint64_t)w * (uint64_t)h > PNG_MAX_PIXELS) return PNG_ERR_TOO_LARGE;
            ci->width = w;
            ci->height = h;
            ci->depth = d[8];
            ci->color = d[9];
            ci->interlace = d[12];
        } else if (std::memcmp(type, "PLTE", 4) == 0) {
            if (L > MAX_PLTE_LEN || L % 3 != 0) return PNG_ERR_PLTE;
            ci->plte = d;
            ci->plte_len = L;
            ci->have_plte = true;
        } else if (std::memcmp(type, "tRNS", 4) == 0) {
            ci->trns = d;
            ci->trns_len = L;
            ci->have_trns = true;
        } else if (std::memcmp(type, "IDAT", 4) == 0) {
            if (!ci->have_idat) ci->first_idat = off;
            ci->have_idat = true;
            ci->idat_chunks++;
            ci->idat_total += L;
        } else if (std::memcmp(type, "IEND", 4) == 0) {
            ci->walk_end = off;
            return nullptr;
        }
        off += 8 + (uint64_t)L + 4;
        if (len - off < 8) {  // up to 7 stray bytes after the last chunk are ignored
            ci->walk_end = off;
            return nullptr;
        }
    }
}

void png_join_idat(const uint8_t *data, const PngChunks &ci, uint8_t *dst) {
    for (uint64_t off = ci.first_idat; off < ci.walk_end;) {
        const uint32_t L = load_be32(data + off);
        if (std::memcmp(data + off + 4, "IDAT", 4) == 0) {
            if (L) std::memcpy(dst, data + off + 8, L);
            dst += L;
        }
        off += 8 + (uint64_t)L + 4;
    }
}

bool png_data_plain(const PngChunks &ci, const PngDecodeFacts &facts, const uint8_t *idat) {
    const unsigned d = ci.depth;
    const bool low_or_8 = d == 1 || d == 2 || d == 4 || d == 8;
    const bool layout = (ci.color == CT_GREY && low_or_8) || (ci.color == CT_RGB && d == 8) ||
                        (ci.color == CT_PALETTE && low_or_8);
    if (!layout || ci.interlace != 0 || facts.max_filter > 4 || ci.idat_total < 6) return false;
    // The decoder reads past a preset-dictionary flag and wrong check bits; other readers do not.
    const unsigned header = (unsigned)idat[0] << 8 | idat[1];
    if (header % 31 != 0 || (idat[1] & 0x20)) return false;
    // Bytes between the deflate data and the Adler-32 are skipped here, but not by zlib;
    // nor are the incomplete codes the inflater takes.
    return facts.zlib_codes && facts.deflate_end + 4 == ci.idat_total;
}

namespace {

// ---- Reversing the filters ---------------------------------------------------------------
// Every routine reconstructs n bytes from `in` into `out` with `prev` as the row above
// (null for the first row, where b and c are 0). `out` may equal `in`, or lie before it
// in the same buffer: each byte (or 16-byte block) of `in` is read before the bytes of
// `out` at the same index are written, so a forward pass never reads what it wrote.

inline uint8_t paeth(int a, int b, int c) { return png_paeth(a, b, c); }

void unfilter_none(uint8_t *out, const uint8_t *in, size_t n) {
    if (out != in) std::memmove(out, in, n);
}

void unfilter_up(uint8_t *out, const uint8_t *in, const uint8_t *prev, size_t n) {
    size_t k = 0;
#ifdef __SSE2__
    for (; k + 16 <= n; k += 16) {
        const __m128i x = _mm_loadu_si128((const __m128i *)(in + k));
        const __m128i b = _mm_loadu_si128((const __m128i *)(prev + k));
        _mm_storeu_si128((__m128i *)(out + k), _mm_add_epi8(x, b));
    }
#endif
    for (; k < n; k++) out[k] = (uint8_t)(in[k] + prev[k]);
}

template <unsigned BPP>
void unfilter_sub(uint8_t *out, const uint8_t *in, size_t n) {
    size_t k = 0;
    for (; k < BPP && k < n; k++) out[k] = in[k];
    for (; k < n; k++) out[k] = (uint8_t)(in[k] + out[k - BPP]);
}

template <unsigned BPP>
void unfilter_avg(uint8_t *out, const uint8_t *in, const uint8_t *prev, size_t n) {
    size_t k = 0;
    if (!prev) {
        for (; k < BPP && k < n; k++) out[k] = in[k];
        for (; k < n; k++) out[k] = (uint8_t)(in[k] + (out[k - BPP] >> 1));
        return;
    }
    for (; k < BPP && k < n; k++) out[k] = (uint8_t)(in[k] + (prev[k] >> 1));
    for (; k < n; k++) out[k] = (uint8_t)(in[k] + ((out[k - BPP] + prev[k]) >> 1));
}

template <unsigned BPP>
void unfilter_paeth(uint8_t *out, const uint8_t *in, const uint8_t *prev, size_t n) {
    size_t k = 0;
    for (; k < BPP && k < n; k++) out[k] = (uint8_t)(in[k] + prev[k]);  // a = c = 0: b
    for (; k < n; k++) out[k] = (uint8_t)(in[k] + paeth(out[k - BPP], prev[k], prev[k - BPP]));
}

#ifdef __SSE2__
// 3- and 4-byte pixels, one pixel per step in the low lanes of a vector; the pixel to the
// left is carried in a register. A 3-byte pixel is moved with 3-byte copies so that
// nothing past the row is touched.
template <unsigned BPP>
inline __m128i load_px(const uint8_t *p) {
    uint32_t v = 0;
    std::memcpy(&v, p, BPP);
    return _mm_cvtsi32_si128((int)v);
}
template <unsigned BPP>
inline void store_px(uint8_t *p, __m128i v) {
    const uint32_t x = (uint32_t)_mm_cvtsi128_si32(v);
    std::memcpy(p, &x, BPP);
}

template <unsigned BPP>
void unfilter_sub_sse2(uint8_t *out, const uint8_t *in, size_t n) {
    __m128i a = _mm_setzero_si128();
    for (size_t k = 0; k < n; k += BPP) {
        a = _mm_add_epi8(a, load_px<BPP>(in + k));
        store_px<BPP>(out + k, a);
    }
}

// Average: floor((a + b) / 2) is the rounding-up average less the low bit of a ^ b.
template <unsigned BPP>
void unfilter_avg_sse2(uint8_t *out, const uint8_t *in, const uint8_t *prev, size_t n) {
    const __m128i one = _mm_set1_epi8(1);
    __m128i a = _mm_setzero_si128();
    for (size_t k = 0; k < n; k += BPP) {
        const __m128i b = load_px<BPP>(prev + k);
        const __m128i avg = _mm_sub_epi8(_mm_avg_epu8(a, b), _mm_and_si128(_mm_xor_si128(a, b), one));
        a = _mm_add_epi8(load_px<BPP>(in + k), avg);
        store_px<BPP>(out + k, a);
    }
}

inline __m128i paeth_predict(__m128i a, __m128i b, __m128i c) { return png_paeth_epi16(a, b, c); }

template <unsigned BPP>
void unfilter_paeth_sse2(uint8_t *out, const uint8_t *in, const uint8_t *prev, size_t n) {
    const __m128i zero = _mm_setzero_si128();
    __m128i a = zero, c = zero;
    for (size_t k = 0; k < n; k += BPP) {
        const __m128i b = _mm_unpacklo_epi8(load_px<BPP>(prev + k), zero);
        const __m128i x = _mm_unpacklo_epi8(load_px<BPP>(in + k), zero);
        const __m128i pred = paeth_predict(a, b, c);
        a = _mm_add_epi8(x, pred);  // lanes hold 0-255: the byte add wraps modulo 256, high bytes stay 0
        store_px<BPP>(out + k, _mm_packus_epi16(a, a));
        c = b;
    }
}

// 8-bit RGB unfiltered straight to RGBA. The row above is the RGBA output row above
// (its red, green and blue are the unfiltered bytes), so no row buffer and no separate
// conversion pass are needed. Pixels move as 4-byte lanes: the fourth lane carries the
// next byte of the row (junk, never mixed into the others) and is set to 255 on store.
// Reads one byte past the row in `in` (the buffer has slack there); writes exactly 4w
// bytes to `out`, pixel k only after pixel k of `in` has been read.
void unfilter_rgb8_to_rgba(unsigned filter, uint8_t *out, const uint8_t *in, const uint8_t *prev, uint32_t w) {
    const __m128i alpha = _mm_cvtsi32_si128((int)0xFF000000u);
    const __m128i zero = _mm_setzero_si128();
    if (!prev) {
        if (filter == 2) filter = 0;
        if (filter == 4) filter = 1;
    }
    switch (filter) {
    case 1: {
        __m128i a = zero;
        for (uint32_t k = 0; k < w; k++) {
            a = _mm_add_epi8(a, load_px<4>(in + 3 * (size_t)k));
            store_px<4>(out + 4 * (size_t)k, _mm_or_si128(a, alpha));
        }
        return;
    }
    case 2:
        for (uint32_t k = 0; k < w; k++) {
            const __m128i v = _mm_add_epi8(load_px<4>(in + 3 * (size_t)k), load_px<4>(prev + 4 * (size_t)k));
            store_px<4>(out + 4 * (size_t)k, _mm_or_si128(v, alpha));
        }
        return;
    case 3: {
        const __m128i one = _mm_set1_epi8(1);
        __m128i a = zero;
        for (uint32_t k = 0; k < w; k++) {
            const __m128i b = prev ? load_px<4>(prev + 4 * (size_t)k) : zero;
            const __m128i avg = _mm_sub_epi8(_mm_avg_epu8(a, b), _mm_and_si128(_mm_xor_si128(a, b), one));
            a = _mm_add_epi8(load_px<4>(in + 3 * (size_t)k), avg);
            store_px<4>(out + 4 * (size_t)k, _mm_or_si128(a, alpha));
        }
        return;
    }
    case 4: {
        __m128i a = zero, c = zero;
        for (uint32_t k = 0; k < w; k++) {
            const __m128i b = _mm_unpacklo_epi8(load_px<4>(prev + 4 * (size_t)k), zero);
            const __m128i x = _mm_unpacklo_epi8(load_px<4>(in + 3 * (size_t)k), zero);
            const __m128i pred = paeth_predict(a, b, c);
            a = _mm_add_epi8(x, pred);
            store_px<4>(out + 4 * (size_t)k, _mm_or_si128(_mm_packus_epi16(a, a), alpha));
            c = b;
        }
        return;
    }
    default:
        for (uint32_t k = 0; k < w; k++)
            store_px<4>(out + 4 * (size_t)k, _mm_or_si128(load_px<4>(in + 3 * (size_t)k), alpha));
        return;
    }
}
#endif

template <unsigned BPP>
void unfilter_row_bpp(unsigned filter, uint8_t *out, const uint8_t *in, const uint8_t *prev, size_t n) {
    if (!prev) {  // first row: b = c = 0, so Up is None and Paeth is Sub
        if (filter == 2) filter = 0;
        if (filter == 4) filter = 1;
    }
    switch (filter) {
    case 1:
#ifdef __SSE2__
        if constexpr (BPP == 3 || BPP == 4) return unfilter_sub_sse2<BPP>(out, in, n);
#endif
        return unfilter_sub<BPP>(out, in, n);
    case 2:
        return unfilter_up(out, in, prev, n);
    case 3:
#ifdef __SSE2__
        if constexpr (BPP == 3 || BPP == 4)
            if (prev) return unfilter_avg_sse2<BPP>(out, in, prev, n);
#endif
        return unfilter_avg<BPP>(out, in, prev, n);
    case 4:
#ifdef __SSE2__
        if constexpr (BPP == 3 || BPP == 4) return unfilter_paeth_sse2<BPP>(out, in, prev, n);
#endif
        return unfilter_paeth<BPP>(out, in, prev, n);
    default:  // 0, and unknown types: the row stays as stored
        return unfilter_none(out, in, n);
    }
}

using UnfilterFn = void (*)(unsigned, uint8_t *, const uint8_t *, const uint8_t *, size_t);

UnfilterFn unfilter_for(unsigned bpp) {
    switch (bpp) {
    case 1: return unfilter_row_bpp<1>;
    case 2: return unfilter_row_bpp<2>;
    case 3: return unfilter_row_bpp<3>;
    case 4: return unfilter_row_bpp<4>;
    case 6: return unfilter_row_bpp<6>;
    default: return unfilter_row_bpp<8>;
    }
}

// ---- Conversion to RGBA --------------------------------------------------------------------
// Each routine turns one unfiltered row of `w` pixels into w RGBA pixels. `lut` holds the
// RGBA value of every sample for palette images and grey images of depth 8 or less.
using ConvertFn = void (*)(uint8_t *dst, const uint8_t *src, uint32_t w, const uint32_t *lut);

inline void put_px(uint8_t *d, uint32_t v) { std::memcpy(d, &v, 4); }
inline void put_rgba(uint8_t *d, uint8_t r, uint8_t g, uint8_t b, uint8_t a) {
    d[0] = r;
    d[1] = g;
    d[2] = b;
    d[3] = a;
}

void convert_lut8(uint8_t *dst, const uint8_t *src, uint32_t w, const uint32_t *lut) {
    for (uint32_t k = 0; k < w; k++) put_px(dst + 4 * (size_t)k, lut[src[k]]);
}

// Depths 1, 2, 4: pixel k sits in byte k / (8 / depth), the leftmost pixel in the most
// significant bits.
template <unsigned DEPTH>
void convert_lut_low(uint8_t *dst, const uint8_t *src, uint32_t w, const uint32_t *lut) {
    constexpr unsigned PER_BYTE = 8 / DEPTH;
    constexpr unsigned MASK = (1u << DEPTH) - 1;
    uint32_t k = 0;
    for (; k + PER_BYTE <= w; k += PER_BYTE) {
        const unsigned byte = src[k / PER_BYTE];
        for (unsigned i = 0; i < PER_BYTE; i++) put_px(dst + 4 * (size_t)(k + i), lut[(byte >> (8 - DEPTH - i * DEPTH)) & MASK]);
    }
    if (k < w) {
        const unsigned byte = src[k / PER_BYTE];
        for (unsigned i = 0; k < w; i++, k++) put_px(dst + 4 * (size_t)k, lut[(byte >> (8 - DEPTH - i * DEPTH)) & MASK]);
    }
}

void convert_grey16(uint8_t *dst, const uint8_t *src, uint32_t w, const uint32_t *) {
    for (uint32_t k = 0; k < w; k++, dst += 4, src += 2) put_rgba(dst, src[0], src[0], src[0], 255);
}

void convert_rgb8(uint8_t *dst, const uint8_t *src, uint32_t w, const uint32_t *) {
    for (uint32_t k = 0; k < w; k++, dst += 4, src += 3) put_rgba(dst, src[0], src[1], src[2], 255);
}

void convert_rgb16(uint8_t *dst, const uint8_t *src, uint32_t w, const uint32_t *) {
    for (uint32_t k = 0; k < w; k++, dst += 4, src += 6) put_rgba(dst, src[0], src[2], src[4], 255);
}

void convert_grey_alpha8(uint8_t *dst, const uint8_t *src, uint32_t w, const uint32_t *) {
    for (uint32_t k = 0; k < w; k++, dst += 4, src += 2) put_rgba(dst, src[0], src[0], src[0], src[1]);
}

void convert_grey_alpha16(uint8_t *dst, const uint8_t *src, uint32_t w, const uint32_t *) {
    for (uint32_t k = 0; k < w; k++, dst += 4, src += 4) put_rgba(dst, src[0], src[0], src[0], src[2]);
}

void convert_rgba16(uint8_t *dst, const uint8_t *src, uint32_t w, const uint32_t *) {
    for (uint32_t k = 0; k < w; k++, dst += 4, src += 8) put_rgba(dst, src[0], src[2], src[4], src[6]);
}

uint32_t pack_rgba(uint8_t r, uint8_t g, uint8_t b, uint8_t a) {
    const uint8_t px[4] = {r, g, b, a};
    uint32_t v;
    std::memcpy(&v, px, 4);
    return v;
}

// The sample-to-RGBA table of palette images and of grey images of depth 8 or less.
void build_lut(const PngChunks &ci, uint32_t *lut) {
    if (ci.color == CT_PALETTE) {
        const uint32_t entries = ci.plte_len / 3;
        for (uint32_t i = 0; i < 256; i++) {
            const uint8_t a = (ci.have_trns && i < ci.trns_len) ? ci.trns[i] : 255;
            if (i < entries)
                lut[i] = pack_rgba(ci.plte[3 * i], ci.plte[3 * i + 1], ci.plte[3 * i + 2], a);
            else
                lut[i] = pack_rgba(0, 0, 0, a);  // no colour defined: black
        }
        return;
    }
    const uint32_t maxval = (1u << ci.depth) - 1;
    const bool keyed = ci.have_trns && ci.trns_len >= 2;
    const uint32_t key = keyed ? load_be16(ci.trns) : 0;
    for (uint32_t s = 0; s <= maxval; s++) {
        const uint8_t v = (uint8_t)(s * 255 / maxval);
        lut[s] = pack_rgba(v, v, v, (keyed && s == key) ? 0 : 255);
    }
}

// ---- Decoding ------------------------------------------------------------------------------
struct Layout {
    unsigned channels, bpp;
    uint64_t row_len, stride, raw_size, out_size;
};

unsigned channels_of(unsigned color) {
    switch (color) {
    case CT_RGB: return 3;
    case CT_GREY_ALPHA: return 2;
    case CT_RGBA: return 4;
    default: return 1;
    }
}

ConvertFn converter_for(const PngChunks &ci) {
    switch (ci.color) {
    case CT_GREY:
        if (ci.depth == 16) return convert_grey16;
        [[fallthrough]];
    case CT_PALETTE:
        switch (ci.depth) {
        case 1: return convert_lut_low<1>;
        case 2: return convert_lut_low<2>;
        case 4: return convert_lut_low<4>;
        default: return convert_lut8;
        }
    case CT_RGB: return ci.depth == 8 ? convert_rgb8 : convert_rgb16;
    case CT_GREY_ALPHA: return ci.depth == 8 ? convert_grey_alpha8 : convert_grey_alpha16;
    default: return ci.depth == 8 ? nullptr : convert_rgba16;  // 8-bit RGBA needs none
    }
}

// The header checks after the walk, in a fixed order (the first failing one names the fault).
const char *check_header(const PngChunks &ci, unsigned flags) {
    if (ci.width == 0 || !ci.have_idat) return PNG_ERR_MISSING;
    if (ci.interlace != 0 && !(ci.interlace == 1 && (flags & PNG_DECODE_INTERLACED))) return PNG_ERR_INTERLACED;
    const unsigned ct = ci.color, d = ci.depth;
    if (ct != CT_GREY && ct != CT_RGB && ct != CT_PALETTE && ct != CT_GREY_ALPHA && ct != CT_RGBA)
        return PNG_ERR_COLOR_TYPE;
    if (ct == CT_PALETTE && !ci.have_plte) return PNG_ERR_NO_PLTE;
    if ((d != 1 && d != 2 && d != 4 && d != 8 && d != 16) ||
        (d < 8 && (ct == CT_RGB || ct == CT_GREY_ALPHA || ct == CT_RGBA)))
        return PNG_ERR_BIT_DEPTH;
    if (ct == CT_PALETTE && d == 16) return PNG_ERR_PALETTE16;
    return nullptr;
}

// A large buffer is written once from end to end (inflate fills its tail, the rows fill
// its front). Asking for transparent huge pages there, where the system leaves them to
// madvise, saves most of the page faults of first touch (one per 2 MiB instead of one
// per 4 KiB). Only a hint: any failure is ignored and changes nothing else.
void advise_huge_pages(void *p, size_t n) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr size_t HUGE_PAGE = 2u << 20;
    if (n < 2 * HUGE_PAGE) return;
    const uintptr_t begin = ((uintptr_t)p + HUGE_PAGE - 1) & ~(uintptr_t)(HUGE_PAGE - 1);
    const uintptr_t end = ((uintptr_t)p + n) & ~(uintptr_t)(HUGE_PAGE - 1);
    if (end > begin) madvise((void *)begin, end - begin, MADV_HUGEPAGE);
#else
    (void)p;
    (void)n;
#endif
}

struct Buffers {
    uint8_t *result = nullptr;
    uint8_t *raw_separate = nullptr;
    uint8_t *idat_joined = nullptr;
    uint8_t *rows = nullptr;
    ~Buffers() {
        std::free(result);
        std::free(raw_separate);
        std::free(idat_joined);
        std::free(rows);
    }
};

// The image data: one chunk is used where it lies, several are joined. Checks the zlib
// header: compression method 8 in the low four bits, a window code of 7 or less.
const char *image_data(const uint8_t *data, const PngChunks &ci, Buffers &buf, const uint8_t **idat) {
    if (ci.idat_chunks == 1) {
        *idat = data + ci.first_idat + 8;
    } else {
        if (ci.idat_total > SIZE_MAX) return PNG_ERR_MEMORY;
        buf.idat_joined = (uint8_t *)mem_malloc((size_t)ci.idat_total);
        if (!buf.idat_joined) return PNG_ERR_MEMORY;
        png_join_idat(data, ci, buf.idat_joined);
        *idat = buf.idat_joined;
    }
    const uint8_t *d = *idat;
    if (ci.idat_total <= 5 || (d[0] & 0x0F) != 8 || (d[0] >> 4) > 7) return PNG_ERR_ZLIB;
    return nullptr;
}

// ---- Adam7 ----------------------------------------------------------------------------------
// Pass p holds the pixels (x, y) with x = X0[p] + k DX[p] and y = Y0[p] + j DY[p], stored
// as a small image of its own (rows filtered independently, the first row of each pass
// with no row above); passes with no pixel store nothing, not even a filter byte.
constexpr uint8_t ADAM7_X0[7] = {0, 4, 0, 2, 0, 1, 0}, ADAM7_DX[7] = {8, 8, 4, 4, 2, 2, 1};
constexpr uint8_t ADAM7_Y0[7] = {0, 0, 4, 0, 2, 0, 1}, ADAM7_DY[7] = {8, 8, 8, 4, 4, 2, 2};

uint32_t adam7_count(uint32_t size, unsigned start, unsigned step) {
    return size > start ? (size - start + step - 1) / step : 0;
}

const char *decode_interlaced(const PngChunks &ci, const uint8_t *idat, uint64_t idat_len, Buffers &buf) {
    const uint32_t w = (uint32_t)ci.width, h = (uint32_t)ci.height;
    const unsigned channels = channels_of(ci.color), bpp = (channels * ci.depth + 7) / 8;
    uint32_t pw[7], ph[7];
    uint64_t row_len[7], raw_size = 0, widest = 0;
    for (int p = 0; p < 7; p++) {
        pw[p] = adam7_count(w, ADAM7_X0[p], ADAM7_DX[p]);
        ph[p] = adam7_count(h, ADAM7_Y0[p], ADAM7_DY[p]);
        row_len[p] = ((uint64_t)pw[p] * channels * ci.depth + 7) / 8;
        if (pw[p] && ph[p]) raw_size += (uint64_t)ph[p] * (row_len[p] + 1);
        if (row_len[p] > widest) widest = row_len[p];
    }
    // Whole-image bits per row bound every pass's: the same limit as without interlacing.
    if ((uint64_t)w * channels * ci.depth > MAX_BITS_PER_ROW) return PNG_ERR_TOO_LARGE;
    const uint64_t out_size = (uint64_t)w * h * 4;
    if (out_size > SIZE_MAX - ROW_SLACK) return PNG_ERR_TOO_LARGE;
    buf.result = (uint8_t *)mem_malloc((size_t)out_size + ROW_SLACK);
    buf.raw_separate = (uint8_t *)mem_malloc((size_t)raw_size);
    // Two unfiltered rows and one converted row of the widest pass, with slack for the
    // row routines that load a few bytes past a row's end.
    buf.rows = (uint8_t *)mem_malloc(2 * (size_t)widest + 4 * (size_t)w + 3 * ROW_SLACK);
    if (!buf.result || !buf.raw_separate || !buf.rows) return PNG_ERR_MEMORY;
    uint8_t *raw = buf.raw_separate;
    const int32_t got = flate_inflate(idat + 2, (size_t)(idat_len - 6), raw, (size_t)raw_size);
    if (got < 0 || (uint64_t)got != raw_size) return PNG_ERR_INFLATE;
    if (adler32_update(1, raw, (size_t)raw_size) != load_be32(idat + idat_len - 4)) return PNG_ERR_ADLER;

    uint32_t lut[256];
    if (ci.color == CT_PALETTE || (ci.color == CT_GREY && ci.depth <= 8)) build_lut(ci, lut);
    const ConvertFn convert = converter_for(ci);
    const UnfilterFn unfilter = unfilter_for(bpp);
    uint8_t *cur = buf.rows, *prev = buf.rows + widest + ROW_SLACK;
    uint8_t *line = prev + widest + ROW_SLACK;  // one pass row as RGBA
    for (int p = 0; p < 7; p++) {
        if (!pw[p] || !ph[p]) continue;
        const size_t n = (size_t)row_len[p];
        for (uint32_t j = 0; j < ph[p]; j++, raw += n + 1) {
            unfilter(raw[0], cur, raw + 1, j ? prev : nullptr, n);
            const uint8_t *rgba = cur;  // 8-bit RGBA rows need no conversion
            if (convert) {
                convert(line, cur, pw[p], lut);
                rgba = line;
            }
            uint8_t *dst = buf.result + ((size_t)(ADAM7_Y0[p] + (size_t)j * ADAM7_DY[p]) * w + ADAM7_X0[p]) * 4;
            for (uint32_t k = 0; k < pw[p]; k++, dst += 4 * (size_t)ADAM7_DX[p]) std::memcpy(dst, rgba + 4 * (size_t)k, 4);
            uint8_t *t = cur;
            cur = prev;
            prev = t;
        }
    }
    return nullptr;
}

const char *decode(const uint8_t *data, uint64_t len, unsigned flags, int *width, int *height, uint8_t **pixels,
                   PngDecodeFacts *facts) {
    PngChunks ci;
    if (const char *err = png_walk_chunks(data, len, &ci)) return err;
    if (const char *err = check_header(ci, flags)) return err;
    if (ci.interlace == 1) {
        Buffers buf;
        const uint8_t *idat;
        if (const char *err = image_data(data, ci, buf, &idat)) return err;
        if (const char *err = decode_interlaced(ci, idat, ci.idat_total, buf)) return err;
        *pixels = buf.result;
        buf.result = nullptr;
        *width = ci.width;
        *height = ci.height;
        return nullptr;
    }

    // Sizes. Bits per row must fit a signed 32-bit value: refuse headers that would overflow it.
    const uint32_t w = (uint32_t)ci.width, h = (uint32_t)ci.height;
    Layout lay;
    lay.channels = channels_of(ci.color);
    const uint64_t bits_per_row = (uint64_t)w * lay.channels * ci.depth;
    if (bits_per_row > MAX_BITS_PER_ROW) return PNG_ERR_TOO_LARGE;
    lay.row_len = (bits_per_row + 7) / 8;
    lay.stride = lay.row_len + 1;
    lay.raw_size = (uint64_t)h * lay.stride;  // < 2^31: see the pixel limit
    lay.out_size = (uint64_t)w * h * 4;
    lay.bpp = (lay.channels * ci.depth + 7) / 8;

    // place_rows: the raw rows go at the end of the result buffer when they fit in it (all
    // depths up to 8, and grey or grey+alpha at 16), the buffer being enlarged to the raw
    // size if that is larger (by at most one byte per row). Output row y covers
    // [4wy, 4w(y+1)); raw row y + 1 starts at off + (y+1) * stride with
    // off = alloc - raw_size. If stride <= 4w then off = h * (4w - stride) and
    // (y+1) * (4w - stride) <= off; else off = 0 and stride > 4w. Either way writing
    // output row y never reaches a raw row not yet read. 16-bit RGB and RGBA rows are
    // twice the output: they get a buffer of their own, unfiltered in place.
    Buffers buf;
    const bool separate = lay.raw_size > lay.out_size + h;
    const uint64_t alloc = separate ? lay.out_size : (lay.raw_size > lay.out_size ? lay.raw_size : lay.out_size);
    // ROW_SLACK bytes after the rows let row routines load a few bytes past a row's end.
    if (alloc > SIZE_MAX - ROW_SLACK) return PNG_ERR_TOO_LARGE;
    buf.result = (uint8_t *)mem_malloc((size_t)alloc + ROW_SLACK);
    if (!buf.result) return PNG_ERR_MEMORY;
    advise_huge_pages(buf.result, (size_t)alloc);
    uint8_t *raw;
    if (separate) {
        buf.raw_separate = (uint8_t *)mem_malloc((size_t)lay.raw_size);
        if (!buf.raw_separate) return PNG_ERR_MEMORY;
        raw = buf.raw_separate;
    } else {
        raw = buf.result + (alloc - lay.raw_size);
    }

    const uint8_t *idat;
    if (const char *err = image_data(data, ci, buf, &idat)) return err;
    const uint64_t idat_len = ci.idat_total;
    InflateFacts inflated;
    const int32_t got = flate_inflate_ex(idat + 2, (size_t)(idat_len - 6), raw, (size_t)lay.raw_size, &inflated);
    if (got < 0 || (uint64_t)got != lay.raw_size) return PNG_ERR_INFLATE;
    const uint32_t expected_adler = load_be32(idat + idat_len - 4);

    uint32_t lut[256];
    if (ci.color == CT_PALETTE || (ci.color == CT_GREY && ci.depth <= 8)) build_lut(ci, lut);
    const ConvertFn convert = converter_for(ci);
    const UnfilterFn unfilter = unfilter_for(lay.bpp);
    const size_t row_len = (size_t)lay.row_len, stride = (size_t)lay.stride, out_row = (size_t)w * 4;

    // Row by row, while the row is in cache: checksum, unfilter, convert.
    uint32_t adler = 1;
    uint8_t max_filter = 0;
    uint8_t *const out = buf.result;
    if (!convert) {
        // 8-bit RGBA: unfiltered straight into place, the output row above as the row above.
        for (size_t y = 0; y < h; y++) {
            const uint8_t *row = raw + y * stride;
            adler = adler32_update(adler, row, stride);
            max_filter = row[0] > max_filter ? row[0] : max_filter;
            uint8_t *dst = out + y * out_row;
            unfilter(row[0], dst, row + 1, y ? dst - out_row : nullptr, row_len);
        }
#ifdef __SSE2__
    } else if (ci.color == CT_RGB && ci.depth == 8) {
        // 8-bit RGB: unfiltered and converted in one step, the output row above as the
        // row above. Output pixel k of row y ends at 4wy + 4k + 4, and the raw bytes not
        // yet read start at off + y(3w+1) + 3k + 4 with off = h(w - 1): never overtaken.
        for (size_t y = 0; y < h; y++) {
            const uint8_t *row = raw + y * stride;
            adler = adler32_update(adler, row, stride);
            max_filter = row[0] > max_filter ? row[0] : max_filter;
            uint8_t *dst = out + y * out_row;
            unfilter_rgb8_to_rgba(row[0], dst, row + 1, y ? dst - out_row : nullptr, w);
        }
#endif
    } else if (separate) {
        // Unfiltered in place in the raw buffer, then converted.
        for (size_t y = 0; y < h; y++) {
            uint8_t *row = raw + y * stride;
            adler = adler32_update(adler, row, stride);
            max_filter = row[0] > max_filter ? row[0] : max_filter;
            unfilter(row[0], row + 1, row + 1, y ? row + 1 - stride : nullptr, row_len);
            convert(out + y * out_row, row + 1, w, lut);
        }
    } else {
        // Unfiltered into two alternating row buffers, then converted into place.
        buf.rows = (uint8_t *)mem_malloc(2 * row_len);
        if (!buf.rows) return PNG_ERR_MEMORY;
        uint8_t *cur = buf.rows, *prev = buf.rows + row_len;
        for (size_t y = 0; y < h; y++) {
            const uint8_t *row = raw + y * stride;
            adler = adler32_update(adler, row, stride);
            max_filter = row[0] > max_filter ? row[0] : max_filter;
            unfilter(row[0], cur, row + 1, y ? prev : nullptr, row_len);
            convert(out + y * out_row, cur, w, lut);
            uint8_t *t = cur;
            cur = prev;
            prev = t;
        }
    }
    if (adler != expected_adler) return PNG_ERR_ADLER;
    if (facts) {
        facts->max_filter = max_filter;
        facts->deflate_end = 2 + (uint64_t)inflated.consumed;
        facts->zlib_codes = inflated.zlib_codes;
    }

    *pixels = buf.result;
    buf.result = nullptr;
    *width = ci.width;
    *height = ci.height;
    return nullptr;
}

}  // namespace

uint8_t *png_decode_memory(const uint8_t *data, uint64_t len, int *width, int *height, const char **message,
                           unsigned flags, PngDecodeFacts *facts) {
    *width = 0;
    *height = 0;
    uint8_t *pixels = nullptr;
    int w = 0, h = 0;
    const char *err = data ? decode(data, len, flags, &w, &h, &pixels, facts) : PNG_ERR_SIGNATURE;
    if (err) {
        *message = err;
        return nullptr;
    }
    *width = w;
    *height = h;
    *message = EMPTY_MESSAGE;
    return pixels;
}

namespace {

unsigned char *decode_file(const char *path, unsigned flags, int *width, int *height, const char **message) {
    int dummy_w, dummy_h;
    const char *dummy_msg;
    if (!width) width = &dummy_w;
    if (!height) height = &dummy_h;
    if (!message) message = &dummy_msg;
    *width = 0;
    *height = 0;
    uint8_t *data;
    uint64_t len;
    // Any failure to open, size, allocate for or read the file is "cannot read file"; an
    // empty file is read (1 byte allocated) and fails its signature check.
    if (file_read_whole(path, UINT64_MAX, &data, &len) != FILE_READ_OK) {
        *message = PNG_ERR_READ;
        return nullptr;
    }
    uint8_t *pixels = png_decode_memory(data, len, width, height, message, flags);
    std::free(data);
    return pixels;
}

}  // namespace

extern "C" FOLIAN_API unsigned char *kv_png_decode(const char *path, int *width, int *height,
                                                   const char **message) noexcept {
    return decode_file(path, 0, width, height, message);
}

extern "C" FOLIAN_API unsigned char *kv_png_decode_ex(const char *path, unsigned flags, int *width, int *height,
                                                      const char **message) noexcept {
    return decode_file(path, flags & KV_PNG_INTERLACED ? PNG_DECODE_INTERLACED : 0, width, height, message);
}

extern "C" FOLIAN_API unsigned char *kv_png_decode_memory(const unsigned char *data, size_t len, unsigned flags,
                                                          int *width, int *height, const char **message) noexcept {
    int dummy_w, dummy_h;
    const char *dummy_msg;
    return png_decode_memory(data, len, width ? width : &dummy_w, height ? height : &dummy_h,
                             message ? message : &dummy_msg, flags & KV_PNG_INTERLACED ? PNG_DECODE_INTERLACED : 0);
}

bool png_header_size(const uint8_t *d, uint64_t n, uint64_t *w, uint64_t *h) {
    if (n < 24 || std::memcmp(d, SIGNATURE, 8) != 0 || std::memcmp(d + 12, "IHDR", 4) != 0) return false;
    *w = load_be32(d + 16);
    *h = load_be32(d + 20);
    return true;
}
