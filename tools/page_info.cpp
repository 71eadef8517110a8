// page_info.cpp: what the verbose line says of a page. The format is told by the file's
// first bytes, as the library tells it with the wide probe; PNG sizes come from the IHDR
// chunk, JPEG sizes from the library's probe.
#include "page_info.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "folian.h"
#include "platform.h"

namespace {

uint32_t be32(const unsigned char *p) {
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

const char *png_colour(int type) {
    switch (type) {
    case 0: return "grey";
    case 2: return "RGB";
    case 3: return "palette";
    case 4: return "grey+alpha";
    case 6: return "RGBA";
    default: return "?";
    }
}

const char *jpeg_colour(int components) {
    switch (components) {
    case 1: return "grey";
    case 3: return "colour";
    case 4: return "CMYK";
    default: return "?";
    }
}

}  // namespace

std::string describe_page(const char *path, unsigned options) {
    unsigned char head[33] = {0};
    size_t got = 0;
    if (std::FILE *f = open_for_reading(path)) {
        got = std::fread(head, 1, sizeof head, f);
        std::fclose(f);
    }
    char text[160];
    static const unsigned char PNG_SIGNATURE[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (got == sizeof head && std::memcmp(head, PNG_SIGNATURE, 8) == 0 && std::memcmp(head + 12, "IHDR", 4) == 0) {
        std::snprintf(text, sizeof text, "%lux%lu PNG %s %d-bit%s, pixels %s", (unsigned long)be32(head + 16),
                      (unsigned long)be32(head + 20), png_colour(head[25]), head[24],
                      head[28] ? " interlaced" : "", (options & FOLIAN_OPT_COMPACT) ? "compressed" : "stored");
        return text;
    }
    int w = 0, h = 0, components = 0;
    if (got >= 2 && head[0] == 0xFF && head[1] == 0xD8) {
        if (!kv_jpeg_info(path, &w, &h, &components)) return "JPEG, embedded unchanged";
        std::snprintf(text, sizeof text, "%dx%d JPEG %s, embedded unchanged", w, h, jpeg_colour(components));
        return text;
    }
    return "unknown format";
}
