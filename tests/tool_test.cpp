// The command-line tool: exit status 0/1/2, messages naming the file and the reason, short
// and long options, directory input in the library's order or in natural order, standard
// input and lists of paths, standard output, no output over an input, and no output or
// scratch file after any failure or interrupt.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "folian.h"
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

std::string tool_cmd(const std::string &args) { return std::string("'") + FOLIAN_TOOL_PATH + "' " + args; }

// A directory of image files copied from fixtures: {name, fixture} pairs.
std::string image_dir(const TempDir &tmp, const std::string &name,
                      const std::vector<std::pair<std::string, std::string>> &files) {
    std::string dir = tmp.file(name);
    mkdir(dir.c_str(), 0755);
    for (const auto &f : files) write_file(dir + "/" + f.first, read_file(data_path(f.second)));
    return dir;
}

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
         {std::string(""), in, "-o " + q(out), "-p a11 -o " + q(out) + " " + in,
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

TEST(Tool, FailuresNameTheFileAndTheReasonAndLeaveNoFile) {
    TempDir tmp;
    std::string out = tmp.file("f.pdf");
    write_file(tmp.file("notes.txt"), {'h', 'i'});
    ToolRun r = tool("-o " + q(out) + " " + q(data_path("jpeg/grey.jpg")) + " " + q(tmp.file("notes.txt")));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "folian: " + tmp.file("notes.txt") + ": not a PNG or JPEG image\n");
    r = tool("-o " + q(out) + " " + q(tmp.file("missing.jpg")));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "folian: cannot read " + tmp.file("missing.jpg") + ": No such file or directory\n");
    std::string empty = tmp.file("empty");
    mkdir(empty.c_str(), 0755);
    r = tool("-o " + q(out) + " " + q(empty));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "folian: " + empty + ": no images in directory\n");
    EXPECT_FALSE(file_exists(out));
    r = tool("-o " + q(tmp.file("no/such/dir.pdf")) + " " + q(data_path("jpeg/grey.jpg")));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "folian: cannot write " + tmp.file("no/such/dir.pdf") + ": No such file or directory\n");
    r = tool("-o " + q(empty) + " " + q(data_path("jpeg/grey.jpg")));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "folian: cannot write " + empty + ": Is a directory\n");
    r = tool("-o " + q(tmp.file("x.pdf")) + " " + q(tmp.file("notes.txt") + "/a.png"));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "folian: cannot read " + tmp.file("notes.txt") + "/a.png: Not a directory\n");
}

// A page that fails inside a directory is named by its path, with the decoder's own text,
// and the pages before it leave nothing behind.
TEST(Tool, AFailingPageIsNamedWithTheLibraryText) {
    TempDir tmp;
    std::string dir = tmp.file("scans");
    mkdir(dir.c_str(), 0755);
    write_file(dir + "/p1.jpg", read_file(data_path("jpeg/grey.jpg")));
    std::vector<uint8_t> png = read_file(data_path("png/pngsuite/basn6a08.png"));
    png.resize(20);  // the IHDR chunk cut after its length and type
    write_file(dir + "/p7.png", png);
    std::string out = tmp.file("s.pdf");
    write_file(out, {'o', 'l', 'd'});
    ToolRun r = tool("-o " + q(out) + " " + q(dir));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "folian: " + dir + "/p7.png: png: truncated chunk\n");
    EXPECT_EQ(read_text(out), "old");
    EXPECT_EQ(list_dir(tmp.path), (std::vector<std::string>{"s.pdf", "scans"}));
}

TEST(Tool, UsageErrorsSayWhatWasWrong) {
    const std::pair<std::string, std::string> cases[] = {
        {"--tilte -o x.pdf a.png", "folian: unknown option '--tilte'\n"},
        {"-o x.pdf -vq a.png", "folian: unknown option '-vq'\n"},
        {"--verbose=yes -o x.pdf a.png", "folian: option takes no value: '--verbose=yes'\n"},
        {"-o x.pdf --dpi", "folian: option needs a value: '--dpi'\n"},
        {"--page-size=a11 -o x.pdf a.png",
         "folian: --page-size 'a11': accepted: image, a0-a10, b0-b10, c4-c6, letter, legal, tabloid, ledger, "
         "statement, executive, or WxH with a unit pt (default), mm, cm or in, sides 3 to 14400 pt (210x297mm, "
         "8.5x11in)\n"},
        {"-r 0 -o x.pdf a.png", "folian: --dpi '0': accepted: a whole number of dots per inch from 1 to 10000\n"},
        {"--fit=cover -o x.pdf a.png", "folian: --fit 'cover': accepted: into, fill, exact, shrink, enlarge\n"},
        {"--max-pages -1 -o x.pdf a.png", "folian: --max-pages '-1': accepted: a whole number (0: the default)\n"},
        {"a.png", "folian: no output file (-o)\n"},
    };
    for (const auto &c : cases) {
        ToolRun r = tool(c.first);
        EXPECT_EQ(r.status, 2) << c.first;
        EXPECT_EQ(r.out.substr(0, r.out.find("usage:")), c.second) << c.first;
    }
}

