// decode.cpp: GIF decoder (87a and 89a): every frame drawn onto one canvas as a viewer
// shows the animation, with disposal methods, transparency, local colour tables and
// interlaced rows.
//
// The codes of a frame are decoded straight onto the canvas: no index buffer, so a frame
// rectangle larger than the screen costs nothing beyond its own codes, and what falls
// outside the screen is dropped, as viewers clip it. The canvas starts transparent and
// "restore to background" clears to transparent, as browsers do (the background colour
// index is ignored). Frames whose data ends before their last pixel fail rather than show
// a part; codes past the last pixel, and a missing trailer after a whole frame, are
// accepted, as every viewer accepts them. Messages are constants: the decoder is re-entrant.
#include <cstdlib>
#include <cstring>

#include "bytes.h"
#include "gif/gif.h"
#include "mem.h"

const char GIF_ERR_SIGNATURE[] = "gif: not a GIF file (bad signature)";
const char GIF_ERR_TRUNCATED[] = "gif: truncated file";
const char GIF_ERR_TOO_LARGE[] = "gif: image too large";
const char GIF_ERR_CODE_SIZE[] = "gif: bad LZW code size";
const char GIF_ERR_CODE[] = "gif: bad LZW code";
const char GIF_ERR_SHORT[] = "gif: frame data ends before its last pixel";
const char GIF_ERR_NO_PALETTE[] = "gif: frame without a colour table";
const char GIF_ERR_BLOCK[] = "gif: unknown block type";
const char GIF_ERR_NO_FRAME[] = "gif: no frame in file";
const char GIF_ERR_FRAME[] = "gif: frame index out of range";
const char GIF_ERR_MEMORY[] = "gif: out of memory";

