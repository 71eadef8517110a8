// file_io.cpp: whole-file read and safe whole-file write.
//
// The write never truncates the destination before the new content is complete: it goes
// to a sibling temporary file created with the mode fopen(path, "wb") would give (0666
// less the umask, or the existing file's mode), is flushed to disk, then renamed over the
// destination. Only non-regular destinations (devices, pipes) are written in place.
#include "file_io.h"

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
#include <unistd.h>
#define fseek64 fseeko
#define ftell64 ftello
#endif

FileReadStatus file_read_whole(const char *path, uint64_t max_len, uint8_t **data, uint64_t *len) {
    *data = nullptr;
    *len = 0;
    if (!path) return FILE_READ_CANNOT_OPEN;
    FILE *f = os_fopen(path, "rb");
    if (!f) return FILE_READ_CANNOT_OPEN;
#ifndef _WIN32
    // Some systems open a directory for reading and report an absurd size for it.
    struct stat st;
    if (fstat(fileno(f), &st) != 0 || S_ISDIR(st.st_mode)) {
        std::fclose(f);
        return FILE_READ_CANNOT_OPEN;
    }
#endif
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

[[maybe_unused]] FileWriteStatus write_in_place(const char *path, const void *data, size_t len) {
    FILE *f = os_fopen(path, "wb");
    if (!f) return FILE_WRITE_CANNOT_OPEN;
    bool ok = write_all_stdio(f, data, len);
    if (std::fclose(f) != 0) ok = false;
    return ok ? FILE_WRITE_OK : FILE_WRITE_FAILED;
}

#ifdef _WIN32

FileWriteStatus write_via_temp(const char *path, const void *data, size_t len) {
    std::string tmp = std::string(path) + ".tmp" + std::to_string(GetCurrentProcessId());
    FILE *f = os_fopen(tmp.c_str(), "wbx");
    if (!f) return FILE_WRITE_CANNOT_OPEN;
    bool ok = write_all_stdio(f, data, len);
    if (std::fclose(f) != 0) ok = false;
    if (ok && !os_replace(tmp.c_str(), path))
        ok = false;
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

// A unique sibling name: same directory, so rename() is atomic and stays on one device.
int create_temp(const std::string &path, mode_t mode, std::string *tmp) {
    static unsigned s_seq = 0;
    for (int attempt = 0; attempt < 100; attempt++) {
        unsigned seq = __atomic_add_fetch(&s_seq, 1, __ATOMIC_RELAXED);
        *tmp = path + ".tmp-" + std::to_string((long)getpid()) + "-" + std::to_string(seq);
        int fd = open(tmp->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
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
    std::string tmp;
    int fd = create_temp(target, mode, &tmp);
    if (fd < 0) return FILE_WRITE_CANNOT_OPEN;
    // open() applied the umask; an existing file keeps its own mode, as an fopen would.
    bool ok = !keep_mode || fchmod(fd, mode) == 0;
    ok = ok && write_all_fd(fd, data, len);
    if (close(fd) != 0) ok = false;
    if (ok && rename(tmp.c_str(), target.c_str()) != 0) ok = false;
    if (!ok) {
        unlink(tmp.c_str());
        return FILE_WRITE_FAILED;
    }
    return FILE_WRITE_OK;
}

FileWriteStatus file_write_target(const char *path, const void *data, size_t len) {
    std::string target = path;
    struct stat st;
    if (lstat(path, &st) == 0 && S_ISLNK(st.st_mode)) {
        // Write through a symbolic link as fopen would, replacing its target.
        char *real = realpath(path, nullptr);
        if (!real) return write_in_place(path, data, len);
        target = real;
        std::free(real);
    }
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
