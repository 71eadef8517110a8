// file_paths_test.cpp: outputs and inputs by any name the system accepts. Every writer
// (pdf_write, kv_png_write, kv_jpeg_write) writes any path that fopen(path, "wb") accepts,
// through a temporary that is short, exclusive and never left behind, also through a
// symbolic link whose target does not exist yet; inputs that are not regular files are
// refused at once instead of blocking; directory entries convert as themselves however
// long their joined paths are.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "folian.h"
#include "pdf_test_util.h"
#include "test_util.h"

namespace {

using Bytes = std::vector<uint8_t>;

const std::string PNG_RGBA = "png/misc/im-rgba8.png";
const std::string JPEG_420 = "jpeg/baseline-420.jpg";  // 96 x 64

// The three writers over one small picture; each returns 1 or 0.
struct Writer {
    const char *name;
    std::function<int(const std::string &)> write;
};

std::vector<Writer> writers() {
    static Bytes px = [] {
        Bytes p(40 * 30 * 4);
        for (size_t i = 0; i < p.size(); i++) p[i] = (uint8_t)(i * 13);
        return p;
    }();
    return {
        {"pdf_write",
         [](const std::string &path) {
             PdfImage im = pixel_image(40, 30, px);
             PdfImage *list[] = {&im};
             const char *msg;
             return pdf_write(path.c_str(), list, 1, 0, 150, &msg);
         }},
        {"kv_png_write", [](const std::string &path) { return kv_png_write(path.c_str(), 40, 30, px.data()); }},
        {"kv_jpeg_write", [](const std::string &path) { return kv_jpeg_write(path.c_str(), 40, 30, px.data()); }},
    };
}

bool fopen_accepts(const std::string &path) {
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    std::fclose(f);
    std::remove(path.c_str());
    return true;
}

TEST(OutputFiles, EveryNameFopenAcceptsIsWritable) {
    TempDir tmp;
    // File names up to the file system's limit, and a path near the system's path limit.
    std::vector<std::string> paths;
    for (size_t n : {200, 243, 250, 255}) paths.push_back(tmp.file(std::string(n - 4, 'n') + ".out"));
    std::string deep = tmp.path;
    while (deep.size() < PATH_MAX - 250) {
        deep += "/" + std::string(200, 'd');
        ASSERT_EQ(mkdir(deep.c_str(), 0755), 0);
    }
    paths.push_back(deep + "/" + std::string(PATH_MAX - 2 - deep.size() - 1, 'x'));  // 4094 characters
    paths.push_back(deep + "/x");
    for (const std::string &path : paths) {
        ASSERT_TRUE(fopen_accepts(path)) << path.size();
        for (const Writer &w : writers()) {
            EXPECT_EQ(w.write(path), 1) << w.name << " with a path of " << path.size() << " characters";
            EXPECT_TRUE(file_exists(path));
            std::remove(path.c_str());
        }
    }
    // Nothing but the directories is left.
    EXPECT_EQ(list_dir(tmp.path), std::vector<std::string>{std::string(200, 'd')});
    EXPECT_TRUE(list_dir(deep).empty());
}

TEST(OutputFiles, WritersOnTheSameOutputNeverShareATemporary) {
    TempDir tmp;
    const std::string path = tmp.file("same.pdf");
    std::vector<std::thread> threads;
    std::vector<int> failures(4, 0);
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([&, t] {
            const Writer w = writers()[0];
            for (int i = 0; i < 40; i++) failures[t] += w.write(path) != 1;
        });
    }
    for (auto &th : threads) th.join();
    for (int f : failures) EXPECT_EQ(f, 0);
    // Every write was whole: the file is one complete document, and no temporary is left.
    EXPECT_EQ(list_dir(tmp.path), std::vector<std::string>{"same.pdf"});
    expect_valid_pdf(path, {{40, 30}}, 150);
}

// Limits the size of any file this process writes, for the scope; writing past the limit
// fails (EFBIG) instead of raising SIGXFSZ.
struct FileSizeLimit {
    rlimit old;
    void (*old_handler)(int);
    explicit FileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &old);
        old_handler = signal(SIGXFSZ, SIG_IGN);
        rlimit lim = old;
        lim.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &lim);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &old);
        signal(SIGXFSZ, old_handler);
    }
};