namespace {

// ---- Format constants ------------------------------------------------------------------
constexpr uint64_t MAX_PIXELS = 104857600;  // the limit on the screen's width * height
constexpr int MAX_CODES = 4096;             // 12-bit codes
constexpr uint8_t BLOCK_EXTENSION = 0x21, BLOCK_IMAGE = 0x2C, BLOCK_TRAILER = 0x3B;
constexpr uint8_t LABEL_GRAPHIC_CONTROL = 0xF9;
enum Disposal { KEEP = 1, TO_BACKGROUND = 2, TO_PREVIOUS = 3 };
const char EMPTY[] = "";

// ---- Block walk ------------------------------------------------------------------------

// One frame's header: its rectangle as declared, its colours and what its control block said.
struct FrameHead {
    int x, y, w, h;
    bool interlaced;
    const uint8_t *palette;
    int entries;
    int transparent;  // an index, or -1
    int dispose;
    int min_code_size;
    uint64_t data;    // offset of the frame's first data sub-block
};

// Skips a chain of sub-blocks from `pos` through its terminator; false when the file ends first.
bool skip_sub_blocks(const uint8_t *d, uint64_t len, uint64_t *pos) {
    for (;;) {
        if (*pos >= len) return false;
        const uint8_t n = d[(*pos)++];
        if (n == 0) return true;
        if (len - *pos < n) return false;
        *pos += n;
    }
}

// Walks from *pos to the next image descriptor and reads it. 1 with the frame's head
// (and *pos past its data) when a frame follows; 0 at the end of the file; -1 with
// *message on a fault. A trailer, the file's end or unknown bytes after at least one
// frame all end the file, as viewers treat them.
int next_frame(const uint8_t *d, uint64_t len, uint64_t *pos, const uint8_t *global, int global_entries,
               bool after_frame, FrameHead *f, const char **message) {
    int transparent = -1, dispose = 0;
    for (;;) {
        if (*pos >= len) {
            if (after_frame) return 0;
            *message = GIF_ERR_TRUNCATED;
            return -1;
        }
        const uint8_t type = d[(*pos)++];
        if (type == BLOCK_TRAILER || (type != BLOCK_EXTENSION && type != BLOCK_IMAGE)) {
            if (after_frame) return 0;
            *message = type == BLOCK_TRAILER ? GIF_ERR_NO_FRAME : GIF_ERR_BLOCK;
            return -1;
        }
        if (type == BLOCK_EXTENSION) {
            if (*pos >= len) break;
            const uint8_t label = d[(*pos)++];
            // A control block's fields sit in its first sub-block: packed, delay (2), index.
            if (label == LABEL_GRAPHIC_CONTROL && *pos < len && d[*pos] >= 4 && len - *pos > 4) {
                const uint8_t packed = d[*pos + 1];
                dispose = (packed >> 2) & 7;
                transparent = (packed & 1) ? d[*pos + 4] : -1;
            }
            if (!skip_sub_blocks(d, len, pos)) break;
            continue;
        }
        if (len - *pos < 9) break;
        const uint8_t *p = d + *pos;
        f->x = (int)load_le16(p);
        f->y = (int)load_le16(p + 2);
        f->w = (int)load_le16(p + 4);
        f->h = (int)load_le16(p + 6);
        f->interlaced = (p[8] & 0x40) != 0;
        *pos += 9;
        if (p[8] & 0x80) {
            f->entries = 2 << (p[8] & 7);
            if (len - *pos < (uint64_t)f->entries * 3) break;
            f->palette = d + *pos;
            *pos += (uint64_t)f->entries * 3;
        } else {
            f->palette = global;
            f->entries = global_entries;
        }
        if (*pos >= len) break;
        f->min_code_size = d[(*pos)++];
        f->data = *pos;
        f->transparent = transparent;
        f->dispose = dispose;
        if (!skip_sub_blocks(d, len, pos)) break;
        return 1;
    }
    *message = GIF_ERR_TRUNCATED;
    return -1;
}

// Reads the header: the screen's size and the global colour table. Returns the offset of
// the first block, or 0 with *message set.
uint64_t read_header(const uint8_t *d, uint64_t len, GifReader *r, const char **message) {
    if (len < 6 || (std::memcmp(d, "GIF87a", 6) != 0 && std::memcmp(d, "GIF89a", 6) != 0)) {
        *message = GIF_ERR_SIGNATURE;
        return 0;
    }
    if (len < 13) {
        *message = GIF_ERR_TRUNCATED;
        return 0;
    }
    r->width = (int)load_le16(d + 6);
    r->height = (int)load_le16(d + 8);
    if (r->width == 0 || r->height == 0 || (uint64_t)r->width * (uint64_t)r->height > MAX_PIXELS) {
        *message = GIF_ERR_TOO_LARGE;
        return 0;
    }
    uint64_t pos = 13;
    r->global = nullptr;
    r->global_entries = 0;
    if (d[10] & 0x80) {
        r->global_entries = 2 << (d[10] & 7);
        if (len - pos < (uint64_t)r->global_entries * 3) {
            *message = GIF_ERR_TRUNCATED;
            return 0;
        }
        r->global = d + pos;
        pos += (uint64_t)r->global_entries * 3;
    }
    return pos;
}

// ---- LZW -------------------------------------------------------------------------------

// The frame's data sub-blocks as one byte stream, read LSB first in codes of `width` bits.
struct CodeReader {
    const uint8_t *d;
    uint64_t pos;      // the next byte; the chain is known to be whole (walked before)
    uint32_t left;     // bytes left in the current sub-block
    bool ended;        // the terminator was met
    uint32_t bits;     // bit buffer, `count` bits valid, low first
    int count;
};

// The next code, or -1 when the data ends first.
int read_code(CodeReader *c, int width) {
    while (c->count < width) {
        if (c->left == 0) {
            if (c->ended) return -1;
            c->left = c->d[c->pos++];
            if (c->left == 0) {
                c->ended = true;
                return -1;
            }
        }
        c->bits |= (uint32_t)c->d[c->pos++] << c->count;
        c->left--;
        c->count += 8;
    }
    const int code = (int)(c->bits & ((1u << width) - 1));
    c->bits >>= width;
    c->count -= width;
    return code;
}

// Where the frame's next pixel goes: column x of row y (in the frame), walking the rows in
// the order of the four interlace passes when the frame is interlaced.
struct PixelCursor {
    int x, y, pass;
    uint64_t left;  // pixels still due
};

void advance_row(PixelCursor *pc, const FrameHead &f) {
    static const int START[4] = {0, 4, 2, 1}, STEP[4] = {8, 8, 4, 2};
    pc->x = 0;
    if (!f.interlaced) {
        pc->y++;
        return;
    }
    pc->y += STEP[pc->pass];
    while (pc->y >= f.h && pc->pass < 3) pc->y = START[++pc->pass];
}

void put_pixel(GifReader *r, const FrameHead &f, PixelCursor *pc, uint8_t index) {
    const int cx = f.x + pc->x, cy = f.y + pc->y;
    if (cx < r->width && cy < r->height && index != f.transparent) {
        uint8_t *px = r->canvas + ((size_t)cy * (size_t)r->width + (size_t)cx) * 4;
        if (index < f.entries) {
            std::memcpy(px, f.palette + index * 3, 3);
        } else {
            px[0] = px[1] = px[2] = 0;  // past the table: black, as other decoders read it
        }
        px[3] = 255;
    }
    pc->left--;
    if (++pc->x == f.w) advance_row(pc, f);
}

// The code table: entry k is the string of entry prefix[k] followed by suffix[k].
struct CodeTable {
    uint16_t prefix[MAX_CODES];
    uint8_t suffix[MAX_CODES];
    uint8_t first[MAX_CODES];
    uint16_t length[MAX_CODES];
    uint8_t out[MAX_CODES];
};

// Emits the string of `code` (a valid entry) through the cursor; returns its first byte.
uint8_t emit(GifReader *r, const FrameHead &f, PixelCursor *pc, CodeTable *t, int code) {
    const int n = t->length[code];
    for (int i = n - 1, k = code; i >= 0; i--, k = t->prefix[k]) t->out[i] = t->suffix[k];
    for (int i = 0; i < n && pc->left; i++) put_pixel(r, f, pc, t->out[i]);
    return t->first[code];
}

const char *decode_frame(GifReader *r, const FrameHead &f) {
    if (f.min_code_size < 1 || f.min_code_size > 8) return GIF_ERR_CODE_SIZE;
    if (!f.palette) return GIF_ERR_NO_PALETTE;
    CodeTable *t = (CodeTable *)mem_malloc(sizeof(CodeTable));
    if (!t) return GIF_ERR_MEMORY;
    const int clear = 1 << f.min_code_size, end = clear + 1;
    for (int k = 0; k < clear; k++) {
        t->suffix[k] = t->first[k] = (uint8_t)k;
        t->length[k] = 1;
        t->prefix[k] = 0;
    }
    CodeReader c = {r->data, f.data, 0, false, 0, 0};
    PixelCursor pc = {0, 0, 0, (uint64_t)f.w * (uint64_t)f.h};
    int width = f.min_code_size + 1, next = clear + 2, prev = -1;
    const char *msg = EMPTY;
    while (pc.left) {
        const int code = read_code(&c, width);
        if (code < 0 || code == end) {
            msg = GIF_ERR_SHORT;
            break;
        }
        if (code == clear) {
            width = f.min_code_size + 1;
            next = clear + 2;
            prev = -1;
            continue;
        }
        if (prev < 0) {
            if (code >= clear) {
                msg = GIF_ERR_CODE;
                break;
            }
            emit(r, f, &pc, t, code);
            prev = code;
            continue;
        }
        uint8_t first;
        if (code < next) {
            first = emit(r, f, &pc, t, code);
        } else if (code == next && next < MAX_CODES) {
            first = t->first[prev];
            // The new entry is prev's string plus its own first byte: add it, then emit it.
        } else {
            msg = GIF_ERR_CODE;
            break;
        }
        if (next < MAX_CODES) {
            t->prefix[next] = (uint16_t)prev;
            t->suffix[next] = first;
            t->first[next] = t->first[prev];
            t->length[next] = (uint16_t)(t->length[prev] + 1);
            if (code == next) emit(r, f, &pc, t, code);
            next++;
            if (next == (1 << width) && width < 12) width++;
        }
        prev = code;
    }
    std::free(t);
    return msg;
}

// ---- Canvas ----------------------------------------------------------------------------

void clear_rect(GifReader *r) {
    for (int y = r->fy; y < r->fy + r->fh; y++)
        std::memset(r->canvas + ((size_t)y * (size_t)r->width + (size_t)r->fx) * 4, 0, (size_t)r->fw * 4);
}

// Leaves the canvas as the frame drawn last asked before the next one is drawn.
void dispose_last(GifReader *r) {
    if (r->dispose == TO_BACKGROUND) clear_rect(r);
    if (r->dispose == TO_PREVIOUS && r->previous)
        std::memcpy(r->canvas, r->previous, (size_t)r->width * (size_t)r->height * 4);
}

void clip_rect(GifReader *r, const FrameHead &f) {
    r->fx = f.x < r->width ? f.x : r->width;
    r->fy = f.y < r->height ? f.y : r->height;
    r->fw = f.w < r->width - r->fx ? f.w : r->width - r->fx;
    r->fh = f.h < r->height - r->fy ? f.h : r->height - r->fy;
}

}  // namespace

