// platform.cpp: Windows command-line arguments as UTF-8, files by UTF-8 or ANSI path, file identities, the scratch files behind `-` and `-o -`, the signals
// that must not cut a document short, and the terminal test; the POSIX forms are the plain
// calls.
#include "platform.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <shellapi.h>
#else
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

#ifdef _WIN32
using NativeChar = wchar_t;
#else
using NativeChar = char;
#endif

// The scratch files' names as the system takes them, in static storage so that a signal
// handler can delete them without allocating. An empty slot has a zero first character,
// which is written last when a slot is filled, so a handler never sees half a name.
constexpr int SCRATCH_SLOTS = 4;  // standard input's image, the -o - document, spare
constexpr size_t SCRATCH_NAME = 4096;
NativeChar s_scratch[SCRATCH_SLOTS][SCRATCH_NAME];

void delete_scratch_files() {
    for (NativeChar *name : s_scratch) {
#ifdef _WIN32
        if (name[0]) DeleteFileW(name);
#else
        if (name[0]) unlink(name);
#endif
    }
}

NativeChar *free_scratch_slot() {
    for (NativeChar *name : s_scratch)
        if (!name[0]) return name;
    return nullptr;
}

void fill_scratch_slot(NativeChar *slot, const NativeChar *name, size_t len) {
    std::memcpy(slot + 1, name + 1, len * sizeof(NativeChar));  // the terminator included
    std::atomic_signal_fence(std::memory_order_seq_cst);
    slot[0] = name[0];
}

NativeChar *slot_named(const NativeChar *name) {
    for (NativeChar *slot : s_scratch) {
#ifdef _WIN32
        if (slot[0] && std::wcscmp(slot, name) == 0) return slot;
#else
        if (slot[0] && std::strcmp(slot, name) == 0) return slot;
#endif
    }
    return nullptr;
}

constexpr int ENDING_SIGNALS[] = {
    SIGINT, SIGTERM,
#ifndef _WIN32
    SIGHUP,
#endif
};

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

std::FILE *open_for_reading(const char *path) {
    std::wstring w;
    return to_wide(path, &w) ? _wfopen(w.c_str(), L"rb") : std::fopen(path, "rb");
}

std::FILE *open_for_writing(const char *path) {
    std::wstring w;
    return to_wide(path, &w) ? _wfopen(w.c_str(), L"wb") : std::fopen(path, "wb");
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

bool make_scratch_file(const char *suffix, std::string *path) {
    wchar_t dir[MAX_PATH + 1];
    DWORD n = GetTempPathW(MAX_PATH + 1, dir);
    std::wstring wsuffix;
    NativeChar *slot = free_scratch_slot();
    if (n == 0 || n > MAX_PATH || !to_wide(suffix, &wsuffix) || !slot) {
        errno = n == 0 ? errno_of(GetLastError()) : ENAMETOOLONG;
        return false;
    }
    static unsigned s_count = 0;
    for (int attempt = 0; attempt < 100; attempt++) {
        wchar_t name[MAX_PATH + 64];
        _snwprintf(name, sizeof name / sizeof name[0], L"%lsfolian-%lu-%u%ls", dir, (unsigned long)GetCurrentProcessId(),
                   ++s_count, wsuffix.c_str());
        name[sizeof name / sizeof name[0] - 1] = L'\0';
        HANDLE h = CreateFileW(name, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_TEMPORARY, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            if (GetLastError() == ERROR_FILE_EXISTS) continue;
            errno = errno_of(GetLastError());
            return false;
        }
        CloseHandle(h);
        if (!to_utf8(name, path)) {
            DeleteFileW(name);
            errno = ENOENT;
            return false;
        }
        fill_scratch_slot(slot, name, std::wcslen(name));
        return true;
    }
    errno = EEXIST;
    return false;
}

bool file_id(const char *path, FileId *id) {
    std::wstring w;
    HANDLE h = to_wide(path, &w) ? CreateFileW(w.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr)
                                 : CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                               nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION info;
    bool ok = GetFileInformationByHandle(h, &info) != 0;
    CloseHandle(h);
    if (ok) {
        id->device = info.dwVolumeSerialNumber;
        id->number = (unsigned long long)info.nFileIndexHigh << 32 | info.nFileIndexLow;
    }
    return ok;
}

bool stdout_file_id(FileId *id) {
    HANDLE h = (HANDLE)_get_osfhandle(_fileno(stdout));
    BY_HANDLE_FILE_INFORMATION info;
    if (h == INVALID_HANDLE_VALUE || GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info))
        return false;
    id->device = info.dwVolumeSerialNumber;
    id->number = (unsigned long long)info.nFileIndexHigh << 32 | info.nFileIndexLow;
    return true;
}

