// transcode.cpp: `folian transcode IN OUT`: decode a PNG or JPEG and write PNG or JPEG.
//
// The formats are told by the file names' extensions; the content is not sniffed. Every
// JPEG and PNG the library decodes is read unless --strict asks for the plain decoders. PNG output is compressed. Only the public interface is used: the codecs' own messages
// are passed on for decoding failures, and the encoders, which set no message, get a
// fixed one.
#include "transcode.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "folian.h"

namespace {

enum ImageFormat { FORMAT_UNKNOWN, FORMAT_PNG, FORMAT_JPEG };

// ASCII case-insensitive equality, independent of the locale.
bool same_name(const char *a, const char *b) {
    for (; *a && *b; a++, b++) {
        char ca = *a >= 'A' && *a <= 'Z' ? (char)(*a - 'A' + 'a') : *a;
        char cb = *b >= 'A' && *b <= 'Z' ? (char)(*b - 'A' + 'a') : *b;
        if (ca != cb) return false;
    }
    return *a == *b;
}

ImageFormat format_of(const char *path) {
    const char *dot = std::strrchr(path, '.');
    const char *slash = std::strrchr(path, '/');
    if (!dot || (slash && dot < slash)) return FORMAT_UNKNOWN;
    if (same_name(dot + 1, "png")) return FORMAT_PNG;
    if (same_name(dot + 1, "jpg") || same_name(dot + 1, "jpeg")) return FORMAT_JPEG;
    return FORMAT_UNKNOWN;
}

}  // namespace

int transcode_main(const char *prog, const char *in, const char *out, bool strict) {
    ImageFormat from = format_of(in);
    ImageFormat to = format_of(out);
    if (from == FORMAT_UNKNOWN || to == FORMAT_UNKNOWN) {
        std::fprintf(stderr, "%s: %s: unknown extension (use .png, .jpg or .jpeg)\n", prog,
                     from == FORMAT_UNKNOWN ? in : out);
        return 2;
    }
    int width = 0, height = 0;
    const char *message = "";
    unsigned char *pixels = from == FORMAT_PNG
                                ? kv_png_decode_ex(in, strict ? 0u : KV_PNG_INTERLACED, &width, &height, &message)
                                : kv_jpeg_decode_file_ex(in, strict ? 0u : KV_JPEG_ALL, &width, &height, &message);
    if (!pixels) {
        std::fprintf(stderr, "%s: %s: %s\n", prog, in, message && *message ? message : "cannot decode");
        return 1;
    }
    int ok = to == FORMAT_PNG ? kv_png_write_ex(out, width, height, pixels, KV_PNG_COMPRESS)
                              : kv_jpeg_write(out, width, height, pixels);
    std::free(pixels);
    if (!ok) {
        std::fprintf(stderr, "%s: cannot write %s\n", prog, out);
        return 1;
    }
    return 0;
}
