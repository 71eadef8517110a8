// The command-line tool: exit status 0/1/2, the library's message on failure, options,
// directory input, and no output file after any failure.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "pdf_test_util.h"
#include "test_util.h"

namespace {

struct ToolRun {
    int status;
    std::string out;  // standard output and error together
};

ToolRun tool(const std::string &args) {
    ToolRun r;
    r.status = run_command(std::string("'") + FOLIAN_TOOL_PATH + "' " + args + " 2>&1", &r.out);
    return r;
}

std::string q(const std::string &s) { return "'" + s + "'"; }

TEST(Tool, HelpVersionAndUsageErrors) {
    ToolRun r = tool("--help");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("usage: folian"), std::string::npos);
    r = tool("--version");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("folian ", 0), 0u);
    TempDir tmp;
    std::string in = q(data_path("jpeg/grey.jpg")), out = tmp.file("u.pdf");
    for (const std::string &bad :
         {std::string(""), in, "-o " + q(out), "-p a5 -o " + q(out) + " " + in,
          "-r 0 -o " + q(out) + " " + in, "-r 10001 -o " + q(out) + " " + in,
          "-r 7x -o " + q(out) + " " + in, "-x -o " + q(out) + " " + in, std::string("-o")}) {
        r = tool(bad);
        EXPECT_EQ(r.status, 2) << bad;
        EXPECT_NE(r.out.find("usage:"), std::string::npos) << bad;
    }
    EXPECT_FALSE(file_exists(out));
}

TEST(Tool, ConvertsFilesInOrderWithOptions) {
    TempDir tmp;
    std::string out = tmp.file("t.pdf");
    ToolRun r = tool("-p letter -r 300 -o " + q(out) + " " + q(data_path("jpeg/odd-33x9.jpg")) + " " +
                 q(data_path("jpeg/grey.jpg")));
    ASSERT_EQ(r.status, 0) << r.out;
    std::string pdf = read_text(out);
    EXPECT_NE(pdf.find("/Count 2"), std::string::npos);
    EXPECT_NE(pdf.find("/MediaBox [0 0 612.00 792.00]"), std::string::npos);
    EXPECT_LT(pdf.find("/Width 33"), pdf.find("/Width 96"));
}

TEST(Tool, DirectoryInput) {
    TempDir tmp;
    std::string dir = tmp.file("d");
    mkdir(dir.c_str(), 0755);
    write_file(dir + "/b.jpg", read_file(data_path("jpeg/grey.jpg")));
    write_file(dir + "/a.jpg", read_file(data_path("jpeg/odd-1x1.jpg")));
    std::string out = tmp.file("d.pdf");
    ToolRun r = tool("-r 72 -o " + q(out) + " " + q(dir));
    ASSERT_EQ(r.status, 0) << r.out;
    expect_valid_pdf(out, {{1, 1}, {96, 64}}, 72);
}

TEST(Tool, FailuresReportTheLibraryMessageAndLeaveNoFile) {
    TempDir tmp;
    std::string out = tmp.file("f.pdf");
    ToolRun r = tool("-o " + q(out) + " " + q(data_path("jpeg/grey.jpg")) + " notes.txt");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "folian: folian_multiple: bad image path\n");
    r = tool("-o " + q(out) + " " + q(tmp.file("missing.jpg")));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "folian: folian_multiple: failed on " + tmp.file("missing.jpg") + "\n");
    r = tool("-o " + q(out) + " " + q(tmp.path));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "folian: folian_directory: no images in directory\n");
    EXPECT_FALSE(file_exists(out));
    r = tool("-o " + q(tmp.file("no/such/dir.pdf")) + " " + q(data_path("jpeg/grey.jpg")));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "folian: pdf_write: cannot open output file\n");
}

}  // namespace