// Layout and limit options reach the library's keys in both spellings; limits name the file.
TEST(Tool, LayoutAndLimitOptions) {
    TempDir tmp;
    std::string in = q(data_path("jpeg/baseline-420.jpg")), a = tmp.file("a.pdf"), b = tmp.file("b.pdf");
    ASSERT_EQ(tool("-p a5 --orientation landscape -m 1cm --fit fill -o " + q(a) + " " + in).status, 0);
    ASSERT_EQ(tool("--page-size=A5 --auto-orient --margin=1cm --fit=fill -o " + q(b) + " " + in).status, 0);
    EXPECT_NE(read_text(a).find("/MediaBox [0 0 595.28 419.53]"), std::string::npos);
    EXPECT_EQ(read_file(a), read_file(b));  // the 96x64 picture is landscape: auto turns the page too
    ToolRun r = tool("--max-pixels 6000 -o " + q(a) + " " + in);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "folian: " + data_path("jpeg/baseline-420.jpg") + ": 96x64 is over the limit of 6000 pixels\n");
    r = tool("-m 5in -p a5 -o " + q(tmp.file("c.pdf")) + " " + in);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("no room for the picture on a 419.53x595.28 pt page"), std::string::npos) << r.out;
    EXPECT_FALSE(file_exists(tmp.file("c.pdf")));
}

// -o - gives the bytes -o FILE writes; a failure gives standard output nothing at all, and
// the scratch file the PDF was made in is gone either way.
TEST(Tool, StandardOutputGetsTheWholeDocumentOrNothing) {
    TempDir tmp, scratch;
    std::string env = "TMPDIR=" + q(scratch.path) + " ";
    std::string inputs = q(data_path("png/pngsuite/basn6a08.png")) + " " + q(data_path("jpeg/grey.jpg"));
    ASSERT_EQ(tool("-p a4 -o " + q(tmp.file("file.pdf")) + " " + inputs).status, 0);
    std::string cmd = env + "'" + FOLIAN_TOOL_PATH + "' -p a4 -o - " + inputs;
    EXPECT_EQ(run_command(cmd + " > " + q(tmp.file("stdout.pdf"))), 0);
    EXPECT_EQ(read_file(tmp.file("stdout.pdf")), read_file(tmp.file("file.pdf")));
    EXPECT_EQ(run_command(cmd + " " + q(tmp.file("missing.png")) + " > " + q(tmp.file("failed.pdf")) + " 2>/dev/null"), 1);
    EXPECT_TRUE(read_file(tmp.file("failed.pdf")).empty());
    EXPECT_TRUE(list_dir(scratch.path).empty());
    // Standard output that cannot take the bytes: the tool says so and still cleans up.
    ToolRun r;
    r.status = run_command(cmd + " 2>&1 >/dev/full", &r.out);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "folian: cannot write standard output: No space left on device\n");
    EXPECT_TRUE(list_dir(scratch.path).empty());
}

