// ref_encoders.h: plain reference encoders for JPEG and PNG, written for clarity rather
// than speed, against which the library's fast encoders are compared byte for byte.
#ifndef FOLIAN_REF_ENCODERS_H
#define FOLIAN_REF_ENCODERS_H

#include <cstdint>
#include <vector>

// The baseline JFIF file the library's JPEG encoder must produce for an RGBA image.
std::vector<uint8_t> ref_jpeg_encode(int width, int height, const uint8_t *rgba);
// The PNG file the library's PNG encoder must produce for an RGBA image.
std::vector<uint8_t> ref_png_encode(int width, int height, const uint8_t *rgba);

#endif
