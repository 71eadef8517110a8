// file_io.cpp: whole-file read and safe whole-file write.
//
// The write never truncates the destination before the new content is complete: it goes
// to a sibling temporary file with a short name of its own, created exclusively with the
// mode fopen(path, "wb") would give (0666 less the umask, or the existing file's mode), is
// flushed to disk, then renamed over the destination. Only non-regular destinations
// (devices, pipes) are written in place. Reads take regular files only.
#include "file_io.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "mem.h"

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
#define fseek64 fseeko
#define ftell64 ftello
#endif

namespace {

// Opens `path` for reading only when it is a regular file. A named pipe would block the
// open (or the read) until some writer came, a device may never end, and some systems
// open a directory and report an absurd size for it: none of them is an image file.
FILE *open_regular_file(const char *path) {
#ifdef _WIN32
    FILE *f = std::fopen(path, "rb");
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
    if (stat(path, &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
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

FileWriteStatus write_via_temp(const char *path, const void *data, size_t len) {
    std::string dir, base;
    split_path(path, "/\\", &dir, &base);
    if (base.empty()) return FILE_WRITE_CANNOT_OPEN;
    const uint64_t seed = (uint64_t)GetCurrentProcessId() << 32 ^ GetTickCount64() ^ (uint64_t)(uintptr_t)&dir;
    std::string tmp;
    FILE *f = nullptr;
    for (int attempt = 0; attempt < TEMP_ATTEMPTS && !f; attempt++) {
        tmp = dir + "\\" + temp_name(seed);
        f = std::fopen(tmp.c_str(), "wbx");
        if (!f && errno != EEXIST) break;
    }
    if (!f) return FILE_WRITE_CANNOT_OPEN;
    bool ok = write_all_stdio(f, data, len);
    if (std::fclose(f) != 0) ok = false;
    if (ok && !MoveFileExA(tmp.c_str(), path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        ok = false;
    if (!ok) {
        std::remove(tmp.c_str());
        return FILE_WRITE_FAILED;
    }
    return FILE_WRITE_OK;
}

FileWriteStatus file_write_target(const char *path, const void *data, size_t len) {
    DWORD attr = GetFileAttributesA(path);
    if (attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY))
        return FILE_WRITE_CANNOT_OPEN;
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

int create_temp(int dirfd, mode_t mode, std::string *name) {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    const uint64_t seed = (uint64_t)getpid() << 40 ^ (uint64_t)ts.tv_sec << 30 ^ (uint64_t)ts.tv_nsec ^
                          (uint64_t)(uintptr_t)name;
    for (int attempt = 0; attempt < TEMP_ATTEMPTS; attempt++) {
        *name = temp_name(seed);
        int fd = openat(dirfd, name->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

bool write_all_fd(int fd, const void *data, size_t len) {
    const char *p = (const char *)data;
    while (len > 0) {
        ssize_t n = write(fd, p, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        len -= (size_t)n;
    }
    return fsync(fd) == 0;
}

FileWriteStatus write_via_temp(const std::string &target, mode_t mode, bool keep_mode,
                               const void *data, size_t len) {
    std::string dir, base;
    split_path(target, "/", &dir, &base);
    if (base.empty()) return FILE_WRITE_CANNOT_OPEN;  // "name/" is no file name
    int dirfd = open_directory(dir);
    if (dirfd < 0) return FILE_WRITE_CANNOT_OPEN;
    std::string tmp;
    int fd = create_temp(dirfd, mode, &tmp);
    if (fd < 0) {
        close(dirfd);
        return FILE_WRITE_CANNOT_OPEN;
    }
    // open() applied the umask; an existing file keeps its own mode, as an fopen would.
    bool ok = !keep_mode || fchmod(fd, mode) == 0;
    ok = ok && write_all_fd(fd, data, len);
    if (close(fd) != 0) ok = false;
    if (ok && renameat(dirfd, tmp.c_str(), dirfd, base.c_str()) != 0) ok = false;
    if (!ok) unlinkat(dirfd, tmp.c_str(), 0);
    close(dirfd);
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

FileWriteStatus file_write_target(const char *path, const void *data, size_t len) {
    // Through a symbolic link, as fopen would: the link's final target is replaced, or
    // created like any new file when it does not exist yet.
    std::string target = path;
    if (!follow_links(&target)) return FILE_WRITE_CANNOT_OPEN;
    struct stat st;
    if (stat(target.c_str(), &st) != 0) {
        if (errno != ENOENT) return FILE_WRITE_CANNOT_OPEN;
        return write_via_temp(target, 0666, false, data, len);
    }
    if (!S_ISREG(st.st_mode)) return write_in_place(target.c_str(), data, len);
    // fopen(path, "wb") would fail on a file we may not write; so do we.
    if (access(target.c_str(), W_OK) != 0) return FILE_WRITE_CANNOT_OPEN;
    return write_via_temp(target, st.st_mode & 07777, true, data, len);
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