TEST(Tool, LongOptionsAndPageSizesInAnyCase) {
    TempDir tmp;
    std::string in = " " + q(data_path("jpeg/grey.jpg"));
    ASSERT_EQ(tool("-p letter -r 300 -o " + q(tmp.file("short.pdf")) + in).status, 0);
    for (const char *form : {"--page-size Letter --dpi 300 --output ", "--page-size=LETTER --dpi=300 --output=",
                                    "-pLeTTeR -r300 -o"}) {
        ToolRun r = tool(std::string(form) + q(tmp.file("long.pdf")) + in);
        ASSERT_EQ(r.status, 0) << form << r.out;
        EXPECT_EQ(read_file(tmp.file("long.pdf")), read_file(tmp.file("short.pdf"))) << form;
    }
    ASSERT_EQ(tool("-p A4 -o " + q(tmp.file("a4.pdf")) + in).status, 0);
    EXPECT_NE(read_text(tmp.file("a4.pdf")).find("/MediaBox [0 0 595.28 841.89]"), std::string::npos);
    ASSERT_EQ(tool("--page-size IMAGE -o " + q(tmp.file("img.pdf")) + " -- " + in).status, 0);
    ToolRun r = tool("--help");
    for (const char *option : {"--output", "--page-size", "--orientation", "--auto-orient", "--margin", "--fit",
                               "--max-pixels", "--max-pages", "--dpi", "--verbose", "--natural-order", "--name-order",
                               "--from-file", "--null", "--stored", "--strict", "--help", "--version", "transcode"})
        EXPECT_NE(r.out.find(option), std::string::npos) << option;
}

// Directory order: the tool lists the directory itself, and must give what the library's
// own directory conversion writes, letter-case ties and skipped names included.
TEST(Tool, DirectoryConvertsToTheLibrarysBytes) {
    TempDir tmp;
    std::string dir = tmp.file("d");
    mkdir(dir.c_str(), 0755);
    const char *const jpegs[] = {"jpeg/grey.jpg", "jpeg/odd-1x1.jpg", "jpeg/odd-33x9.jpg", "jpeg/baseline-422.jpg"};
    const char *const names[] = {"b.jpg", "A.jpg", "a.JPG", "_x.jpeg", "img10.jpg", "img2.jpg", "Z.Jpeg", ".hidden.jpg"};
    for (int i = 0; i < 8; i++) write_file(dir + "/" + names[i], read_file(data_path(jpegs[i % 4])));
    write_file(dir + "/notes.txt", {'x'});
    mkdir((dir + "/sub").c_str(), 0755);
    for (unsigned options : {0u, (unsigned)(FOLIAN_OPT_COMPACT | FOLIAN_OPT_INTERLACED | FOLIAN_OPT_WIDE_PROBE |
                                            FOLIAN_OPT_ORIENTATION | FOLIAN_OPT_FILE_DPI | FOLIAN_OPT_ICC)}) {
        folian_init();
        folian_set_options(options);
        ASSERT_EQ(folian_directory(dir.c_str(), tmp.file("lib.pdf").c_str()), 7) << folian_last_error();
        ToolRun r = tool(std::string(options ? "" : "--strict ") + "--name-order -o " + q(tmp.file("tool.pdf")) + " " + q(dir));
        ASSERT_EQ(r.status, 0) << r.out;
        EXPECT_EQ(read_file(tmp.file("tool.pdf")), read_file(tmp.file("lib.pdf"))) << options;
    }
    folian_init();
}

// The plain documents: --strict is the library with no option; --stored drops compression.
TEST(Tool, StrictIsThePlainLibraryAndStoredIsUncompressed) {
    TempDir tmp;
    const std::string a = data_path("png/pngsuite/basn6a08.png"), b = data_path("jpeg/grey.jpg");
    const char *list[] = {a.c_str(), b.c_str()};
    folian_init();
    folian_set_dpi(96);
    ASSERT_EQ(folian_multiple(list, 2, tmp.file("lib.pdf").c_str()), 1);
    folian_init();
    ToolRun r = tool("--strict -r 96 -o " + q(tmp.file("strict.pdf")) + " " + q(a) + " " + q(b));
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(read_file(tmp.file("strict.pdf")), read_file(tmp.file("lib.pdf")));
    r = tool("-v --stored -o " + q(tmp.file("stored.pdf")) + " " + q(a));
    EXPECT_EQ(r.out, "[1/1] " + a + ": 32x32 PNG RGBA 8-bit, pixels stored\n");
}