bool gif_open(GifReader *r, const uint8_t *data, uint64_t len, const char **message) {
    *r = GifReader{};
    r->data = data;
    r->len = len;
    r->pos = read_header(data, len, r, message);
    if (!r->pos) return false;
    r->canvas = (uint8_t *)mem_calloc((size_t)r->width * (size_t)r->height, 4);
    if (!r->canvas) {
        *message = GIF_ERR_MEMORY;
        return false;
    }
    return true;
}

bool gif_next(GifReader *r, const char **message) {
    FrameHead f;
    uint64_t pos = r->pos;
    const int found = next_frame(r->data, r->len, &pos, r->global, r->global_entries, r->frames > 0, &f, message);
    if (found <= 0) {
        if (found == 0) *message = EMPTY;
        return false;
    }
    dispose_last(r);
    if (f.dispose == TO_PREVIOUS) {
        const size_t n = (size_t)r->width * (size_t)r->height * 4;
        if (!r->previous && !(r->previous = (uint8_t *)mem_malloc(n))) {
            *message = GIF_ERR_MEMORY;
            return false;
        }
        std::memcpy(r->previous, r->canvas, n);
    }
    const char *msg = decode_frame(r, f);
    if (msg[0]) {
        *message = msg;
        return false;
    }
    clip_rect(r, f);
    r->dispose = f.dispose;
    r->pos = pos;
    r->frames++;
    *message = EMPTY;
    return true;
}

