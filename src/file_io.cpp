// file_io.cpp: whole-file read, safe whole-file write and safe streamed write.
//
// The write never truncates the destination before the new content is complete: it goes
// to a sibling temporary file with a short name of its own, created exclusively with the
// mode fopen(path, "wb") would give (0666 less the umask, or the existing file's mode), is
// flushed to disk, then renamed over the destination. Only non-regular destinations
// (devices, pipes) are written in place. Reads take regular files only. Streamed output
// follows the same rules; its scratch files are unlinked as soon as they are open where the
// system allows it, so no failure or crash can leave one behind.
#include "file_io.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "mem.h"
#include "os_path.h"

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#define fseek64 _fseeki64
#define ftell64 _ftelli64
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/sendfile.h>
#endif
#define fseek64 fseeko
#define ftell64 ftello
#endif

namespace {

#ifndef _WIN32
// A directory listing joins the directory's path with each entry's name, and the whole can
// pass the system's path limit while the directory itself is within it: such an entry is
// opened relative to its directory, so it converts as itself. -1 when that fails too, or
// when the entry is no regular file.
int open_in_directory(const char *path) {
    const char *slash = std::strrchr(path, '/');
    if (!slash || slash == path || !slash[1]) return -1;
    const size_t dir_len = (size_t)(slash - path);
    char *dir = (char *)mem_malloc(dir_len + 1);
    if (!dir) return -1;
    std::memcpy(dir, path, dir_len);
    dir[dir_len] = '\0';
    int dirfd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    std::free(dir);
    if (dirfd < 0) return -1;
    struct stat st;
    int fd = -1;
    if (fstatat(dirfd, slash + 1, &st, 0) == 0 && S_ISREG(st.st_mode))
        fd = openat(dirfd, slash + 1, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    close(dirfd);
    return fd;
}
#endif

// Opens `path` for reading only when it is a regular file. A named pipe would block the
// open (or the read) until some writer came, a device may never end, and some systems
// open a directory and report an absurd size for it: none of them is an image file.
FILE *open_regular_file(const char *path) {
#ifdef _WIN32
    FILE *f = os_fopen(path, "rb");
    if (!f) return nullptr;
    // Pipes and character devices are not disk files.
    if (GetFileType((HANDLE)_get_osfhandle(_fileno(f))) != FILE_TYPE_DISK) {
        std::fclose(f);
        return nullptr;
    }
    return f;
#else
    // Tested before the open, which has effects of its own on pipes and devices, and again
    // on what was opened, in case the name was replaced in between. O_NONBLOCK keeps that
    // open of a replaced pipe from waiting; it changes nothing for a regular file.
    struct stat st;
    int fd;
    if (stat(path, &st) == 0) {
        if (!S_ISREG(st.st_mode)) return nullptr;
        fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    } else if (errno == ENAMETOOLONG) {
        fd = open_in_directory(path);
    } else {
        return nullptr;
    }
    if (fd < 0) return nullptr;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return nullptr;
    }
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        close(fd);
        return nullptr;
    }
    FILE *f = fdopen(fd, "rb");
    if (!f) close(fd);
    return f;
#endif
}

}  // namespace

FileReadStatus file_read_whole(const char *path, uint64_t max_len, uint8_t **data, uint64_t *len) {
    *data = nullptr;
    *len = 0;
    if (!path) return FILE_READ_CANNOT_OPEN;
    FILE *f = open_regular_file(path);
    if (!f) return FILE_READ_CANNOT_OPEN;
    if (fseek64(f, 0, SEEK_END) != 0) {
        std::fclose(f);
        return FILE_READ_CANNOT_OPEN;
    }
    long long size = (long long)ftell64(f);
    if (size < 0 || fseek64(f, 0, SEEK_SET) != 0) {
        std::fclose(f);
        return FILE_READ_CANNOT_OPEN;
    }
    if ((uint64_t)size > max_len || (uint64_t)size > (uint64_t)SIZE_MAX - 1) {
        std::fclose(f);
        return FILE_READ_TOO_LARGE;
    }
    uint8_t *buf = (uint8_t *)mem_malloc(size ? (size_t)size : 1);
    if (!buf) {
        std::fclose(f);
        return FILE_READ_NO_MEMORY;
    }
    size_t got = 0;
    while (got < (size_t)size) {
        size_t n = std::fread(buf + got, 1, (size_t)size - got, f);
        if (n == 0) break;
        got += n;
    }
    std::fclose(f);
    if (got != (size_t)size) {
        std::free(buf);
        return FILE_READ_SHORT;
    }
    *data = buf;
    *len = (uint64_t)size;
    return FILE_READ_OK;
}

