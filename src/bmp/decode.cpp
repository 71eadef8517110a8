// decode.cpp: BMP decoder: Windows 3.x (40-byte), V2/V3 (52/56), V4 (108) and V5 (124)
// headers and OS/2 1.x (12-byte); 1, 4 and 8-bit palette images, 16 and 32-bit with colour
// masks, 24-bit, RLE8 and RLE4; rows bottom-up or top-down.
//
// Everything the header says is checked against the file before the output is allocated.
// Alpha comes only from a mask that names it (V3 and later headers, or the 40-byte header
// with alpha masks); a 32-bit image without one has an unused fourth byte. A mask whose
// alpha is zero in every pixel is taken as unused too: such files (written by programs
// that leave the byte clear) would otherwise become wholly invisible pages.
// Pixels an RLE image skips (deltas, short rows) take palette entry 0, as other readers
// give them. Not supported, each with its message: OS/2 2.x headers, embedded JPEG or PNG
// data, Huffman and 2-bit images.
#include <cstdlib>
#include <cstring>

#include "bmp/bmp.h"
#include "bytes.h"
#include "mem.h"

const char BMP_ERR_SIGNATURE[] = "bmp: not a BMP file (bad signature)";
const char BMP_ERR_TRUNCATED[] = "bmp: truncated file";
const char BMP_ERR_HEADER[] = "bmp: unsupported header size";
const char BMP_ERR_TOO_LARGE[] = "bmp: image too large";
const char BMP_ERR_SIZE[] = "bmp: bad image size";
const char BMP_ERR_BIT_DEPTH[] = "bmp: unsupported bit depth";
const char BMP_ERR_COMPRESSION[] = "bmp: unsupported compression";
const char BMP_ERR_EMBEDDED[] = "bmp: embedded JPEG or PNG data not supported";
const char BMP_ERR_MASKS[] = "bmp: bad colour masks";
const char BMP_ERR_TOP_DOWN_RLE[] = "bmp: top-down RLE image";
const char BMP_ERR_MEMORY[] = "bmp: out of memory";