// A file is not refused for its name: whether a JPEG named .png converts is the library's
// decision under the tool's options, and the tool reports exactly what the library says.
TEST(Tool, FilesGoToTheLibraryWhateverTheirName) {
    TempDir tmp;
    std::string named_png = tmp.file("photo.png");
    write_file(named_png, read_file(data_path("jpeg/grey.jpg")));
    ToolRun r = tool("-o " + q(tmp.file("tool.pdf")) + " " + q(named_png));
    folian_init();
    folian_set_options(FOLIAN_OPT_COMPACT | FOLIAN_OPT_INTERLACED | FOLIAN_OPT_WIDE_PROBE | FOLIAN_OPT_ORIENTATION |
                       FOLIAN_OPT_FILE_DPI | FOLIAN_OPT_ICC);
    const char *list[] = {named_png.c_str()};
    if (folian_multiple(list, 1, tmp.file("lib.pdf").c_str())) {
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_EQ(read_file(tmp.file("tool.pdf")), read_file(tmp.file("lib.pdf")));
    } else {
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "folian: " + named_png + ": " + folian_last_error() + "\n");
    }
    folian_init();
}

// Every format the library reads converts by default, in a list and in a directory; the plain
// documents keep to PNG and JPEG.
TEST(Tool, EveryFormatByDefaultAndClassicWhenStrict) {
    TempDir tmp;
    // A GIF of one 1x1 frame: global table (9,9,9), (200,200,200); codes clear, 0, end.
    const std::string gif("GIF89a\x01\x00\x01\x00\x80\x00\x00\x09\x09\x09\xc8\xc8\xc8"
                          ",\x00\x00\x00\x00\x01\x00\x01\x00\x00\x02\x02\x44\x01\x00;",
                          35);
    const std::string dir = image_dir(tmp, "album", {{"1.png", "png/pngsuite/basn6a08.png"}});
    write_file(dir + "/2.gif", std::vector<uint8_t>(gif.begin(), gif.end()));
    ToolRun r = tool("-o " + q(tmp.file("a.pdf")) + " " + q(dir));
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(read_text(tmp.file("a.pdf")).find("/Count 2"), std::string::npos);
    r = tool("--strict -o " + q(tmp.file("s.pdf")) + " " + q(dir + "/2.gif"));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "folian: " + dir + "/2.gif: not named .png, .jpg or .jpeg\n");
}

// Natural order numbers pages as people do; --name-order gives the library's order. The
// verbose lines show the order, one line per page with its size and how it is embedded.
TEST(Tool, NaturalOrderAndVerboseLines) {
    TempDir tmp;
    std::string dir = tmp.file("n");
    mkdir(dir.c_str(), 0755);
    write_file(dir + "/10.jpg", read_file(data_path("jpeg/odd-1x1.jpg")));
    write_file(dir + "/2.jpg", read_file(data_path("jpeg/grey.jpg")));
    write_file(dir + "/page-02.png", read_file(data_path("png/pngsuite/basn6a08.png")));
    write_file(dir + "/Page-1.png", read_file(data_path("png/pngsuite/basn6a08.png")));
    std::string out = q(tmp.file("n.pdf"));
    ToolRun r = tool("--natural-order -v -o " + out + " " + q(dir));
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, "[1/4] " + dir + "/2.jpg: 96x64 JPEG grey, embedded unchanged\n"
                     "[2/4] " + dir + "/10.jpg: 1x1 JPEG colour, embedded unchanged\n"
                     "[3/4] " + dir + "/Page-1.png: 32x32 PNG RGBA 8-bit, pixels compressed\n"
                     "[4/4] " + dir + "/page-02.png: 32x32 PNG RGBA 8-bit, pixels compressed\n");
    r = tool("--verbose --name-order -o " + out + " " + q(dir));
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out.find("[1/4] " + dir + "/10.jpg"), 0u) << r.out;
    EXPECT_NE(r.out.find("[4/4] " + dir + "/Page-1.png"), std::string::npos) << r.out;
    r = tool("-v -o " + out + " " + q(dir));  // natural order is the default
    EXPECT_EQ(r.out.find("[1/4] " + dir + "/2.jpg"), 0u) << r.out;
    r = tool("-o " + out + " " + q(dir));  // quiet, and no progress when stderr is not a terminal
    EXPECT_EQ(r.out, "");
}

