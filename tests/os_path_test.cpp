// The path layer and the library-wide exports: which byte strings count as UTF-8 (on
// Windows that decides between the wide and the ANSI calls), the listing, replacing and
// testing of files, and the version text.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "folian.h"
#include "os_path.h"
#include "test_util.h"

namespace {

TEST(Utf8, WellFormedTextIsAccepted) {
    for (const char *s : {"", "plain/ascii.png", "\xE5\x87\xBA\xE5\x8A\x9B/\xE5\x86\x99\xE7\x9C\x9F.jpg",
                          "caf\xC3\xA9", "\xC2\x80", "\xDF\xBF", "\xE0\xA0\x80", "\xED\x9F\xBF",
                          "\xEE\x80\x80", "\xEF\xBF\xBF", "\xF0\x90\x80\x80", "\xF4\x8F\xBF\xBF"})
        EXPECT_TRUE(utf8_is_valid(s)) << s;
}

TEST(Utf8, AnsiBytesAndMalformedFormsAreRejected) {
    for (const char *s : {"caf\xE9.jpg",                // Latin-1/Windows-1252 byte
                          "\x80", "\xBF",               // lone continuation bytes
                          "\xC0\x80", "\xC1\xBF",       // overlong two-byte forms
                          "\xE0\x9F\xBF",               // overlong three-byte form
                          "\xF0\x8F\xBF\xBF",           // overlong four-byte form
                          "\xED\xA0\x80", "\xED\xBF\xBF",  // surrogates
                          "\xF4\x90\x80\x80", "\xF5\x80\x80\x80",  // past U+10FFFF
                          "\xF8\x88\x80\x80\x80", "\xFF",
                          "\xE5\x87", "\xE5\x87" "a", "x\xC3"})  // cut short, at the end too
        EXPECT_FALSE(utf8_is_valid(s)) << s;
}

TEST(OsPath, ListsReplacesAndRemovesFiles) {
    TempDir tmp;
    std::string dir = tmp.file("\xE5\x87\xBA\xE5\x8A\x9B");
    ASSERT_EQ(std::system(("mkdir '" + dir + "'").c_str()), 0);
    EXPECT_TRUE(os_is_directory(dir.c_str()));
    std::string a = dir + "/a.png", b = dir + "/\xE5\x86\x99\xE7\x9C\x9F.jpg";
    write_file(a, {1, 2, 3});
    write_file(b, {4});
    EXPECT_FALSE(os_is_directory(a.c_str()));
    EXPECT_FALSE(os_is_directory(tmp.file("missing").c_str()));

    OsDir *d = os_dir_open(dir.c_str());
    ASSERT_NE(d, nullptr);
    std::vector<std::string> names;
    while (const char *n = os_dir_next(d)) names.push_back(n);
    os_dir_close(d);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{".", "..", "a.png", "\xE5\x86\x99\xE7\x9C\x9F.jpg"}));
    EXPECT_EQ(os_dir_open(tmp.file("missing").c_str()), nullptr);
    os_dir_close(nullptr);

    EXPECT_TRUE(os_replace(a.c_str(), b.c_str()));
    EXPECT_EQ(read_file(b), (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_FALSE(file_exists(a));
    EXPECT_FALSE(os_replace(a.c_str(), b.c_str()));
    FILE *f = os_fopen(b.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    EXPECT_TRUE(os_remove(b.c_str()));
    EXPECT_FALSE(os_remove(b.c_str()));
    EXPECT_EQ(os_fopen(b.c_str(), "rb"), nullptr);
}

TEST(Library, VersionTextMatchesTheHeader) {
    std::string expected = std::to_string(FOLIAN_VERSION_MAJOR) + "." +
                           std::to_string(FOLIAN_VERSION_MINOR) + "." +
                           std::to_string(FOLIAN_VERSION_PATCH);
    EXPECT_EQ(expected, FOLIAN_VERSION_STRING);
    EXPECT_EQ(std::string(folian_version()), expected);
}

TEST(Library, FreeReleasesReturnedBuffersAndIgnoresNull) {
    int w = 0, h = 0;
    const char *msg = nullptr;
    unsigned char *px = kv_png_decode(data_path("png/pngsuite/basn6a08.png").c_str(), &w, &h, &msg);
    ASSERT_NE(px, nullptr) << msg;
    folian_free(px);  // LeakSanitizer reports it if this does not release it
    folian_free(nullptr);
}

}  // namespace
