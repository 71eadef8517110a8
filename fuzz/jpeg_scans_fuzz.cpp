// jpeg_scans_fuzz.cpp: differential fuzz target for kv_jpeg_decode_ex with every option
// (progressive, multi-scan and 0xC1 frames) against libjpeg-turbo. Every input must decode
// or fail cleanly; when libjpeg decodes a multi-scan input without a warning and so do we,
// the sizes must agree and the pixels lie within 30 dB PSNR of libjpeg's float-IDCT, non-smoothed samples put through
// our colour rules (a fuzzed stream's extreme coefficients can leave the 40 dB that real
// pictures keep, as the two IDCTs round differently). Pictures with a block whose exact
// inverse DCT leaves -380..380 around mid-grey are not compared: libjpeg's range limit
// wraps such samples around where we clamp them. Outcomes may differ: libjpeg reads
// on silently past some damage (a run of zeros past the end of a block) that we refuse.
// Only streams that reach the multi-scan decoder are compared (see compared_with_libjpeg).
//
// Inputs whose frame headers declare more than 2^16 pixels are skipped: large pictures only
// slow the campaigns down. Seed with
// tests/data/jpeg and tests/data/jpeg/scans.
#include <csetjmp>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "folian.h"
#include "jpeg/decode.h"
#include "jpeglib.h"

namespace {

bool declares_large_frame(const uint8_t *d, size_t n) {
    for (size_t i = 0; i + 9 < n; i++) {
        if (d[i] != 0xFF || d[i + 1] < 0xC0 || d[i + 1] > 0xC2) continue;
        uint64_t h = (uint64_t)d[i + 5] << 8 | d[i + 6], w = (uint64_t)d[i + 7] << 8 | d[i + 8];
        if (w * h > (1u << 16)) return true;
    }
    return false;
}

[[noreturn]] void mismatch(const char *what) {
    std::fprintf(stderr, "jpeg_scans_fuzz: decoder and libjpeg differ: %s\n", what);
    std::abort();
}

struct ErrorJump {
    jpeg_error_mgr mgr;
    std::jmp_buf jump;
};
void on_error(j_common_ptr cinfo) { std::longjmp(((ErrorJump *)cinfo->err)->jump, 1); }
void no_message(j_common_ptr) {}

// libjpeg's samples, in RGBA by our colour rules. False when libjpeg fails or warns.
bool libjpeg_clean_rgba(const uint8_t *data, size_t size, int *w, int *h, std::vector<uint8_t> *out) {
    jpeg_decompress_struct cinfo;
    ErrorJump err;
    cinfo.err = jpeg_std_error(&err.mgr);
    err.mgr.error_exit = on_error;
    err.mgr.output_message = no_message;
    std::vector<uint8_t> raw;
    if (setjmp(err.jump)) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, data, (unsigned long)size);
    jpeg_read_header(&cinfo, TRUE);
    cinfo.dct_method = JDCT_FLOAT;
    cinfo.do_fancy_upsampling = FALSE;
    cinfo.do_block_smoothing = FALSE;
    cinfo.jpeg_color_space = JCS_UNKNOWN;  // raw components: the colour rule is ours
    cinfo.out_color_space = JCS_UNKNOWN;
    const bool adobe = cinfo.saw_Adobe_marker;
    const int transform = cinfo.Adobe_transform;
    jpeg_start_decompress(&cinfo);
    const int nc = cinfo.output_components;
    *w = (int)cinfo.output_width;
    *h = (int)cinfo.output_height;
    const size_t stride = (size_t)*w * (size_t)nc;
    raw.assign(stride * (size_t)*h, 0);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = raw.data() + stride * cinfo.output_scanline;
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    const long warnings = err.mgr.num_warnings;
    jpeg_destroy_decompress(&cinfo);
    if (warnings || (nc != 1 && nc != 3 && nc != 4)) return false;
    out->assign((size_t)*w * (size_t)*h * 4, 255);
    for (size_t i = 0; i < (size_t)*w * (size_t)*h; i++) {
        const uint8_t *s = &raw[i * (size_t)nc];
        uint8_t *o = &(*out)[4 * i];
        if (nc == 1) {
            o[0] = o[1] = o[2] = s[0];
        } else if (adobe && transform == 0) {
            for (int c = 0; c < 3; c++) o[c] = nc == 3 ? s[c] : (uint8_t)(s[c] * s[3] / 255);
        } else {
            jpg_ycc_to_rgb(s[0], s[1], s[2], o);
            if (nc == 4 && adobe && transform == 2)
                for (int c = 0; c < 3; c++) o[c] = (uint8_t)((255u - o[c]) * s[3] / 255);
        }
    }
    return true;
}

