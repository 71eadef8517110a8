// compact_test.cpp: compact pages. Every fixture PNG and JPEG renders in poppler exactly as
// its default page does, and the document passes qpdf; PNG image data PDF can read as it is
// goes in byte for byte, with the palette or grey space and the predictor parameters that
// make it mean what the decoder read; streams a reader would take differently (bad check
// bits, a preset dictionary, bytes before the Adler-32, unknown filter types) are compressed
// again instead; host records compress to streams that give back their planes; the default
// layout keeps its bytes.
#include <gtest/gtest.h>
#include <png.h>
#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "flate/flate.h"
#include "folian.h"
#include "pdf_test_util.h"
#include "test_util.h"

namespace {

using Bytes = std::vector<uint8_t>;

uint32_t be32(const uint8_t *p) { return (uint32_t)p[0] << 24 | p[1] << 16 | p[2] << 8 | p[3]; }

struct PngParts {
    uint32_t width = 0, height = 0;
    int depth = 0, color = 0;
    Bytes plte, idat;  // PLTE data; every IDAT's data joined
};

PngParts png_parts(const Bytes &f) {
    PngParts p;
    for (size_t off = 8; off + 12 <= f.size();) {
        const uint32_t len = be32(&f[off]);
        const std::string type(f.begin() + off + 4, f.begin() + off + 8);
        const uint8_t *d = f.data() + off + 8;
        if (type == "IHDR") {
            p.width = be32(d);
            p.height = be32(d + 4);
            p.depth = d[8];
            p.color = d[9];
        } else if (type == "PLTE") {
            p.plte.assign(d, d + len);
        } else if (type == "IDAT") {
            p.idat.insert(p.idat.end(), d, d + len);
        } else if (type == "IEND") {
            break;
        }
        off += 12 + (size_t)len;
    }
    return p;
}

void add_chunk(Bytes &f, const char *type, const Bytes &data) {
    const uint32_t len = (uint32_t)data.size();
    for (int s = 24; s >= 0; s -= 8) f.push_back((uint8_t)(len >> s));
    Bytes body(type, type + 4);
    body.insert(body.end(), data.begin(), data.end());
    f.insert(f.end(), body.begin(), body.end());
    const uint32_t crc = (uint32_t)crc32(0, body.data(), (uInt)body.size());
    for (int s = 24; s >= 0; s -= 8) f.push_back((uint8_t)(crc >> s));
}

// An 8-bit RGB PNG whose one IDAT holds exactly `idat`.
Bytes rgb_png(uint32_t w, uint32_t h, const Bytes &idat) {
    Bytes f = {137, 80, 78, 71, 13, 10, 26, 10};
    Bytes ihdr = {(uint8_t)(w >> 24), (uint8_t)(w >> 16), (uint8_t)(w >> 8), (uint8_t)w,
                  (uint8_t)(h >> 24), (uint8_t)(h >> 16), (uint8_t)(h >> 8), (uint8_t)h, 8, 2, 0, 0, 0};
    add_chunk(f, "IHDR", ihdr);
    add_chunk(f, "IDAT", idat);
    add_chunk(f, "IEND", {});
    return f;
}

// One stream object of a written PDF: its dictionary text and its data.
struct PdfStream {
    std::string dict;
    Bytes data;
};

PdfStream stream_object(const std::string &pdf, int num) {
    PdfStream s;
    const std::vector<uint64_t> offs = object_offsets(pdf);
    if (num < 1 || (size_t)num > offs.size()) return s;
    const size_t begin = offs[num - 1];
    const size_t start = pdf.find("stream\n", begin);
    if (start == std::string::npos) return s;
    s.dict = pdf.substr(begin, start - begin);
    const size_t len_at = s.dict.rfind("/Length ");
    const size_t len = std::strtoull(s.dict.c_str() + len_at + 8, nullptr, 10);
    s.data.assign(pdf.begin() + start + 7, pdf.begin() + start + 7 + len);
    return s;
}

Bytes inflate_zlib(const Bytes &z, size_t expect) {
    Bytes out(expect + 1);
    uLongf n = (uLongf)out.size();
    if (uncompress(out.data(), &n, z.data(), (uLong)z.size()) != Z_OK) return {};
    out.resize(n);
    return out;
}

// Reverses PNG row filters of 8-bit samples, `colors` per pixel; empty on a bad filter byte.
Bytes unpredict(const Bytes &rows, size_t w, size_t h, size_t colors) {
    const size_t n = w * colors;
    if (rows.size() != h * (n + 1)) return {};
    Bytes out(h * n);
    for (size_t y = 0; y < h; y++) {
        const uint8_t f = rows[y * (n + 1)];
        if (f > 4) return {};
        for (size_t k = 0; k < n; k++) {
            const int x = rows[y * (n + 1) + 1 + k];
            const int a = k >= colors ? out[y * n + k - colors] : 0;
            const int b = y ? out[(y - 1) * n + k] : 0;
            const int c = y && k >= colors ? out[(y - 1) * n + k - colors] : 0;
            int pred = 0;
            if (f == 1) pred = a;
            if (f == 2) pred = b;
            if (f == 3) pred = (a + b) / 2;
            if (f == 4) {
                const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
                pred = pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
            }
            out[y * n + k] = (uint8_t)(x + pred);
        }
    }
    return out;
}

bool decodes(const std::string &path) {
    int w, h;
    const char *msg;
    unsigned char *px = kv_png_decode_ex(path.c_str(), KV_PNG_INTERLACED, &w, &h, &msg);
    std::free(px);
    return px != nullptr;
}

std::vector<std::string> fixture_pngs() {
    std::vector<std::string> out;
    for (const char *dir : {"png/pngsuite", "png/pngsuite-rewrapped", "png/misc"})
        for (const std::string &name : list_dir(data_path(dir)))
            if (name.size() > 4 && name.compare(name.size() - 4, 4, ".png") == 0 &&
                decodes(data_path(std::string(dir) + "/" + name)))
                out.push_back(data_path(std::string(dir) + "/" + name));
    return out;
}

std::vector<std::string> fixture_jpegs() {
    std::vector<std::string> out;
    for (const std::string &name : list_dir(data_path("jpeg"))) {
        const std::string path = data_path("jpeg/" + name);
        int w, h, c;
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".jpg") == 0 && kv_jpeg_info(path.c_str(), &w, &h, &c))
            out.push_back(path);
    }
    return out;
}