namespace {

bool write_all_stdio(FILE *f, const void *data, size_t len) {
    const char *p = (const char *)data;
    while (len > 0) {
        size_t n = std::fwrite(p, 1, len, f);
        if (n == 0) return false;
        p += n;
        len -= n;
    }
    return std::fflush(f) == 0;
}

#ifndef _WIN32
FileWriteStatus write_in_place(const char *path, const void *data, size_t len) {
    FILE *f = std::fopen(path, "wb");
    if (!f) return FILE_WRITE_CANNOT_OPEN;
    bool ok = write_all_stdio(f, data, len);
    if (std::fclose(f) != 0) ok = false;
    return ok ? FILE_WRITE_OK : FILE_WRITE_FAILED;
}
#endif

// The temporary's name: a fixed prefix and 12 characters from a per-call token, so its
// length never depends on the output's name, the process id or how many documents the
// process wrote before. The exclusive create, not the token, is what keeps two writers
// apart; the token only makes a clash (and a retry) unlikely.
constexpr char TEMP_PREFIX[] = ".folian-";
constexpr int TEMP_ATTEMPTS = 100;

std::string temp_name(uint64_t seed) {
    static std::atomic<uint64_t> s_seq{0};
    // splitmix64 over the seed and a process-wide sequence number.
    uint64_t x = seed ^ (s_seq.fetch_add(1, std::memory_order_relaxed) + 1) * 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    x ^= x >> 31;
    static constexpr char DIGITS[] = "abcdefghijklmnopqrstuvwxyz012345";
    std::string name = TEMP_PREFIX;
    for (int i = 0; i < 12; i++, x >>= 5) name += DIGITS[x & 31];
    return name;
}

// Splits a path into the directory that holds its last component and that component:
// "a/b/c" gives "a/b" and "c", "c" gives "." and "c", "/c" gives "/" and "c".
void split_path(const std::string &path, const char *separators, std::string *dir, std::string *base) {
    size_t cut = path.find_last_of(separators);
    if (cut == std::string::npos) {
        *dir = ".";
        *base = path;
    } else {
        *dir = cut == 0 ? path.substr(0, 1) : path.substr(0, cut);
        *base = path.substr(cut + 1);
    }
}

#ifdef _WIN32

// A new sibling of `path` opened with `mode` (which holds "x": never an existing file).
FILE *open_sibling_temp(const char *path, const char *mode, std::string *tmp) {
    std::string dir, base;
    split_path(path, "/\\", &dir, &base);
    if (base.empty()) return nullptr;
    const uint64_t seed = (uint64_t)GetCurrentProcessId() << 32 ^ GetTickCount64() ^ (uint64_t)(uintptr_t)&dir;
    for (int attempt = 0; attempt < TEMP_ATTEMPTS; attempt++) {
        *tmp = dir + "\\" + temp_name(seed);
        if (FILE *f = os_fopen(tmp->c_str(), mode)) return f;
        if (errno != EEXIST) break;
    }
    return nullptr;
}

FileWriteStatus write_via_temp(const char *path, const void *data, size_t len) {
    std::string tmp;
    FILE *f = open_sibling_temp(path, "wbx", &tmp);
    if (!f) return FILE_WRITE_CANNOT_OPEN;
    bool ok = write_all_stdio(f, data, len);
    if (std::fclose(f) != 0) ok = false;
    if (ok && !os_replace(tmp.c_str(), path)) ok = false;
    if (!ok) {
        os_remove(tmp.c_str());
        return FILE_WRITE_FAILED;
    }
    return FILE_WRITE_OK;
}

FileWriteStatus file_write_target(const char *path, const void *data, size_t len) {
    if (os_is_directory(path)) return FILE_WRITE_CANNOT_OPEN;
    return write_via_temp(path, data, len);
}

#else

// The directory is opened and the temporary named relative to it, so the temporary's
// path is never longer than the output's own directory: any name fopen accepts works.
int open_directory(const std::string &dir) {
#ifdef O_PATH
    return open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);  // needs no read permission
#else
    return open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
#endif
}

