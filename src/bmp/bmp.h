// bmp.h: internal interface of the BMP decoder.
#ifndef FOLIAN_BMP_H
#define FOLIAN_BMP_H

#include <cstdint>

// Decodes a whole BMP file held in memory to 8-bit RGBA, rows top to bottom. Returns a
// malloc'd buffer of width*height*4 bytes and *message ""; on failure null with
// *width = *height = 0 and *message one of the texts below. Re-entrant.
uint8_t *bmp_decode_memory(const uint8_t *data, uint64_t len, int *width, int *height, const char **message);
// The size the header declares, before any check; false when the file is too short to say.
bool bmp_header_size(const uint8_t *data, uint64_t len, uint64_t *width, uint64_t *height);

extern const char BMP_ERR_SIGNATURE[];    // "bmp: not a BMP file (bad signature)"
extern const char BMP_ERR_TRUNCATED[];    // "bmp: truncated file"
extern const char BMP_ERR_HEADER[];       // "bmp: unsupported header size"
extern const char BMP_ERR_TOO_LARGE[];    // "bmp: image too large"
extern const char BMP_ERR_SIZE[];         // "bmp: bad image size"
extern const char BMP_ERR_BIT_DEPTH[];    // "bmp: unsupported bit depth"
extern const char BMP_ERR_COMPRESSION[];  // "bmp: unsupported compression"
extern const char BMP_ERR_EMBEDDED[];     // "bmp: embedded JPEG or PNG data not supported"
extern const char BMP_ERR_MASKS[];        // "bmp: bad colour masks"
extern const char BMP_ERR_TOP_DOWN_RLE[]; // "bmp: top-down RLE image"
extern const char BMP_ERR_MEMORY[];       // "bmp: out of memory"

#endif
