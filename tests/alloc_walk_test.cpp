// alloc_walk_test.cpp: every exported function, with each of its allocations made to fail
// in turn, fails cleanly: the failure is reported (0, null or -1, with a message where the
// function gives one), no output file appears or changes, and nothing leaks (LeakSanitizer
// in the sanitizer build). Functions that allocate nothing are shown to allocate nothing.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "folian.h"
#include "mem.h"
#include "pdf_test_util.h"
#include "test_util.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Call {
    const char *name;
    // Runs the call once; true on success. On failure, *reported says the failure was
    // reported as the function's contract says (message set, outputs cleared).
    std::function<bool(bool *reported)> run;
};

// Walks the n-th allocation failure through the call until it succeeds untouched, and
// checks that the output directory holds what it held before after every failure.
void walk(const Call &call, const TempDir &out_dir) {
    const std::vector<std::string> before = list_dir(out_dir.path);
    for (long n = 1;; n++) {
        mem_fail_at(n);
        bool reported = false;
        bool ok = call.run(&reported);
        long used = mem_alloc_count();
        mem_fail_at(0);
        if (ok) {
            ASSERT_LT(used, n) << call.name << ": a failed allocation " << n << " was reported as success";
            return;
        }
        EXPECT_TRUE(reported) << call.name << " at allocation " << n;
        EXPECT_EQ(list_dir(out_dir.path), before) << call.name << " at allocation " << n;
        ASSERT_LT(n, 10000) << call.name;
    }
}

