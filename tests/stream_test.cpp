// Streamed documents are byte for byte what a plain whole-document writer makes, through
// every entry point; failures keep their precedence and leave no file (full disk included);
// memory does not grow with the page count; the page-at-a-time API matches folian_multiple.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "folian.h"
#include "jpeg/jpeg.h"
#include "pdf_test_util.h"
#include "pdf_write.h"
#include "test_util.h"

namespace {

// ---- Reference: the whole document in memory, objects in slots, assembled at the end ----

std::string fmt(const char *f, ...) __attribute__((format(printf, 1, 2)));
std::string fmt(const char *f, ...) {
    char buf[4096];
    va_list ap;
    va_start(ap, f);
    vsnprintf(buf, sizeof buf, f, ap);
    va_end(ap);
    return buf;
}

std::string zlib_stored(const std::vector<uint8_t> &in) {
    std::string z = "\x78\x01";
    size_t pos = 0;
    do {
        size_t len = std::min<size_t>(in.size() - pos, 65535);
        bool final = pos + len == in.size();
        z += (char)(final ? 1 : 0);
        z += (char)(len & 255);
        z += (char)(len >> 8);
        z += (char)(~len & 255);
        z += (char)((~len >> 8) & 255);
        z.append((const char *)in.data() + pos, len);
        pos += len;
    } while (pos < in.size());
    uint32_t a = 1, b = 0;
    for (uint8_t c : in) {
        a = (a + c) % 65521;
        b = (b + a) % 65521;
    }
    uint32_t adler = b << 16 | a;
    for (int s = 24; s >= 0; s -= 8) z += (char)((adler >> s) & 255);
    return z;
}

std::string reference_pdf(const std::vector<PdfImage> &images, int mode, int dpi) {
    static const double paper[4][2] = {{0, 0}, {595.28, 841.89}, {612, 792}, {841.89, 1190.55}};
    std::vector<std::string> obj(3);
    std::string kids;
    int next = 3;
    for (const PdfImage &im : images) {
        int page = next, image = next + 1;
        bool alpha = false;
        for (int64_t i = 0; !im.jpeg_data && i < (int64_t)im.width * im.height; i++)
            if (im.pixels[i * 4 + 3] != 255) alpha = true;
        int smask = alpha ? next + 2 : 0, content = alpha ? next + 3 : next + 2;
        next = content + 1;
        obj.resize(next);
        kids += fmt("%s%d 0 R", kids.empty() ? "" : " ", page);
        double iw = im.width * 72.0 / dpi, ih = im.height * 72.0 / dpi, pw = iw, ph = ih, sc = 1,
               ox = 0, oy = 0;
        if (mode) {
            pw = paper[mode][0];
            ph = paper[mode][1];
            sc = std::min(ph / ih, pw / iw);
            if (ph / ih == pw / iw) sc = pw / iw;
            ox = 0.5 * (pw - iw * sc);
            oy = 0.5 * (ph - ih * sc);
        }
        obj[page] = fmt("<< /Type /Page /Parent 2 0 R /MediaBox [0 0 %.2f %.2f] /Resources << /ProcSet "
                        "[/PDF /ImageC] /XObject << /Im0 %d 0 R >> >> /Contents %d 0 R >>",
                        pw, ph, image, content);
        if (im.jpeg_data) {
            std::string cs = im.jpeg_components == 1 ? "/DeviceGray"
                             : im.jpeg_components != 4 ? "/DeviceRGB"
                             : jpeg_has_adobe_segment(im.jpeg_data, im.jpeg_len)
                                 ? "/DeviceCMYK /Decode [1 0 1 0 1 0 1 0]"
                                 : "/DeviceCMYK";
            obj[image] = fmt("<< /Type /XObject /Subtype /Image /Width %d /Height %d /ColorSpace %s "
                             "/BitsPerComponent 8 /Filter /DCTDecode /Length %llu >>\nstream\n",
                             im.width, im.height, cs.c_str(), (unsigned long long)im.jpeg_len) +
                         std::string((const char *)im.jpeg_data, im.jpeg_len) + "\nendstream\n";
        } else {
            std::vector<uint8_t> rgb, a;
            for (int64_t i = 0; i < (int64_t)im.width * im.height; i++) {
                rgb.insert(rgb.end(), im.pixels + i * 4, im.pixels + i * 4 + 3);
                a.push_back(im.pixels[i * 4 + 3]);
            }
            std::string z = zlib_stored(rgb);
            obj[image] = fmt("<< /Type /XObject /Subtype /Image /Width %d /Height %d /ColorSpace /DeviceRGB "
                             "/BitsPerComponent 8 /Filter /FlateDecode ",
                             im.width, im.height) +
                         (alpha ? fmt("/SMask %d 0 R ", smask) : "") +
                         fmt("/Length %zu >>\nstream\n", z.size()) + z + "\nendstream\n";
            if (alpha) {
                std::string za = zlib_stored(a);
                obj[smask] = fmt("<< /Type /XObject /Subtype /Image /Width %d /Height %d /ColorSpace "
                                 "/DeviceGray /BitsPerComponent 8 /Filter /FlateDecode /Length %zu >>\nstream\n",
                                 im.width, im.height, za.size()) +
                             za + "\nendstream\n";
            }
        }
        std::string text = fmt("q\n%.2f 0 0 %.2f %.2f %.2f cm\n/Im0 Do\nQ\n", iw * sc, ih * sc, ox, oy);
        obj[content] = fmt("<< /Length %zu >>\nstream\n", text.size()) + text + "endstream\n";
    }
    obj[1] = "<< /Type /Catalog /Pages 2 0 R >>";
    obj[2] = "<< /Type /Pages /Kids [" + kids + fmt("] /Count %zu >>", images.size());
    std::string out = "%PDF-1.4\n%\xE2\xE3\xCF\xD3\n";
    std::vector<size_t> off(next);
    for (int i = 1; i < next; i++) {
        off[i] = out.size();
        out += fmt("%d 0 obj\n", i) + obj[i] + "\nendobj\n";
    }
    size_t xref = out.size();
    out += fmt("xref\n0 %d\n0000000000 65535 f \n", next);
    for (int i = 1; i < next; i++) out += fmt("%010zu 00000 n \n", off[i]);
    out += fmt("trailer\n<< /Size %d /Root 1 0 R >>\nstartxref\n%zu\n%%%%EOF\n", next, xref);
    return out;
}

// ---- Random batches -----------------------------------------------------------------------

struct Page {
    std::string path;
    std::vector<uint8_t> bytes;  // RGBA pixels, or the JPEG file
    PdfImage image;
};

const char *JPEGS[] = {"jpeg/grey.jpg", "jpeg/baseline-420.jpg", "jpeg/cmyk-adobe0.jpg",
                       "jpeg/cmyk-noadobe.jpg", "jpeg/odd-1x1.jpg", "jpeg/odd-33x9.jpg"};

Page random_page(std::mt19937 &rng, const TempDir &tmp, int index) {
    Page p;
    if (rng() % 3 == 0) {
        p.path = tmp.file("p" + std::to_string(index) + ".jpg");
        p.bytes = read_file(data_path(JPEGS[rng() % 6]));
        write_file(p.path, p.bytes);
        int w, h, c;
        EXPECT_TRUE(jpeg_probe_memory(p.bytes.data(), p.bytes.size(), &w, &h, &c));
        p.image = jpeg_image(p.bytes, c);
        p.image.width = w;
        p.image.height = h;
        return p;
    }
    // Sizes up to 300 x 300 cross the 65535-byte block boundary and the write buffer's.
    int w = 1 + (int)(rng() % 300), h = 1 + (int)(rng() % (rng() % 4 ? 40 : 300));
    p.bytes.resize((size_t)w * h * 4);
    for (auto &b : p.bytes) b = (uint8_t)rng();
    bool alpha = rng() % 2;
    for (size_t i = 3; i < p.bytes.size(); i += 4) p.bytes[i] = alpha && rng() % 7 == 0 ? (uint8_t)rng() : 255;
    p.path = tmp.file("p" + std::to_string(index) + ".png");
    EXPECT_EQ(kv_png_write(p.path.c_str(), w, h, p.bytes.data()), 1);
    p.image = pixel_image(w, h, p.bytes);
    return p;
}

TEST(Streaming, RandomBatchesMatchTheWholeDocumentWriter) {
    std::mt19937 rng(20261209);
    const int dpis[] = {72, 150, 97, 1, 10000, 333};
    for (int round = 0; round < 24; round++) {
        TempDir tmp;
        int n = 1 + (int)(rng() % (round % 6 == 5 ? 50 : 12));
        std::vector<Page> pages;
        for (int i = 0; i < n; i++) pages.push_back(random_page(rng, tmp, i));
        int mode = (int)(rng() % 4), dpi = dpis[rng() % 6];
        std::vector<PdfImage> images;
        std::vector<PdfImage *> list;
        std::vector<const char *> paths;
        for (Page &p : pages) images.push_back(p.image);
        for (size_t i = 0; i < pages.size(); i++) {
            list.push_back(&images[i]);
            paths.push_back(pages[i].path.c_str());
        }
        std::string expect = reference_pdf(images, mode, dpi);
        SCOPED_TRACE("round " + std::to_string(round) + ": " + std::to_string(n) + " pages, mode " +
                     std::to_string(mode) + ", " + std::to_string(dpi) + " dpi");

        const char *msg;
        std::string known = tmp.file("known.pdf");
        ASSERT_EQ(pdf_write(known.c_str(), list.data(), n, mode, dpi, &msg), 1) << msg;
        EXPECT_TRUE(read_text(known) == expect);

        folian_init();
        folian_set_page_size(mode);
        folian_set_dpi(dpi);
        std::string multi = tmp.file("multi.pdf");
        ASSERT_EQ(folian_multiple(paths.data(), n, multi.c_str()), 1) << folian_last_error();
        EXPECT_TRUE(read_text(multi) == expect);

        std::string paged = tmp.file("paged.pdf");
        folian_doc *doc = folian_doc_begin(paged.c_str());
        ASSERT_NE(doc, nullptr) << folian_last_error();
        for (const char *p : paths) EXPECT_EQ(folian_doc_add(doc, p), 1) << folian_last_error();
        ASSERT_EQ(folian_doc_finish(doc), 1) << folian_last_error();
        EXPECT_TRUE(read_text(paged) == expect);
        folian_init();
    }
}

// ---- Failures --------------------------------------------------------------------------------

class StreamFailures : public ::testing::Test {
protected:
    void SetUp() override { folian_init(); }
    void TearDown() override { folian_init(); }
    TempDir tmp;
};

TEST_F(StreamFailures, LoadFailuresOutrankWriterFailures) {
    std::string good = data_path("jpeg/odd-33x9.jpg"), two = tmp.file("two.jpg");
    // A two-component JPEG loads but the writer refuses it.
    std::vector<uint8_t> j = read_file(data_path("jpeg/odd-1x1.jpg"));
    write_file(two, j);
    std::string missing = tmp.file("missing.jpg");
    std::string nodir = tmp.file("no/such/out.pdf");
    const char *open_then_load[] = {good.c_str(), good.c_str(), missing.c_str()};
    EXPECT_EQ(folian_multiple(open_then_load, 3, nodir.c_str()), 0);
    EXPECT_EQ(std::string(folian_last_error()), "folian_multiple: failed on " + missing);
    const char *open_only[] = {good.c_str(), good.c_str()};
    EXPECT_EQ(folian_multiple(open_only, 2, nodir.c_str()), 0);
    EXPECT_STREQ(folian_last_error(), "pdf_write: cannot open output file");
    std::string bad_png = tmp.file("bad.png");
    write_file(bad_png, j);
    const char *then_png[] = {good.c_str(), bad_png.c_str()};
    EXPECT_EQ(folian_multiple(then_png, 2, nodir.c_str()), 0);
    EXPECT_STREQ(folian_last_error(), "png: not a PNG file (bad signature)");
    EXPECT_TRUE(list_dir(tmp.path) == (std::vector<std::string>{"bad.png", "two.jpg"}));
}

TEST_F(StreamFailures, BadImageOutranksAnOutputThatCannotBeOpened) {
    // 2 components in the frame header of a real file: loads, then the writer refuses it.
    std::vector<uint8_t> j = read_file(data_path("jpeg/grey.jpg"));
    int w, h, c;
    ASSERT_TRUE(jpeg_probe_memory(j.data(), j.size(), &w, &h, &c));
    PdfImage good = jpeg_image(j, 1), bad = good;
    good.width = bad.width = w;
    good.height = bad.height = h;
    bad.jpeg_components = 2;
    PdfDoc doc;
    std::string nodir = tmp.file("no/out.pdf");
    ASSERT_TRUE(pdf_doc_begin(&doc, nodir.c_str(), 0, 150));
    EXPECT_STREQ(doc.message, "pdf_write: cannot open output file");
    EXPECT_FALSE(pdf_doc_add(&doc, &good));
    EXPECT_FALSE(pdf_doc_add(&doc, &bad));
    EXPECT_STREQ(doc.message, "pdf_write: bad image");
    EXPECT_FALSE(pdf_doc_finish(&doc));
    EXPECT_STREQ(doc.message, "pdf_write: bad image");
    pdf_doc_free(&doc);
    PdfImage *list[] = {&good, &bad};
    const char *msg;
    EXPECT_EQ(pdf_write(nodir.c_str(), list, 2, 0, 150, &msg), 0);
    EXPECT_STREQ(msg, "pdf_write: bad image");
}

TEST_F(StreamFailures, FullDiskInTheMiddleOfAFiveHundredPageBatch) {
    // The file-size limit stands in for a full disk: writes past it fail (EFBIG) part way,
    // in the scratch file, as a full disk would.
    std::vector<uint8_t> px(64 * 64 * 4, 200);
    std::string png = tmp.file("page.png");
    ASSERT_EQ(kv_png_write(png.c_str(), 64, 64, px.data()), 1);
    std::vector<std::string> names(500, png);
    std::vector<const char *> paths;
    for (auto &n : names) paths.push_back(n.c_str());
    std::string out = tmp.file("out.pdf");
    write_file(out, {'o', 'l', 'd'});
    struct rlimit old;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    void (*old_handler)(int) = signal(SIGXFSZ, SIG_IGN);
    struct rlimit lim = old;
    lim.rlim_cur = 3 << 20;  // a page is 12 KiB: the limit falls near page 250
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &lim), 0);
    int ok = folian_multiple(paths.data(), 500, out.c_str());
    std::string err = folian_last_error();
    folian_doc *doc = folian_doc_begin(out.c_str());
    int added = 0, failed_at = -1;
    for (int i = 0; doc && i < 500 && failed_at < 0; i++) {
        if (folian_doc_add(doc, paths[i])) added++;
        else failed_at = i;
    }
    std::string add_err = folian_last_error();
    if (doc) folian_doc_abort(doc);
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, old_handler);
    EXPECT_EQ(ok, 0);
    EXPECT_EQ(err, "pdf_write: write failed");
    EXPECT_GT(failed_at, 100);
    EXPECT_LT(failed_at, 400);
    EXPECT_EQ(add_err, "pdf_write: write failed");
    EXPECT_EQ(read_file(out), (std::vector<uint8_t>{'o', 'l', 'd'}));
    EXPECT_EQ(list_dir(tmp.path), (std::vector<std::string>{"out.pdf", "page.png"}));
}

