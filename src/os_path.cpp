// os_path.cpp: the path calls of the platform: wide-character calls for UTF-8 paths on
// Windows (ANSI calls for other byte strings), the POSIX calls elsewhere.
#include "os_path.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

bool utf8_is_valid(const char *s) {
    const unsigned char *p = (const unsigned char *)s;
    while (*p) {
        unsigned c = *p;
        int extra;
        uint32_t min, cp;
        if (c < 0x80) {
            p++;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            extra = 1, min = 0x80, cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2, min = 0x800, cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3, min = 0x10000, cp = c & 0x07;
        } else {
            return false;
        }
        p++;
        for (int i = 0; i < extra; i++, p++) {
            if ((*p & 0xC0) != 0x80) return false;  // also stops at the terminating NUL
            cp = (cp << 6) | (*p & 0x3F);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    }
    return true;
}

#ifdef _WIN32

namespace {

// The UTF-16 form of a valid UTF-8 path, in a malloc buffer; null when the path is not
// UTF-8 (the caller then uses the ANSI call) or memory runs out.
wchar_t *wide_path(const char *path) {
    if (!utf8_is_valid(path)) return nullptr;
    int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, nullptr, 0);
    if (n <= 0) return nullptr;
    wchar_t *w = (wchar_t *)std::malloc((size_t)n * sizeof(wchar_t));
    if (w && MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, w, n) != n) {
        std::free(w);
        w = nullptr;
    }
    return w;
}

// An ANSI path in wide characters, read in the code page the narrow calls use.
wchar_t *ansi_wide_path(const char *path) {
    int n = MultiByteToWideChar(CP_ACP, 0, path, -1, nullptr, 0);
    if (n <= 0) return nullptr;
    wchar_t *w = (wchar_t *)std::malloc((size_t)n * sizeof(wchar_t));
    if (w && MultiByteToWideChar(CP_ACP, 0, path, -1, w, n) != n) {
        std::free(w);
        w = nullptr;
    }
    return w;
}

// Both forms of one path: `wide` set for UTF-8, else `narrow` is the ANSI string. `ok`
// is false only when a UTF-8 path could not be converted (out of memory).
struct WinPath {
    wchar_t *wide;
    const char *narrow;
    bool ok;
};

WinPath win_path(const char *path) {
    WinPath p = {nullptr, path, true};
    if (utf8_is_valid(path)) {
        p.wide = wide_path(path);
        p.ok = p.wide != nullptr;
    }
    return p;
}

// Every mode character is ASCII, so the wide mode is a plain widening.
bool wide_mode(const char *mode, wchar_t *out, size_t cap) {
    size_t n = std::strlen(mode);
    if (n >= cap) return false;
    for (size_t i = 0; i <= n; i++) out[i] = (wchar_t)(unsigned char)mode[i];
    return true;
}

// "wbx" and "w+bx": create a new file for writing (and reading), failing when the name
// exists. The system C runtime (msvcrt.dll) predates the "x" mode letter, so the file is
// created here and handed to it.
FILE *create_exclusive(const WinPath &p, bool read_too) {
    const DWORD access = read_too ? GENERIC_READ | GENERIC_WRITE : GENERIC_WRITE;
    HANDLE h = p.wide ? CreateFileW(p.wide, access, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr)
                      : CreateFileA(p.narrow, access, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    int fd = _open_osfhandle((intptr_t)h, (read_too ? _O_RDWR : _O_WRONLY) | _O_BINARY);
    if (fd < 0) {
        CloseHandle(h);
        return nullptr;
    }
    FILE *f = _fdopen(fd, read_too ? "w+b" : "wb");
    if (!f) _close(fd);
    return f;
}

}  // namespace

FILE *os_fopen(const char *path, const char *mode) {
    WinPath p = win_path(path);
    if (!p.ok) return nullptr;
    FILE *f = nullptr;
    wchar_t wmode[16];
    if (std::strcmp(mode, "wbx") == 0 || std::strcmp(mode, "w+bx") == 0)
        f = create_exclusive(p, mode[1] == '+');
    else if (!p.wide)
        f = std::fopen(path, mode);
    else if (wide_mode(mode, wmode, 16))
        f = _wfopen(p.wide, wmode);
    std::free(p.wide);
    return f;
}

bool os_replace(const char *from, const char *to) {
    const DWORD flags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
    WinPath a = win_path(from), b = win_path(to);
    bool ok;
    if (!a.ok || !b.ok) {
        ok = false;
    } else if (a.wide && b.wide) {
        ok = MoveFileExW(a.wide, b.wide, flags) != 0;
    } else if (!a.wide && !b.wide) {
        ok = MoveFileExA(from, to, flags) != 0;
    } else {
        // One name of each kind (a temporary's plain ASCII name beside an ANSI one): the
        // ANSI name is widened as the narrow calls would read it.
        if (!a.wide) a.wide = ansi_wide_path(from);
        if (!b.wide) b.wide = ansi_wide_path(to);
        ok = a.wide && b.wide && MoveFileExW(a.wide, b.wide, flags) != 0;
    }
    std::free(a.wide);
    std::free(b.wide);
    return ok;
}