std::string convert(const std::vector<std::string> &files, const std::string &pdf, unsigned options) {
    std::vector<const char *> paths;
    for (const std::string &f : files) paths.push_back(f.c_str());
    folian_init();
    folian_set_dpi(72);  // one pixel per point: pages render sample for sample
    folian_set_options(options);
    const int ok = folian_multiple(paths.data(), (int)paths.size(), pdf.c_str());
    std::string err = folian_last_error();
    folian_init();
    return ok ? "" : err.empty() ? "failed" : err;
}

// Every page of a document rendered by poppler's cairo back end at 72 dpi, as RGB.
std::vector<Bytes> render_all(const std::string &pdf, const TempDir &tmp, const std::string &base) {
    std::vector<Bytes> pages;
    if (run_command("pdftocairo -png -r 72 '" + pdf + "' '" + tmp.file(base) + "'") != 0) return pages;
    for (const std::string &name : list_dir(tmp.path)) {
        if (name.compare(0, base.size() + 1, base + "-") != 0) continue;
        png_image img{};
        img.version = PNG_IMAGE_VERSION;
        if (!png_image_begin_read_from_file(&img, tmp.file(name).c_str())) return {};
        img.format = PNG_FORMAT_RGB;
        Bytes rgb(PNG_IMAGE_SIZE(img));
        if (!png_image_finish_read(&img, nullptr, rgb.data(), 0, nullptr)) return {};
        pages.push_back(std::move(rgb));
    }
    return pages;
}

