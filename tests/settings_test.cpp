// Settings records and the conversions that carry them: keys refuse bad values and change
// nothing, the historical modes and options give the historical bytes through the keys,
// documents with a record keep their failures to themselves (also on eight threads at once),
// limits, directory listings, and the output path taken and checked when a document begins.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "folian.h"
#include "pdf_test_util.h"
#include "test_util.h"

namespace {

const std::string JPEG = "jpeg/baseline-420.jpg";  // 96 x 64
const std::string PNG = "png/misc/im-rgba8.png";   // has transparent pixels
const std::string EXIF = "meta/orient-6.jpg";

struct SettingsPtr {
    folian_settings *s = folian_settings_new();
    ~SettingsPtr() { folian_settings_free(s); }
    SettingsPtr &set(const char *key, const char *value) {
        EXPECT_EQ(folian_settings_set(s, key, value), 1) << folian_settings_error(s);
        return *this;
    }
};

// A whole conversion with a record; the error text, "" on success.
std::string convert(const folian_settings *s, const std::vector<std::string> &inputs, const std::string &out) {
    std::vector<const char *> list;
    for (const std::string &p : inputs) list.push_back(p.c_str());
    char error[512] = "x";
    const int ok = folian_convert(s, list.data(), (int)list.size(), out.c_str(), error, sizeof error);
    EXPECT_EQ(ok == 1, error[0] == '\0') << error;
    return error;
}

class Settings : public ::testing::Test {
protected:
    void SetUp() override { folian_init(); }
    void TearDown() override { folian_init(); }
    TempDir tmp;
};

TEST_F(Settings, BadKeysAndValuesChangeNothingAndSayWhatIsAccepted) {
    SettingsPtr a;
    a.set("page-size", "A4").set("dpi", "72");
    struct Case {
        const char *key, *value, *said;
    } cases[] = {
        {"page-size", "a11", nullptr},
        {"orientation", "sideways", "settings: orientation \"sideways\": accepted: portrait, landscape, auto"},
        {"fit", "cover", "settings: fit \"cover\": accepted: into, fill, exact, shrink, enlarge"},
        {"margin", "1cm,2cm,3cm", nullptr},
        {"dpi", "0", "settings: dpi \"0\": accepted: a whole number of dots per inch from 1 to 10000"},
        {"dpi", "72x", nullptr},
        {"dpi", "10001", nullptr},
        {"compact", "yes", "settings: compact \"yes\": accepted: on, off"},
        {"max-pixels", "-1", nullptr},
        {"colour", "on", "settings: unknown key \"colour\"; accepted: page-size, orientation, margin, fit, dpi, "
                         "compact, interlaced, content-probe, exif-rotation, file-dpi, icc, natural-order, "
                         "max-pixels, max-pages, formats, first-frame-only, title, author, subject, keywords, "
                         "creator, producer, creation-date, mod-date, pdfa, jobs"},
        {"jobs", "-1", "settings: jobs \"-1\": accepted: a whole number of threads from 0 (every core) to 1024"},
        {"jobs", "two", nullptr},
        {"jobs", "1025", nullptr},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(folian_settings_set(a.s, c.key, c.value), 0) << c.key << " " << c.value;
        if (c.said) {
            EXPECT_STREQ(folian_settings_error(a.s), c.said);
        }
        EXPECT_NE(std::string(folian_settings_error(a.s)).find(c.value), std::string::npos);
        EXPECT_NE(std::string(folian_settings_error(a.s)).find("accepted: "), std::string::npos) << c.key;
    }
    EXPECT_EQ(folian_settings_set(a.s, nullptr, "x"), 0);
    EXPECT_EQ(folian_settings_set(nullptr, "dpi", "72"), 0);
    // Still A4 at 72 dpi: the same document as a fresh record set so.
    SettingsPtr b;
    b.set("page-size", "a4").set("dpi", "72");
    std::string in = data_path(JPEG);
    EXPECT_EQ(convert(a.s, {in}, tmp.file("a.pdf")), "");
    EXPECT_EQ(convert(b.s, {in}, tmp.file("b.pdf")), "");
    EXPECT_EQ(read_file(tmp.file("a.pdf")), read_file(tmp.file("b.pdf")));
    EXPECT_STREQ(folian_settings_error(b.s), "");
    // A copy is independent of its original.
    folian_settings *c = folian_settings_copy(a.s);
    a.set("page-size", "image");
    EXPECT_EQ(convert(c, {in}, tmp.file("c.pdf")), "");
    EXPECT_EQ(read_file(tmp.file("c.pdf")), read_file(tmp.file("b.pdf")));
    folian_settings_free(c);
}

TEST_F(Settings, HistoricalModesAndOptionsGiveTheirBytesThroughTheKeys) {
    const char *sizes[] = {"image", "a4", "letter", "a3"};
    const std::vector<std::string> inputs = {data_path(JPEG), data_path(PNG), data_path(EXIF)};
    std::vector<const char *> list;
    for (const std::string &p : inputs) list.push_back(p.c_str());
    for (int mode = 0; mode < 4; mode++) {
        SettingsPtr s;
        s.set("page-size", sizes[mode]).set("dpi", "96").set("compact", "on").set("exif-rotation", "on");
        folian_set_page_size(mode);
        folian_set_dpi(96);
        folian_set_options(FOLIAN_OPT_COMPACT | FOLIAN_OPT_ORIENTATION);
        ASSERT_EQ(folian_multiple(list.data(), 3, tmp.file("old.pdf").c_str()), 1) << folian_last_error();
        EXPECT_EQ(convert(s.s, inputs, tmp.file("new.pdf")), "");
        EXPECT_EQ(read_file(tmp.file("old.pdf")), read_file(tmp.file("new.pdf"))) << sizes[mode];
    }
}

// Each thread converts its own documents with its own settings while the process-wide
// error text holds a failure that nothing may touch.
using ThreadsWithSettings = Settings;
TEST_F(ThreadsWithSettings, ConvertAtOnceEachAsAlone) {
    const char *sizes[] = {"image", "a4", "letter", "a3"};
    const std::vector<std::string> inputs = {data_path(PNG), data_path(JPEG), data_path(EXIF)};
    std::vector<SettingsPtr> settings(8);
    for (int t = 0; t < 8; t++) {
        settings[t].set("page-size", sizes[t % 4]).set("dpi", t < 4 ? "72" : "300");
        settings[t].set("compact", t % 2 ? "on" : "off").set("exif-rotation", t % 3 ? "on" : "off");
    }
    auto out = [&](int t, const char *kind) { return tmp.file(kind + std::to_string(t) + ".pdf"); };
    for (int t = 0; t < 8; t++) ASSERT_EQ(convert(settings[t].s, inputs, out(t, "alone")), "");
    folian_single("missing.gif", "x.pdf");
    const std::string pending = folian_last_error();
    std::vector<std::string> errors(8);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; t++)
        threads.emplace_back([&, t] {
            for (int round = 0; round < 3; round++) {
                errors[t] += convert(settings[t].s, inputs, out(t, "together"));
                // A failing document keeps its failure to itself.
                folian_doc *d = folian_doc_open(out(t, "never").c_str(), settings[t].s);
                if (folian_doc_add(d, "none.jpg") || std::string(folian_doc_error(d)) != "jpeg: cannot read file")
                    errors[t] += "doc;";
                folian_doc_abort(d);
            }
        });
    for (std::thread &th : threads) th.join();
    for (int t = 0; t < 8; t++) {
        EXPECT_EQ(errors[t], "") << t;
        EXPECT_EQ(read_file(out(t, "alone")), read_file(out(t, "together"))) << t;
        EXPECT_FALSE(file_exists(out(t, "never")));
    }
    EXPECT_EQ(folian_last_error(), pending);
}

