// memory_doc_test.cpp: documents built from bytes into bytes: the same bytes as file documents
// over random batches and settings, failures that name the input and hand out nothing, no
// file touched, and the PNG decoder over bytes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "folian.h"
#include "test_util.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Files of every kind a page takes: pixel and palette PNGs (several IDAT chunks, transparency,
// interlaced), baseline and CMYK JPEGs, and files with an orientation, a resolution and profiles.
const char *const POOL[] = {"png/misc/im-rgba8.png",          "png/misc/py-pal4-trns-after-idat.png",
                            "png/misc/py-rgb8-many-idat.png",  "png/misc/im-grey8-small.png",
                            "png/pngsuite/basi2c08.png",       "jpeg/baseline-420.jpg",
                            "jpeg/cmyk-adobe0.jpg",            "jpeg/grey.jpg",
                            "meta/icc-srgb.jpg",               "meta/icc-srgb.png",
                            "meta/orient-6-dpi.jpg"};

folian_settings *random_settings(std::mt19937 &rng) {
    static const char *const SIZES[] = {"image", "a4", "letter", "a3"};
    static const char *const SWITCHES[] = {"compact", "content-probe", "exif-rotation", "file-dpi", "icc"};
    folian_settings *s = folian_settings_new();
    folian_settings_set(s, "interlaced", "on");  // the pool's interlaced file is a page either way
    folian_settings_set(s, "page-size", SIZES[rng() % 4]);
    folian_settings_set(s, "dpi", std::to_string(1 + rng() % 600).c_str());
    for (const char *key : SWITCHES) folian_settings_set(s, key, rng() % 2 ? "on" : "off");
    return s;
}

// A memory document of `pages`; the PDF bytes, or empty with *error set.
Bytes memory_pdf(const folian_settings *s, const std::vector<Bytes> &pages, std::string *error) {
    folian_doc *doc = folian_doc_open_memory(s);
    for (const Bytes &p : pages)
        if (!folian_doc_add_memory(doc, p.data(), p.size(), nullptr)) *error += folian_doc_error(doc);
    unsigned char *pdf = nullptr;
    size_t len = 0;
    EXPECT_EQ(folian_doc_finish_memory(doc, &pdf, &len), 1);
    Bytes out(pdf, pdf + len);
    folian_free(pdf);
    return out;
}

TEST(MemoryDocuments, EqualFileDocumentsOverRandomBatches) {
    std::mt19937 rng(22);
    for (int round = 0; round < 16; round++) {
        TempDir tmp;
        folian_settings *s = random_settings(rng);
        std::vector<Bytes> pages;
        std::vector<std::string> paths;
        const int n = 1 + (int)(rng() % 8);
        for (int i = 0; i < n; i++) {
            const std::string name = POOL[rng() % (sizeof POOL / sizeof *POOL)];
            pages.push_back(read_file(data_path(name)));
            paths.push_back(tmp.file(std::to_string(i) + name.substr(name.rfind('.'))));
            write_file(paths.back(), pages.back());
        }
        SCOPED_TRACE("round " + std::to_string(round));
        // The file document takes every other page from bytes: both ways in give one page.
        const std::string out = tmp.file("out.pdf");
        folian_doc *doc = folian_doc_open(out.c_str(), s);
        std::string file_errors, memory_errors;
        for (int i = 0; i < n; i++) {
            const int ok = i % 2 ? folian_doc_add_memory(doc, pages[i].data(), pages[i].size(), "x")
                                 : folian_doc_add(doc, paths[i].c_str());
            if (!ok) file_errors += folian_doc_error(doc);
        }
        ASSERT_EQ(folian_doc_finish(doc), 1);
        const Bytes in_memory = memory_pdf(s, pages, &memory_errors);
        EXPECT_EQ(file_errors, "");
        EXPECT_EQ(memory_errors, "");
        EXPECT_TRUE(in_memory == read_file(out)) << in_memory.size() << " bytes against " << read_file(out).size();
        folian_settings_free(s);
    }
}