// ---- Page at a time -------------------------------------------------------------------------

TEST_F(StreamFailures, PageAtATimeReportsEachFailureAtOnce) {
    std::string good = data_path("jpeg/odd-33x9.jpg"), png = data_path("png/misc/im-rgba8.png");
    std::string out = tmp.file("d.pdf");
    write_file(out, {'o', 'l', 'd'});
    EXPECT_EQ(folian_doc_begin(nullptr), nullptr);
    EXPECT_STREQ(folian_last_error(), "folian_doc_begin: bad arguments");
    EXPECT_EQ(folian_doc_begin(tmp.file("no/x.pdf").c_str()), nullptr);
    EXPECT_STREQ(folian_last_error(), "pdf_write: cannot open output file");
    EXPECT_EQ(folian_doc_add(nullptr, good.c_str()), 0);
    EXPECT_STREQ(folian_last_error(), "folian_doc_add: bad arguments");
    EXPECT_EQ(folian_doc_finish(nullptr), 0);
    folian_doc_abort(nullptr);

    folian_set_dpi(72);
    folian_doc *doc = folian_doc_begin(out.c_str());
    ASSERT_NE(doc, nullptr);
    folian_set_dpi(300);  // the document keeps the settings it began with
    EXPECT_EQ(folian_doc_add(doc, good.c_str()), 1);
    EXPECT_EQ(folian_doc_add(doc, "x.gif"), 0);
    EXPECT_STREQ(folian_last_error(), "folian_doc_add: bad image path");
    std::string missing = tmp.file("none.jpg");
    EXPECT_EQ(folian_doc_add(doc, missing.c_str()), 0);
    EXPECT_STREQ(folian_last_error(), "jpeg: cannot read file");  // the reason, not the path again
    EXPECT_EQ(folian_doc_add(doc, tmp.file("none.png").c_str()), 0);
    EXPECT_STREQ(folian_last_error(), "png: cannot read file");
    EXPECT_EQ(folian_doc_add(doc, png.c_str()), 1);
    EXPECT_EQ(read_file(out), (std::vector<uint8_t>{'o', 'l', 'd'}));  // nothing replaced yet
    ASSERT_EQ(folian_doc_finish(doc), 1) << folian_last_error();
    // Failed adds left no trace: the file is what the list of the good ones gives.
    std::string ref = tmp.file("ref.pdf");
    const char *both[] = {good.c_str(), png.c_str()};
    folian_set_dpi(72);
    ASSERT_EQ(folian_multiple(both, 2, ref.c_str()), 1);
    EXPECT_EQ(read_file(out), read_file(ref));

    // Abort, and finishing without pages, leave the old file and nothing else.
    write_file(out, {'o', 'l', 'd'});
    doc = folian_doc_begin(out.c_str());
    ASSERT_NE(doc, nullptr);
    EXPECT_EQ(folian_doc_add(doc, good.c_str()), 1);
    folian_doc_abort(doc);
    doc = folian_doc_begin(out.c_str());
    ASSERT_NE(doc, nullptr);
    EXPECT_EQ(folian_doc_finish(doc), 0);
    EXPECT_STREQ(folian_last_error(), "folian_doc_finish: no pages");
    EXPECT_EQ(read_file(out), (std::vector<uint8_t>{'o', 'l', 'd'}));
    EXPECT_EQ(list_dir(tmp.path), (std::vector<std::string>{"d.pdf", "ref.pdf"}));
}

