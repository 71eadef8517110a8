// flate.h: internal interface of the deflate unit: the raw inflater's entry, the
// compressor (LZ77 matching with dynamic, fixed or stored blocks) with its zlib framing,
// and the stored-block zlib stream of the default PDF pages and PNG files.
#ifndef FOLIAN_FLATE_H
#define FOLIAN_FLATE_H

#include <cstddef>
#include <cstdint>

#include "bytes.h"
#include "checksum.h"

// Raw deflate (RFC 1951) into out[0..capacity): the byte count once the final block is
// decoded, or -1 on any failure. The same function as the exported kv_inflate, for the
// library's own codecs, so they need not go through the public header.
int32_t flate_inflate(const uint8_t *in, size_t in_len, uint8_t *out, size_t capacity);
// What a successful flate_inflate_ex learnt about the stream beyond its bytes.
struct InflateFacts {
    size_t consumed;  // input bytes up to and including the byte with the final block's last bit
    // False when a block used an incomplete Huffman code that zlib refuses (any but a lone
    // one-bit literal/length or distance code): the inflater takes such a stream, zlib and
    // the readers built on it do not, so it must not be handed on as it is.
    bool zlib_codes;
};
// flate_inflate that also fills *facts on success.
int32_t flate_inflate_ex(const uint8_t *in, size_t in_len, uint8_t *out, size_t capacity, InflateFacts *facts);

// ---- Compressor ------------------------------------------------------------------------
// A compressor state takes its input in pieces of any size and appends the compressed
// stream to an output buffer that it owns and grows; the caller may take the bytes out
// at any time (deflate_output, then deflate_consume). The output depends only on the
// whole input, never on how it was cut into pieces, so a stream written piece by piece
// equals the one-shot stream. Memory is bounded (window, hash tables, one block of
// symbols, and whatever output the caller leaves in place), there is no shared state,
// so states on different threads are independent. An allocation failure makes every
// later call fail; the state must still be freed.

enum DeflateFormat {
    DEFLATE_RAW,   // bare deflate data
    DEFLATE_ZLIB,  // RFC 1950: 2-byte header, deflate data, Adler-32 of the input
};

// How hard the matcher looks: DEFLATE_QUICK walks fewer earlier positions per search, for
// callers that favour speed (compact PDF pages) over the last percent of size.
enum DeflateEffort {
    DEFLATE_DEFAULT,
    DEFLATE_QUICK,
};

struct Deflater;

// A new state, or null when memory runs out.
Deflater *deflate_new(DeflateFormat format, DeflateEffort effort = DEFLATE_DEFAULT);
// Releases the state and any output not taken. Null is allowed.
void deflate_free(Deflater *d);
// Compresses n more input bytes (data may be null when n is 0). False once memory has
// run out, or after deflate_finish.
bool deflate_write(Deflater *d, const uint8_t *data, size_t n);
// Ends the stream: the final block and, for zlib, the trailer. False when memory runs out.
bool deflate_finish(Deflater *d);
// The compressed bytes produced and not yet consumed; *len receives their number.
const uint8_t *deflate_output(const Deflater *d, size_t *len);
// Drops the first n bytes of the pending output (n at most what deflate_output reported).
void deflate_consume(Deflater *d, size_t n);
// Hands the whole pending output over as a malloc'ed buffer (the caller frees it) and
// leaves the state with none; sets *len. Null (with *len = 0) when there is none.
uint8_t *deflate_take(Deflater *d, size_t *len);

// One-shot: n bytes to a whole stream in a malloc'ed buffer; sets *out_len. Null when
// memory runs out (then *out_len is unchanged).
uint8_t *deflate_compress(DeflateFormat format, const uint8_t *data, size_t n, size_t *out_len);

// ---- Zlib stream of stored blocks ----------------------------------------------------------
// Layout: 78 01 | blocks of at most 65535 input bytes, each a BFINAL/BTYPE byte (01 for the
// last block, 00 otherwise), LEN and NLEN as 16-bit little-endian, then LEN bytes | the
// Adler-32 of the input, most significant byte first. Empty input still has one block.

constexpr uint64_t ZLIB_STORED_MAX = 65535;

inline uint64_t zlib_stored_blocks(uint64_t n) {
    return n == 0 ? 1 : (n + ZLIB_STORED_MAX - 1) / ZLIB_STORED_MAX;
}
// Exact length of the stream for n input bytes.
inline uint64_t zlib_stored_size(uint64_t n) { return n + 5 * zlib_stored_blocks(n) + 6; }

// Writes the stream for n input bytes at `out` (zlib_stored_size(n) bytes). The input is
// produced by fill(dst, first, count), which stores input bytes first .. first+count-1 at
// dst; this lets callers gather samples straight into place without a scratch copy.
template <typename Fill>
void zlib_stored_write(uint8_t *out, uint64_t n, Fill fill) {
    uint8_t *p = out;
    *p++ = 0x78;
    *p++ = 0x01;
    uint32_t adler = 1;
    uint64_t pos = 0;
    for (;;) {
        uint64_t len = n - pos < ZLIB_STORED_MAX ? n - pos : ZLIB_STORED_MAX;
        bool final = pos + len == n;
        p[0] = final ? 0x01 : 0x00;
        p[1] = (uint8_t)len;
        p[2] = (uint8_t)(len >> 8);
        p[3] = (uint8_t)~len;
        p[4] = (uint8_t)(~len >> 8);
        p += 5;
        if (len) {
            fill(p, pos, len);
            adler = adler32_update(adler, p, (size_t)len);
        }
        p += len;
        pos += len;
        if (final) break;
    }
    store_be32(p, adler);
}

// Wraps `len` bytes in a stored-block zlib stream. Returns a malloc'ed buffer and sets
// *out_len, or null when memory runs out (then *out_len is unchanged).
uint8_t *kv_deflate(const uint8_t *data, uint64_t len, uint64_t *out_len);

#endif