TEST(AllocationFailures, EveryExportedFunctionFailsCleanly) {
    TempDir in, out;
    const std::string png = in.file("a.png"), jpg = in.file("b.jpg"), pal = in.file("c.png");
    write_file(png, read_file(data_path("png/misc/im-rgba8.png")));
    // Passed through in compact mode: several IDAT chunks, joined; palette with tRNS.
    const std::string many = in.file("d.png");
    write_file(pal, read_file(data_path("png/misc/py-pal4-trns-after-idat.png")));
    write_file(many, read_file(data_path("png/misc/py-rgb8-many-idat.png")));
    write_file(jpg, read_file(data_path("jpeg/baseline-420.jpg")));
    const Bytes jpeg_bytes = read_file(jpg);
    Bytes rgba(23 * 17 * 4);
    for (size_t i = 0; i < rgba.size(); i++) rgba[i] = (uint8_t)(i * 5);
    // Files for the options that read metadata: a profile in JPEG chunks and in a PNG
    // iCCP stream, an orientation with a resolution, and a JPEG under a PNG name.
    TempDir meta_in;
    const std::string icc_jpg = meta_in.file("c.jpg"), icc_png = meta_in.file("d.png"),
                      turned = meta_in.file("e.jpg"), misnamed = meta_in.file("f.png");
    write_file(icc_jpg, read_file(data_path("meta/icc-srgb.jpg")));
    write_file(icc_png, read_file(data_path("meta/icc-srgb.png")));
    write_file(turned, read_file(data_path("meta/orient-6-dpi.jpg")));
    write_file(misnamed, read_file(data_path("meta/icc-srgb.jpg")));
    const unsigned real_input = FOLIAN_OPT_WIDE_PROBE | FOLIAN_OPT_ORIENTATION | FOLIAN_OPT_FILE_DPI | FOLIAN_OPT_ICC;
    const std::string pdf = out.file("out.pdf");
    folian_init();
    auto last_error_set = [] { return folian_last_error()[0] != '\0'; };

    std::vector<Call> calls = {
        {"folian_single png", [&](bool *rep) {
             int ok = folian_single(png.c_str(), pdf.c_str());
             *rep = last_error_set();
             return ok == 1;
         }},
        {"folian_single jpeg", [&](bool *rep) {
             int ok = folian_single(jpg.c_str(), pdf.c_str());
             *rep = last_error_set();
             return ok == 1;
         }},
        {"folian_multiple", [&](bool *rep) {
             const char *paths[] = {png.c_str(), jpg.c_str(), png.c_str()};
             int ok = folian_multiple(paths, 3, pdf.c_str());
             *rep = last_error_set();
             return ok == 1;
         }},
        {"folian_single with the metadata options, JPEG", [&](bool *rep) {
             folian_set_options(real_input);
             int ok = folian_single(icc_jpg.c_str(), pdf.c_str());
             folian_set_options(0);
             *rep = last_error_set();
             return ok == 1;
         }},
        {"folian_single with the metadata options, PNG", [&](bool *rep) {
             folian_set_options(real_input);
             int ok = folian_single(icc_png.c_str(), pdf.c_str());
             folian_set_options(0);
             *rep = last_error_set();
             return ok == 1;
         }},
        {"folian_multiple with the metadata options", [&](bool *rep) {
             const char *paths[] = {turned.c_str(), icc_png.c_str(), misnamed.c_str()};
             folian_set_options(real_input);
             int ok = folian_multiple(paths, 3, pdf.c_str());
             folian_set_options(0);
             *rep = last_error_set();
             return ok == 1;
         }},
        {"folian_directory", [&](bool *rep) {
             int n = folian_directory(in.path.c_str(), pdf.c_str());
             *rep = last_error_set();
             return n == 4;
         }},
        {"folian_single compact", [&](bool *rep) {
             folian_set_options(FOLIAN_OPT_COMPACT);
             int ok = folian_single(many.c_str(), pdf.c_str());
             *rep = last_error_set();
             folian_set_options(0);
             return ok == 1;
         }},
        {"folian_multiple compact", [&](bool *rep) {
             folian_set_options(FOLIAN_OPT_COMPACT);
             const char *paths[] = {png.c_str(), pal.c_str(), jpg.c_str(), many.c_str()};
             int ok = folian_multiple(paths, 4, pdf.c_str());
             *rep = last_error_set();
             folian_set_options(0);
             return ok == 1;
         }},
        {"pdf_write_ex compact", [&](bool *rep) {
             PdfImage a = pixel_image(23, 17, rgba);
             PdfImage b = jpeg_image(const_cast<Bytes &>(jpeg_bytes), 3);
             PdfImage *list[] = {&a, &b};
             const char *msg = nullptr;
             int ok = pdf_write_ex(pdf.c_str(), list, 2, 1, 150, PDF_WRITE_COMPACT, &msg);
             *rep = msg && (ok ? !*msg : !!*msg);
             return ok == 1;
         }},
        {"pdf_write", [&](bool *rep) {
             PdfImage a = pixel_image(23, 17, rgba);
             PdfImage b = jpeg_image(const_cast<Bytes &>(jpeg_bytes), 3);
             PdfImage *list[] = {&a, &b};
             const char *msg = nullptr;
             int ok = pdf_write(pdf.c_str(), list, 2, 1, 150, &msg);
             *rep = msg && (ok ? !*msg : !!*msg);
             return ok == 1;
         }},
        {"kv_png_decode", [&](bool *rep) {
             int w = -1, h = -1;
             const char *msg = nullptr;
             unsigned char *px = kv_png_decode(png.c_str(), &w, &h, &msg);
             *rep = !px && w == 0 && h == 0 && msg && *msg;
             std::free(px);
             return px != nullptr;
         }},
        {"documents in memory", [&](bool *rep) {
             // Compact pages with profiles: the pass-through, the joined chunks and the
             // profile each allocate on the way to the one buffer handed out.
             folian_settings *s = folian_settings_new();
             *rep = s == nullptr;
             if (!s) return false;
             bool set = folian_settings_set(s, "compact", "on") && folian_settings_set(s, "icc", "on");
             folian_doc *doc = set ? folian_doc_open_memory(s) : nullptr;
             folian_settings_free(s);
             *rep = !doc;
             if (!doc) return false;
             for (const std::string *f : {&many, &icc_png, &icc_jpg}) {
                 const Bytes b = read_file(*f);
                 if (folian_doc_add_memory(doc, b.data(), b.size(), nullptr)) continue;
                 *rep = folian_doc_error(doc)[0] != '\0';
                 folian_doc_abort(doc);
                 return false;
             }
             unsigned char *pdf = (unsigned char *)1;
             size_t len = 1;
             int ok = folian_doc_finish_memory(doc, &pdf, &len);
             *rep = !ok && !pdf && !len && folian_doc_error(doc)[0];
             if (ok)
                 folian_free(pdf);
             else
                 folian_doc_abort(doc);
             return ok == 1;
         }},
        {"kv_png_decode_memory", [&](bool *rep) {
             const Bytes b = read_file(pal);
             int w = -1, h = -1;
             const char *msg = nullptr;
             unsigned char *px = kv_png_decode_memory(b.data(), b.size(), 0, &w, &h, &msg);
             *rep = !px && w == 0 && h == 0 && msg && *msg;
             std::free(px);
             return px != nullptr;
         }},
        {"kv_png_write", [&](bool *rep) {
             *rep = true;
             return kv_png_write(out.file("w.png").c_str(), 23, 17, rgba.data()) == 1;
         }},
        {"kv_jpeg_info", [&](bool *rep) {
             int w = -1, h = -1, c = -1;
             int ok = kv_jpeg_info(jpg.c_str(), &w, &h, &c);
             *rep = ok == 0;
             return ok == 1 && w == 96 && h == 64 && c == 3;
         }},
        {"kv_jpeg_decode", [&](bool *rep) {
             int w = -1, h = -1;
             const char *msg = nullptr;
             unsigned char *px = kv_jpeg_decode(jpg.c_str(), &w, &h, &msg);
             *rep = !px && msg && *msg;
             std::free(px);
             return px != nullptr;
         }},
        {"kv_jpeg_decode_impl", [&](bool *rep) {
             int w = -1, h = -1;
             const char *msg = nullptr;
             unsigned char *px = kv_jpeg_decode_impl(jpeg_bytes.data(), jpeg_bytes.size(), &w, &h, &msg);
             *rep = !px && w == 0 && h == 0 && msg && std::strcmp(msg, "jpeg: out of memory") == 0;
             std::free(px);
             return px != nullptr;
         }},
        {"kv_jpeg_write", [&](bool *rep) {
             *rep = true;
             return kv_jpeg_write(out.file("w.jpg").c_str(), 23, 17, rgba.data()) == 1;
         }},
    };
    for (const Call &c : calls) {
        walk(c, out);
        // Leave the output directory as it was for the next walk.
        for (const std::string &name : list_dir(out.path)) std::remove(out.file(name).c_str());
    }

    // The rest allocate nothing at all.
    Bytes plain(5000, 'x'), packed(6000), back(5000);
    uLongf packed_len = (uLongf)packed.size();
    compress2(packed.data(), &packed_len, plain.data(), (uLong)plain.size(), 9);
    mem_fail_at(1);
    EXPECT_EQ(kv_inflate(packed.data() + 2, packed_len - 6, back.data(), back.size()), 5000);
    EXPECT_EQ(folian_init(), 1);
    folian_set_page_size(2);
    folian_set_dpi(300);
    folian_set_options(FOLIAN_OPT_COMPACT);
    EXPECT_EQ(folian_get_options(), FOLIAN_OPT_COMPACT);
    EXPECT_STREQ(folian_last_error(), "");
    folian_cleanup();
    EXPECT_EQ(mem_alloc_count(), 0);
    mem_fail_at(0);
    EXPECT_TRUE(back == plain);
    folian_init();
}

}  // namespace