// ---- Several threads ---------------------------------------------------------------------

struct Record {
    folian_settings *s = folian_settings_new();
    ~Record() { folian_settings_free(s); }
};

// One batch through folian_convert with `jobs` threads: the file's bytes, or "!" and the error.
std::string convert_with_jobs(const std::vector<const char *> &paths, const std::string &out, int jobs,
                              bool compact, int mode = 0, int dpi = 150) {
    Record r;
    const char *sizes[] = {"image", "a4", "letter", "a3"};
    EXPECT_EQ(folian_settings_set(r.s, "jobs", std::to_string(jobs).c_str()), 1);
    folian_settings_set(r.s, "compact", compact ? "on" : "off");
    folian_settings_set(r.s, "page-size", sizes[mode]);
    folian_settings_set(r.s, "dpi", std::to_string(dpi).c_str());
    char error[512] = "";
    if (!folian_convert(r.s, paths.data(), (int)paths.size(), out.c_str(), error, sizeof error))
        return std::string("!") + error;
    std::string bytes = read_text(out);
    unlink(out.c_str());
    return bytes;
}

TEST(Threads, RandomBatchesAreTheSameBytesWhateverTheJobs) {
    std::mt19937 rng(20261210);
    const int dpis[] = {72, 150, 97, 333};
    for (int round = 0; round < (kSanitized ? 4 : 12); round++) {
        TempDir tmp;
        const int n = 1 + (int)(rng() % (round % 4 == 3 ? 40 : 12));
        std::vector<Page> pages;
        std::vector<PdfImage> images;
        std::vector<const char *> paths;
        for (int i = 0; i < n; i++) pages.push_back(random_page(rng, tmp, i));
        for (Page &p : pages) {
            images.push_back(p.image);
            paths.push_back(p.path.c_str());
        }
        const int mode = (int)(rng() % 4), dpi = dpis[rng() % 4];
        SCOPED_TRACE("round " + std::to_string(round) + ": " + std::to_string(n) + " pages");
        const std::string stored = reference_pdf(images, mode, dpi), out = tmp.file("out.pdf");
        const std::string compact = convert_with_jobs(paths, out, 1, true, mode, dpi);
        for (int jobs : {1, 2, 3, 8}) {
            EXPECT_TRUE(convert_with_jobs(paths, out, jobs, false, mode, dpi) == stored) << jobs << " jobs";
            EXPECT_TRUE(convert_with_jobs(paths, out, jobs, true, mode, dpi) == compact) << jobs << " jobs";
        }
    }
}