void prepare_stdin() { _setmode(_fileno(stdin), _O_BINARY); }

void prepare_stdout() { _setmode(_fileno(stdout), _O_BINARY); }

bool stderr_is_terminal() { return _isatty(_fileno(stderr)) != 0; }

#else

void utf8_arguments(int *, char ***) {}

bool path_is_directory(const char *path) {
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

std::FILE *open_for_reading(const char *path) { return std::fopen(path, "rb"); }

std::FILE *open_for_writing(const char *path) { return std::fopen(path, "wb"); }

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

bool make_scratch_file(const char *suffix, std::string *path) {
    const char *dir = std::getenv("TMPDIR");
    if (!dir || !*dir) dir = "/tmp";
    std::string name = std::string(dir) + "/folian-XXXXXX" + suffix;
    NativeChar *slot = free_scratch_slot();
    if (name.size() >= SCRATCH_NAME || !slot) {
        errno = ENAMETOOLONG;
        return false;
    }
    int fd = mkstemps(&name[0], (int)std::strlen(suffix));
    if (fd < 0) return false;
    close(fd);
    fill_scratch_slot(slot, name.c_str(), name.size());
    *path = name;
    return true;
}

bool file_id(const char *path, FileId *id) {
    struct stat st;
    if (stat(path, &st) != 0) return false;
    id->device = (unsigned long long)st.st_dev;
    id->number = (unsigned long long)st.st_ino;
    return true;
}

bool stdout_file_id(FileId *id) {
    struct stat st;
    if (fstat(1, &st) != 0 || !S_ISREG(st.st_mode)) return false;
    id->device = (unsigned long long)st.st_dev;
    id->number = (unsigned long long)st.st_ino;
    return true;
}

void prepare_stdin() {}

void prepare_stdout() { std::signal(SIGPIPE, SIG_IGN); }

bool stderr_is_terminal() { return isatty(2) != 0; }

#endif

void remove_scratch_file(const std::string &path) {
    remove_file(path.c_str());
#ifdef _WIN32
    std::wstring name;
    NativeChar *slot = to_wide(path.c_str(), &name) ? slot_named(name.c_str()) : nullptr;
#else
    NativeChar *slot = slot_named(path.c_str());
#endif
    if (slot) slot[0] = 0;  // after the delete: a signal in between deletes a name already gone
}

// ---- Signals ----------------------------------------------------------------------------

namespace {

volatile std::sig_atomic_t s_holding = 0;  // Windows: inside hold_signals
volatile std::sig_atomic_t s_waiting = 0;  // Windows: the signal that came while holding

// Async-signal-safe only: unlink, signal and raise. The re-raised signal, blocked while the
// handler runs, ends the process with its usual status once the handler returns.
void on_ending_signal(int sig) {
#ifdef _WIN32
    if (s_holding) {  // Windows runs the handler on a thread of its own: the main one goes on
        s_waiting = sig;
        std::signal(sig, on_ending_signal);
        return;
    }
#endif
    delete_scratch_files();
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

#ifndef _WIN32
sigset_t ending_signal_set() {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : ENDING_SIGNALS) sigaddset(&set, sig);
    return set;
}

sigset_t s_mask_before_hold;
#endif

}  // namespace

void delete_scratch_on_signals() {
#ifdef _WIN32
    for (int sig : ENDING_SIGNALS) std::signal(sig, on_ending_signal);
#else
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_ending_signal;
    sa.sa_mask = ending_signal_set();  // one handler at a time
    for (int sig : ENDING_SIGNALS) sigaction(sig, &sa, nullptr);
#endif
}

#ifdef _WIN32

void hold_signals() { s_holding = 1; }

bool signal_waiting() { return s_waiting != 0; }

void release_signals() {
    s_holding = 0;
    if (int sig = s_waiting) {
        delete_scratch_files();
        std::signal(sig, SIG_DFL);
        std::raise(sig);
    }
}

#else

void hold_signals() {
    sigset_t set = ending_signal_set();
    pthread_sigmask(SIG_BLOCK, &set, &s_mask_before_hold);
}

bool signal_waiting() {
    sigset_t pending;
    if (sigpending(&pending) != 0) return false;
    for (int sig : ENDING_SIGNALS)
        if (sigismember(&pending, sig) == 1) return true;
    return false;
}

// A signal that waited is delivered before this returns, and ends the tool.
void release_signals() { pthread_sigmask(SIG_SETMASK, &s_mask_before_hold, nullptr); }

#endif