// The layout keys reach every way a page is written; the geometry itself is tested in its unit.
TEST_F(Settings, LayoutKeysReachConversionsDocumentsAndTheWriter) {
    std::string in = data_path(JPEG), out = tmp.file("l.pdf");
    SettingsPtr s;
    s.set("page-size", "a4").set("orientation", "landscape").set("fit", "fill").set("margin", "1in");
    EXPECT_EQ(convert(s.s, {in}, out), "");
    std::string pdf = read_text(out);
    EXPECT_NE(pdf.find("/MediaBox [0 0 841.89 595.28]"), std::string::npos);
    EXPECT_NE(pdf.find("re W n\n"), std::string::npos);  // fill clips to the box
    // Host records through the writer's record entry point: the same page.
    std::vector<uint8_t> jpeg = read_file(in);
    PdfImage im = jpeg_image(jpeg, 3);
    im.width = 96, im.height = 64;
    PdfImage *list[1] = {&im};
    char error[256] = "x";
    ASSERT_EQ(pdf_write_settings(tmp.file("w.pdf").c_str(), list, 1, s.s, error, sizeof error), 1) << error;
    EXPECT_STREQ(error, "");
    EXPECT_EQ(read_file(tmp.file("w.pdf")), read_file(out));
    // Without room for the picture nothing is read or written, and the sizes are named.
    s.set("margin", "5in");
    const std::string no_room = convert(s.s, {tmp.file("missing.jpg")}, out);
    EXPECT_NE(no_room.find("no room for the picture on a 841.89x595.28 pt page with margins"), std::string::npos)
        << no_room;
    folian_doc *d = folian_doc_open(tmp.file("n.pdf").c_str(), s.s);
    EXPECT_EQ(folian_doc_error(d), no_room);
    EXPECT_EQ(folian_doc_add(d, in.c_str()), 0);
    folian_doc_abort(d);
    EXPECT_EQ(pdf_write_settings(tmp.file("n.pdf").c_str(), list, 1, s.s, error, sizeof error), 0);
    EXPECT_EQ(error, no_room);
    EXPECT_FALSE(file_exists(tmp.file("n.pdf")));
    // The historical writer arguments and the keys give the same bytes.
    SettingsPtr letter;
    letter.set("page-size", "letter").set("dpi", "300");
    ASSERT_EQ(pdf_write(tmp.file("old.pdf").c_str(), list, 1, FOLIAN_PAGE_LETTER, 300, nullptr), 1);
    ASSERT_EQ(pdf_write_settings(tmp.file("new.pdf").c_str(), list, 1, letter.s, nullptr, 0), 1);
    EXPECT_EQ(read_file(tmp.file("old.pdf")), read_file(tmp.file("new.pdf")));
}

