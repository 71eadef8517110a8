// transcode.h: the tool's transcode command: one PNG or JPEG file to PNG or JPEG.
#ifndef FOLIAN_TOOL_TRANSCODE_H
#define FOLIAN_TOOL_TRANSCODE_H

// Decodes `in` (.png, or .jpg/.jpeg, any case) and writes it to `out` in the format its
// extension names. Every file the library's decoders read is taken (progressive and
// multi-scan JPEG, interlaced PNG); `strict` keeps to the plain decoders. Failures go to
// stderr as "PROG: PATH: MESSAGE". Returns 0 on success, 1 when the conversion fails, 2 on
// a usage error (an extension it does not handle).
int transcode_main(const char *prog, const char *in, const char *out, bool strict);

#endif