// On a terminal a batch rewrites one "[i/n] name" line in place and clears it at the end;
// the terminal comes from script(1), which runs the tool on a pseudo-terminal.
TEST(Tool, ProgressOnATerminal) {
    if (!have_program("script")) GTEST_SKIP() << "script(1) is not installed";
    TempDir tmp;
    std::string dir = tmp.file("p");
    mkdir(dir.c_str(), 0755);
    write_file(dir + "/p1.jpg", read_file(data_path("jpeg/grey.jpg")));
    write_file(dir + "/p10.jpg", read_file(data_path("jpeg/grey.jpg")));
    write_file(dir + "/p2.jpg", read_file(data_path("jpeg/grey.jpg")));
    std::string cmd = std::string("'") + FOLIAN_TOOL_PATH + "' --natural-order -o " + q(tmp.file("p.pdf")) + " " + q(dir);
    std::string screen;
    ASSERT_EQ(run_command("script -qec " + q(cmd) + " /dev/null", &screen), 0);
    std::string blank(std::string("[3/3] p10.jpg").size(), ' ');
    EXPECT_EQ(screen, "\r[1/3] p1.jpg\r[2/3] p2.jpg\r[3/3] p10.jpg\r" + blank + "\r");
    ASSERT_EQ(run_command("script -qec " + q(cmd + " -v") + " /dev/null", &screen), 0);
    EXPECT_EQ(screen.find('\r' + std::string("[")), std::string::npos);  // the verbose lines say it all
    EXPECT_NE(screen.find("[3/3] " + dir + "/p10.jpg: 96x64 JPEG grey"), std::string::npos) << screen;
}

// Standard input as an image (named in messages as such), lists of paths by line or NUL
// from a file or standard input, and directories inside lists; each gives the bytes of the
// same pages named on the command line.
TEST(Tool, StandardInputAndListsOfPaths) {
    TempDir tmp, scratch;
    const std::string png = data_path("png/pngsuite/basn6a08.png"), jpg = data_path("jpeg/grey.jpg");
    std::string dir = image_dir(tmp, "d", {{"10.jpg", "jpeg/odd-1x1.jpg"}, {"2.jpg", "jpeg/grey.jpg"}});
    ASSERT_EQ(tool("-o " + q(tmp.file("ref.pdf")) + " " + q(png) + " " + q(jpg) + " " + q(dir)).status, 0);
    const std::vector<uint8_t> ref = read_file(tmp.file("ref.pdf"));
    std::string lines = jpg + "\r\n\n" + dir + "\n", nul = jpg + '\0' + dir + '\0';
    write_file(tmp.file("lines"), std::vector<uint8_t>(lines.begin(), lines.end()));
    write_file(tmp.file("nul"), std::vector<uint8_t>(nul.begin(), nul.end()));
    const std::string out = " -o " + q(tmp.file("t.pdf")), env = "TMPDIR=" + q(scratch.path) + " ";
    for (const std::string &cmd : {env + tool_cmd(out + " - --from-file " + q(tmp.file("lines"))) + " < " + q(png),
                                   tool_cmd(out + " " + q(png) + " --from-file - ") + " < " + q(tmp.file("lines")),
                                   tool_cmd("-0" + out + " " + q(png) + " --from-file=" + q(tmp.file("nul")))}) {
        ASSERT_EQ(run_command(cmd + " 2>&1"), 0) << cmd;
        EXPECT_EQ(read_file(tmp.file("t.pdf")), ref) << cmd;
    }
    std::string said;
    EXPECT_EQ(run_command(env + tool_cmd(out + " -") + " < " + q(tmp.file("lines")) + " 2>&1", &said), 1);
    EXPECT_EQ(said, "folian: standard input: not a PNG or JPEG image\n");
    EXPECT_EQ(run_command(tool_cmd(out + " --from-file /dev/null 2>&1"), &said), 1);
    EXPECT_EQ(said, "folian: /dev/null: no paths in the list\n");
    EXPECT_EQ(tool(out + " - --from-file -").status, 2);
    EXPECT_TRUE(list_dir(scratch.path).empty());
    EXPECT_EQ(list_dir(tmp.path), (std::vector<std::string>{"d", "lines", "nul", "ref.pdf", "t.pdf"}));
}

// Entries of a directory that are not regular files are no pages: a folder named like an
// image is passed over, a link to an image file is a page.
TEST(Tool, DirectoryPagesAreRegularFiles) {
    TempDir tmp;
    std::string dir = image_dir(tmp, "d", {{"1.jpg", "jpeg/grey.jpg"}});
    mkdir((dir + "/sub.png").c_str(), 0755);
    ASSERT_EQ(symlink(data_path("jpeg/odd-1x1.jpg").c_str(), (dir + "/2.jpg").c_str()), 0);
    ToolRun r = tool("-r 72 -o " + q(tmp.file("d.pdf")) + " " + q(dir));
    ASSERT_EQ(r.status, 0) << r.out;
    expect_valid_pdf(tmp.file("d.pdf"), {{96, 64}, {1, 1}}, 72);
}