// A compact document of `files` passes qpdf --check without warnings, and each of its pages
// renders exactly as the default document's page. Returns the compact document.
std::string expect_same_pages(const std::vector<std::string> &files, const TempDir &tmp) {
    // Interlaced files convert too, and are always compressed again.
    const std::string plain = tmp.file("plain.pdf"), compact = tmp.file("compact.pdf");
    EXPECT_EQ(convert(files, plain, FOLIAN_OPT_INTERLACED), "");
    EXPECT_EQ(convert(files, compact, FOLIAN_OPT_COMPACT | FOLIAN_OPT_INTERLACED), "");
    std::string out;
    EXPECT_EQ(run_command("qpdf --check '" + compact + "' 2>&1", &out), 0) << out;
    EXPECT_EQ(out.find("WARNING"), std::string::npos) << out;
    const std::vector<Bytes> want = render_all(plain, tmp, "plain"), got = render_all(compact, tmp, "compact");
    EXPECT_EQ(want.size(), files.size());
    EXPECT_EQ(got.size(), want.size());
    for (size_t i = 0; i < want.size() && i < got.size(); i++)
        EXPECT_TRUE(got[i] == want[i]) << "page " << i + 1 << ": " << files[i];
    return read_text(compact);
}

bool have_tools() { return have_program("qpdf") && have_program("pdftocairo"); }

TEST(CompactPages, EveryFixtureRendersAsItsDefaultPage) {
    if (!have_tools()) GTEST_SKIP() << "qpdf and pdftocairo are needed";
    const std::vector<std::string> pngs = fixture_pngs();
    ASSERT_GT(pngs.size(), 200u);
    TempDir tmp;
    const std::string compact = expect_same_pages(pngs, tmp);
    EXPECT_LT(compact.size() * 3, read_file(tmp.file("plain.pdf")).size());

    // JPEG pages are the same bytes in both modes (damaged fixtures included, whose data
    // qpdf rightly finds fault with in either).
    const std::vector<std::string> jpegs = fixture_jpegs();
    ASSERT_GT(jpegs.size(), 30u);
    const std::string plain = tmp.file("jpeg-plain.pdf"), packed = tmp.file("jpeg-compact.pdf");
    ASSERT_EQ(convert(jpegs, plain, 0), "");
    ASSERT_EQ(convert(jpegs, packed, FOLIAN_OPT_COMPACT), "");
    EXPECT_TRUE(read_file(plain) == read_file(packed));
}

// Image object of the first page (objects: catalog, page tree, page, image).
constexpr int FIRST_IMAGE = 4;

std::string single_compact(const std::string &png, const TempDir &tmp) {
    const std::string pdf = tmp.file("one.pdf");
    EXPECT_EQ(convert({png}, pdf, FOLIAN_OPT_COMPACT), "");
    return read_text(pdf);
}

