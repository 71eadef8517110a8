// transcode_test.cpp: the tool's transcode command: exit code 2 for names it cannot
// place, 1 with a "PROG: MESSAGE" line and no output for a failed conversion, 0 and a
// file in the named format otherwise.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "folian.h"
#include "test_util.h"

namespace {

// Runs `folian transcode IN OUT`; *err receives what it printed.
int run_transcode(const std::string &in, const std::string &out, std::string *err) {
    return run_command(std::string("'") + FOLIAN_TOOL_PATH + "' transcode '" + in + "' '" + out + "' 2>&1",
                       err);
}

}  // namespace

TEST(Transcode, UnknownExtensionIsAUsageError) {
    TempDir dir;
    std::string err;
    EXPECT_EQ(run_transcode(data_path("png/misc/im-rgb8.png"), dir.file("out.gif"), &err), 2);
    EXPECT_EQ(err.rfind("folian: ", 0), 0u) << err;
    EXPECT_EQ(run_transcode(dir.file("in.bmp"), dir.file("out.png"), &err), 2);
    EXPECT_EQ(run_transcode(dir.file("png"), dir.file("out.png"), &err), 2);  // no extension
    EXPECT_EQ(run_transcode(dir.file("a.png/in"), dir.file("out.png"), &err), 2);  // a dot in a folder
    EXPECT_TRUE(list_dir(dir.path).empty());
}

TEST(Transcode, UnreadableInputFailsWithMessage) {
    TempDir dir;
    std::string err;
    EXPECT_EQ(run_transcode(dir.file("missing.PNG"), dir.file("out.jpg"), &err), 1);
    EXPECT_EQ(err.rfind("folian: ", 0), 0u) << err;
    EXPECT_EQ(err.back(), '\n');
    EXPECT_EQ(run_transcode(dir.file("missing.jpeg"), dir.file("out.png"), &err), 1);
    const std::string arithmetic = data_path("jpeg/arithmetic.jpg");
    EXPECT_EQ(run_transcode(arithmetic, dir.file("out.png"), &err), 1);
    EXPECT_EQ(err, "folian: " + arithmetic + ": jpeg: arithmetic-coded JPEG not supported\n");
    EXPECT_TRUE(list_dir(dir.path).empty());
}

// Each input format to each output format; the output must be what the encoders write
// for the decoded pixels.
TEST(Transcode, ConvertsBetweenFormats) {
    struct Case {
        const char *in;  // fixture: see tests/data/README.md
        const char *out;
    };
    const Case cases[] = {{"png/misc/im-rgba8.png", "a.jpg"},
                          {"png/misc/im-rgb8.png", "b.PNG"},
                          {"jpeg/baseline-444.jpg", "c.png"},
                          {"jpeg/baseline-420.jpg", "d.jpeg"}};
    TempDir dir;
    for (const Case &c : cases) {
        std::string in = data_path(c.in);
        int w = 0, h = 0;
        const char *msg = nullptr;
        bool png_in = in.substr(in.size() - 4) == ".png";
        unsigned char *px = png_in ? kv_png_decode(in.c_str(), &w, &h, &msg)
                                   : kv_jpeg_decode(in.c_str(), &w, &h, &msg);
        ASSERT_NE(px, nullptr) << c.in << ": " << msg;
        std::string expect_path = dir.file(std::string("expect-") + c.out);
        std::string ext = expect_path.substr(expect_path.rfind('.') + 1);
        bool png_out = ext == "png" || ext == "PNG";
        ASSERT_EQ(png_out ? kv_png_write_ex(expect_path.c_str(), w, h, px, KV_PNG_COMPRESS)
                          : kv_jpeg_write(expect_path.c_str(), w, h, px), 1);
        std::free(px);
        std::string err;
        ASSERT_EQ(run_transcode(in, dir.file(c.out), &err), 0) << err;
        EXPECT_EQ(err, "");
        EXPECT_EQ(read_file(dir.file(c.out)), read_file(expect_path)) << c.in;
    }
}

// Every file the library's decoders read converts (progressive, multi-scan and 0xC1 JPEG,
// interlaced PNG), to what the extended decoders give; --strict keeps to the plain
// decoders and names the file with the decoder's reason.
TEST(Transcode, ReadsEveryFileTheLibraryDecodes) {
    TempDir dir;
    for (const char *fixture : {"jpeg/progressive.jpg", "jpeg/multiscan-noninterleaved.jpg",
                                "jpeg/sof-c1-baseline-data.jpg", "png/pngsuite/basi2c08.png"}) {
        const std::string in = data_path(fixture);
        const bool png_in = in.substr(in.size() - 4) == ".png";
        int w = 0, h = 0;
        const char *msg = nullptr;
        unsigned char *px = png_in ? kv_png_decode_ex(in.c_str(), KV_PNG_INTERLACED, &w, &h, &msg)
                                   : kv_jpeg_decode_file_ex(in.c_str(), KV_JPEG_ALL, &w, &h, &msg);
        ASSERT_NE(px, nullptr) << fixture << ": " << msg;
        ASSERT_EQ(kv_png_write_ex(dir.file("expect.png").c_str(), w, h, px, KV_PNG_COMPRESS), 1);
        std::free(px);
        std::string err;
        ASSERT_EQ(run_transcode(in, dir.file("out.png"), &err), 0) << fixture << ": " << err;
        EXPECT_EQ(read_file(dir.file("out.png")), read_file(dir.file("expect.png"))) << fixture;
    }
    std::string err;
    const std::string progressive = data_path("jpeg/progressive.jpg");
    EXPECT_EQ(run_command(std::string("'") + FOLIAN_TOOL_PATH + "' transcode --strict '" + progressive + "' '" +
                          dir.file("strict.png") + "' 2>&1", &err), 1);
    EXPECT_EQ(err.rfind("folian: " + progressive + ": jpeg: ", 0), 0u) << err;
    EXPECT_FALSE(file_exists(dir.file("strict.png")));
}
