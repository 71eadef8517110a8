// test_util.cpp: helpers shared by the test files.
#include "test_util.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

std::string data_path(const std::string &rel) { return std::string(FOLIAN_TEST_DATA) + "/" + rel; }

TempDir::TempDir() {
    const char *base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/folian-test-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
    path = buf.data();
}

TempDir::~TempDir() {
    std::string cmd = "rm -rf '" + path + "'";
    if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "cannot remove %s\n", path.c_str());
}

std::vector<uint8_t> read_file(const std::string &path) {
    std::vector<uint8_t> out;
    FILE *f = std::fopen(path.c_str(), "rb");
    if (!f) return out;
    uint8_t buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.insert(out.end(), buf, buf + n);
    std::fclose(f);
    return out;
}

void write_file(const std::string &path, const std::vector<uint8_t> &bytes) {
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f) throw std::runtime_error("cannot write " + path);
    if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
}

bool file_exists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

std::vector<std::string> list_dir(const std::string &path) {
    std::vector<std::string> names;
    DIR *d = opendir(path.c_str());
    if (!d) return names;
    while (dirent *e = readdir(d)) {
        std::string n = e->d_name;
        if (n != "." && n != "..") names.push_back(n);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

int run_command(const std::string &cmd, std::string *out) {
    FILE *p = popen(cmd.c_str(), "r");
    if (!p) return -1;
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) text.append(buf, n);
    int status = pclose(p);
    if (out) *out = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool have_program(const std::string &name) {
    return run_command("command -v " + name + " >/dev/null 2>&1") == 0;
}

EnvScope::EnvScope(const char *n, const char *value) : name(n), had(std::getenv(n) != nullptr) {
    if (had) saved = std::getenv(n);
    if (value) setenv(n, value, 1);
    else unsetenv(n);
}
EnvScope::~EnvScope() {
    if (had) setenv(name.c_str(), saved.c_str(), 1);
    else unsetenv(name.c_str());
}

std::string python_with(const std::string &module) {
    for (const char *py : {"/usr/bin/python3", "python3"})
        if (run_command(std::string(py) + " -c 'import " + module + "' >/dev/null 2>&1") == 0) return py;
    return "";
}

std::vector<CpuLimit> every_cpu_form() {
    std::vector<CpuLimit> forms;
    for (int f = CPU_PLAIN; f <= cpu_form_available(); f++) forms.push_back({f, false});
    if (cpu_bmi2_available()) forms.push_back({cpu_form_available(), true});
    return forms;
}

std::string cpu_limit_name(CpuLimit limit) {
    return std::string(cpu_form_name(limit.form)) + (limit.bmi2 ? " with BMI2" : "");
}

std::vector<uint8_t> deflate_with_incomplete_code(const std::vector<uint8_t> &data) {
    DeflateBitWriter w;
    w.bits(1, 1);   // final block
    w.bits(2, 2);   // dynamic codes
    w.bits(0, 5);   // 257 literal/length codes
    w.bits(0, 5);   // 1 distance code
    w.bits(15, 4);  // 19 code-length lengths, in the order 16 17 18 0 8 7 9 6 ...
    for (int i = 0; i < 19; i++) w.bits(i == 3 || i == 6 ? 1 : 0, 3);  // lengths 0 and 9: one bit each
    for (int i = 0; i < 257; i++) w.code(1, 1);                        // every literal and the end: 9 bits
    w.code(0, 1);                                                      // no distance code
    for (uint8_t b : data) w.code(b, 9);  // equal lengths: symbol s has code s
    w.code(256, 9);
    return w.finish();
}