std::string hex(const uint8_t *p, size_t n) {
    static const char *digits = "0123456789ABCDEF";
    std::string s;
    for (size_t i = 0; i < n; i++) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

TEST(CompactPages, PassedThroughDataIsTheFilesOwnImageData) {
    struct Case {
        const char *file;
        bool soft_mask;  // transparency from tRNS
    };
    const Case cases[] = {
        {"png/misc/py-rgb8-many-idat.png", false},  // several IDAT chunks joined
        {"png/misc/im-rgb8.png", false},
        {"png/pngsuite/basn3p02.png", false},  // 2-bit palette of 4 entries
        {"png/pngsuite/s01n3p01.png", false},  // 1 x 1, 1-bit palette
        {"png/misc/edge-pal-index-outside.png", false},  // indexes past the palette: black
        {"png/pngsuite/basn0g01.png", false},
        {"png/pngsuite/basn0g04.png", false},
        {"png/pngsuite/basn0g08.png", false},
        {"png/misc/py-pal4-trns-after-idat.png", true},
        {"png/misc/py-grey8-trns.png", true},
        {"png/misc/py-grey2-trns.png", true},
        {"png/misc/netpbm-rgb8-trns.png", false},  // RGB tRNS is not applied by the decoder
    };
    TempDir tmp;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.file);
        const Bytes file = read_file(data_path(c.file));
        const PngParts p = png_parts(file);
        const std::string pdf = single_compact(data_path(c.file), tmp);
        const PdfStream im = stream_object(pdf, FIRST_IMAGE);
        EXPECT_TRUE(im.data == p.idat);
        const int colors = p.color == 2 ? 3 : 1;
        const std::string parms = "/DecodeParms << /Predictor 15 /Colors " + std::to_string(colors) +
                                  " /BitsPerComponent " + std::to_string(p.depth) + " /Columns " +
                                  std::to_string(p.width) + " >>";
        EXPECT_NE(im.dict.find(parms), std::string::npos) << im.dict;
        EXPECT_NE(im.dict.find("/BitsPerComponent " + std::to_string(p.depth) + " "), std::string::npos);
        if (p.color == 3) {
            // Every index the depth holds has an entry; those past the PLTE are black.
            const size_t entries = (size_t)1 << p.depth;
            Bytes lookup(entries * 3, 0);
            std::copy(p.plte.begin(), p.plte.end(), lookup.begin());
            const std::string space =
                "[/Indexed /DeviceRGB " + std::to_string(entries - 1) + " <" + hex(lookup.data(), lookup.size()) + ">]";
            EXPECT_NE(im.dict.find(space), std::string::npos) << im.dict;
        } else {
            EXPECT_NE(im.dict.find(colors == 3 ? "/ColorSpace /DeviceRGB" : "/ColorSpace /DeviceGray"),
                      std::string::npos);
        }
        EXPECT_EQ(im.dict.find("/SMask") != std::string::npos, c.soft_mask) << im.dict;
        if (c.soft_mask) {
            const PdfStream mask = stream_object(pdf, FIRST_IMAGE + 1);
            EXPECT_NE(mask.dict.find("/Predictor 15 /Colors 1 /BitsPerComponent 8"), std::string::npos);
            EXPECT_LT(mask.data.size(), (size_t)p.width * p.height + 11);
        }
    }
}

// Streams our decoder reads but another reader would take differently are not passed on.
TEST(CompactPages, StreamsOtherReadersTakeDifferentlyAreCompressedAgain) {
    if (!have_tools()) GTEST_SKIP() << "qpdf and pdftocairo are needed";
    const uint32_t w = 7, h = 5;
    Bytes rows;
    for (uint32_t y = 0; y < h; y++) {
        rows.push_back((uint8_t)(y % 5));
        for (uint32_t k = 0; k < w * 3; k++) rows.push_back((uint8_t)(y * 40 + k * 9));
    }
    Bytes z(compressBound((uLong)rows.size()));
    uLongf zn = (uLongf)z.size();
    ASSERT_EQ(compress2(z.data(), &zn, rows.data(), (uLong)rows.size(), 9), Z_OK);
    z.resize(zn);
    TempDir tmp;
    std::vector<std::string> files;
    auto add = [&](const char *name, Bytes idat) {
        files.push_back(tmp.file(name));
        write_file(files.back(), rgb_png(w, h, idat));
    };
    add("plain.png", z);  // the control: passed through
    Bytes bad_check = z;
    bad_check[1] ^= 0x01;  // the decoder skips the check bits
    add("bad-check.png", bad_check);
    Bytes dict = z;
    dict[1] = 0xBB;  // right check bits, preset-dictionary flag set
    add("dict.png", dict);
    Bytes gap(z.begin(), z.end() - 4);
    gap.insert(gap.end(), {0xAA, 0xBB, 0xCC});  // bytes between the deflate data and the Adler-32
    gap.insert(gap.end(), z.end() - 4, z.end());
    add("gap.png", gap);
    Bytes bad_filter = rows;
    bad_filter[(w * 3 + 1) * 2] = 7;  // left as stored by the decoder; unknown to a PDF reader
    Bytes zf(compressBound((uLong)bad_filter.size()));
    uLongf zfn = (uLongf)zf.size();
    ASSERT_EQ(compress2(zf.data(), &zfn, bad_filter.data(), (uLong)bad_filter.size(), 9), Z_OK);
    zf.resize(zfn);
    add("filter-7.png", zf);
    Bytes incomplete = {0x78, 0x01};  // a code zlib refuses: readers built on it see no picture
    const Bytes raw = deflate_with_incomplete_code(rows);
    incomplete.insert(incomplete.end(), raw.begin(), raw.end());
    incomplete.insert(incomplete.end(), z.end() - 4, z.end());
    add("incomplete-code.png", incomplete);
    for (const std::string &f : files) ASSERT_TRUE(decodes(f)) << f;

    const std::string pdf = expect_same_pages(files, tmp);
    // Pages: page, image, content each (no transparency): images are objects 4, 7, 10, ...
    for (size_t i = 0; i < files.size(); i++) {
        SCOPED_TRACE(files[i]);
        const PdfStream im = stream_object(pdf, FIRST_IMAGE + 3 * (int)i);
        const Bytes idat = png_parts(read_file(files[i])).idat;
        EXPECT_EQ(im.data == idat, i == 0);
        EXPECT_NE(im.dict.find("/Colors 3 /BitsPerComponent 8 /Columns 7"), std::string::npos) << im.dict;
    }
}

