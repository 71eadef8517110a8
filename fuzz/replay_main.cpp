// replay_main.cpp: runs a fuzz target once over each file named on the command line, or
// over every file of a directory named there, for compilers without libFuzzer (and for
// replaying the seed corpus and the crashers folder in plain and sanitizer builds).
// A failing input aborts inside the target, so the exit status tells the outcome.
#include <dirent.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

bool run_file(const std::string &path) {
    FILE *f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    std::vector<uint8_t> buf;
    uint8_t chunk[65536];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) buf.insert(buf.end(), chunk, chunk + n);
    std::fclose(f);
    // An exact-size heap copy, so a read past the end is caught by the sanitizers.
    std::vector<uint8_t> exact(buf.begin(), buf.end());
    LLVMFuzzerTestOneInput(exact.empty() ? nullptr : exact.data(), exact.size());
    return true;
}

// Names of the regular entries of a directory, sorted, hidden files and READMEs left out.
std::vector<std::string> entries(const std::string &dir) {
    std::vector<std::string> names;
    DIR *d = opendir(dir.c_str());
    if (!d) return names;
    while (dirent *e = readdir(d)) {
        std::string name = e->d_name;
        if (name[0] == '.' || name.rfind("README", 0) == 0) continue;
        names.push_back(name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

int main(int argc, char **argv) {
    int runs = 0;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (arg[0] == '-') continue;  // libFuzzer flags
        std::vector<std::string> names = entries(arg);
        if (names.empty()) {
            runs += run_file(arg);
            continue;
        }
        for (const std::string &name : names) runs += run_file(arg + "/" + name);
    }
    std::printf("replayed %d inputs\n", runs);
    return 0;
}
