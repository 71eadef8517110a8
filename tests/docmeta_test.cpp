// Documents with a description: every metadata key reads back through poppler and pikepdf in
// any script, the same keys give the same bytes, the streaming and whole-document writers
// agree, archival documents pass a structural check of each PDF/A requirement, and a page an
// archival level cannot hold fails the conversion by name with nothing written.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "docinfo.h"
#include "folian.h"
#include "pdf_test_util.h"
#include "pdf_write.h"
#include "settings.h"
#include "test_util.h"

namespace {

using Keys = std::vector<std::pair<std::string, std::string>>;
using Record = std::unique_ptr<folian_settings, void (*)(folian_settings *)>;

Record record(const Keys &keys) {
    Record r(folian_settings_new(), folian_settings_free);
    for (const auto &k : keys)
        EXPECT_EQ(folian_settings_set(r.get(), k.first.c_str(), k.second.c_str()), 1) << folian_settings_error(r.get());
    return r;
}

// "" on success, else the conversion's error text.
std::string convert(const Keys &keys, const std::vector<std::string> &inputs, const std::string &out) {
    std::vector<const char *> in;
    for (const std::string &s : inputs) in.push_back(s.c_str());
    char error[512] = "";
    Record r = record(keys);
    return folian_convert(r.get(), in.data(), (int)in.size(), out.c_str(), error, sizeof error) ? "" : error;
}

// A CMYK profile the library's checks accept: a header and one 'mAB ' A2B0 tag.
std::vector<uint8_t> cmyk_profile() {
    std::vector<uint8_t> p(176, 0);
    p[3] = 176, p[8] = 2;
    std::memcpy(&p[12], "prtrCMYKLab ", 12);
    std::memcpy(&p[36], "acsp", 4);
    p[131] = 1;                          // one tag: A2B0 at 144, 32 bytes
    std::memcpy(&p[132], "A2B0", 4);
    p[139] = 144, p[143] = 32;
    std::memcpy(&p[144], "mAB ", 4);
    return p;
}
// Our sRGB profile claiming ICC version 4.
std::vector<uint8_t> v4_profile() {
    std::string icc;
    doc_srgb_profile(&icc);
    icc[8] = 4;
    return std::vector<uint8_t>(icc.begin(), icc.end());
}

// The JPEG file with `profile` as one APP2 ICC_PROFILE segment after its SOI.
std::string with_profile(const TempDir &dir, const std::string &name, const char *jpeg,
                         const std::vector<uint8_t> &profile) {
    std::vector<uint8_t> f = read_file(data_path(jpeg));
    std::vector<uint8_t> seg = {0xFF, 0xE2, 0, 0};
    const char tag[] = "ICC_PROFILE";
    seg.insert(seg.end(), tag, tag + sizeof tag);
    seg.push_back(1), seg.push_back(1);
    seg.insert(seg.end(), profile.begin(), profile.end());
    seg[2] = (uint8_t)((seg.size() - 2) >> 8), seg[3] = (uint8_t)(seg.size() - 2);
    f.insert(f.begin() + 2, seg.begin(), seg.end());
    write_file(dir.file(name), f);
    return dir.file(name);
}

// "Key: value" lines of a tool's output (the key ends at the first ": ").
std::map<std::string, std::string> fields(const std::string &text) {
    std::map<std::string, std::string> out;
    size_t at = 0;
    while (at < text.size()) {
        size_t nl = text.find('\n', at), colon = text.find(": ", at);
        if (nl == std::string::npos) nl = text.size();
        if (colon < nl) {
            size_t v = text.find_first_not_of(' ', colon + 1);
            out[text.substr(at, colon - at)] = v < nl ? text.substr(v, nl - v) : "";
        }
        at = nl + 1;
    }
    return out;
}

const std::string JAPANESE = "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E\xE3\x81\xAE\xE9\xA1\x8C";  // 日本語の題
const std::string GREEK = "\xCE\x91\xCE\xBB\xCE\xAD\xCE\xBE\xCE\xB1\xCE\xBD\xCE\xB4\xCF\x81\xCE\xBF\xCF\x82";
const std::string EMOJI = "Report \xF0\x9F\x93\x84 final";
const Keys DESCRIBED = {{"title", JAPANESE},
                        {"author", GREEK},
                        {"subject", EMOJI},
                        {"keywords", "scan (2026), archive\\box"},
                        {"creator", "scanner app"},
                        {"producer", "folian tests"},
                        {"creation-date", "2026-12-09T10:30:00+01:00"},
                        {"mod-date", "2026-12-10"}};

TEST(DocMeta, EveryFieldReadsBackInPdfinfoAndPikepdf) {
    if (!have_program("pdfinfo")) GTEST_SKIP() << "pdfinfo is needed";
    TempDir dir;
    const std::string pdf = dir.file("m.pdf");
    ASSERT_EQ(convert(DESCRIBED, {data_path("meta/base.jpg")}, pdf), "");
    expect_valid_pdf(pdf, {{24, 16}}, 150);
    std::string out;
    ASSERT_EQ(run_command("pdfinfo -enc UTF-8 '" + pdf + "'", &out), 0);
    auto info = fields(out);
    EXPECT_EQ(info["Title"], JAPANESE);
    EXPECT_EQ(info["Author"], GREEK);
    EXPECT_EQ(info["Subject"], EMOJI);
    EXPECT_EQ(info["Keywords"], "scan (2026), archive\\box");
    EXPECT_EQ(info["Creator"], "scanner app");
    EXPECT_EQ(info["Producer"], "folian tests");

    const std::string py = python_with("pikepdf");
    if (py.empty()) GTEST_SKIP() << "pikepdf is needed for the XMP";
    ASSERT_EQ(run_command(py + " -c \"import sys, pikepdf\n"
                               "p = pikepdf.open(sys.argv[1]); m = p.open_metadata(); i = p.docinfo\n"
                               "for k in ('dc:title', 'dc:creator', 'dc:description', 'pdf:Keywords',"
                               " 'xmp:CreatorTool', 'pdf:Producer', 'xmp:CreateDate', 'xmp:ModifyDate'):\n"
                               "  print(k + ': ' + str(m.get(k)))\n"
                               "print('CreationDate: ' + str(i.CreationDate)); print('ModDate: ' + str(i.ModDate))\n"
                               "print('pdfa: ' + repr(m.pdfa_status))\" '" +
                              pdf + "'",
                          &out),
              0);
    auto xmp = fields(out);
    EXPECT_EQ(xmp["dc:title"], JAPANESE);
    EXPECT_EQ(xmp["dc:creator"], "['" + GREEK + "']");
    EXPECT_EQ(xmp["dc:description"], EMOJI);
    EXPECT_EQ(xmp["pdf:Keywords"], "scan (2026), archive\\box");
    EXPECT_EQ(xmp["xmp:CreatorTool"], "scanner app");
    EXPECT_EQ(xmp["pdf:Producer"], "folian tests");
    EXPECT_EQ(xmp["xmp:CreateDate"], "2026-12-09T10:30:00+01:00");
    EXPECT_EQ(xmp["xmp:ModifyDate"], "2026-12-10T00:00:00+00:00");
    EXPECT_EQ(xmp["CreationDate"], "D:20261209103000+01'00");
    EXPECT_EQ(xmp["ModDate"], "D:20261210000000+00'00");
    EXPECT_EQ(xmp["pdfa"], "''");  // nothing claimed unless asked
}

TEST(DocMeta, UnsetKeysLeaveEveryByteAsBefore) {
    TempDir dir;
    const std::vector<std::string> in = {data_path("meta/base.jpg"), data_path("png/pngsuite/basn6a08.png")};
    ASSERT_EQ(convert({}, in, dir.file("plain.pdf")), "");
    ASSERT_EQ(convert({{"title", ""}, {"pdfa", "off"}}, in, dir.file("unset.pdf")), "");
    EXPECT_EQ(read_file(dir.file("plain.pdf")), read_file(dir.file("unset.pdf")));
    EXPECT_EQ(read_text(dir.file("plain.pdf")).find("/Info"), std::string::npos);
}

TEST(DocMeta, SameKeysSameBytesAndSourceDateEpochStandsForNow) {
    EnvScope epoch("SOURCE_DATE_EPOCH", "951782400");  // 2000-02-29T00:00:00Z
    TempDir dir;
    const Keys keys = {{"title", "T"}, {"creation-date", "now"}, {"pdfa", "2b"}};
    ASSERT_EQ(convert(keys, {data_path("meta/base.jpg")}, dir.file("a.pdf")), "");
    ASSERT_EQ(convert(keys, {data_path("meta/base.jpg")}, dir.file("b.pdf")), "");
    ASSERT_EQ(convert(keys, {data_path("jpeg/grey.jpg")}, dir.file("c.pdf")), "");
    const std::string a = read_text(dir.file("a.pdf")), c = read_text(dir.file("c.pdf"));
    EXPECT_EQ(a, read_text(dir.file("b.pdf")));
    EXPECT_NE(a.find("/CreationDate (D:20000229000000+00'00)"), std::string::npos);
    EXPECT_NE(a.find("<xmp:CreateDate>2000-02-29T00:00:00+00:00</xmp:CreateDate>"), std::string::npos);
    // Another page, another identity.
    EXPECT_NE(a.substr(a.find("/ID ["), 74), c.substr(c.find("/ID ["), 74));
}

TEST(DocMeta, StreamingAndWholeDocumentWritersAgree) {
    std::vector<uint8_t> rgba(5 * 3 * 4, 200), jpeg = read_file(data_path("meta/base.jpg"));
    rgba[7] = 10;  // some transparency
    PdfImage px = pixel_image(5, 3, rgba), jp = jpeg_image(jpeg, 3);
    jp.width = 24, jp.height = 16;
    PdfImage *images[] = {&px, &jp};
    Settings s = settings_defaults();
    char why[256];
    for (const auto &k : DESCRIBED) ASSERT_TRUE(settings_set(&s, k.first.c_str(), k.second.c_str(), why, sizeof why));
    ASSERT_TRUE(settings_set(&s, "pdfa", "2b", why, sizeof why));
    ASSERT_TRUE(settings_set(&s, "page-size", "a4", why, sizeof why));  // every page a legal archival size
    TempDir dir;
    const char *msg;
    ASSERT_EQ(pdf_write_pages(dir.file("whole.pdf").c_str(), images, nullptr, 2, &s, &msg), 1) << msg;
    PdfDoc doc;
    ASSERT_TRUE(pdf_doc_begin(&doc, dir.file("stream.pdf").c_str(), &s));
    for (PdfImage *im : images) ASSERT_TRUE(pdf_doc_add(&doc, im)) << doc.message;
    ASSERT_TRUE(pdf_doc_finish(&doc)) << doc.message;
    pdf_doc_free(&doc);
    settings_release(&s);
    EXPECT_EQ(read_file(dir.file("whole.pdf")), read_file(dir.file("stream.pdf")));
}

TEST(DocMeta, BadValuesRefusedNamingKeyAndValue) {
    const struct {
        const char *key, *value;
    } bad[] = {{"title", "caf\xC3"},        {"author", "a\x01"},     {"creation-date", "2026-02-30"},
               {"mod-date", "yesterday"}, {"pdfa", "3a"}, {"subject", "\xED\xA0\x80"}};
    Record r = record({});
    for (const auto &b : bad) {
        EXPECT_EQ(folian_settings_set(r.get(), b.key, b.value), 0) << b.key;
        const std::string why = folian_settings_error(r.get());
        EXPECT_NE(why.find(b.key), std::string::npos) << why;
        EXPECT_NE(why.find(b.value), std::string::npos) << why;
    }
    EXPECT_EQ(folian_settings_set(r.get(), "pdfa", "1B"), 1);
}

// ---- Archival documents -----------------------------------------------------------------------

// The checker's verdict on each clause for a 2b document (every kind of page it keeps: RGB,
// grey, alpha, a CMYK JPEG with its own profile, compact and stored) and a 1b one.
struct Verdicts {
    std::string skip;                       // why the checker could not run
    std::map<std::string, std::string> by;  // "<level>/<check>" -> "ok" or "FAIL: ..."
};

const Verdicts &verdicts() {
    static const Verdicts v = [] {
        Verdicts out;
        const std::string py = python_with("pikepdf");
        if (py.empty()) {
            out.skip = "pikepdf is needed";
            return out;
        }
        TempDir dir;
        const std::string cmyk = with_profile(dir, "cmyk.jpg", "jpeg/cmyk-adobe0.jpg", cmyk_profile());
        const std::vector<std::string> rgb_grey = {data_path("meta/base.jpg"), data_path("jpeg/grey.jpg"),
                                                   data_path("meta/icc-srgb.png")};
        std::vector<std::string> all = rgb_grey;
        all.push_back(data_path("png/pngsuite/basn6a08.png"));
        all.push_back(cmyk);
        const struct {
            const char *level;
            Keys keys;
            std::vector<std::string> inputs;
        } docs[] = {{"2", {{"pdfa", "2b"}, {"title", JAPANESE}, {"mod-date", "2026-01-01"}}, all},
                    {"2", {{"pdfa", "2b"}, {"compact", "on"}, {"author", GREEK}}, all},
                    {"1", {{"pdfa", "1b"}, {"subject", EMOJI}, {"creation-date", "2026-12-09"}}, rgb_grey}};
        for (size_t i = 0; i < sizeof docs / sizeof docs[0]; i++) {
            const std::string pdf = dir.file("a" + std::to_string(i) + ".pdf");
            const std::string err = convert(docs[i].keys, docs[i].inputs, pdf);
            std::string text = "conversion " + (err.empty() ? std::string("ok") : "FAIL: " + err) + "\n", checks;
            if (err.empty())
                run_command(py + " '" + data_path("../pdfa_check.py") + "' '" + pdf + "' " + docs[i].level + " 2>&1",
                            &checks);
            text += checks;
            size_t at = 0;
            for (size_t nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1) {
                const size_t sp = text.find(' ', at);
                out.by[std::to_string(i) + "/" + text.substr(at, sp - at)] = text.substr(sp + 1, nl - sp - 1);
            }
        }
        return out;
    }();
    return v;
}

class PdfaClause : public testing::TestWithParam<const char *> {};

TEST_P(PdfaClause, HoldsInEveryArchivalDocument) {
    const Verdicts &v = verdicts();
    if (!v.skip.empty()) GTEST_SKIP() << v.skip;
    for (const char *doc : {"0", "1", "2"}) {
        auto it = v.by.find(std::string(doc) + "/" + GetParam());
        ASSERT_NE(it, v.by.end()) << "document " << doc << ": no verdict; conversion "
                                  << v.by.at(std::string(doc) + "/conversion");
        EXPECT_EQ(it->second, "ok") << "document " << doc;
    }
}

INSTANTIATE_TEST_SUITE_P(Checks, PdfaClause,
                         testing::Values("header", "trailer-id", "no-encryption", "xmp-identification",
                                         "xmp-matches-info", "output-intent", "no-lzw", "no-interpolate",
                                         "image-colour-spaces", "icc-versions", "stream-lengths",
                                         "no-transparency"),
                         [](const testing::TestParamInfo<const char *> &p) {
                             std::string n = p.param;
                             for (char &c : n)
                                 if (c == '-') c = '_';
                             return n;
                         });

TEST(Pdfa, PagesALevelCannotHoldFailByNameAndWriteNothing) {
    TempDir dir;
    const std::string bare_cmyk = data_path("jpeg/cmyk-adobe0.jpg");
    const std::string v4 = with_profile(dir, "v4.jpg", "meta/base.jpg", v4_profile());
    const std::string alpha = data_path("png/pngsuite/basn6a08.png");
    const struct {
        const char *level;
        std::string file, says;
    } cases[] = {
        {"2b", bare_cmyk, "CMYK JPEG without its own CMYK profile cannot be PDF/A"},
        {"1b", alpha, "transparency cannot be PDF/A-1b"},
        {"1b", v4, "version 4 or later cannot be PDF/A-1b"},
        {"2b", data_path("jpeg/odd-1x1.jpg"), "outside 3 to 14400 points cannot be PDF/A"},
    };
    for (const auto &c : cases) {
        const std::string pdf = dir.file("out-" + std::to_string(&c - cases) + ".pdf");
        const std::string err = convert({{"pdfa", c.level}}, {data_path("meta/base.jpg"), c.file}, pdf);
        EXPECT_EQ(err.rfind(c.file + ": ", 0), 0u) << err;
        EXPECT_NE(err.find(c.says), std::string::npos) << err;
        EXPECT_FALSE(file_exists(pdf)) << c.file;
    }
    // What 1b refuses, 2b keeps.
    EXPECT_EQ(convert({{"pdfa", "2b"}}, {alpha, v4}, dir.file("ok.pdf")), "");
}

}  // namespace