// Whether an AC table anywhere in the stream holds an R/0 symbol other than end-of-block
// and ZRL. Sequential coding gives such symbols no meaning: libjpeg ends the block there,
// our decoders skip R zeros, so the pictures part legitimately. Tables defined between two
// scans count as much as those before the first: a later scan decodes with them.
bool ac_tables_hold_odd_runs(const uint8_t *d, size_t n) {
    for (size_t i = 0; i + 4 < n; i++) {
        if (d[i] != 0xFF || d[i + 1] != 0xC4) continue;
        const size_t end = i + 2 + ((size_t)d[i + 2] << 8 | d[i + 3]);
        for (size_t p = i + 4; p + 17 <= end && end <= n;) {
            size_t count = 0;
            for (int l = 0; l < 16; l++) count += d[p + 1 + l];
            for (size_t k = 0; (d[p] >> 4) == 1 && k < count && p + 17 + k < end; k++) {
                const uint8_t sym = d[p + 17 + k];
                if ((sym & 15) == 0 && (sym >> 4) >= 1 && (sym >> 4) <= 14) return true;
            }
            p += 17 + count;
        }
    }
    return false;
}

// Whether libjpeg's pixels are the oracle for this input: only streams the multi-scan
// decoder takes (a progressive frame, or a first scan naming fewer components than the
// frame) are compared; single scans have their own target against the plain reference.
// Sequential frames with odd runs in their AC tables are left out (see above).
bool compared_with_libjpeg(const uint8_t *d, size_t n) {
    bool progressive = false;
    int frame_components = 0;
    for (size_t i = 0; i + 4 < n; i++) {
        if (d[i] != 0xFF) continue;
        const uint8_t m = d[i + 1];
        if ((m == 0xC0 || m == 0xC1 || m == 0xC2) && i + 9 < n && !frame_components) {
            progressive = m == 0xC2;
            frame_components = d[i + 9];
        } else if (m == 0xDA) {
            if (progressive) return true;
            return frame_components && d[i + 4] < frame_components && !ac_tables_hold_odd_runs(d, n);
        }
    }
    return false;
}

// True when every block's exact inverse DCT (from libjpeg's final coefficients) stays
// within 380 of mid-grey, where libjpeg's range limit still clamps.
bool samples_in_clamp_range(const uint8_t *data, size_t size) {
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
    jpeg_mem_src(&cinfo, data, (unsigned long)size);
    jpeg_read_header(&cinfo, TRUE);
    jvirt_barray_ptr *arrays = jpeg_read_coefficients(&cinfo);
    double basis[8][8];
    for (int u = 0; u < 8; u++)
        for (int x = 0; x < 8; x++) basis[u][x] = (u ? 0.5 : 0.5 / std::sqrt(2.0)) * std::cos((2 * x + 1) * u * M_PI / 16);
    bool ok = true;
    for (int ci = 0; ci < cinfo.num_components && ok; ci++) {
        jpeg_component_info *comp = &cinfo.comp_info[ci];
        if (!comp->quant_table) continue;
        for (JDIMENSION by = 0; by < comp->height_in_blocks && ok; by++) {
            JBLOCKARRAY row = (*cinfo.mem->access_virt_barray)((j_common_ptr)&cinfo, arrays[ci], by, 1, FALSE);
            for (JDIMENSION bx = 0; bx < comp->width_in_blocks && ok; bx++) {
                double f[64], t[64];
                for (int i = 0; i < 64; i++) f[i] = (double)row[0][bx][i] * comp->quant_table->quantval[i];
                for (int v = 0; v < 8; v++)
                    for (int x = 0; x < 8; x++) {
                        t[v * 8 + x] = 0;
                        for (int u = 0; u < 8; u++) t[v * 8 + x] += f[v * 8 + u] * basis[u][x];
                    }
                for (int y = 0; y < 8 && ok; y++)
                    for (int x = 0; x < 8; x++) {
                        double sum = 0;
                        for (int v = 0; v < 8; v++) sum += t[v * 8 + x] * basis[v][y];
                        if (std::fabs(sum) > 380) ok = false;
                    }
            }
        }
    }
    jpeg_destroy_decompress(&cinfo);
    return ok;
}

double psnr(const uint8_t *a, const uint8_t *b, size_t pixels) {
    double se = 0;
    for (size_t i = 0; i < pixels; i++)
        for (int c = 0; c < 3; c++) {
            const double d = (double)a[4 * i + c] - b[4 * i + c];
            se += d * d;
        }
    if (se == 0) return 99;
    return 10 * std::log10(255.0 * 255.0 * 3 * (double)pixels / se);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (declares_large_frame(data, size)) return 0;
    int w = -1, h = -1;
    const char *msg = nullptr;
    unsigned char *px = kv_jpeg_decode_ex(data, size, KV_JPEG_ALL, &w, &h, &msg);
    if (!msg) mismatch("no message");
    if (!px && (w != 0 || h != 0)) mismatch("size set on failure");
    if (px && (w <= 0 || h <= 0 || msg[0])) mismatch("success without a size or with a message");

    int rw = 0, rh = 0;
    std::vector<uint8_t> ref;
    if (compared_with_libjpeg(data, size) && libjpeg_clean_rgba(data, size, &rw, &rh, &ref)) {
        if (px) {
            if (rw != w || rh != h) mismatch("size");
            if (psnr(px, ref.data(), (size_t)w * h) < 30.0 && samples_in_clamp_range(data, size)) mismatch("pixels");
        }
    }
    std::free(px);
    return 0;
}