TEST(OutputFiles, DanglingSymlinkIsWrittenLikeANewFile) {
    TempDir tmp;
    ASSERT_EQ(mkdir(tmp.file("real").c_str(), 0755), 0);
    ASSERT_EQ(symlink("real/target.out", tmp.file("link.out").c_str()), 0);  // relative, dangling
    ASSERT_EQ(symlink("link.out", tmp.file("chain.out").c_str()), 0);        // a link to the link
    for (const Writer &w : writers()) {
        for (const char *name : {"link.out", "chain.out"}) {
            std::remove(tmp.file("real/target.out").c_str());
            // A write that fails midway leaves nothing at the target.
            {
                FileSizeLimit limit(100);
                EXPECT_EQ(w.write(tmp.file(name)), 0) << w.name;
            }
            EXPECT_TRUE(list_dir(tmp.file("real")).empty()) << w.name << " through " << name;
            // A whole write goes to the target; the links stay links.
            EXPECT_EQ(w.write(tmp.file(name)), 1) << w.name;
            EXPECT_EQ(list_dir(tmp.file("real")), std::vector<std::string>{"target.out"});
            struct stat st;
            ASSERT_EQ(lstat(tmp.file("link.out").c_str(), &st), 0);
            EXPECT_TRUE(S_ISLNK(st.st_mode));
            EXPECT_GT(read_file(tmp.file("real/target.out")).size(), 100u);
        }
    }
    // A link loop is refused like fopen refuses it.
    ASSERT_EQ(symlink("loop.b", tmp.file("loop.a").c_str()), 0);
    ASSERT_EQ(symlink("loop.a", tmp.file("loop.b").c_str()), 0);
    for (const Writer &w : writers()) EXPECT_EQ(w.write(tmp.file("loop.a")), 0) << w.name;
}

// ---- Inputs that are not regular files ------------------------------------------------------

// Runs fn on a thread and reports whether it returned within the time; a call that blocks
// is left behind (the pipe is then opened for writing to release it).
bool returns_quickly(const std::function<void()> &fn, const std::string &fifo) {
    std::atomic<bool> done{false};
    std::thread th([&] {
        fn();
        done = true;
    });
    for (int i = 0; i < 300 && !done; i++) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!done) {
        FILE *f = std::fopen(fifo.c_str(), "wb");  // lets a blocked open go on and end
        if (f) std::fclose(f);
    }
    th.join();
    return done;
}

TEST(InputFiles, PipesDevicesAndSocketsAreRefusedWithoutWaiting) {
    TempDir tmp;
    for (const char *name : {"pipe.png", "pipe.jpg", "pipe.jpeg"}) ASSERT_EQ(mkfifo(tmp.file(name).c_str(), 0644), 0);
    const std::string png_pipe = tmp.file("pipe.png"), jpg_pipe = tmp.file("pipe.jpg");
    const std::string out = tmp.file("out.pdf");
    folian_init();
    std::string err;
    int r = -1;
    EXPECT_TRUE(returns_quickly([&] { r = folian_single(png_pipe.c_str(), out.c_str()); err = folian_last_error(); }, png_pipe));
    EXPECT_EQ(r, 0);
    EXPECT_EQ(err, "png: cannot read file");
    EXPECT_TRUE(returns_quickly([&] { r = folian_single(jpg_pipe.c_str(), out.c_str()); err = folian_last_error(); }, jpg_pipe));
    EXPECT_EQ(r, 0);
    EXPECT_EQ(err, "folian_single: failed to read image");
    const char *list[] = {jpg_pipe.c_str()};
    EXPECT_TRUE(returns_quickly([&] { r = folian_multiple(list, 1, out.c_str()); err = folian_last_error(); }, jpg_pipe));
    EXPECT_EQ(err, "folian_multiple: failed on " + jpg_pipe);
    // Found in a converted directory they are no pages at all: only regular files are.
    const std::string jpeg_pipe = tmp.file("pipe.jpeg");
    EXPECT_TRUE(returns_quickly([&] { r = folian_directory(tmp.path.c_str(), out.c_str()); err = folian_last_error(); }, jpeg_pipe));
    EXPECT_EQ(r, 0);
    EXPECT_EQ(err, "folian_directory: no images in directory");
    // The codecs' own file front ends.
    int w, h, c;
    const char *msg = nullptr;
    EXPECT_TRUE(returns_quickly([&] { EXPECT_EQ(kv_png_decode(png_pipe.c_str(), &w, &h, &msg), nullptr); }, png_pipe));
    EXPECT_STREQ(msg, "png: cannot read file");
    EXPECT_TRUE(returns_quickly([&] { EXPECT_EQ(kv_jpeg_decode(jpg_pipe.c_str(), &w, &h, &msg), nullptr); }, jpg_pipe));
    EXPECT_STREQ(msg, "jpeg: cannot read file");
    EXPECT_TRUE(returns_quickly([&] { EXPECT_EQ(kv_jpeg_info(jpg_pipe.c_str(), &w, &h, &c), 0); }, jpg_pipe));
    EXPECT_FALSE(file_exists(out));

    // A socket and a character device.
    const std::string sock = tmp.file("s.png");
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (sock.size() < sizeof addr.sun_path) {
        std::memcpy(addr.sun_path, sock.c_str(), sock.size() + 1);
        ASSERT_EQ(bind(fd, (sockaddr *)&addr, sizeof addr), 0);
        EXPECT_EQ(kv_png_decode(sock.c_str(), &w, &h, &msg), nullptr);
        EXPECT_STREQ(msg, "png: cannot read file");
    }
    close(fd);
    EXPECT_EQ(kv_png_decode("/dev/zero", &w, &h, &msg), nullptr);
    EXPECT_STREQ(msg, "png: cannot read file");
    EXPECT_EQ(kv_jpeg_info("/dev/zero", &w, &h, &c), 0);
    folian_init();
}