bool os_remove(const char *path) {
    WinPath p = win_path(path);
    if (!p.ok) return false;
    bool ok = p.wide ? DeleteFileW(p.wide) != 0 : DeleteFileA(path) != 0;
    std::free(p.wide);
    return ok;
}

bool os_is_directory(const char *path) {
    WinPath p = win_path(path);
    if (!p.ok) return false;
    DWORD attr = p.wide ? GetFileAttributesW(p.wide) : GetFileAttributesA(path);
    std::free(p.wide);
    return attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY);
}

bool os_is_regular_file(const char *path) {
    WinPath p = win_path(path);
    if (!p.ok) return false;
    DWORD attr = p.wide ? GetFileAttributesW(p.wide) : GetFileAttributesA(path);
    std::free(p.wide);
    return attr != INVALID_FILE_ATTRIBUTES && !(attr & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE));
}

struct OsDir {
    HANDLE handle;
    bool wide;
    bool pending;  // the entry found by FindFirstFile has not been handed out yet
    WIN32_FIND_DATAW wdata;
    WIN32_FIND_DATAA adata;
    char name[MAX_PATH * 3 + 1];  // a wide entry name as UTF-8 (3 bytes per UTF-16 unit at most)
};

OsDir *os_dir_open(const char *path) {
    OsDir *d = (OsDir *)std::calloc(1, sizeof(OsDir));
    if (!d) return nullptr;
    size_t len = std::strlen(path);
    char *pattern = (char *)std::malloc(len + 3);
    if (!pattern) {
        std::free(d);
        return nullptr;
    }
    std::memcpy(pattern, path, len);
    std::memcpy(pattern + len, "/*", 3);
    WinPath p = win_path(pattern);
    d->wide = p.wide != nullptr;
    if (!p.ok)
        d->handle = INVALID_HANDLE_VALUE;
    else if (d->wide)
        d->handle = FindFirstFileW(p.wide, &d->wdata);
    else
        d->handle = FindFirstFileA(pattern, &d->adata);
    std::free(p.wide);
    std::free(pattern);
    if (d->handle == INVALID_HANDLE_VALUE) {
        std::free(d);
        return nullptr;
    }
    d->pending = true;
    return d;
}

const char *os_dir_next(OsDir *d) {
    for (;;) {
        if (!d->pending) {
            BOOL more = d->wide ? FindNextFileW(d->handle, &d->wdata) : FindNextFileA(d->handle, &d->adata);
            if (!more) return nullptr;
        }
        d->pending = false;
        if (!d->wide) return d->adata.cFileName;
        if (WideCharToMultiByte(CP_UTF8, 0, d->wdata.cFileName, -1, d->name, (int)sizeof d->name,
                                nullptr, nullptr) > 0)
            return d->name;
        // A name with a lone surrogate has no UTF-8 form and no path would reach it: skip it.
    }
}

bool os_dir_entry_is_file(OsDir *, const char *path, const char *) { return os_is_regular_file(path); }

void os_dir_close(OsDir *d) {
    if (!d) return;
    FindClose(d->handle);
    std::free(d);
}

#else

FILE *os_fopen(const char *path, const char *mode) { return std::fopen(path, mode); }

bool os_replace(const char *from, const char *to) { return std::rename(from, to) == 0; }

bool os_remove(const char *path) { return unlink(path) == 0; }

bool os_is_directory(const char *path) {
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

bool os_is_regular_file(const char *path) {
    struct stat st;
    return stat(path, &st) == 0 && S_ISREG(st.st_mode);
}

struct OsDir {
    DIR *handle;
};

OsDir *os_dir_open(const char *path) {
    DIR *h = opendir(path);
    if (!h) return nullptr;
    OsDir *d = (OsDir *)std::malloc(sizeof(OsDir));
    if (!d) {
        closedir(h);
        return nullptr;
    }
    d->handle = h;
    return d;
}

const char *os_dir_next(OsDir *d) {
    dirent *e = readdir(d->handle);
    return e ? e->d_name : nullptr;
}

bool os_dir_entry_is_file(OsDir *d, const char *, const char *name) {
    struct stat st;
    return fstatat(dirfd(d->handle), name, &st, 0) == 0 && S_ISREG(st.st_mode);
}

void os_dir_close(OsDir *d) {
    if (!d) return;
    closedir(d->handle);
    std::free(d);
}

#endif
