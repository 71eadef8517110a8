// platform.cpp: Windows command-line arguments as UTF-8 and the directory test; the POSIX
// forms are the plain calls.
#include "platform.h"

#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>

#include <string>
#include <vector>

namespace {

bool to_utf8(const wchar_t *w, std::string *out) {
    int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 0) return false;
    out->assign((size_t)n - 1, '\0');
    return WideCharToMultiByte(CP_UTF8, 0, w, -1, &(*out)[0], n, nullptr, nullptr) == n;
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
    DWORD attr = INVALID_FILE_ATTRIBUTES;
    int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, nullptr, 0);
    if (n > 0) {
        std::vector<wchar_t> wide((size_t)n);
        if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, wide.data(), n) == n)
            attr = GetFileAttributesW(wide.data());
    } else {
        attr = GetFileAttributesA(path);
    }
    return attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY);
}

#else

#include <sys/stat.h>

void utf8_arguments(int *, char ***) {}

bool path_is_directory(const char *path) {
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

#endif
