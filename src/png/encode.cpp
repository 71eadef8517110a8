// encode.cpp: PNG encoder: RGBA pixels to an 8-bit truecolour-with-alpha PNG file.
//
// Two forms. Stored (kv_png_write, and kv_png_write_ex without KV_PNG_COMPRESS): every
// row gets filter type 0 and the filtered rows go into one IDAT chunk as a zlib stream of
// stored deflate blocks, framed by the library's one stored-block zlib encoder.
// Compressed: each row gets the filter type that suits it and the rows go through the
// deflate compressor one at a time, so only the compressed stream is held whole; it goes
// into as many IDAT chunks as its length needs.
// The file is assembled in memory, chunk by chunk, and handed to the safe whole-file
// write, so a failure at any step leaves no file and reports 0. At most two full copies
// of the image exist at once: each stage's source is freed once copied.
#include <cstdlib>
#include <cstring>

#include "bytes.h"
#include "checksum.h"
#include "file_io.h"
#include "folian.h"
#include "flate/flate.h"
#include "mem.h"
#include "png/filter.h"

namespace {

constexpr uint8_t PNG_SIGNATURE[8] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
constexpr uint64_t PNG_CHUNK_MAX = 0x7FFFFFFF;  // a chunk's length field tops out at 2^31 - 1
constexpr uint64_t STORED_BLOCK_MAX = 65535;
constexpr size_t IDAT_MAX = size_t(1) << 30;  // compressed data per IDAT chunk

// Appends one chunk (length, type, data, CRC of type and data) to the file buffer,
// growing it to the exact new length. On failure the buffer and length are unchanged and
// false comes back, so a file missing a chunk is never reported as written.
bool png_chunk(uint8_t **buf, uint64_t *len, const char *type, const uint8_t *data, uint32_t data_len) {
    uint64_t new_len = *len + data_len + 12;
    if (new_len > SIZE_MAX) return false;
    uint8_t *p = (uint8_t *)mem_realloc(*buf, (size_t)new_len);
    if (!p) return false;
    *buf = p;
    uint8_t *c = p + *len;
    store_be32(c, data_len);
    std::memcpy(c + 4, type, 4);
    if (data_len) std::memcpy(c + 8, data, data_len);
    uint32_t crc = crc32_update(0xFFFFFFFFu, c + 4, (size_t)data_len + 4);
    store_be32(c + 8 + data_len, ~crc);
    *len = new_len;
    return true;
}

// Every row as filter byte 0 and the row unchanged.
uint8_t *filter_rows(int width, int height, const uint8_t *pixels, uint64_t size) {
    uint8_t *f = (uint8_t *)mem_malloc((size_t)size);
    if (!f) return nullptr;
    size_t row = (size_t)width * 4;
    for (size_t y = 0; y < (size_t)height; y++) {
        uint8_t *dst = f + y * (row + 1);
        dst[0] = 0;
        std::memcpy(dst + 1, pixels + y * row, row);
    }
    return f;
}

// The signature and IHDR (8-bit RGBA, not interlaced) as a new file buffer, or null.
uint8_t *png_start(int width, int height, uint64_t *len) {
    uint8_t *file = (uint8_t *)mem_malloc(sizeof PNG_SIGNATURE);
    if (!file) return nullptr;
    std::memcpy(file, PNG_SIGNATURE, sizeof PNG_SIGNATURE);
    *len = sizeof PNG_SIGNATURE;
    uint8_t ihdr[13];
    store_be32(ihdr, (uint32_t)width);
    store_be32(ihdr + 4, (uint32_t)height);
    ihdr[8] = 8;   // bit depth
    ihdr[9] = 6;   // colour type: truecolour with alpha
    ihdr[10] = 0;  // compression: deflate
    ihdr[11] = 0;  // filter method 0
    ihdr[12] = 0;  // not interlaced
    if (!png_chunk(&file, len, "IHDR", ihdr, sizeof ihdr)) {
        std::free(file);
        return nullptr;
    }
    return file;
}

// Appends IEND, writes the file and frees the buffer.
bool png_finish(const char *path, uint8_t *file, uint64_t len) {
    bool ok = png_chunk(&file, &len, "IEND", nullptr, 0);
    ok = ok && file_write_whole(path, file, (size_t)len) == FILE_WRITE_OK;
    std::free(file);
    return ok;
}

int png_write_stored(const char *path, int width, int height, const unsigned char *pixels) {
    uint64_t size = (uint64_t)height * ((uint64_t)width * 4 + 1);
    uint64_t blocks = (size + STORED_BLOCK_MAX - 1) / STORED_BLOCK_MAX;
    if (size + 5 * blocks + 6 > PNG_CHUNK_MAX) return 0;  // the zlib stream must fit one IDAT

    uint8_t *filtered = filter_rows(width, height, pixels, size);
    if (!filtered) return 0;
    uint64_t zlib_len = 0;
    uint8_t *zlib = kv_deflate(filtered, size, &zlib_len);
    std::free(filtered);
    if (!zlib) return 0;

    uint64_t len = 0;
    uint8_t *file = png_start(width, height, &len);
    bool ok = file && png_chunk(&file, &len, "IDAT", zlib, (uint32_t)zlib_len);
    std::free(zlib);
    if (!ok) {
        std::free(file);
        return 0;
    }
    return png_finish(path, file, len) ? 1 : 0;
}

// The image data as one zlib stream, each row filtered with its best type.
uint8_t *compress_rows(int width, int height, const unsigned char *pixels, size_t *zlib_len) {
    const size_t row = (size_t)width * 4;
    uint8_t *line = (uint8_t *)mem_malloc(row + 1);
    Deflater *d = line ? deflate_new(DEFLATE_ZLIB) : nullptr;
    bool ok = d != nullptr;
    for (size_t y = 0; ok && y < (size_t)height; y++) {
        const uint8_t *cur = pixels + y * row;
        png_filter_row(cur, y ? cur - row : nullptr, row, 4, line);
        ok = deflate_write(d, line, row + 1);
    }
    uint8_t *zlib = ok && deflate_finish(d) ? deflate_take(d, zlib_len) : nullptr;
    deflate_free(d);
    std::free(line);
    return zlib;
}

int png_write_compressed(const char *path, int width, int height, const unsigned char *pixels) {
    if ((uint64_t)width * 4 + 1 > SIZE_MAX / 2) return 0;
    size_t zlib_len = 0;
    uint8_t *zlib = compress_rows(width, height, pixels, &zlib_len);
    if (!zlib) return 0;
    uint64_t len = 0;
    uint8_t *file = png_start(width, height, &len);
    bool ok = file != nullptr;
    for (size_t pos = 0; ok && pos < zlib_len; pos += IDAT_MAX) {
        const size_t n = zlib_len - pos < IDAT_MAX ? zlib_len - pos : IDAT_MAX;
        ok = png_chunk(&file, &len, "IDAT", zlib + pos, (uint32_t)n);
    }
    std::free(zlib);
    if (!ok) {
        std::free(file);
        return 0;
    }
    return png_finish(path, file, len) ? 1 : 0;
}

}  // namespace

extern "C" FOLIAN_API int kv_png_write(const char *path, int width, int height,
                                       const unsigned char *pixels) noexcept {
    if (height <= 0 || !pixels || width <= 0 || !path) return 0;
    return png_write_stored(path, width, height, pixels);
}

extern "C" FOLIAN_API int kv_png_write_ex(const char *path, int width, int height, const unsigned char *pixels,
                                          unsigned flags) noexcept {
    if (height <= 0 || !pixels || width <= 0 || !path) return 0;
    if (flags & KV_PNG_COMPRESS) return png_write_compressed(path, width, height, pixels);
    return png_write_stored(path, width, height, pixels);
}
