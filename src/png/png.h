// png.h: internal interface of the PNG decoder (not installed): whole-file decoding, and the
// chunk walk it rests on for callers that embed a file's own image data.
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
// The limit on width * height; the library's other lossless decoders share it.
constexpr uint64_t PNG_MAX_PIXELS = 104857600;
struct PngDecodeFacts;
uint8_t *png_decode_memory(const uint8_t *data, uint64_t len, int *width, int *height, const char **message,
                           unsigned flags = 0, PngDecodeFacts *facts = nullptr);

// ---- The file's own image data ---------------------------------------------------------
// What the chunk walk keeps. PLTE, tRNS and the first IDAT point into the file buffer;
// only the first 256 tRNS bytes are ever read (one per palette index).
struct PngChunks {
    int32_t width = 0, height = 0;  // 0 until an IHDR is seen (a bad one fails at once)
    uint8_t depth = 0, color = 0, interlace = 0;
    const uint8_t *plte = nullptr;
    uint32_t plte_len = 0;
    bool have_plte = false;
    const uint8_t *trns = nullptr;
    uint32_t trns_len = 0;
    bool have_trns = false;
    bool have_idat = false;
    uint64_t idat_chunks = 0, idat_total = 0, first_idat = 0;  // first_idat: offset of its chunk
    uint64_t walk_end = 0;  // offset at which the walk stopped
};
// The signature and every chunk up to IEND, with the decoder's checks and messages, failures
// in file order; null when the walk succeeds. The header itself is not checked here.
const char *png_walk_chunks(const uint8_t *data, uint64_t len, PngChunks *chunks);
// The size the header declares, before any check; false when the file does not begin with
// a signature and an IHDR chunk.
bool png_header_size(const uint8_t *data, uint64_t len, uint64_t *width, uint64_t *height);
// Joins the data of every IDAT chunk the walk met, in file order, into dst
// (chunks.idat_total bytes).
void png_join_idat(const uint8_t *data, const PngChunks &chunks, uint8_t *dst);

// What a successful non-interlaced decode saw of the image data.
struct PngDecodeFacts {
    uint8_t max_filter = 0;    // the highest filter type of any row
    uint64_t deflate_end = 0;  // bytes of the joined IDAT data up to the deflate data's end
    bool zlib_codes = false;   // every Huffman code of the data is one zlib takes
};
// True when any reader of zlib streams with PNG predictors (a PDF /FlateDecode filter with
// /Predictor 15) gets from the joined IDAT data exactly the samples this decoder read: a
// well-formed zlib header (check bits right, no preset dictionary), the Adler-32 straight
// after the deflate data, filter types 0 to 4 only, no interlacing, and a sample layout
// PDF carries as it is (grey 1, 2, 4, 8 bits; RGB 8 bits; palette 1 to 8 bits), and no
// Huffman code that zlib refuses.
bool png_data_plain(const PngChunks &chunks, const PngDecodeFacts &facts, const uint8_t *idat);

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
