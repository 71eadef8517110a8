// convert_driver.cpp: a whole conversion through folian_multiple in compact mode, taking the
// tool's conversion arguments, so bench/convert_bench.sh can time the library's compact
// pages beside the tool and img2pdf without the tool itself.
// Usage: convert_driver [-p image|a4|letter|a3] [-r DPI] -o OUT.pdf INPUT...
// With FOLIAN_BENCH_STORED=1 in the environment the pages keep the fixed (stored) layout.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "folian.h"

namespace {

int page_mode(const char *name) {
    const char *names[] = {"image", "a4", "letter", "a3"};
    for (int i = 0; i < 4; i++)
        if (std::strcmp(name, names[i]) == 0) return i;
    return -1;
}

int usage() {
    std::fprintf(stderr, "usage: convert_driver [-p image|a4|letter|a3] [-r DPI] -o OUT.pdf INPUT...\n");
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    const char *out = nullptr;
    int mode = 0, dpi = 150;
    std::vector<const char *> inputs;
    for (int i = 1; i < argc; i++) {
        const bool has_value = i + 1 < argc;
        if (std::strcmp(argv[i], "-p") == 0 && has_value) {
            mode = page_mode(argv[++i]);
            if (mode < 0) return usage();
        } else if (std::strcmp(argv[i], "-r") == 0 && has_value) {
            dpi = std::atoi(argv[++i]);
        } else if (std::strcmp(argv[i], "-o") == 0 && has_value) {
            out = argv[++i];
        } else {
            inputs.push_back(argv[i]);
        }
    }
    if (!out || inputs.empty()) return usage();
    folian_init();
    folian_set_page_size(mode);
    folian_set_dpi(dpi);
    const char *stored = std::getenv("FOLIAN_BENCH_STORED");
    folian_set_options(stored && std::strcmp(stored, "1") == 0 ? 0u : FOLIAN_OPT_COMPACT);
    if (!folian_multiple(inputs.data(), (int)inputs.size(), out)) {
        std::fprintf(stderr, "convert_driver: %s\n", folian_last_error());
        return 1;
    }
    return 0;
}