void gif_close(GifReader *r) {
    std::free(r->canvas);
    std::free(r->previous);
    *r = GifReader{};
}

int gif_count_frames(const uint8_t *data, uint64_t len, const char **message) {
    GifReader head{};
    uint64_t pos = read_header(data, len, &head, message);
    if (!pos) return 0;
    int count = 0;
    FrameHead f;
    for (;;) {
        const int found = next_frame(data, len, &pos, head.global, head.global_entries, count > 0, &f, message);
        if (found < 0) return 0;
        if (found == 0) break;
        if (count == INT32_MAX) break;
        count++;
    }
    *message = EMPTY;
    return count;
}

uint8_t *gif_decode_memory(const uint8_t *data, uint64_t len, int frame, int *width, int *height, int *frames,
                           const char **message) {
    *width = *height = 0;
    *frames = gif_count_frames(data, len, message);
    if (!*frames) return nullptr;
    if (frame < 0 || frame >= *frames) {
        *message = GIF_ERR_FRAME;
        return nullptr;
    }
    GifReader r;
    if (!gif_open(&r, data, len, message)) return nullptr;
    while (r.frames <= frame) {
        if (!gif_next(&r, message)) {
            if (!(*message)[0]) *message = GIF_ERR_FRAME;
            gif_close(&r);
            return nullptr;
        }
    }
    uint8_t *px = r.canvas;
    *width = r.width;
    *height = r.height;
    r.canvas = nullptr;
    gif_close(&r);
    return px;
}

bool gif_header_size(const uint8_t *data, uint64_t len, uint64_t *width, uint64_t *height) {
    if (len < 10) return false;
    *width = load_le16(data + 6);
    *height = load_le16(data + 8);
    return true;
}
