// host_conditions_test.cpp: the library gives the same results whatever the host around it
// does: a decimal-comma LC_NUMERIC locale, null out-pointers, thread stacks of 32 KiB, and
// codecs called from several threads at once with failing and succeeding inputs mixed.
#include <gtest/gtest.h>
#include <pthread.h>
#include <zlib.h>

#include <atomic>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "folian.h"
#include "format.h"
#include "pdf_test_util.h"
#include "test_util.h"

namespace {

using Bytes = std::vector<uint8_t>;

const std::string PNG_RGBA = "png/misc/im-rgba8.png";     // transparent pixels, dynamic deflate
const std::string JPEG_420 = "jpeg/baseline-420.jpg";     // 96 x 64
const std::string JPEG_RESTARTS = "jpeg/fill-bytes-before-rst.jpg";

// ---- Locale -------------------------------------------------------------------------------

// Switches LC_NUMERIC for one scope, as a host application may do for its own reasons.
struct NumericLocale {
    std::string old;
    bool active = false;
    NumericLocale() {
        old = std::setlocale(LC_NUMERIC, nullptr);
        for (const char *name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8"}) {
            if (std::setlocale(LC_NUMERIC, name)) {
                active = true;
                break;
            }
        }
    }
    ~NumericLocale() { std::setlocale(LC_NUMERIC, old.c_str()); }
};

std::string c_printf_2(double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.2f", v);
    return buf;
}

// Documents of every page-size mode, including the case whose offset prints as "-0.00".
std::vector<Bytes> documents_of_every_mode(const TempDir &tmp) {
    std::vector<Bytes> docs;
    Bytes px(100 * 100 * 4, 200), odd(33 * 9 * 4, 90);
    for (size_t i = 3; i < odd.size(); i += 8) odd[i] = 128;  // half transparent
    PdfImage a = pixel_image(100, 100, px), b = pixel_image(33, 9, odd);
    PdfImage *list[] = {&a, &b};
    for (int mode = 0; mode <= 3; mode++) {
        for (int dpi : {72, 150, 301}) {
            std::string path = tmp.file("doc.pdf");
            const char *msg = nullptr;
            EXPECT_EQ(pdf_write(path.c_str(), list, 2, mode, dpi, &msg), 1) << msg;
            docs.push_back(read_file(path));
        }
    }
    return docs;
}

TEST(HostLocale, DocumentsAreTheSameInADecimalCommaLocale) {
    TempDir tmp;
    const std::vector<Bytes> in_c = documents_of_every_mode(tmp);
    std::string c_text(in_c[3 * 3].begin(), in_c[3 * 3].end());  // mode 3 at 72 dpi
    ASSERT_NE(c_text.find("/MediaBox [0 0 841.89 1190.55]"), std::string::npos);
    ASSERT_NE(c_text.find(" -0.00 "), std::string::npos);

    NumericLocale comma;
    if (!comma.active) GTEST_SKIP() << "no decimal-comma locale installed (generate de_DE.UTF-8)";
    ASSERT_EQ(c_printf_2(0.5), "0,50") << "the locale did not switch the decimal point";
    const std::vector<Bytes> in_comma = documents_of_every_mode(tmp);
    ASSERT_EQ(in_comma.size(), in_c.size());
    for (size_t i = 0; i < in_c.size(); i++) EXPECT_TRUE(in_comma[i] == in_c[i]) << "document " << i;

    // The same through the front end, with a PNG and a JPEG page.
    folian_init();
    folian_set_page_size(FOLIAN_PAGE_A4);
    std::string out = tmp.file("front.pdf");
    const std::string png = data_path(PNG_RGBA), jpg = data_path(JPEG_420);
    const char *paths[] = {png.c_str(), jpg.c_str()};
    ASSERT_EQ(folian_multiple(paths, 2, out.c_str()), 1) << folian_last_error();
    std::string text = read_text(out);
    folian_init();
    EXPECT_NE(text.find("/MediaBox [0 0 595.28 841.89]"), std::string::npos);
    // Each page's placement line ("q" then the matrix) is in dots too.
    size_t pages = 0;
    for (size_t p = text.find("stream\nq\n"); p != std::string::npos; p = text.find("stream\nq\n", p + 1)) {
        std::string matrix = text.substr(p + 9, text.find(" cm\n", p) - (p + 9));
        EXPECT_EQ(matrix.find(','), std::string::npos) << matrix;
        pages++;
    }
    EXPECT_EQ(pages, 2u);
}

TEST(HostLocale, FixedPointMatchesPrintfInTheCLocale) {
    std::vector<double> values = {0.0, -0.0, 1e-15, -1e-15, 0.005, 0.015, 0.125, 0.375, 2.675, 595.275,
                                  841.89, 1190.55, 99999999999.995, -12.345, 0.994999, 0.995};
    std::mt19937_64 rng(13);
    for (int i = 0; i < 20000; i++) {
        double v;
        switch (i % 4) {
        case 0: v = (double)(rng() % 200000) / 8.0; break;             // exact ties in binary
        case 1: v = std::ldexp((double)(rng() >> 11), -(int)(rng() % 60)); break;
        case 2: v = (double)(int64_t)(rng() % 2000000 - 1000000) / 1000.0; break;
        default: v = -std::ldexp((double)(rng() >> 11), -(int)(rng() % 90)); break;
        }
        values.push_back(v);
    }
    for (double v : values) ASSERT_EQ(std::string(fixed2(v).text), c_printf_2(v)) << v;
}

// ---- Null out-pointers ----------------------------------------------------------------------

TEST(NullOutPointers, EveryExportedFunctionAcceptsThem) {
    TempDir tmp;
    Bytes px = {1, 2, 3, 255};
    PdfImage im = pixel_image(1, 1, px);
    PdfImage *list[] = {&im};
    EXPECT_EQ(pdf_write(tmp.file("a.pdf").c_str(), list, 1, 0, 150, nullptr), 1);
    EXPECT_EQ(pdf_write(nullptr, list, 1, 0, 150, nullptr), 0);
    EXPECT_EQ(pdf_write(tmp.file("b.pdf").c_str(), list, 1, 9, 150, nullptr), 0);

    const std::string png = data_path(PNG_RGBA), jpg = data_path(JPEG_420);
    int w = -1, h = -1, c = -1;
    const char *msg = nullptr;
    unsigned char *out = kv_png_decode(png.c_str(), nullptr, nullptr, nullptr);
    EXPECT_NE(out, nullptr);
    std::free(out);
    EXPECT_EQ(kv_png_decode(jpg.c_str(), nullptr, nullptr, nullptr), nullptr);

    EXPECT_EQ(kv_jpeg_info(jpg.c_str(), nullptr, nullptr, nullptr), 1);
    EXPECT_EQ(kv_jpeg_info(jpg.c_str(), &w, nullptr, nullptr), 1);
    EXPECT_EQ(w, 96);
    EXPECT_EQ(kv_jpeg_info(jpg.c_str(), nullptr, &h, &c), 1);
    EXPECT_EQ(h, 64);
    EXPECT_EQ(c, 3);
    EXPECT_EQ(kv_jpeg_info(png.c_str(), nullptr, nullptr, nullptr), 0);

    out = kv_jpeg_decode(jpg.c_str(), nullptr, nullptr, nullptr);
    EXPECT_NE(out, nullptr);
    std::free(out);
    EXPECT_EQ(kv_jpeg_decode(png.c_str(), nullptr, nullptr, nullptr), nullptr);
    Bytes file = read_file(jpg);
    out = kv_jpeg_decode_impl(file.data(), file.size(), nullptr, &h, nullptr);
    EXPECT_NE(out, nullptr);
    std::free(out);
    EXPECT_EQ(kv_jpeg_decode_impl(file.data(), 5, nullptr, nullptr, &msg), nullptr);
    EXPECT_STREQ(msg, "jpeg: no scan data");
}

// ---- Small thread stacks ----------------------------------------------------------------------

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || !defined(__OPTIMIZE__)
constexpr bool FRAMES_AS_SHIPPED = false;  // sanitizers and -O0 make every frame larger
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool FRAMES_AS_SHIPPED = false;
#else
constexpr bool FRAMES_AS_SHIPPED = true;
#endif
#else
constexpr bool FRAMES_AS_SHIPPED = true;
#endif

constexpr size_t SMALL_STACK = 32 * 1024;

// Runs fn on a new thread whose whole stack (thread-local storage included, as a host's
// pthread_attr_setstacksize gives it) is `size` bytes. Overflowing it hits the guard page.
void run_on_stack(size_t size, const std::function<void()> &fn) {
    pthread_attr_t attr;
    ASSERT_EQ(pthread_attr_init(&attr), 0);
    ASSERT_EQ(pthread_attr_setstacksize(&attr, size), 0);
    pthread_t th;
    auto body = [](void *arg) -> void * {
        (*(const std::function<void()> *)arg)();
        return nullptr;
    };
    ASSERT_EQ(pthread_create(&th, &attr, body, (void *)&fn), 0);
    pthread_join(th, nullptr);
    pthread_attr_destroy(&attr);
}

Bytes zlib_raw(const Bytes &data, int level) {
    z_stream z{};
    deflateInit2(&z, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    Bytes out(deflateBound(&z, data.size()));
    z.next_in = const_cast<Bytef *>(data.data());
    z.avail_in = (uInt)data.size();
    z.next_out = out.data();
    z.avail_out = (uInt)out.size();
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

// Text-like data: zlib codes it with dynamic Huffman blocks, the largest inflate tables.
Bytes text_like(size_t n) {
    std::mt19937 rng(3);
    Bytes d(n);
    for (auto &b : d) b = (uint8_t)"abcdefghij klmnopq,.\n"[rng() % 21];
    return d;
}

TEST(SmallStack, EveryExportedFunctionRunsOnA32KiBThread) {
    if (!FRAMES_AS_SHIPPED) GTEST_SKIP() << "frame sizes are those of the optimised build only";
    TempDir tmp;
    const std::string png = data_path(PNG_RGBA), jpg = data_path(JPEG_420);
    write_file(tmp.file("a.png"), read_file(png));
    write_file(tmp.file("b.jpg"), read_file(jpg));
    const Bytes plain = text_like(100000), packed = zlib_raw(plain, 9);
    const Bytes jpeg_file = read_file(jpg);
    struct Outcome {
        int32_t inflated = 0;
        int png_w = 0, jpeg_w = 0, jpeg_mem_w = 0, info_w = 0;
        int png_written = 0, jpeg_written = 0, pdf = 0, single = 0, multiple = 0, directory = 0;
        bool inflate_same = false;
    } o;
    Bytes out(plain.size());
    run_on_stack(SMALL_STACK, [&] {
        o.inflated = kv_inflate(packed.data(), packed.size(), out.data(), out.size());
        o.inflate_same = out == plain;
        int h, c;
        const char *msg;
        unsigned char *px = kv_png_decode(png.c_str(), &o.png_w, &h, &msg);
        if (px) o.png_written = kv_png_write(tmp.file("w.png").c_str(), o.png_w, h, px);
        std::free(px);
        px = kv_jpeg_decode(jpg.c_str(), &o.jpeg_w, &h, &msg);
        if (px) o.jpeg_written = kv_jpeg_write(tmp.file("w.jpg").c_str(), o.jpeg_w, h, px);
        std::free(px);
        px = kv_jpeg_decode_impl(jpeg_file.data(), jpeg_file.size(), &o.jpeg_mem_w, &h, &msg);
        std::free(px);
        kv_jpeg_info(jpg.c_str(), &o.info_w, &h, &c);
        Bytes one = {1, 2, 3, 4};
        PdfImage im = pixel_image(1, 1, one);
        PdfImage *list[] = {&im};
        o.pdf = pdf_write(tmp.file("p.pdf").c_str(), list, 1, 1, 150, &msg);
        folian_init();
        folian_set_page_size(FOLIAN_PAGE_LETTER);
        folian_set_dpi(96);
        folian_set_options(folian_get_options());
        o.single = folian_single(png.c_str(), tmp.file("s.pdf").c_str());
        const char *paths[] = {png.c_str(), jpg.c_str()};
        o.multiple = folian_multiple(paths, 2, tmp.file("m.pdf").c_str());
        o.directory = folian_directory(tmp.path.c_str(), tmp.file("d.pdf").c_str());
        folian_last_error();
        folian_cleanup();
        folian_init();
    });
    EXPECT_EQ(o.inflated, (int32_t)plain.size());
    EXPECT_TRUE(o.inflate_same);
    EXPECT_GT(o.png_w, 0);
    EXPECT_EQ(o.png_written, 1);
    EXPECT_EQ(o.jpeg_w, 96);
    EXPECT_EQ(o.jpeg_mem_w, 96);
    EXPECT_EQ(o.jpeg_written, 1);
    EXPECT_EQ(o.info_w, 96);
    EXPECT_EQ(o.pdf, 1);
    EXPECT_EQ(o.single, 1);
    EXPECT_EQ(o.multiple, 1);
    EXPECT_EQ(o.directory, 4);  // a.png, b.jpg and the two files written
}

// ---- Several threads --------------------------------------------------------------------------

// One call of a codec and what it must give: the same on every thread as alone.
struct Case {
    std::function<std::string()> run;  // a digest of the outcome: result, message, bytes
    std::string expect;
};

std::string digest(const char *msg, const unsigned char *px, size_t n) {
    uLong crc = px ? crc32(0L, px, (uInt)n) : 0;
    return std::string(msg ? msg : "(null)") + "/" + std::to_string(crc);
}

TEST(Threads, CodecsRunConcurrentlyWithMixedInputs) {
    TempDir tmp;
    std::vector<Case> cases;
    // Inflate: a valid dynamic stream and the same stream damaged.
    const Bytes plain = text_like(20000), packed = zlib_raw(plain, 9);
    Bytes damaged = packed;
    damaged[damaged.size() / 2] ^= 0x5A;
    for (const Bytes *in : std::vector<const Bytes *>{&packed, &damaged}) {
        cases.push_back({[in, n = plain.size()] {
            Bytes out(n);
            int32_t r = kv_inflate(in->data(), in->size(), out.data(), out.size());
            return std::to_string(r) + "/" + std::to_string(crc32(0L, out.data(), (uInt)out.size()));
        }, ""});
    }
    // PNG decoding: a good file, a truncated one, one with a broken checksum.
    const Bytes png = read_file(data_path(PNG_RGBA));
    Bytes png_cut(png.begin(), png.begin() + (long)png.size() / 2), png_bad = png;
    png_bad[png_bad.size() / 2] ^= 1;
    int k = 0;
    for (const Bytes *file : std::vector<const Bytes *>{&png, &png_cut, &png_bad}) {
        std::string path = tmp.file("in" + std::to_string(k++) + ".png");
        write_file(path, *file);
        cases.push_back({[path] {
            int w = 0, h = 0;
            const char *msg = nullptr;
            unsigned char *px = kv_png_decode(path.c_str(), &w, &h, &msg);
            std::string d = digest(msg, px, (size_t)w * h * 4);
            std::free(px);
            return d;
        }, ""});
    }
    // JPEG decoding from memory and from files, good and bad streams with different texts.
    std::vector<Bytes> jpegs;
    for (const char *name : {"baseline-420.jpg", "grey.jpg", "arithmetic.jpg", "eoi-before-sof.jpg",
                             "bad-marker-start.jpg", "empty.jpg", "fill-bytes-before-rst.jpg"})
        jpegs.push_back(read_file(data_path(std::string("jpeg/") + name)));
    Bytes progressive = jpegs[0];
    for (size_t i = 0; i + 1 < progressive.size(); i++)
        if (progressive[i] == 0xFF && progressive[i + 1] == 0xC0) progressive[i + 1] = 0xC2;
    jpegs.push_back(progressive);
    jpegs.push_back(Bytes(jpegs[0].begin(), jpegs[0].begin() + 300));
    for (const Bytes &j : jpegs) {
        const Bytes *jp = &j;
        cases.push_back({[jp] {
            int w = 0, h = 0;
            const char *msg = nullptr;
            unsigned char *px = kv_jpeg_decode_impl(jp->data(), jp->size(), &w, &h, &msg);
            std::string d = digest(msg, px, (size_t)w * h * 4);
            std::free(px);
            return d;
        }, ""});
    }
    for (const char *name : {"baseline-422.jpg", "no-such-file.jpg"}) {
        std::string path = data_path(std::string("jpeg/") + name);
        cases.push_back({[path] {
            int w = 0, h = 0, c = 0;
            const char *msg = nullptr;
            int info = kv_jpeg_info(path.c_str(), &w, &h, &c);
            unsigned char *px = kv_jpeg_decode(path.c_str(), &w, &h, &msg);
            std::string d = std::to_string(info) + std::to_string(c) + digest(msg, px, (size_t)w * h * 4);
            std::free(px);
            return d;
        }, ""});
    }
    // Encoders and the writer, each call to a file of its own; a failing call mixed in.
    Bytes rgba(37 * 21 * 4);
    for (size_t i = 0; i < rgba.size(); i++) rgba[i] = (uint8_t)(i * 7 + i / 97);
    std::atomic<int> file_seq{0};
    auto own_file = [&tmp, &file_seq](const char *ext) {
        return tmp.file("out" + std::to_string(file_seq++) + ext);
    };
    cases.push_back({[&rgba, own_file] {
        std::string path = own_file(".png");
        int ok = kv_png_write(path.c_str(), 37, 21, rgba.data());
        Bytes f = read_file(path);
        std::remove(path.c_str());
        return std::to_string(ok) + "/" + std::to_string(crc32(0L, f.data(), (uInt)f.size()));
    }, ""});
    cases.push_back({[&rgba, own_file] {
        std::string path = own_file(".jpg");
        int ok = kv_jpeg_write(path.c_str(), 37, 21, rgba.data());
        Bytes f = read_file(path);
        std::remove(path.c_str());
        return std::to_string(ok) + "/" + std::to_string(crc32(0L, f.data(), (uInt)f.size()));
    }, ""});
    cases.push_back({[&rgba, own_file] {
        std::string path = own_file(".pdf");
        PdfImage im = pixel_image(37, 21, rgba);
        PdfImage *list[] = {&im};
        const char *msg = nullptr;
        int ok = pdf_write(path.c_str(), list, 1, 2, 150, &msg);
        Bytes f = read_file(path);
        std::remove(path.c_str());
        return std::to_string(ok) + msg + "/" + std::to_string(crc32(0L, f.data(), (uInt)f.size()));
    }, ""});
    cases.push_back({[&rgba, &tmp] {
        return std::to_string(kv_png_write(tmp.file("no/dir.png").c_str(), 37, 21, rgba.data())) +
               std::to_string(kv_jpeg_write(tmp.file("no/dir.jpg").c_str(), 0, 21, rgba.data()));
    }, ""});

    for (Case &c : cases) c.expect = c.run();
    // A failure text kept by the caller stays what it was while other threads fail.
    const char *kept = nullptr;
    std::free(kv_jpeg_decode_impl(jpegs[2].data(), jpegs[2].size(), nullptr, nullptr, &kept));
    ASSERT_NE(kept, nullptr);
    ASSERT_STRNE(kept, "");
    const std::string kept_text = kept;

    constexpr int THREADS = 4;
    const int rounds = FRAMES_AS_SHIPPED ? 60 : 8;
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; t++) {
        threads.emplace_back([&, t] {
            for (int r = 0; r < rounds; r++)
                for (size_t i = 0; i < cases.size(); i++) {
                    const Case &c = cases[(i + (size_t)t * 5 + (size_t)r) % cases.size()];
                    if (c.run() != c.expect) wrong++;
                }
        });
    }
    for (auto &th : threads) th.join();
    EXPECT_EQ(wrong.load(), 0);
    const char *other = nullptr;
    std::free(kv_jpeg_decode_impl(progressive.data(), progressive.size(), nullptr, nullptr, &other));
    ASSERT_NE(std::string(other), kept_text);
    EXPECT_EQ(std::string(kept), kept_text) << "a kept message changed under its caller";
}

}  // namespace