// Pixel records from a host: the colour and alpha planes come back from zlib and the PNG
// predictors exactly; flags 0 (and unknown bits) keep pdf_write's bytes.
TEST(CompactPages, HostRecordsCompressToTheirPlanes) {
    const int w = 61, h = 37;
    Bytes rgba((size_t)w * h * 4);
    for (size_t i = 0; i < rgba.size(); i++) rgba[i] = (uint8_t)((i % 4 == 3) ? (i / 97) * 3 : (i * i) >> 7);
    PdfImage a = pixel_image(w, h, rgba);
    Bytes opaque((size_t)w * h * 4, 200);
    for (size_t i = 3; i < opaque.size(); i += 4) opaque[i] = 255;
    PdfImage b = pixel_image(w, h, opaque);
    PdfImage *list[] = {&a, &b};
    TempDir tmp;
    const std::string plain = tmp.file("plain.pdf"), same = tmp.file("same.pdf"), compact = tmp.file("c.pdf");
    const char *msg = nullptr;
    ASSERT_EQ(pdf_write(plain.c_str(), list, 2, 0, 72, &msg), 1) << msg;
    ASSERT_EQ(pdf_write_ex(same.c_str(), list, 2, 0, 72, ~PDF_WRITE_COMPACT, &msg), 1) << msg;
    EXPECT_TRUE(read_file(plain) == read_file(same));
    ASSERT_EQ(pdf_write_ex(compact.c_str(), list, 2, 0, 72, PDF_WRITE_COMPACT, nullptr), 1);

    const std::string pdf = read_text(compact);
    const PdfStream colour = stream_object(pdf, 4), mask = stream_object(pdf, 5), second = stream_object(pdf, 8);
    EXPECT_NE(colour.dict.find("/SMask 5 0 R"), std::string::npos);
    EXPECT_EQ(second.dict.find("/SMask"), std::string::npos);
    Bytes rgb, alpha;
    for (size_t i = 0; i < rgba.size(); i += 4) {
        rgb.insert(rgb.end(), rgba.begin() + i, rgba.begin() + i + 3);
        alpha.push_back(rgba[i + 3]);
    }
    EXPECT_TRUE(unpredict(inflate_zlib(colour.data, (size_t)h * (w * 3 + 1)), w, h, 3) == rgb);
    EXPECT_TRUE(unpredict(inflate_zlib(mask.data, (size_t)h * (w + 1)), w, h, 1) == alpha);
    EXPECT_TRUE(unpredict(inflate_zlib(second.data, (size_t)h * (w * 3 + 1)), w, h, 3) == Bytes((size_t)w * h * 3, 200));
    if (have_tools()) expect_valid_pdf(compact, {{w, h}, {w, h}}, 72);
}