TEST_F(Settings, RefusedFilesSayWhyOnceWithTheFile) {
    std::string gif = tmp.file("anim.jpg"), empty = data_path("jpeg/empty.jpg");
    write_file(gif, {'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0, 0, 0, 0});
    struct Case {
        std::string path, reason;
    } cases[] = {
        {data_path("jpeg/arithmetic.jpg"), "jpeg: arithmetic-coded JPEG not supported"},
        {data_path("jpeg/ijg-testorig12.jpg"), "jpeg: only 8-bit samples supported"},
        {empty, "not a PNG or JPEG image"},
        {gif, "not a PNG or JPEG image"},
    };
    SettingsPtr s;
    for (const Case &c : cases) {
        EXPECT_EQ(convert(s.s, {c.path}, tmp.file("x.pdf")), c.path + ": " + c.reason);
        folian_doc *d = folian_doc_begin(tmp.file("y.pdf").c_str());
        EXPECT_EQ(folian_doc_add(d, c.path.c_str()), 0);
        EXPECT_EQ(folian_last_error(), c.reason);
        folian_doc_abort(d);
    }
    EXPECT_FALSE(file_exists(tmp.file("x.pdf")));
    // The process-wide list keeps its historical words.
    const char *one[] = {cases[0].path.c_str()};
    EXPECT_EQ(folian_multiple(one, 1, tmp.file("z.pdf").c_str()), 0);
    EXPECT_EQ(folian_last_error(), "folian_multiple: failed on " + cases[0].path);
}

TEST_F(Settings, LimitsAreCheckedFromTheHeaders) {
    std::string jpeg = data_path(JPEG), png = data_path(PNG), out = tmp.file("l.pdf");
    SettingsPtr s;
    s.set("max-pixels", "6000");
    EXPECT_EQ(convert(s.s, {jpeg}, out), jpeg + ": 96x64 is over the limit of 6000 pixels");
    s.set("max-pixels", "6144");
    EXPECT_EQ(convert(s.s, {jpeg}, out), "");
    s.set("max-pixels", "100");
    EXPECT_NE(convert(s.s, {png}, out).find("is over the limit of 100 pixels"), std::string::npos);
    s.set("max-pixels", "0").set("max-pages", "2");
    EXPECT_EQ(convert(s.s, {jpeg, png, jpeg}, out), "3 pages are over the limit of 2 pages");
    folian_doc *d = folian_doc_open(out.c_str(), s.s);
    EXPECT_EQ(folian_doc_add(d, jpeg.c_str()) + folian_doc_add(d, jpeg.c_str()), 2);
    EXPECT_EQ(folian_doc_add(d, jpeg.c_str()), 0);
    EXPECT_STREQ(folian_doc_error(d), "page 3 is over the limit of 2 pages");
    EXPECT_EQ(folian_doc_finish(d), 1);
    // A header past the writer's own limit says so rather than "bad image".
    std::vector<uint8_t> big = read_file(jpeg);
    for (size_t i = 0; i + 8 < big.size(); i++)
        if (big[i] == 0xFF && big[i + 1] == 0xC0) {
            big[i + 5] = big[i + 7] = 0xEA, big[i + 6] = big[i + 8] = 0x60;  // 60000 x 60000
            break;
        }
    write_file(tmp.file("big.jpg"), big);
    EXPECT_EQ(convert(nullptr, {tmp.file("big.jpg")}, out),
              tmp.file("big.jpg") + ": 60000x60000 is over the limit of 200000000 pixels");
}

TEST_F(Settings, DirectoriesListImageFilesInEitherOrder) {
    const std::string dir = tmp.file("album");
    mkdir(dir.c_str(), 0755);
    for (const char *name : {"10.jpg", "2.JPG", "1.png", ".hidden.png", "notes.txt"})
        write_file(dir + "/" + name, read_file(data_path(std::string(name).find("png") != std::string::npos ? PNG : JPEG)));
    mkdir((dir + "/sub.png").c_str(), 0755);  // a directory named like an image is no page
    ASSERT_EQ(symlink((dir + "/1.png").c_str(), (dir + "/link.png").c_str()), 0);
    auto listed = [&](const folian_settings *s) {
        char **paths = nullptr;
        int count = -1;
        std::string names;
        EXPECT_EQ(folian_list_directory(dir.c_str(), s, &paths, &count, nullptr, 0), 1);
        for (int i = 0; i < count; i++) names += paths[i] + dir.size() + 1 + std::string(" ");
        folian_free(paths);
        return names;
    };
    EXPECT_EQ(listed(nullptr), "1.png 10.jpg 2.JPG link.png ");
    SettingsPtr natural;
    natural.set("natural-order", "on");
    EXPECT_EQ(listed(natural.s), "1.png 2.JPG 10.jpg link.png ");
    char error[128];
    EXPECT_EQ(folian_list_directory(tmp.file("none").c_str(), nullptr, nullptr, nullptr, error, sizeof error), 0);
    EXPECT_EQ(error, tmp.file("none") + ": cannot open directory");
    EXPECT_EQ(folian_directory(dir.c_str(), tmp.file("d.pdf").c_str()), 4) << folian_last_error();
    EXPECT_EQ(convert(natural.s, {dir}, tmp.file("n.pdf")), "");
}

TEST_F(Settings, OutputPathIsTakenAndCheckedWhenTheDocumentBegins) {
    std::string in = data_path(JPEG), out = tmp.file("out.pdf");
    std::vector<char> buffer(out.begin(), out.end());
    buffer.push_back('\0');
    folian_doc *d = folian_doc_begin(buffer.data());
    buffer.assign(buffer.size(), 'x');  // the host reuses its buffer
    buffer.back() = '\0';
    ASSERT_EQ(folian_doc_add(d, in.c_str()), 1);
    ASSERT_EQ(folian_doc_finish(d), 1);
    EXPECT_TRUE(file_exists(out));
    // A directory as the output is refused before any page is read.
    EXPECT_EQ(folian_doc_begin(tmp.path.c_str()), nullptr);
    EXPECT_STREQ(folian_last_error(), "pdf_write: cannot open output file");
    d = folian_doc_open(tmp.path.c_str(), nullptr);
    EXPECT_EQ(folian_doc_error(d), tmp.path + ": pdf_write: cannot open output file");
    EXPECT_EQ(folian_doc_add(d, in.c_str()), 0);
    EXPECT_EQ(folian_doc_finish(d), 0);  // a failed finish keeps the handle for its message
    EXPECT_EQ(folian_doc_error(d), tmp.path + ": pdf_write: cannot open output file");
    folian_doc_abort(d);
    EXPECT_EQ(convert(nullptr, {tmp.file("missing.jpg")}, tmp.path), tmp.path + ": pdf_write: cannot open output file");
}

}  // namespace