// The first failing page in page order is reported, whichever a worker met first, and no file
// is left; folian_doc_add_pages says how many pages went in.
TEST(Threads, FailurePrecedenceUnderParallelLoading) {
    TempDir tmp;
    std::vector<uint8_t> px(400 * 300 * 4, 90);
    const std::string big = tmp.file("big.png"), small = data_path("jpeg/odd-33x9.jpg");
    ASSERT_EQ(kv_png_write(big.c_str(), 400, 300, px.data()), 1);
    const std::string broken = tmp.file("broken.png"), missing = tmp.file("missing.jpg");
    write_file(broken, {1, 2, 3});
    for (int first_bad = 0; first_bad < 6; first_bad++) {
        // A slow page before the failure, and quick failures after it that workers reach first.
        std::vector<const char *> paths(8, small.c_str());
        paths[(size_t)first_bad] = broken.c_str();
        if (first_bad > 0) paths[(size_t)first_bad - 1] = big.c_str();
        paths[7] = missing.c_str();
        const std::string out = tmp.file("out.pdf");
        const std::string one = convert_with_jobs(paths, out, 1, true);
        ASSERT_EQ(one, "!" + broken + ": png: not a PNG file (bad signature)");
        for (int jobs : {2, 3, 8}) EXPECT_EQ(convert_with_jobs(paths, out, jobs, true), one) << jobs;
        Record r;
        folian_settings_set(r.s, "jobs", "3");
        folian_doc *doc = folian_doc_open(out.c_str(), r.s);
        EXPECT_EQ(folian_doc_add_pages(doc, paths.data(), 8, nullptr, nullptr), first_bad);
        EXPECT_STREQ(folian_doc_error(doc), "png: not a PNG file (bad signature)");
        folian_doc_abort(doc);
        EXPECT_EQ(list_dir(tmp.path), (std::vector<std::string>{"big.png", "broken.png"}));
    }
}