namespace {

// ---- Format constants ------------------------------------------------------------------
constexpr uint64_t MAX_PIXELS = 104857600;  // the limit on width * height, as for PNG
constexpr uint32_t FILE_HEADER = 14;
constexpr uint32_t OS2_HEADER = 12;
enum Compression { RGB = 0, RLE8 = 1, RLE4 = 2, BITFIELDS = 3, JPEG = 4, PNG = 5, ALPHABITFIELDS = 6 };
const char EMPTY[] = "";

// One colour channel of a 16 or 32-bit pixel: (pixel >> shift) & max, scaled to 0..255.
struct Channel {
    int shift;
    uint32_t max;  // 0 for a channel the image lacks
};

struct Header {
    int width, height;
    bool top_down;
    int bpp;
    uint32_t compression;
    Channel ch[4];  // R, G, B, A
    const uint8_t *palette;
    int entries, entry_size;
    uint64_t offset;  // the pixel data
};

// Stored rows are padded to whole 32-bit words.
uint64_t row_stride(const Header &h) { return ((uint64_t)h.width * (uint64_t)h.bpp + 31) / 32 * 4; }

// A mask as a channel: its bits must be one run within the pixel.
bool channel_of(uint32_t mask, int bpp, Channel *c) {
    *c = Channel{0, 0};
    if (!mask) return true;
    if (bpp < 32 && (mask >> bpp)) return false;
    c->shift = low_bit(mask);
    c->max = mask >> c->shift;
    return (c->max & (c->max + 1)) == 0;
}

const char *read_masks(const uint32_t masks[4], Header *h) {
    for (int i = 0; i < 4; i++)
        if (!channel_of(masks[i], h->bpp, &h->ch[i])) return BMP_ERR_MASKS;
    if (!masks[0] || !masks[1] || !masks[2]) return BMP_ERR_MASKS;
    for (int i = 0; i < 4; i++)
        for (int j = i + 1; j < 4; j++)
            if (masks[i] & masks[j]) return BMP_ERR_MASKS;
    return EMPTY;
}

// Which depths each compression takes.
bool depth_fits(uint32_t compression, int bpp) {
    switch (compression) {
        case RGB: return bpp == 1 || bpp == 4 || bpp == 8 || bpp == 16 || bpp == 24 || bpp == 32;
        case RLE8: return bpp == 8;
        case RLE4: return bpp == 4;
        case BITFIELDS:
        case ALPHABITFIELDS: return bpp == 16 || bpp == 32;
        default: return false;
    }
}

const char *read_header(const uint8_t *d, uint64_t len, Header *h) {
    if (len < 2 || d[0] != 'B' || d[1] != 'M') return BMP_ERR_SIGNATURE;
    if (len < FILE_HEADER + 4) return BMP_ERR_TRUNCATED;
    *h = Header{};
    h->offset = load_le32(d + 10);
    const uint32_t size = load_le32(d + 14);
    const bool os2 = size == OS2_HEADER;
    if (!os2 && size != 40 && size != 52 && size != 56 && size != 108 && size != 124) return BMP_ERR_HEADER;
    if (len < FILE_HEADER + size) return BMP_ERR_TRUNCATED;
    const uint8_t *p = d + FILE_HEADER;
    int64_t height;
    uint32_t colours_used = 0;
    if (os2) {
        h->width = (int)load_le16(p + 4);
        height = load_le16(p + 6);
        h->bpp = (int)load_le16(p + 10);
    } else {
        h->width = (int32_t)load_le32(p + 4);
        height = (int32_t)load_le32(p + 8);
        h->bpp = (int)load_le16(p + 14);
        h->compression = load_le32(p + 16);
        colours_used = load_le32(p + 32);
    }
    h->top_down = height < 0;
    if (height < 0) height = -height;
    if (h->width <= 0 || height == 0) return BMP_ERR_SIZE;
    if ((uint64_t)h->width * (uint64_t)height > MAX_PIXELS) return BMP_ERR_TOO_LARGE;
    h->height = (int)height;
    if (h->compression == JPEG || h->compression == PNG) return BMP_ERR_EMBEDDED;
    if (h->compression > ALPHABITFIELDS) return BMP_ERR_COMPRESSION;
    if (!depth_fits(h->compression, h->bpp)) return BMP_ERR_BIT_DEPTH;
    if (h->top_down && (h->compression == RLE8 || h->compression == RLE4)) return BMP_ERR_TOP_DOWN_RLE;

    // Masks: in the header from V2 on, else after a 40-byte header when it says BITFIELDS.
    uint64_t after = FILE_HEADER + size;
    uint32_t masks[4] = {0, 0, 0, 0};
    const bool masked = h->compression == BITFIELDS || h->compression == ALPHABITFIELDS;
    if (masked) {
        const int count = size > 40 ? (size >= 56 ? 4 : 3) : (h->compression == ALPHABITFIELDS ? 4 : 3);
        const uint8_t *m = size > 40 ? p + 40 : d + after;
        if (size == 40) {
            if (len - after < (uint64_t)count * 4) return BMP_ERR_TRUNCATED;
            after += (uint64_t)count * 4;
        }
        for (int i = 0; i < count; i++) masks[i] = load_le32(m + 4 * i);
    } else if (h->bpp == 16) {
        masks[0] = 0x7C00, masks[1] = 0x03E0, masks[2] = 0x001F;
    } else if (h->bpp == 32) {
        masks[0] = 0xFF0000, masks[1] = 0xFF00, masks[2] = 0xFF;
    }
    if (h->bpp == 16 || h->bpp == 32) {
        const char *msg = read_masks(masks, h);
        if (msg[0]) return msg;
    }
    if (h->bpp <= 8) {
        h->entry_size = os2 ? 3 : 4;
        int entries = 1 << h->bpp;
        if (!os2 && colours_used && colours_used < (uint32_t)entries) entries = (int)colours_used;
        // OS/2 files may hold fewer entries than the depth allows; the data's offset says.
        if (os2 && h->offset >= after && (h->offset - after) / 3 < (uint64_t)entries)
            entries = (int)((h->offset - after) / 3);
        if (len - after < (uint64_t)entries * (uint64_t)h->entry_size) return BMP_ERR_TRUNCATED;
        h->palette = d + after;
        h->entries = entries;
    }
    if (h->offset > len) return BMP_ERR_TRUNCATED;
    // Uncompressed data is checked whole before anything is allocated. The last row's
    // padding may be missing; its pixels may not.
    if (h->compression != RLE8 && h->compression != RLE4 &&
        len - h->offset < row_stride(*h) * (uint64_t)(h->height - 1) + ((uint64_t)h->width * h->bpp + 7) / 8)
        return BMP_ERR_TRUNCATED;
    return EMPTY;
}

// ---- Pixels ----------------------------------------------------------------------------

void put_index(const Header &h, uint32_t index, uint8_t *px) {
    if ((int)index < h.entries) {
        const uint8_t *e = h.palette + (size_t)index * (size_t)h.entry_size;
        px[0] = e[2], px[1] = e[1], px[2] = e[0];
    } else {
        px[0] = px[1] = px[2] = 0;  // past the palette: black, as the PNG decoder reads it
    }
    px[3] = 255;
}

uint8_t channel_value(const Channel &c, uint32_t pixel) {
    return (uint8_t)((uint64_t)((pixel >> c.shift) & c.max) * 255 / c.max);
}

void decode_row(const Header &h, const uint8_t *src, uint8_t *out) {
    const int w = h.width;
    if (h.bpp <= 8) {
        const int per_byte = 8 / h.bpp, mask = (1 << h.bpp) - 1;
        for (int x = 0; x < w; x++) {
            const int shift = 8 - h.bpp * (x % per_byte + 1);
            put_index(h, (uint32_t)(src[x / per_byte] >> shift) & (uint32_t)mask, out + 4 * x);
        }
    } else if (h.bpp == 24) {
        for (int x = 0; x < w; x++, src += 3, out += 4) out[0] = src[2], out[1] = src[1], out[2] = src[0], out[3] = 255;
    } else {
        for (int x = 0; x < w; x++, out += 4) {
            const uint32_t pixel = h.bpp == 16 ? load_le16(src + 2 * x) : load_le32(src + 4 * x);
            for (int c = 0; c < 3; c++) out[c] = channel_value(h.ch[c], pixel);
            out[3] = h.ch[3].max ? channel_value(h.ch[3], pixel) : 255;
        }
    }
}

void decode_plain(const uint8_t *d, const Header &h, uint8_t *out) {
    const uint64_t stride = row_stride(h);
    for (int y = 0; y < h.height; y++) {
        const int stored = h.top_down ? y : h.height - 1 - y;
        decode_row(h, d + h.offset + stride * (uint64_t)stored, out + (size_t)y * (size_t)h.width * 4);
    }
}

// RLE8 and RLE4 into palette indexes (rows bottom-up), every pixel first index 0.
const char *decode_rle(const uint8_t *d, uint64_t len, const Header &h, uint8_t *index) {
    const bool four = h.compression == RLE4;
    const uint64_t w = (uint64_t)h.width, rows = (uint64_t)h.height;
    uint64_t pos = h.offset, x = 0, y = 0;
    auto set = [&](uint32_t v) {
        if (x < w && y < rows) index[(rows - 1 - y) * w + x] = (uint8_t)v;
        if (x <= w) x++;
    };
    bool ended = false;
    while (!ended && y < rows && len - pos >= 2) {
        const uint8_t n = d[pos], v = d[pos + 1];
        pos += 2;
        if (n) {
            for (int i = 0; i < n; i++) set(four ? (i & 1 ? v & 15 : v >> 4) : v);
        } else if (v == 0) {
            x = 0, y++;
        } else if (v == 1) {
            ended = true;
        } else if (v == 2) {
            if (len - pos < 2) return BMP_ERR_TRUNCATED;
            x += d[pos], y += d[pos + 1];
            if (x > w) x = w;
            pos += 2;
        } else {
            const uint64_t bytes = four ? (v + 1u) / 2 : v;
            if (len - pos < bytes) return BMP_ERR_TRUNCATED;
            for (int i = 0; i < v; i++) set(four ? (i & 1 ? d[pos + i / 2] & 15 : d[pos + i / 2] >> 4) : d[pos + i]);
            pos += bytes + (bytes & 1);
            if (pos > len) pos = len;
        }
    }
    // Data that stops before its last pixel, without saying the picture ends, is cut short.
    if (!ended && y < rows && !(y == rows - 1 && x >= w)) return BMP_ERR_TRUNCATED;
    return EMPTY;
}

// A mask that leaves every pixel's alpha at zero is not used for alpha (see the top).
void drop_unused_alpha(uint8_t *px, uint64_t pixels) {
    for (uint64_t i = 0; i < pixels; i++)
        if (px[4 * i + 3]) return;
    for (uint64_t i = 0; i < pixels; i++) px[4 * i + 3] = 255;
}

}  // namespace

