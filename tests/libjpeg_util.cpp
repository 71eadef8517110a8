// libjpeg_util.cpp: libjpeg-turbo wrappers for the JPEG decoder's tests (see libjpeg_util.h).
#include "libjpeg_util.h"

#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>

#include "jpeglib.h"

namespace {

struct ErrorJump {
    jpeg_error_mgr mgr;
    std::jmp_buf jump;
};

void on_error(j_common_ptr cinfo) { std::longjmp(((ErrorJump *)cinfo->err)->jump, 1); }
void no_message(j_common_ptr) {}

}  // namespace

bool libjpeg_decode(const std::vector<uint8_t> &jpeg, LibjpegImage *out) {
    jpeg_decompress_struct cinfo;
    ErrorJump err;
    cinfo.err = jpeg_std_error(&err.mgr);
    err.mgr.error_exit = on_error;
    err.mgr.output_message = no_message;
    if (setjmp(err.jump)) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, jpeg.data(), (unsigned long)jpeg.size());
    jpeg_read_header(&cinfo, TRUE);
    cinfo.dct_method = JDCT_FLOAT;
    cinfo.do_fancy_upsampling = FALSE;
    if (cinfo.num_components == 4) cinfo.out_color_space = JCS_CMYK;
    jpeg_start_decompress(&cinfo);
    out->width = (int)cinfo.output_width;
    out->height = (int)cinfo.output_height;
    out->components = cinfo.output_components;
    size_t stride = (size_t)out->width * (size_t)out->components;
    out->samples.assign(stride * (size_t)out->height, 0);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = out->samples.data() + stride * cinfo.output_scanline;
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return true;
}

std::vector<uint8_t> libjpeg_encode(const uint8_t *pixels, int width, int height, int in_components,
                                    const LibjpegEncodeOptions &o) {
    jpeg_compress_struct cinfo;
    jpeg_error_mgr jerr;
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_compress(&cinfo);
    unsigned char *buf = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&cinfo, &buf, &size);
    cinfo.image_width = (JDIMENSION)width;
    cinfo.image_height = (JDIMENSION)height;
    cinfo.input_components = in_components;
    cinfo.in_color_space = in_components == 1 ? JCS_GRAYSCALE : in_components == 3 ? JCS_RGB : JCS_CMYK;
    jpeg_set_defaults(&cinfo);
    if (o.colour == 1) jpeg_set_colorspace(&cinfo, JCS_RGB);
    if (o.colour == 2) jpeg_set_colorspace(&cinfo, JCS_YCCK);
    jpeg_set_quality(&cinfo, o.quality, TRUE);
    for (int c = 0; c < cinfo.num_components; c++) {
        cinfo.comp_info[c].h_samp_factor = c == 0 ? o.h0 : 1;
        cinfo.comp_info[c].v_samp_factor = c == 0 ? o.v0 : 1;
    }
    if (cinfo.num_components == 4) {  // YCCK: K at full resolution like Y
        cinfo.comp_info[3].h_samp_factor = o.h0;
        cinfo.comp_info[3].v_samp_factor = o.v0;
    }
    for (int c = 0; c < cinfo.num_components && 2 * c + 1 < (int)o.sampling.size(); c++) {
        cinfo.comp_info[c].h_samp_factor = o.sampling[2 * (size_t)c];
        cinfo.comp_info[c].v_samp_factor = o.sampling[2 * (size_t)c + 1];
    }
    cinfo.restart_interval = (unsigned)o.restart_interval;
    jpeg_start_compress(&cinfo, TRUE);
    size_t stride = (size_t)width * (size_t)in_components;
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = (JSAMPROW)(pixels + stride * cinfo.next_scanline);
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    std::vector<uint8_t> out(buf, buf + size);
    jpeg_destroy_compress(&cinfo);
    std::free(buf);
    return out;
}

std::vector<uint8_t> test_picture_rgb(int width, int height, uint32_t seed) {
    std::vector<uint8_t> px((size_t)width * (size_t)height * 3);
    uint32_t s = seed * 2654435761u + 1;
    for (int y = 0; y < height; y++)
        for (int x = 0; x < width; x++) {
            s = s * 1664525u + 1013904223u;
            int noise = (int)(s >> 28) - 8;
            double fx = (double)x / width, fy = (double)y / height;
            int r = (int)(128 + 100 * std::sin(6.0 * fx + 2.0 * fy)) + noise;
            int g = (int)(40 + 180 * fy) + ((x / 13 + y / 17) % 2 ? 30 : -30) + noise;
            int b = (int)(200 * fx * fy + 30) + noise;
            uint8_t *p = &px[3 * ((size_t)y * (size_t)width + (size_t)x)];
            p[0] = (uint8_t)(r < 0 ? 0 : r > 255 ? 255 : r);
            p[1] = (uint8_t)(g < 0 ? 0 : g > 255 ? 255 : g);
            p[2] = (uint8_t)(b < 0 ? 0 : b > 255 ? 255 : b);
        }
    return px;
}

double psnr_rgb(const std::vector<uint8_t> &a, const std::vector<uint8_t> &b) {
    if (a.size() != b.size() || a.empty()) return 0;
    double se = 0;
    size_t n = 0;
    for (size_t i = 0; i < a.size(); i++) {
        if (i % 4 == 3) continue;
        double d = (double)a[i] - b[i];
        se += d * d;
        n++;
    }
    if (se == 0) return INFINITY;
    return 10.0 * std::log10(255.0 * 255.0 * (double)n / se);
}