// An output that is one of the inputs (by name, by another name of the same file, among a
// directory's files, or as standard output's file) is refused before anything is written.
TEST(Tool, AnOutputThatIsAnInputIsRefused) {
    TempDir tmp;
    std::string dir = image_dir(tmp, "d", {{"a.jpg", "jpeg/grey.jpg"}, {"b.png", "png/pngsuite/basn6a08.png"}});
    const std::vector<uint8_t> before = read_file(dir + "/b.png");
    ASSERT_EQ(link((dir + "/b.png").c_str(), tmp.file("hard.pdf").c_str()), 0);
    const std::string b = dir + "/b.png", other = q(data_path("jpeg/odd-1x1.jpg"));
    const std::pair<std::string, std::string> cases[] = {
        {"-o " + q(b) + " " + other + " " + q(b), b},
        {"-o " + q(tmp.file("hard.pdf")) + " " + q(dir), b},
        {"-o " + q(dir + "/./b.png") + " " + q(dir), b},
        {"-o - " + other + " " + q(b) + " >> " + q(b), b},
    };
    for (const auto &c : cases) {
        std::string said;
        EXPECT_EQ(run_command(tool_cmd("2>&1 " + c.first), &said), 1) << c.first;
        EXPECT_EQ(said, "folian: " + c.second + ": the output would replace this input\n") << c.first;
        EXPECT_EQ(read_file(b), before) << c.first;
    }
}