uint8_t *bmp_decode_memory(const uint8_t *data, uint64_t len, int *width, int *height, const char **message) {
    *width = *height = 0;
    Header h;
    const char *msg = read_header(data, len, &h);
    if (msg[0]) {
        *message = msg;
        return nullptr;
    }
    const uint64_t pixels = (uint64_t)h.width * (uint64_t)h.height;
    uint8_t *out = (uint8_t *)mem_malloc((size_t)pixels * 4);
    if (!out) {
        *message = BMP_ERR_MEMORY;
        return nullptr;
    }
    if (h.compression == RLE8 || h.compression == RLE4) {
        uint8_t *index = (uint8_t *)mem_calloc((size_t)pixels, 1);
        msg = index ? decode_rle(data, len, h, index) : BMP_ERR_MEMORY;
        if (!msg[0])
            for (uint64_t i = 0; i < pixels; i++) put_index(h, index[i], out + 4 * i);
        std::free(index);
    } else {
        decode_plain(data, h, out);
        if (h.ch[3].max) drop_unused_alpha(out, pixels);
    }
    if (msg[0]) {
        std::free(out);
        *message = msg;
        return nullptr;
    }
    *width = h.width;
    *height = h.height;
    *message = EMPTY;
    return out;
}

// Windows headers hold signed 32-bit sizes (a negative height is a top-down image), OS/2
// 1.x ones unsigned 16-bit sizes.
bool bmp_header_size(const uint8_t *data, uint64_t len, uint64_t *width, uint64_t *height) {
    if (len < 26) return false;
    const uint8_t *p = data + FILE_HEADER;
    if (load_le32(data + 14) == OS2_HEADER) {
        *width = load_le16(p + 4);
        *height = load_le16(p + 6);
        return true;
    }
    const int32_t w = (int32_t)load_le32(p + 4), h = (int32_t)load_le32(p + 8);
    *width = w < 0 ? 0 : (uint64_t)w;
    *height = h < 0 ? (uint64_t)(-(int64_t)h) : (uint64_t)h;
    return true;
}