// A caller stops a batch after any page; the threads are gone when the call returns.
TEST(Threads, AHostStopsABatchBetweenPages) {
    TempDir tmp;
    const std::string jpeg = data_path("jpeg/baseline-420.jpg"), out = tmp.file("out.pdf");
    std::vector<const char *> paths(20, jpeg.c_str());
    Record r;
    folian_settings_set(r.s, "jobs", "0");
    EXPECT_GE(folian_settings_threads(r.s), 1);
    EXPECT_EQ(folian_settings_threads(nullptr), 1);
    folian_settings_set(r.s, "jobs", "4");
    for (int stop_after : {0, 7, 19}) {
        folian_doc *doc = folian_doc_open(out.c_str(), r.s);
        auto stop = [](void *ctx, int index) { return index == *(int *)ctx ? 0 : 1; };
        EXPECT_EQ(folian_doc_add_pages(doc, paths.data(), 20, stop, &stop_after), stop_after + 1);
        EXPECT_STREQ(folian_doc_error(doc), stop_after < 19 ? "stopped by the caller" : "");
        folian_doc_abort(doc);
        EXPECT_TRUE(list_dir(tmp.path).empty());
    }
}

// ---- Memory ---------------------------------------------------------------------------------


long peak_rss_kib() {
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss;
}