// --each: a document per directory, beside it or in -o's directory; a broken one is named
// and the others are still written, the same bytes as one document at a time.
TEST(Tool, EachDirectoryBecomesItsOwnDocument) {
    TempDir tmp;
    const std::string a = image_dir(tmp, "a", {{"1.jpg", "jpeg/grey.jpg"}, {"2.png", "png/misc/im-rgba8.png"}});
    const std::string b = image_dir(tmp, "b", {{"1.png", "png/misc/im-rgba8.png"}});
    const std::string bad = image_dir(tmp, "bad", {{"1.jpg", "jpeg/grey.jpg"}});
    write_file(bad + "/2.png", {1, 2, 3});
    ToolRun r = tool("-j3 --each " + q(a) + " " + q(bad) + " " + q(b + "/"));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find(bad + "/2.png: png: "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(a + ".pdf: 2 pages, "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("1 of 3 documents failed: " + bad), std::string::npos) << r.out;
    EXPECT_FALSE(file_exists(bad + ".pdf"));
    ASSERT_EQ(tool("-j1 -o " + q(tmp.file("one.pdf")) + " " + q(a)).status, 0);
    EXPECT_TRUE(read_file(a + ".pdf") == read_file(tmp.file("one.pdf")));
    const std::string outdir = tmp.file("out");
    mkdir(outdir.c_str(), 0755);
    ASSERT_EQ(tool("-o " + q(outdir) + " --each " + q(a) + " " + q(b)).status, 0);
    EXPECT_EQ(list_dir(outdir), (std::vector<std::string>{"a.pdf", "b.pdf"}));
    EXPECT_TRUE(read_file(outdir + "/b.pdf") == read_file(b + ".pdf"));
    EXPECT_EQ(tool("-o " + q(tmp.file("nodir")) + " --each " + q(a)).status, 2);
    EXPECT_EQ(tool("-j -1 -o " + q(tmp.file("x.pdf")) + " " + q(a)).status, 2);
}

// Starts a shell command without waiting; exec makes the process the command itself, so a
// signal reaches the tool.
pid_t start_command(const std::string &cmd) {
    const std::string line = "exec env " + cmd;
    pid_t pid = fork();
    if (pid == 0) {
        execl("/bin/sh", "sh", "-c", line.c_str(), (char *)nullptr);
        _exit(127);
    }
    return pid;
}

bool has_entry_starting(const std::string &dir, const std::string &head) {
    for (const std::string &n : list_dir(dir))
        if (n.rfind(head, 0) == 0) return true;
    return false;
}

// Interrupts the tool `delay_ms` after its start, or (delay -1) as soon as the library's
// temporary appears in `watched`. Returns the wait status.
int interrupt_tool(const std::string &cmd, int delay_ms, const std::string &watched) {
    pid_t pid = start_command(cmd);
    int status = 0;
    for (int waited = 0; waited < 20000; waited++) {  // steps of 0.5 ms, 10 s in all
        if (waitpid(pid, &status, WNOHANG) == pid) return status;
        if (delay_ms >= 0 ? waited >= 2 * delay_ms : has_entry_starting(watched, ".folian-")) break;
        usleep(500);
    }
    kill(pid, SIGINT);
    waitpid(pid, &status, 0);
    return status;
}

// An interrupt at any moment, the final write included, leaves no temporary: the output
// is the whole document (the write was let finish) or absent, and with -o - the scratch
// files are gone (a copy to standard output under way is cut short: a stream cannot be
// taken back). The input is large so the final write takes time.
TEST(Tool, AnInterruptLeavesNoTemporary) {
    TempDir tmp, scratch;
    const int w = 1000, h = 1000;
    std::vector<unsigned char> px((size_t)w * h * 4);
    uint32_t x = 12345;
    for (unsigned char &c : px) c = (unsigned char)((x = x * 1103515245u + 12345u) >> 24);
    ASSERT_EQ(kv_png_write(tmp.file("big.png").c_str(), w, h, px.data()), 1);
    std::string inputs;
    for (int i = 0; i < 4; i++) inputs += " " + q(tmp.file("big.png"));
    const std::string env = "TMPDIR=" + q(scratch.path) + " ", out_dir = tmp.file("out");
    mkdir(out_dir.c_str(), 0755);
    ASSERT_EQ(tool("--stored -o " + q(tmp.file("ref.pdf")) + inputs).status, 0);
    const std::vector<uint8_t> ref = read_file(tmp.file("ref.pdf"));
    for (bool to_stdout : {false, true}) {
        for (int delay : {-1, 100}) {
            std::string target = out_dir + "/doc.pdf";
            std::string cmd = env + tool_cmd("--stored -j3 -o " + (to_stdout ? "- " : q(target)) + inputs);
            if (to_stdout) cmd += " > " + q(target);
            int status = interrupt_tool(cmd, delay, to_stdout ? scratch.path : out_dir);
            std::string what = std::string(to_stdout ? "-o - " : "-o FILE ") + std::to_string(delay);
            EXPECT_TRUE((WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) ||
                        (WIFEXITED(status) && WEXITSTATUS(status) == 0)) << what;
            EXPECT_TRUE(list_dir(scratch.path).empty()) << what;
            std::vector<std::string> left = list_dir(out_dir);
            EXPECT_TRUE(left.empty() || left == std::vector<std::string>{"doc.pdf"}) << what << " " << left[0];
            if (!left.empty() && !(to_stdout && WIFSIGNALED(status))) {
                EXPECT_EQ(read_file(target).size(), ref.size()) << what;
                EXPECT_TRUE(read_file(target) == ref) << what;
            }
            unlink(target.c_str());
        }
    }
}

}  // namespace

TEST(Tool, DescriptionAndArchivalOptionsReachTheDocument) {
    TempDir tmp;
    const std::string out = tmp.file("d.pdf"), in = q(data_path("meta/base.jpg"));
    ToolRun r = tool("--pdfa --title 'A (b)' --creation-date 2026-12-09 -o " + q(out) + " " + in);
    ASSERT_EQ(r.status, 0) << r.out;
    const std::string pdf = read_text(out);
    EXPECT_NE(pdf.find("<pdfaid:part>2</pdfaid:part>"), std::string::npos);  // bare --pdfa is 2b
    EXPECT_NE(pdf.find("/Title (A \\(b\\))"), std::string::npos);
    EXPECT_NE(pdf.find("/CreationDate (D:20261209000000+00'00)"), std::string::npos);
    // Refused values are usage errors naming the option and value; refused pages name the file.
    r = tool("--pdfa=3u -o " + q(out) + " " + in);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("pdfa \"3u\""), std::string::npos) << r.out;
    const std::string alpha = data_path("png/pngsuite/basn6a08.png");
    r = tool("--pdfa=1b -o " + q(tmp.file("e.pdf")) + " " + q(alpha));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find(alpha + ": pdf_write: transparency cannot be PDF/A-1b"), std::string::npos) << r.out;
    EXPECT_FALSE(file_exists(tmp.file("e.pdf")));
}