// The writer's page-at-a-time paths agree in compact mode: the list conversion, the
// page-at-a-time API and pdf_write_ex with the decoded records give the same file, with
// passed-through pages (palette, grey) and compressed ones (alpha, 16-bit, JPEG) mixed.
TEST(CompactPages, EveryPathWritesTheSameDocument) {
    const std::vector<std::string> files = {data_path("png/misc/im-rgba8.png"), data_path("png/pngsuite/basn3p04.png"),
                                            data_path("jpeg/odd-33x9.jpg"), data_path("png/pngsuite/basn2c16.png")};
    TempDir tmp;
    const std::string listed = tmp.file("list.pdf"), paged = tmp.file("paged.pdf"), records = tmp.file("rec.pdf");
    ASSERT_EQ(convert(files, listed, FOLIAN_OPT_COMPACT), "");
    folian_init();
    folian_set_dpi(72);
    folian_set_options(FOLIAN_OPT_COMPACT);
    folian_doc *doc = folian_doc_begin(paged.c_str());
    ASSERT_NE(doc, nullptr);
    folian_set_options(0);  // the document keeps the options it began with
    for (const std::string &f : files) EXPECT_EQ(folian_doc_add(doc, f.c_str()), 1) << folian_last_error();
    ASSERT_EQ(folian_doc_finish(doc), 1) << folian_last_error();
    folian_init();
    EXPECT_TRUE(read_file(listed) == read_file(paged));

    // Records for the pages that are not passed through: the alpha, JPEG and 16-bit ones.
    int w1, h1, w4, h4;
    const char *msg;
    unsigned char *p1 = kv_png_decode(files[0].c_str(), &w1, &h1, &msg);
    unsigned char *p4 = kv_png_decode(files[3].c_str(), &w4, &h4, &msg);
    ASSERT_TRUE(p1 && p4);
    Bytes jpeg = read_file(files[2]);
    PdfImage a{w1, h1, p1, nullptr, 0, 0}, c{}, d{w4, h4, p4, nullptr, 0, 0};
    c = jpeg_image(jpeg, 3);
    c.width = 33;
    c.height = 9;
    PdfImage *list[] = {&a, &c, &d};
    const std::vector<std::string> unpassed = {files[0], files[2], files[3]};
    ASSERT_EQ(pdf_write_ex(records.c_str(), list, 3, 0, 72, PDF_WRITE_COMPACT, &msg), 1) << msg;
    ASSERT_EQ(convert(unpassed, listed, FOLIAN_OPT_COMPACT), "");
    EXPECT_TRUE(read_file(listed) == read_file(records));
    std::free(p1);
    std::free(p4);
}

// Where a deflate stream ends, as the passthrough test needs it: the Adler-32 and anything
// after it are not part of it.
TEST(CompactPages, InflateTellsWhereTheDeflateDataEnds) {
    Bytes data(100000);
    for (size_t i = 0; i < data.size(); i++) data[i] = (uint8_t)(i * 31 / 1000 + (i & 3));
    for (int level : {0, 1, 9}) {
        Bytes z(compressBound((uLong)data.size()));
        uLongf zn = (uLongf)z.size();
        ASSERT_EQ(compress2(z.data(), &zn, data.data(), (uLong)data.size(), level), Z_OK);
        Bytes out(data.size());
        InflateFacts facts;
        EXPECT_EQ(flate_inflate_ex(z.data() + 2, zn - 2, out.data(), out.size(), &facts), (int32_t)data.size());
        EXPECT_EQ(facts.consumed, (size_t)zn - 6) << "level " << level;
        EXPECT_TRUE(facts.zlib_codes);
    }
}

}  // namespace