// ---- Long directory paths ----------------------------------------------------------------------

// Writes a file relative to its directory, so that the whole path may pass the system's limit.
void write_file_at(const std::string &dir, const std::string &name, const Bytes &bytes) {
    int dirfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(dirfd, 0);
    int fd = openat(dirfd, name.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), (ssize_t)bytes.size());
    close(fd);
    close(dirfd);
}

// A directory whose own path is `length` characters long, made of nested 200-character names.
std::string deep_directory(const TempDir &tmp, size_t length) {
    std::string dir = tmp.path;
    while (dir.size() + 201 < length) {
        dir += "/" + std::string(200, 'd');
        if (mkdir(dir.c_str(), 0755) != 0) {
            EXPECT_EQ(errno, EEXIST);
        }
    }
    dir += "/" + std::string(length - dir.size() - 1, 'e');
    EXPECT_EQ(mkdir(dir.c_str(), 0755), 0);
    return dir;
}

TEST(InputFiles, DirectoryEntriesConvertAsThemselves) {
    TempDir tmp;
    const Bytes png = read_file(data_path(PNG_RGBA)), jpg = read_file(data_path(JPEG_420));
    folian_init();
    // Joined paths of 4,000 characters and more: each entry is its own page.
    {
        std::string dir = deep_directory(tmp, 3980);
        write_file_at(dir, "abc.png", png);
        write_file_at(dir, "abc.png.jpg", jpg);
        const std::string out = tmp.file("long.pdf");
        ASSERT_EQ(folian_directory(dir.c_str(), out.c_str()), 2) << folian_last_error();
        std::string text = read_text(out);
        EXPECT_NE(text.find("/Filter /DCTDecode"), std::string::npos) << "the JPEG entry was not converted";
        EXPECT_NE(text.find("/Filter /FlateDecode"), std::string::npos);
    }
    // Past the system's path limit a cut path would name abc.png again; the entries are
    // opened relative to their directory instead, and each is still its own page.
    {
        std::string dir = deep_directory(tmp, 4087);
        write_file_at(dir, "abc.png", png);
        write_file_at(dir, "abc.png.jpg", jpg);
        write_file_at(dir, std::string(40, 'p') + ".png", png);
        ASSERT_GT(dir.size() + 1 + 44, (size_t)PATH_MAX);
        const std::string out = tmp.file("cut.pdf");
        ASSERT_EQ(folian_directory(dir.c_str(), out.c_str()), 3) << folian_last_error();
        std::string text = read_text(out);
        EXPECT_NE(text.find("/Filter /DCTDecode"), std::string::npos) << "the JPEG entry was not converted";
        EXPECT_NE(text.find("/Count 3"), std::string::npos);
    }
    folian_init();
}

}  // namespace
