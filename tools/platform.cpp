// platform.cpp: Windows command-line arguments as UTF-8, files and directory listings by
// UTF-8 or ANSI path, the scratch file behind `-o -` and the terminal test; the POSIX forms
// are the plain calls.
#include "platform.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <shellapi.h>
#else
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

#ifdef _WIN32
using NativeChar = wchar_t;
#else
using NativeChar = char;
#endif

// The scratch file's name as the system takes it, in static storage so that a signal
// handler can delete it without allocating. Empty when there is nothing to delete.
NativeChar s_scratch[4096];

void remove_scratch(int sig) {
#ifdef _WIN32
    if (s_scratch[0]) DeleteFileW(s_scratch);
#else
    if (s_scratch[0]) unlink(s_scratch);
#endif
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

void delete_scratch_on_signal() {
    std::signal(SIGINT, remove_scratch);
    std::signal(SIGTERM, remove_scratch);
#ifndef _WIN32
    std::signal(SIGHUP, remove_scratch);
#endif
}

// The directory part of a path for the existence tests: "." without one, "/" for the root.
std::string parent_of(const char *path) {
    const char *slash = std::strrchr(path, '/');
#ifdef _WIN32
    const char *back = std::strrchr(path, '\\');
    if (back && (!slash || back > slash)) slash = back;
#endif
    if (!slash) return ".";
    if (slash == path) return "/";
    return std::string(path, (size_t)(slash - path));
}

}  // namespace

#ifdef _WIN32

namespace {

bool to_utf8(const wchar_t *w, std::string *out) {
    int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 0) return false;
    out->assign((size_t)n - 1, '\0');
    return WideCharToMultiByte(CP_UTF8, 0, w, -1, &(*out)[0], n, nullptr, nullptr) == n;
}

// The UTF-16 form of a path that is valid UTF-8; false for any other byte string, which the
// library opens through the ANSI calls, and so does the tool.
bool to_wide(const char *path, std::wstring *out) {
    int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, nullptr, 0);
    if (n <= 0) return false;
    out->assign((size_t)n - 1, L'\0');
    return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, &(*out)[0], n) == n;
}

DWORD attributes(const char *path) {
    std::wstring w;
    return to_wide(path, &w) ? GetFileAttributesW(w.c_str()) : GetFileAttributesA(path);
}

int errno_of(DWORD code) {
    switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME: return ENOENT;
    case ERROR_DIRECTORY: return ENOTDIR;
    case ERROR_ACCESS_DENIED: return EACCES;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY: return ENOMEM;
    default: return EIO;
    }
}

}  // namespace

void utf8_arguments(int *argc, char ***argv) {
    static std::vector<std::string> s_text;
    static std::vector<char *> s_argv;
    int n = 0;
    wchar_t **wide = CommandLineToArgvW(GetCommandLineW(), &n);
    if (!wide) return;
    bool ok = n == *argc;  // a parse that disagrees with the runtime's is not trusted
    try {
        s_text.resize((size_t)n);
        for (int i = 0; ok && i < n; i++) ok = to_utf8(wide[i], &s_text[(size_t)i]);
        if (ok) {
            s_argv.clear();
            for (std::string &s : s_text) s_argv.push_back(&s[0]);
            s_argv.push_back(nullptr);
        }
    } catch (...) {
        ok = false;
    }
    LocalFree(wide);
    if (ok) *argv = s_argv.data();
}

bool path_is_directory(const char *path) {
    DWORD attr = attributes(path);
    return attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY);
}

bool list_directory(const char *path, std::vector<std::string> *names, int *error) {
    std::string pattern = std::string(path) + "/*";
    std::wstring wpattern;
    const bool wide = to_wide(pattern.c_str(), &wpattern);
    WIN32_FIND_DATAW wdata;
    WIN32_FIND_DATAA adata;
    HANDLE h = wide ? FindFirstFileW(wpattern.c_str(), &wdata) : FindFirstFileA(pattern.c_str(), &adata);
    if (h == INVALID_HANDLE_VALUE) {
        *error = errno_of(GetLastError());
        return false;
    }
    do {
        std::string name;
        if (!wide)
            names->push_back(adata.cFileName);
        else if (to_utf8(wdata.cFileName, &name))  // a lone surrogate has no UTF-8 path: skipped
            names->push_back(name);
    } while (wide ? FindNextFileW(h, &wdata) : FindNextFileA(h, &adata));
    FindClose(h);
    return true;
}