TEST(MemoryDocuments, FailuresNameTheInputAndHandOutNothing) {
    const Bytes photo = read_file(data_path("jpeg/baseline-420.jpg"));
    Bytes cut = read_file(data_path("png/misc/im-rgba8.png"));
    cut.resize(cut.size() / 2);
    const unsigned char text[] = "hello";
    folian_doc *doc = folian_doc_open_memory(nullptr);
    EXPECT_EQ(folian_doc_add_memory(doc, text, 5, "input 3 (bytes)"), 0);
    EXPECT_STREQ(folian_doc_error(doc), "input 3 (bytes): not a PNG or JPEG image");
    EXPECT_EQ(folian_doc_add_memory(doc, cut.data(), cut.size(), nullptr), 0);
    EXPECT_EQ(std::string(folian_doc_error(doc)).rfind("png: ", 0), 0u) << folian_doc_error(doc);
    EXPECT_EQ(folian_doc_add_memory(doc, nullptr, 0, nullptr), 0);
    EXPECT_EQ(folian_doc_add_memory(doc, text, 0, nullptr), 0);
    // A document without pages gives nothing, and leaves the out-pointers cleared.
    unsigned char *pdf = (unsigned char *)1;
    size_t len = 7;
    EXPECT_EQ(folian_doc_finish_memory(doc, &pdf, &len), 0);
    EXPECT_EQ(pdf, nullptr);
    EXPECT_EQ(len, 0u);
    EXPECT_STREQ(folian_doc_error(doc), "folian_doc_finish: no pages");
    folian_doc_abort(doc);
    // Each kind of document ends only its own way; the other call refuses it and keeps it.
    doc = folian_doc_open_memory(nullptr);
    EXPECT_EQ(folian_doc_add_memory(doc, photo.data(), photo.size(), nullptr), 1);
    EXPECT_EQ(folian_doc_finish(doc), 0);
    EXPECT_EQ(folian_doc_finish_memory(doc, &pdf, &len), 1);
    folian_free(pdf);
    TempDir tmp;
    doc = folian_doc_open(tmp.file("a.pdf").c_str(), nullptr);
    EXPECT_EQ(folian_doc_add_memory(doc, photo.data(), photo.size(), nullptr), 1);
    EXPECT_EQ(folian_doc_finish_memory(doc, &pdf, &len), 0);
    EXPECT_EQ(pdf, nullptr);
    EXPECT_EQ(list_dir(tmp.path), std::vector<std::string>{});
    EXPECT_EQ(folian_doc_finish(doc), 1);
    EXPECT_EQ(list_dir(tmp.path), std::vector<std::string>{"a.pdf"});
    EXPECT_EQ(folian_doc_finish_memory(nullptr, nullptr, nullptr), 0);
}

TEST(MemoryDocuments, TouchNoFile) {
    TempDir tmp;
    char here[4096];
    ASSERT_NE(getcwd(here, sizeof here), nullptr);
    // Read-only stops every process but root's; the listing below checks for root too.
    ASSERT_EQ(chmod(tmp.path.c_str(), 0555), 0);
    ASSERT_EQ(chdir(tmp.path.c_str()), 0);
    const char *old_tmpdir = std::getenv("TMPDIR");
    const std::string saved = old_tmpdir ? old_tmpdir : "";
    setenv("TMPDIR", tmp.path.c_str(), 1);
    std::string errors;
    const Bytes pdf = memory_pdf(nullptr, {read_file(data_path("png/misc/im-rgba8.png")),
                                           read_file(data_path("jpeg/baseline-420.jpg"))}, &errors);
    EXPECT_EQ(errors, "");
    EXPECT_EQ(std::string(pdf.begin(), pdf.begin() + 8), "%PDF-1.4");
    EXPECT_EQ(list_dir(tmp.path), std::vector<std::string>{});
    old_tmpdir ? setenv("TMPDIR", saved.c_str(), 1) : unsetenv("TMPDIR");
    ASSERT_EQ(chdir(here), 0);
    chmod(tmp.path.c_str(), 0755);
}

TEST(MemoryDocuments, PngDecoderReadsBytesAsFiles) {
    for (const char *name : {"png/misc/im-rgba8.png", "png/misc/py-pal4-trns-after-idat.png",
                             "png/pngsuite/basi2c08.png"}) {
        const Bytes file = read_file(data_path(name));
        for (unsigned flags : {0u, (unsigned)KV_PNG_INTERLACED}) {
            int fw = 0, fh = 0, mw = 0, mh = 0;
            const char *fmsg = nullptr, *mmsg = nullptr;
            unsigned char *a = kv_png_decode_ex(data_path(name).c_str(), flags, &fw, &fh, &fmsg);
            unsigned char *b = kv_png_decode_memory(file.data(), file.size(), flags, &mw, &mh, &mmsg);
            EXPECT_EQ(a == nullptr, b == nullptr) << name;
            EXPECT_STREQ(fmsg, mmsg) << name;
            EXPECT_TRUE(fw == mw && fh == mh && (!a || std::equal(a, a + (size_t)fw * fh * 4, b))) << name;
            folian_free(a);
            folian_free(b);
        }
    }
    const char *msg = nullptr;
    EXPECT_EQ(kv_png_decode_memory(nullptr, 10, 0, nullptr, nullptr, &msg), nullptr);
    EXPECT_STRNE(msg, "");
}

}  // namespace