int create_temp(int dirfd, int access, mode_t mode, std::string *name) {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    const uint64_t seed = (uint64_t)getpid() << 40 ^ (uint64_t)ts.tv_sec << 30 ^ (uint64_t)ts.tv_nsec ^
                          (uint64_t)(uintptr_t)name;
    for (int attempt = 0; attempt < TEMP_ATTEMPTS; attempt++) {
        *name = temp_name(seed);
        int fd = openat(dirfd, name->c_str(), access | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

// A new temporary beside `target`, named relative to the directory that holds it.
struct SiblingTemp {
    std::string dir, base;  // the target's directory and name
    std::string name;       // the temporary's name in `dir`
    int dirfd;              // `dir`, open until the caller closes it
};

// The temporary's descriptor (opened with `access`), or -1 with nothing left open or on disk.
int create_sibling_temp(const std::string &target, int access, mode_t mode, SiblingTemp *t) {
    split_path(target, "/", &t->dir, &t->base);
    if (t->base.empty()) return -1;  // "name/" is no file name
    t->dirfd = open_directory(t->dir);
    if (t->dirfd < 0) return -1;
    int fd = create_temp(t->dirfd, access, mode, &t->name);
    if (fd < 0) close(t->dirfd);
    return fd;
}

bool write_fd(int fd, const void *data, size_t len) {
    const char *p = (const char *)data;
    while (len > 0) {
        ssize_t n = write(fd, p, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        len -= (size_t)n;
    }
    return true;
}

bool write_all_fd(int fd, const void *data, size_t len) { return write_fd(fd, data, len) && fsync(fd) == 0; }

FileWriteStatus write_via_temp(const std::string &target, mode_t mode, bool keep_mode,
                               const void *data, size_t len) {
    SiblingTemp t;
    int fd = create_sibling_temp(target, O_WRONLY, mode, &t);
    if (fd < 0) return FILE_WRITE_CANNOT_OPEN;
    // open() applied the umask; an existing file keeps its own mode, as an fopen would.
    bool ok = !keep_mode || fchmod(fd, mode) == 0;
    ok = ok && write_all_fd(fd, data, len);
    if (close(fd) != 0) ok = false;
    if (ok && renameat(t.dirfd, t.name.c_str(), t.dirfd, t.base.c_str()) != 0) ok = false;
    if (!ok) unlinkat(t.dirfd, t.name.c_str(), 0);
    close(t.dirfd);
    return ok ? FILE_WRITE_OK : FILE_WRITE_FAILED;
}

// Follows a chain of symbolic links to the name that a write through `path` creates or
// replaces, whether or not that name exists yet. False for a loop (or an unreadable link),
// where an open would fail too.
bool follow_links(std::string *target) {
    for (int hops = 0; hops < 40; hops++) {
        struct stat st;
        if (lstat(target->c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return true;
        std::string link(st.st_size > 0 ? (size_t)st.st_size + 1 : 256, '\0');
        for (;;) {
            ssize_t n = readlink(target->c_str(), &link[0], link.size());
            if (n < 0) return false;
            if ((size_t)n < link.size()) {
                link.resize((size_t)n);
                break;
            }
            link.resize(link.size() * 2);
        }
        if (link.empty()) return false;
        size_t slash = target->rfind('/');
        if (link[0] == '/' || slash == std::string::npos)
            *target = link;
        else  // a relative link is relative to the directory that holds it
            *target = target->substr(0, slash + 1) + link;
    }
    return false;
}

enum TargetKind {
    TARGET_NEW,       // does not exist yet: a temporary with mode 0666 less the umask
    TARGET_REGULAR,   // an existing file: a temporary that takes over its mode
    TARGET_IN_PLACE,  // a device or a pipe: written directly
    TARGET_REFUSED,   // fopen(path, "wb") would fail
};

struct Target {
    std::string name;  // the name actually written: a symbolic link's final target
    mode_t mode;
    TargetKind kind;
};

// Through a symbolic link, as fopen would: the link's final target is replaced, or
// created like any new file when it does not exist yet.
Target resolve_target(const char *path) {
    Target t{path, 0666, TARGET_NEW};
    if (!follow_links(&t.name)) {
        t.kind = TARGET_REFUSED;
        return t;
    }
    struct stat st;
    if (stat(t.name.c_str(), &st) != 0) {
        if (errno != ENOENT) t.kind = TARGET_REFUSED;
        return t;
    }
    // A directory can never be written: refused here, so a streamed document learns it
    // when it begins rather than after every page.
    if (S_ISDIR(st.st_mode)) {
        t.kind = TARGET_REFUSED;
        return t;
    }
    if (!S_ISREG(st.st_mode)) {
        t.kind = access(t.name.c_str(), W_OK) == 0 ? TARGET_IN_PLACE : TARGET_REFUSED;
        return t;
    }
    // fopen(path, "wb") would fail on a file we may not write; so do we.
    t.kind = access(t.name.c_str(), W_OK) == 0 ? TARGET_REGULAR : TARGET_REFUSED;
    t.mode = st.st_mode & 07777;
    return t;
}

FileWriteStatus file_write_target(const char *path, const void *data, size_t len) {
    Target t = resolve_target(path);
    switch (t.kind) {
    case TARGET_REFUSED: return FILE_WRITE_CANNOT_OPEN;
    case TARGET_IN_PLACE: return write_in_place(t.name.c_str(), data, len);
    case TARGET_NEW: return write_via_temp(t.name, t.mode, false, data, len);
    default: return write_via_temp(t.name, t.mode, true, data, len);
    }
}

#endif

}  // namespace

FileWriteStatus file_write_whole(const char *path, const void *data, size_t len) {
    if (!path || !*path) return FILE_WRITE_CANNOT_OPEN;
    try {
        return file_write_target(path, data, len);
    } catch (...) {  // std::string allocation; nothing may escape to the C boundary
        return FILE_WRITE_FAILED;
    }
}

// ---- Streamed output ------------------------------------------------------------------------

namespace {

constexpr size_t COPY_CHUNK = 65536;

char *copy_text(const std::string &s) {
    char *p = (char *)mem_malloc(s.size() + 1);
    if (p) std::memcpy(p, s.c_str(), s.size() + 1);
    return p;
}

// The writer above hands over large pieces; a stdio buffer would only add a copy.
FILE *unbuffered(FILE *f) {
    if (f) std::setvbuf(f, nullptr, _IONBF, 0);
    return f;
}

#ifdef _WIN32

FileWriteStatus open_out(const char *path, FileOut *out) {
    if (os_is_directory(path)) return FILE_WRITE_CANNOT_OPEN;
    std::string tmp;
    FILE *f = open_sibling_temp(path, "wbx", &tmp);
    if (!f) return FILE_WRITE_CANNOT_OPEN;
    out->f = unbuffered(f);
    out->tmp = copy_text(tmp);
    out->target = copy_text(path);
    if (!out->tmp || !out->target) {
        std::fclose(f);
        os_remove(tmp.c_str());
        return FILE_WRITE_NO_MEMORY;
    }
    return FILE_WRITE_OK;
}

FileWriteStatus open_scratch(const char *path, FileOut *scratch) {
    if (os_is_directory(path)) return FILE_WRITE_CANNOT_OPEN;
    std::string tmp;
    FILE *f = open_sibling_temp(path, "w+bx", &tmp);
    if (!f) return FILE_WRITE_CANNOT_OPEN;
    scratch->f = unbuffered(f);
    scratch->tmp = copy_text(tmp);
    if (!scratch->tmp) {
        std::fclose(f);
        os_remove(tmp.c_str());
        return FILE_WRITE_NO_MEMORY;
    }
    return FILE_WRITE_OK;
}

bool copy_content(FileOut *out, FileOut *scratch) {
    if (std::fflush(scratch->f) != 0 || fseek64(scratch->f, 0, SEEK_SET) != 0) return false;
    // On the heap: hosts may call from threads with small stacks.
    const size_t size = COPY_CHUNK;
    char *buf = (char *)mem_malloc(size);
    if (!buf) return false;
    size_t n;
    bool ok = true;
    while (ok && (n = std::fread(buf, 1, size, scratch->f)) > 0) ok = file_out_write(out, buf, n);
    std::free(buf);
    return ok && !std::ferror(scratch->f);
}

bool finish_out(FileOut *out) {
    bool ok = std::fflush(out->f) == 0;
    if (std::fclose(out->f) != 0) ok = false;
    out->f = nullptr;
    return ok && (!out->tmp || os_replace(out->tmp, out->target));
}

#else

FileWriteStatus open_out(const char *path, FileOut *out) {
    Target t = resolve_target(path);
    if (t.kind == TARGET_REFUSED) return FILE_WRITE_CANNOT_OPEN;
    if (t.kind == TARGET_IN_PLACE) {
        out->f = unbuffered(std::fopen(t.name.c_str(), "wb"));
        return out->f ? FILE_WRITE_OK : FILE_WRITE_CANNOT_OPEN;
    }
    SiblingTemp sib;
    int fd = create_sibling_temp(t.name, O_WRONLY, t.mode, &sib);
    if (fd < 0) return FILE_WRITE_CANNOT_OPEN;
    close(sib.dirfd);
    // The temporary's name is short, so the joined path is no longer than a sibling's.
    const std::string tmp = sib.dir + "/" + sib.name;
    out->tmp = copy_text(tmp);
    out->target = copy_text(t.name);
    // open() applied the umask; an existing file keeps its own mode, as an fopen would.
    bool mode_ok = t.kind == TARGET_NEW || fchmod(fd, t.mode) == 0;
    if (out->tmp && out->target && mode_ok) out->f = unbuffered(fdopen(fd, "wb"));
    if (!out->f) {
        close(fd);
        unlink(tmp.c_str());
        return mode_ok ? FILE_WRITE_NO_MEMORY : FILE_WRITE_FAILED;
    }
    return FILE_WRITE_OK;
}

FileWriteStatus open_scratch(const char *path, FileOut *scratch) {
    Target t = resolve_target(path);
    if (t.kind == TARGET_REFUSED) return FILE_WRITE_CANNOT_OPEN;
    if (t.kind == TARGET_IN_PLACE) {
        // No sibling can be made beside a device; the system's nameless temporary serves.
        scratch->f = unbuffered(std::tmpfile());
        return scratch->f ? FILE_WRITE_OK : FILE_WRITE_CANNOT_OPEN;
    }
    SiblingTemp sib;
    int rw = create_sibling_temp(t.name, O_RDWR, 0600, &sib);
    if (rw < 0) return FILE_WRITE_CANNOT_OPEN;
    // Unlinked at once: from here on the file has no name to clean up.
    unlinkat(sib.dirfd, sib.name.c_str(), 0);
    close(sib.dirfd);
    scratch->f = unbuffered(fdopen(rw, "w+b"));
    if (!scratch->f) {
        close(rw);
        return FILE_WRITE_NO_MEMORY;
    }
    return FILE_WRITE_OK;
}

// Copies [*pos, size) of `in` to the current end of `out`: in the kernel where it can
// (copy_file_range shares extents on file systems that can; sendfile copies without a
// trip through user memory), else through a plain buffer.
bool copy_fd(int in, int out, off_t *pos, off_t size) {
#ifdef __linux__
    while (*pos < size) {
        ssize_t n = copy_file_range(in, pos, out, nullptr, (size_t)(size - *pos), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
    }
    while (*pos < size) {
        ssize_t n = sendfile(out, in, pos, (size_t)(size - *pos));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
    }
#endif
    if (*pos >= size) return true;
    // On the heap: hosts may call from threads with small stacks.
    char *buf = (char *)mem_malloc(COPY_CHUNK);
    if (!buf) return false;
    bool ok = true;
    while (ok && *pos < size) {
        size_t want = size - *pos < (off_t)COPY_CHUNK ? (size_t)(size - *pos) : COPY_CHUNK;
        ssize_t n = pread(in, buf, want, *pos);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0 && write_fd(out, buf, (size_t)n);
        if (ok) *pos += n;
    }
    std::free(buf);
    return ok;
}

bool copy_content(FileOut *out, FileOut *scratch) {
    if (std::fflush(scratch->f) != 0 || std::fflush(out->f) != 0) return false;
    int in = fileno(scratch->f);
    off_t size = lseek(in, 0, SEEK_END);
    if (size < 0) return false;
    off_t pos = 0;
    // The stream's position follows the bytes written behind its back.
    return copy_fd(in, fileno(out->f), &pos, size) && fseeko(out->f, 0, SEEK_END) == 0;
}

bool finish_out(FileOut *out) {
    bool ok = std::fflush(out->f) == 0;
    if (out->tmp) ok = ok && fsync(fileno(out->f)) == 0;
    if (std::fclose(out->f) != 0) ok = false;
    out->f = nullptr;
    return ok && (!out->tmp || rename(out->tmp, out->target) == 0);
}

#endif

}  // namespace

FileWriteStatus file_out_open(const char *path, FileOut *out) {
    *out = FileOut{};
    if (!path || !*path) return FILE_WRITE_CANNOT_OPEN;
    try {
        FileWriteStatus st = open_out(path, out);
        if (st != FILE_WRITE_OK) file_out_discard(out);
        return st;
    } catch (...) {  // std::string allocation
        file_out_discard(out);
        return FILE_WRITE_NO_MEMORY;
    }
}

FileWriteStatus file_scratch_open(const char *path, FileOut *scratch) {
    *scratch = FileOut{};
    if (!path || !*path) return FILE_WRITE_CANNOT_OPEN;
    try {
        FileWriteStatus st = open_scratch(path, scratch);
        if (st != FILE_WRITE_OK) file_out_discard(scratch);
        return st;
    } catch (...) {
        file_out_discard(scratch);
        return FILE_WRITE_NO_MEMORY;
    }
}

bool file_out_write(FileOut *out, const void *data, size_t len) {
    const char *p = (const char *)data;
    while (len > 0) {
        size_t n = std::fwrite(p, 1, len, out->f);
        if (n == 0) return false;
        p += n;
        len -= n;
    }
    return true;
}

bool file_out_copy(FileOut *out, FileOut *scratch) { return copy_content(out, scratch); }

FileWriteStatus file_out_commit(FileOut *out) {
    bool ok = finish_out(out);
    if (!ok) {
        file_out_discard(out);
        return FILE_WRITE_FAILED;
    }
    std::free(out->tmp);
    std::free(out->target);
    *out = FileOut{};
    return FILE_WRITE_OK;
}

void file_out_discard(FileOut *out) {
    if (out->f) std::fclose(out->f);
    if (out->tmp) os_remove(out->tmp);
    std::free(out->tmp);
    std::free(out->target);
    *out = FileOut{};
}
