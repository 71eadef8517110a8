// libjpeg_util.h: libjpeg-turbo as a test oracle: decoding in the setting closest to the
// library's decoder, and encoding test pictures with chosen sampling, colour space and
// restart interval.
#ifndef FOLIAN_LIBJPEG_UTIL_H
#define FOLIAN_LIBJPEG_UTIL_H

#include <cstdint>
#include <vector>

// What libjpeg makes of a stream: floating-point IDCT, no fancy upsampling. The output
// is RGB for YCbCr and RGB files, grey for one component, and the raw four components
// (CMYK as stored, or converted from YCCK) for four. Returns false if libjpeg fails.
struct LibjpegImage {
    int width = 0, height = 0, components = 0;
    std::vector<uint8_t> samples;  // width x height x components
};
bool libjpeg_decode(const std::vector<uint8_t> &jpeg, LibjpegImage *out);

// Encodes width x height pixels of `in_components` samples each (1 grey, 3 RGB, 4 inverted
// CMYK) with libjpeg. `colour` 0 keeps libjpeg's default for the input (YCbCr for RGB),
// 1 stores RGB unconverted (Adobe transform 0), 2 stores YCCK (transform 2) from CMYK.
// h0/v0 are the first component's sampling factors (others 1x1).
struct LibjpegEncodeOptions {
    int quality = 85;
    int h0 = 2, v0 = 2;
    int restart_interval = 0;  // in MCUs
    int colour = 0;
    std::vector<int> sampling;  // h, v per component, overriding h0/v0 when given
};
std::vector<uint8_t> libjpeg_encode(const uint8_t *pixels, int width, int height, int in_components,
                                    const LibjpegEncodeOptions &options);

// A photo-like test picture: smooth gradients, edges and noise, RGB, deterministic.
std::vector<uint8_t> test_picture_rgb(int width, int height, uint32_t seed);

// PSNR in dB over the R, G and B samples of two RGBA buffers of the same size.
double psnr_rgb(const std::vector<uint8_t> &a, const std::vector<uint8_t> &b);

#endif
