// A document's description: metadata text reaches PDF strings and XMP unchanged (any
// script, with escapes), bad text and dates are refused with a reason, dates keep their
// moment in both written forms, and the sRGB profile is one colour-managed software accepts
// as sRGB.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "checksum.h"
#include "docinfo.h"
#include "meta/meta.h"
#include "test_util.h"

namespace {

std::string text_string(const char *utf8) {
    std::string s;
    pdf_text_string(utf8, &s);
    return s;
}

struct Dates {
    std::string pdf, iso;
};
Dates written(const DocDate &d) {
    char pdf[DOC_DATE_TEXT], iso[DOC_DATE_TEXT];
    doc_date_pdf(d, pdf);
    doc_date_iso(d, iso);
    return {pdf, iso};
}

TEST(DocText, PdfStringsAsciiLiteralElseUtf16) {
    const struct {
        const char *in, *want;
    } cases[] = {
        {"Plain title", "(Plain title)"},
        {"a(b)c\\", "(a\\(b\\)c\\\\)"},
        {"", "()"},
        {"\xCE\xA9\xCE\xBC", "<FEFF03A903BC>"},                   // Greek
        {"\xE6\x97\xA5\xE6\x9C\xAC", "<FEFF65E5672C>"},           // Japanese
        {"x\xF0\x9F\x98\x80", "<FEFF0078D83DDE00>"},              // emoji: a surrogate pair
        {"tab\there", "<FEFF00740061006200090068006500720065>"},  // a control character
    };
    for (const auto &c : cases) EXPECT_EQ(text_string(c.in), c.want) << c.in;
}

TEST(DocText, RefusesWhatXmlOrUtf8CannotHold) {
    for (const char *ok : {"", "tab\tnl\ncr\r", "\xE6\x97\xA5\xE6\x9C\xAC", "\xF4\x8F\xBF\xBD"})
        EXPECT_EQ(doc_text_problem(ok), nullptr) << ok;
    const struct {
        const char *in, *why;
    } bad[] = {
        {"\xC0\x80", "invalid UTF-8"},          // overlong NUL
        {"\xED\xA0\x80", "invalid UTF-8"},      // a surrogate
        {"\xF4\x90\x80\x80", "invalid UTF-8"},  // past U+10FFFF
        {"ab\xE6\x97", "invalid UTF-8"},        // cut short
        {"\x80", "invalid UTF-8"},              // stray continuation
        {"a\x01", "control character"},
        {"\xEF\xBF\xBF", "control character"},  // U+FFFF
    };
    for (const auto &b : bad) EXPECT_STREQ(doc_text_problem(b.in), b.why) << b.in;
}

TEST(DocDates, IsoInputsWrittenInBothForms) {
    const struct {
        const char *in, *pdf, *iso;
    } cases[] = {
        {"2026-12-09", "D:20261209000000+00'00", "2026-12-09T00:00:00+00:00"},
        {"2026-12-09T10:30:00+01:00", "D:20261209103000+01'00", "2026-12-09T10:30:00+01:00"},
        {"2026-12-09 10:30-0530", "D:20261209103000-05'30", "2026-12-09T10:30:00-05:30"},
        {"2024-02-29T23:59:59.75Z", "D:20240229235959+00'00", "2024-02-29T23:59:59+00:00"},
        {"2026-01-02T03:04:05+11", "D:20260102030405+11'00", "2026-01-02T03:04:05+11:00"},
    };
    for (const auto &c : cases) {
        DocDate d;
        ASSERT_EQ(doc_date_parse(c.in, &d), nullptr) << c.in;
        Dates w = written(d);
        EXPECT_EQ(w.pdf, c.pdf) << c.in;
        EXPECT_EQ(w.iso, c.iso) << c.in;
    }
    for (const char *bad : {"", "2026", "2026-13-01", "2025-02-29", "2026-12-09T24:00", "2026-12-09T10:30:00+25:00",
                            "2026-12-09T10", "2026-12-09x", "09/12/2026", "2026-12-09T10:30:00.", "tomorrow"}) {
        DocDate d;
        EXPECT_NE(doc_date_parse(bad, &d), nullptr) << bad;
    }
}

TEST(DocDates, NowIsSourceDateEpochWhenSet) {
    DocDate d;
    {
        EnvScope env("SOURCE_DATE_EPOCH", "951782400");  // 2000-02-29T00:00:00Z
        ASSERT_EQ(doc_date_parse("now", &d), nullptr);
        EXPECT_EQ(written(d).iso, "2000-02-29T00:00:00+00:00");
    }
    for (const char *bad : {"", "12a", "-5", "99999999999999999999", "253402300800"}) {
        EnvScope env("SOURCE_DATE_EPOCH", bad);
        EXPECT_NE(doc_date_parse("now", &d), nullptr) << bad;
    }
    EnvScope unset("SOURCE_DATE_EPOCH", nullptr);
    ASSERT_EQ(doc_date_parse("now", &d), nullptr);
    EXPECT_GE(d.year, 2026);
    ASSERT_TRUE(doc_date_from_epoch(253402300799LL, &d));
    EXPECT_EQ(written(d).pdf, "D:99991231235959+00'00");
    ASSERT_TRUE(doc_date_from_epoch(0, &d));
    EXPECT_EQ(written(d).pdf, "D:19700101000000+00'00");
}

TEST(DocInfoText, DictionaryAndXmpAgreeAndKeepDatesApart) {
    DocInfo info{};
    info.title = "R&D <report>\r\xE6\x97\xA5\xE6\x9C\xAC";
    info.author = "A (B)";
    info.keywords = "k1, k2";
    info.pdfa = DOC_PDFA_1B;
    ASSERT_EQ(doc_date_parse("2020-01-02T03:04:05+01:00", &info.created), nullptr);
    ASSERT_EQ(doc_date_parse("2026-12-09", &info.modified), nullptr);
    EXPECT_EQ(doc_pdfa_parse("2B"), DOC_PDFA_2B);
    EXPECT_EQ(doc_pdfa_parse("3u"), -1);

    std::string dict;
    doc_info_dictionary(info, &dict);
    EXPECT_EQ(dict, "<< /Title <FEFF0052002600440020003C007200650070006F00720074003E000D65E5672C> /Author (A \\(B\\)) "
                    "/Keywords (k1, k2) /CreationDate (D:20200102030405+01'00) /ModDate (D:20261209000000+00'00) >>");

    std::string xmp;
    doc_xmp_packet(info, &xmp);
    const std::string py = python_with("xml.etree.ElementTree");
    if (py.empty()) GTEST_SKIP() << "python3 is needed to parse the packet";
    TempDir dir;
    write_file(dir.file("x.xml"), std::vector<uint8_t>(xmp.begin(), xmp.end()));
    // Every leaf element's local name and text, one per line, with line breaks shown.
    std::string out;
    ASSERT_EQ(run_command(py + " -c \"import sys, xml.etree.ElementTree as E\n"
                               "for e in E.parse(sys.argv[1]).iter():\n"
                               "  if len(e) == 0: print(e.tag.split('}')[1] + '=' + repr(e.text or '')[1:-1])\" '" +
                              dir.file("x.xml") + "'",
                          &out),
              0);
    EXPECT_EQ(out,
              "format=application/pdf\n"
              "li=R&D <report>\\r\xE6\x97\xA5\xE6\x9C\xAC\n"
              "li=A (B)\n"
              "Keywords=k1, k2\n"
              "CreateDate=2020-01-02T03:04:05+01:00\n"
              "ModifyDate=2026-12-09T00:00:00+00:00\n"
              "MetadataDate=2026-12-09T00:00:00+00:00\n"
              "part=1\n"
              "conformance=B\n");
}

TEST(DocId, Md5KnownDigestsAndPiecewiseFeeding) {
    const struct {
        std::string in;
        const char *id;
    } cases[] = {
        {"", "D41D8CD98F00B204E9800998ECF8427E"},
        {"abc", "900150983CD24FB0D6963F7D28E17F72"},
        {"message digest", "F96B697D7CB7938D525A2F31AAF161D0"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57EDF4A22BE3C955AC49DA2E2107B67A"},
    };
    for (const auto &c : cases) {
        // Fed in uneven pieces, so partial blocks are joined.
        Md5 m;
        md5_init(&m);
        const uint8_t *p = (const uint8_t *)c.in.data();
        for (size_t at = 0, step = 1; at < c.in.size(); at += step, step = step * 2 + 1)
            md5_update(&m, p + at, std::min(step, c.in.size() - at));
        uint8_t digest[16];
        md5_final(&m, digest);
        char entry[DOC_ID_TEXT];
        doc_id_entry(digest, entry);
        EXPECT_EQ(std::string(entry), std::string("/ID [<") + c.id + "> <" + c.id + ">]") << c.in;
    }
}

TEST(DocSrgbProfile, WellFormedAndTakenForSrgbByLcms) {
    std::string icc, again;
    doc_srgb_profile(&icc);
    doc_srgb_profile(&again);
    EXPECT_EQ(icc, again);
    EXPECT_EQ(icc_check((const uint8_t *)icc.data(), icc.size()), 3);
    const std::string py = python_with("PIL.ImageCms");
    if (py.empty()) GTEST_SKIP() << "Pillow is needed for the colour check";
    TempDir dir;
    write_file(dir.file("s.icc"), std::vector<uint8_t>(icc.begin(), icc.end()));
    // Colours through lcms from its own sRGB to ours must come back as they went in.
    std::string out;
    ASSERT_EQ(run_command(py + " -c \"import sys\nfrom PIL import Image, ImageCms as C\n"
                               "ours = C.getOpenProfile(sys.argv[1])\n"
                               "print(C.getProfileDescription(ours).strip())\n"
                               "im = Image.new('RGB', (256, 4))\n"
                               "im.putdata([(v, (v * 7) % 256, 255 - v) for v in range(256)] * 4)\n"
                               "t = C.buildTransform(C.createProfile('sRGB'), ours, 'RGB', 'RGB', 1)\n"
                               "a, b = im.getdata(), C.applyTransform(im, t).getdata()\n"
                               "print(max(abs(x - y) for p, q in zip(a, b) for x, y in zip(p, q)))\" '" +
                              dir.file("s.icc") + "' 2>&1",
                          &out),
              0)
        << out;
    const size_t nl = out.find('\n');
    ASSERT_NE(nl, std::string::npos) << out;
    EXPECT_EQ(out.substr(0, nl), "sRGB IEC61966-2.1");
    EXPECT_LE(std::atoi(out.c_str() + nl + 1), 1) << out;
}

}  // namespace