TEST(Streaming, PeakMemoryDoesNotGrowWithThePageCount) {
    if (kSanitized) GTEST_SKIP() << "resident size is only meaningful in the optimised build";
    // 200 pages of one 1000 x 1000 RGBA image: 4 MB decoded, about 800 MB of document,
    // which the old whole-document writer held twice over.
    TempDir tmp;
    std::vector<uint8_t> px(1000 * 1000 * 4);
    for (size_t i = 0; i < px.size(); i++) px[i] = (uint8_t)(i * 7 + i / 4093);
    std::string png = tmp.file("p.png");
    ASSERT_EQ(kv_png_write(png.c_str(), 1000, 1000, px.data()), 1);
    px = {};
    std::vector<std::string> names(200, png);
    std::vector<const char *> paths;
    for (auto &n : names) paths.push_back(n.c_str());
    long before = peak_rss_kib();
    std::string out = tmp.file("o.pdf");
    folian_init();
    ASSERT_EQ(folian_multiple(paths.data(), 200, out.c_str()), 1) << folian_last_error();
    long grown = peak_rss_kib() - before;
    // One page decoded (4 MB) and its PNG file (4 MB), plus the write buffer.
    EXPECT_LT(grown, 64 * 1024) << "peak resident size grew by " << grown << " KiB";
}

