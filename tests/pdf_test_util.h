// pdf_test_util.h: building page records and checking written PDFs with qpdf and poppler.
#ifndef FOLIAN_PDF_TEST_UTIL_H
#define FOLIAN_PDF_TEST_UTIL_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "folian.h"

PdfImage pixel_image(int w, int h, std::vector<uint8_t> &rgba);
PdfImage jpeg_image(std::vector<uint8_t> &jpeg, int components);
std::string read_text(const std::string &path);
// Offsets of objects 1..N-1 as listed in the cross-reference table; each is also checked
// to point at its "N 0 obj" line.
std::vector<uint64_t> object_offsets(const std::string &pdf);
// qpdf --check passes without warnings, and pdftoppm at `dpi` renders page i at
// sizes[i] pixels (±1). Skipped checks when the tools are missing are reported.
void expect_valid_pdf(const std::string &path, const std::vector<std::pair<int, int>> &sizes, int dpi);
// Renders page `page` (1-based) at `dpi` into RGB samples.
std::vector<uint8_t> render_page(const std::string &pdf, int page, int dpi, int *w, int *h);
// Reads a binary PPM (P6) or PGM (P5) file into RGB samples.
std::vector<uint8_t> read_pnm_rgb(const std::string &path, int *w, int *h);
double psnr(const std::vector<uint8_t> &a, const std::vector<uint8_t> &b);

#endif
