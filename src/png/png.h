// png.h: internal interface of the PNG decoder (not installed).
#ifndef FOLIAN_PNG_H
#define FOLIAN_PNG_H

#include <cstdint>

// Decodes a whole PNG file held in memory to 8-bit RGBA. Same contract as kv_png_decode
// after its file read: returns a malloc'd buffer of width*height*4 bytes (possibly with
// unused bytes after them) and sets *width, *height and *message = ""; on failure returns
// null with *width = *height = 0 and *message one of the texts of the table below. The
// input is only read. Re-entrant: the messages are constants. `flags` widens what is
// accepted: PNG_DECODE_INTERLACED lets Adam7 files through.
constexpr unsigned PNG_DECODE_INTERLACED = 0x01u;
uint8_t *png_decode_memory(const uint8_t *data, uint64_t len, int *width, int *height, const char **message,
                           unsigned flags = 0);

// The failure texts.
extern const char PNG_ERR_READ[];        // "png: cannot read file"
extern const char PNG_ERR_SIGNATURE[];   // "png: not a PNG file (bad signature)"
extern const char PNG_ERR_MISSING[];     // "png: missing IHDR or IDAT"
extern const char PNG_ERR_TRUNCATED[];   // "png: truncated chunk"
extern const char PNG_ERR_IHDR_LEN[];    // "png: bad IHDR length"
extern const char PNG_ERR_TOO_LARGE[];   // "png: image too large"
extern const char PNG_ERR_PLTE[];        // "png: bad PLTE"
extern const char PNG_ERR_INTERLACED[];  // "png: interlaced PNG not supported"
extern const char PNG_ERR_COLOR_TYPE[];  // "png: unsupported color type"
extern const char PNG_ERR_NO_PLTE[];     // "png: palette PNG without PLTE"
extern const char PNG_ERR_BIT_DEPTH[];   // "png: unsupported bit depth"
extern const char PNG_ERR_PALETTE16[];   // "png: 16-bit palette not supported"
extern const char PNG_ERR_ZLIB[];        // "png: bad zlib header in IDAT"
extern const char PNG_ERR_INFLATE[];     // "png: inflate failed (corrupt or truncated stream)"
extern const char PNG_ERR_ADLER[];       // "png: adler-32 checksum mismatch"
extern const char PNG_ERR_MEMORY[];      // "png: out of memory"

#endif
