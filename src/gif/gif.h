// gif.h: internal interface of the GIF decoder: a reader that draws the frames of a file
// one after another onto a canvas, each frame as a viewer shows it at that moment.
#ifndef FOLIAN_GIF_H
#define FOLIAN_GIF_H

#include <cstdint>

// The reader's state. The input is only read and must outlive the reader; the canvas is
// RGBA, width*height*4 bytes, rows top to bottom, transparent where nothing was drawn.
struct GifReader {
    const uint8_t *data;
    uint64_t len, pos;           // pos: the next block to read
    int width, height;           // the logical screen
    const uint8_t *global;       // the global colour table, or null
    int global_entries;
    uint8_t *canvas;
    uint8_t *previous;           // the canvas before the current frame, for "restore previous"
    int dispose;                 // how the frame last drawn leaves the canvas (0 to 3)
    int fx, fy, fw, fh;          // that frame's rectangle, clipped to the screen
    int frames;                  // frames drawn so far
};

// Reads the header and allocates the canvas. False with *message set on failure (nothing
// is held then); the canvas size is checked before anything is allocated.
bool gif_open(GifReader *r, const uint8_t *data, uint64_t len, const char **message);
// Draws the next frame. True when one was drawn; false at the end of the file with
// *message "" or on a fault with *message naming it.
bool gif_next(GifReader *r, const char **message);
void gif_close(GifReader *r);
// The number of frames, walking the blocks without decoding them; 0 with *message set when
// the structure is broken before the first frame ends.
int gif_count_frames(const uint8_t *data, uint64_t len, const char **message);
// Frame `frame` (0-based) composited as shown, as a malloc'd RGBA buffer; null with
// *width = *height = 0 and *message set on failure. *frames gets the frame count.
// The logical screen's size the header declares; false when the file is too short to say.
bool gif_header_size(const uint8_t *data, uint64_t len, uint64_t *width, uint64_t *height);
uint8_t *gif_decode_memory(const uint8_t *data, uint64_t len, int frame, int *width, int *height, int *frames,
                           const char **message);

extern const char GIF_ERR_SIGNATURE[];  // "gif: not a GIF file (bad signature)"
extern const char GIF_ERR_TRUNCATED[];  // "gif: truncated file"
extern const char GIF_ERR_TOO_LARGE[];  // "gif: image too large"
extern const char GIF_ERR_CODE_SIZE[];  // "gif: bad LZW code size"
extern const char GIF_ERR_CODE[];       // "gif: bad LZW code"
extern const char GIF_ERR_SHORT[];      // "gif: frame data ends before its last pixel"
extern const char GIF_ERR_NO_PALETTE[]; // "gif: frame without a colour table"
extern const char GIF_ERR_BLOCK[];      // "gif: unknown block type"
extern const char GIF_ERR_NO_FRAME[];   // "gif: no frame in file"
extern const char GIF_ERR_FRAME[];      // "gif: frame index out of range"
extern const char GIF_ERR_MEMORY[];     // "gif: out of memory"

#endif