std::FILE *open_for_reading(const char *path) {
    std::wstring w;
    return to_wide(path, &w) ? _wfopen(w.c_str(), L"rb") : std::fopen(path, "rb");
}

bool remove_file(const char *path) {
    std::wstring w;
    return to_wide(path, &w) ? DeleteFileW(w.c_str()) != 0 : DeleteFileA(path) != 0;
}

int output_problem(const char *path) {
    DWORD attr = attributes(path);
    if (attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY)) return EISDIR;
    DWORD dir = attributes(parent_of(path).c_str());
    if (dir == INVALID_FILE_ATTRIBUTES) return errno_of(GetLastError());
    if (!(dir & FILE_ATTRIBUTE_DIRECTORY)) return ENOTDIR;
    return 0;
}

bool make_scratch_file(std::string *path) {
    wchar_t dir[MAX_PATH + 1];
    DWORD n = GetTempPathW(MAX_PATH + 1, dir);
    if (n == 0 || n > MAX_PATH || GetTempFileNameW(dir, L"fol", 0, s_scratch) == 0) {
        s_scratch[0] = L'\0';
        errno = errno_of(GetLastError());
        return false;
    }
    if (!to_utf8(s_scratch, path)) {
        DeleteFileW(s_scratch);
        s_scratch[0] = L'\0';
        errno = ENOENT;
        return false;
    }
    delete_scratch_on_signal();
    return true;
}

void prepare_stdout() { _setmode(_fileno(stdout), _O_BINARY); }

bool stderr_is_terminal() { return _isatty(_fileno(stderr)) != 0; }

#else

void utf8_arguments(int *, char ***) {}

bool path_is_directory(const char *path) {
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

bool list_directory(const char *path, std::vector<std::string> *names, int *error) {
    DIR *d = opendir(path);
    if (!d) {
        *error = errno;
        return false;
    }
    while (dirent *e = readdir(d)) names->push_back(e->d_name);
    closedir(d);
    return true;
}

std::FILE *open_for_reading(const char *path) { return std::fopen(path, "rb"); }

bool remove_file(const char *path) { return unlink(path) == 0; }

int output_problem(const char *path) {
    struct stat st;
    if (stat(path, &st) == 0 && S_ISDIR(st.st_mode)) return EISDIR;
    std::string dir = parent_of(path);
    if (stat(dir.c_str(), &st) != 0) return errno;
    if (!S_ISDIR(st.st_mode)) return ENOTDIR;
    if (access(dir.c_str(), W_OK | X_OK) != 0) return errno;
    return 0;
}

bool make_scratch_file(std::string *path) {
    const char *dir = std::getenv("TMPDIR");
    if (!dir || !*dir) dir = "/tmp";
    std::string name = std::string(dir) + "/folian-XXXXXX";
    if (name.size() >= sizeof s_scratch) {
        errno = ENAMETOOLONG;
        return false;
    }
    std::memcpy(s_scratch, name.c_str(), name.size() + 1);
    int fd = mkstemp(s_scratch);
    if (fd < 0) {
        s_scratch[0] = '\0';
        return false;
    }
    close(fd);
    *path = s_scratch;
    delete_scratch_on_signal();
    return true;
}

void prepare_stdout() { std::signal(SIGPIPE, SIG_IGN); }

bool stderr_is_terminal() { return isatty(2) != 0; }

#endif

void forget_on_signal() {
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
#ifndef _WIN32
    std::signal(SIGHUP, SIG_DFL);
#endif
    s_scratch[0] = 0;
}
