// folian: command-line converter of PNG and JPEG files to PDF, a thin host over the library.
//
// Exit status: 0 success, 1 the conversion failed (the library's message on stderr),
// 2 usage error. The library writes the output file whole or not at all.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "folian.h"
#include "platform.h"
#include "transcode.h"

namespace {

const char *const USAGE =
    "usage: %s [-p image|a4|letter|a3] [-r DPI] -o OUT.pdf INPUT...\n"
    "       %s transcode IN OUT\n"
    "       %s --help | --version\n"
    "\n"
    "Converts PNG and JPEG files to one PDF, one page per image.\n"
    "INPUT is image files in page order, or one directory (its .png/.jpg/.jpeg files\n"
    "in case-insensitive name order).\n"
    "  -p SIZE   page size: image (the page is the image at DPI; default), a4, letter, a3\n"
    "            (the image scaled to fit and centred)\n"
    "  -r DPI    resolution, 1 to 10000 (default 150)\n"
    "  -o FILE   the PDF to write\n"
    "transcode decodes a PNG or JPEG file and writes PNG or JPEG, chosen by OUT's extension.\n";

int usage_error(const char *prog, const char *what) {
    if (what) std::fprintf(stderr, "%s: %s\n", prog, what);
    std::fprintf(stderr, USAGE, prog, prog, prog);
    return 2;
}

int parse_page_size(const char *s) {
    static const char *const names[] = {"image", "a4", "letter", "a3"};
    for (int i = 0; i < 4; i++)
        if (std::strcmp(s, names[i]) == 0) return i;
    return -1;
}

int parse_dpi(const char *s) {
    char *end;
    errno = 0;
    long v = std::strtol(s, &end, 10);
    if (errno || end == s || *end || v < 1 || v > 10000) return -1;
    return (int)v;
}

bool is_directory(const char *path) {
    return path_is_directory(path);
}

}  // namespace

int main(int argc, char **argv) {
    utf8_arguments(&argc, &argv);
    const char *prog = "folian";
    if (argc >= 2 && std::strcmp(argv[1], "transcode") == 0) {
        if (argc != 4) return usage_error(prog, "transcode takes IN and OUT");
        return transcode_main(prog, argv[2], argv[3]);
    }
    int page_size = 0, dpi = 150;
    const char *out = nullptr;
    std::vector<const char *> inputs;
    bool options_done = false;
    for (int i = 1; i < argc; i++) {
        const char *a = argv[i];
        if (options_done || a[0] != '-' || a[1] == '\0') {
            inputs.push_back(a);
        } else if (std::strcmp(a, "--") == 0) {
            options_done = true;
        } else if (std::strcmp(a, "--help") == 0 || std::strcmp(a, "-h") == 0) {
            std::printf(USAGE, prog, prog, prog);
            return 0;
        } else if (std::strcmp(a, "--version") == 0) {
            std::printf("%s %s\n", prog, FOLIAN_VERSION_STRING);
            return 0;
        } else if (std::strcmp(a, "-p") == 0 || std::strcmp(a, "-r") == 0 ||
                   std::strcmp(a, "-o") == 0) {
            if (i + 1 >= argc) return usage_error(prog, "missing value after option");
            const char *v = argv[++i];
            if (a[1] == 'p' && (page_size = parse_page_size(v)) < 0)
                return usage_error(prog, "unknown page size");
            if (a[1] == 'r' && (dpi = parse_dpi(v)) < 0)
                return usage_error(prog, "resolution must be 1 to 10000");
            if (a[1] == 'o') out = v;
        } else {
            return usage_error(prog, "unknown option");
        }
    }
    if (!out) return usage_error(prog, "no output file (-o)");
    if (inputs.empty()) return usage_error(prog, "no input");

    folian_init();
    folian_set_page_size(page_size);
    folian_set_dpi(dpi);
    int ok;
    if (inputs.size() == 1 && is_directory(inputs[0])) {
        ok = folian_directory(inputs[0], out) > 0;
    } else {
        ok = folian_multiple(inputs.data(), (int)inputs.size(), out);
    }
    if (!ok) {
        std::fprintf(stderr, "%s: %s\n", prog, folian_last_error());
        return 1;
    }
    return 0;
}