// Compact pages hold one page too: its decoded image, its file, and one compressed plane.
TEST(Streaming, CompactPeakMemoryDoesNotGrowWithThePageCount) {
    if (kSanitized) GTEST_SKIP() << "resident size is only meaningful in the optimised build";
    TempDir tmp;
    std::vector<uint8_t> px(1000 * 1000 * 4);
    for (size_t i = 0; i < px.size(); i++) px[i] = (uint8_t)(i % 4 == 3 ? i / 40000 : (i * 7 + i / 4093));
    std::string png = tmp.file("p.png");
    ASSERT_EQ(kv_png_write_ex(png.c_str(), 1000, 1000, px.data(), KV_PNG_COMPRESS), 1);
    px = {};
    const std::string rgb = data_path("png/misc/py-rgb8-many-idat.png");  // passed through
    std::vector<const char *> paths(100, png.c_str());
    paths.push_back(rgb.c_str());
    long before = peak_rss_kib();
    std::string out = tmp.file("o.pdf");
    folian_init();
    folian_set_options(FOLIAN_OPT_COMPACT);
    ASSERT_EQ(folian_multiple(paths.data(), (int)paths.size(), out.c_str()), 1) << folian_last_error();
    folian_init();
    long grown = peak_rss_kib() - before;
    EXPECT_LT(grown, 64 * 1024) << "peak resident size grew by " << grown << " KiB";
}

}  // namespace
