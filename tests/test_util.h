// test_util.h: helpers shared by the test files: fixture paths, scratch directories,
// whole-file read and write, a deflate bit writer.
#ifndef FOLIAN_TEST_UTIL_H
#define FOLIAN_TEST_UTIL_H

#include <cstdint>
#include <string>
#include <vector>

#include "cpu.h"

// Absolute path of a fixture under tests/data.
std::string data_path(const std::string &rel);
// A fresh empty directory for one test; removed with its content by the destructor.
struct TempDir {
    std::string path;
    TempDir();
    ~TempDir();
    std::string file(const std::string &name) const { return path + "/" + name; }
};
std::vector<uint8_t> read_file(const std::string &path);
void write_file(const std::string &path, const std::vector<uint8_t> &bytes);
bool file_exists(const std::string &path);
// Names of the entries of a directory, "." and ".." excluded, sorted.
std::vector<std::string> list_dir(const std::string &path);
// Runs a shell command; returns its exit status and fills *out with its standard output.
int run_command(const std::string &cmd, std::string *out = nullptr);
bool have_program(const std::string &name);
// Sets (or with null, clears) one environment variable for a scope.
struct EnvScope {
    std::string name, saved;
    bool had;
    EnvScope(const char *name, const char *value);
    ~EnvScope();
    EnvScope(const EnvScope &) = delete;
    EnvScope &operator=(const EnvScope &) = delete;
};
// A Python interpreter that can import `module` (the system one first: distribution
// packages such as pikepdf live there, whatever python3 the PATH finds), or "" for none.
std::string python_with(const std::string &module);

// Test-side deflate writer: fields LSB-first as deflate writes them; Huffman codes go
// most significant bit first.
struct DeflateBitWriter {
    std::vector<uint8_t> out;
    uint64_t acc = 0;
    int n = 0;
    void bits(uint32_t v, int count) {  // count <= 32
        acc |= (uint64_t)(v & (uint32_t)((1ull << count) - 1)) << n;
        n += count;
        while (n >= 8) {
            out.push_back((uint8_t)acc);
            acc >>= 8;
            n -= 8;
        }
    }
    void code(uint32_t c, int len) {  // a Huffman code of `len` bits, MSB first
        uint32_t r = 0;
        for (int i = 0; i < len; i++) r |= ((c >> i) & 1) << (len - 1 - i);
        bits(r, len);
    }
    void align() {
        if (n) bits(0, 8 - n);
    }
    void byte(uint8_t b) { out.push_back(b); }
    std::vector<uint8_t> finish() {
        align();
        return out;
    }
};
// A raw deflate stream of `data` in one block whose literal/length code gives every byte
// and the end of block nine bits each: 257 of 512 codes, an incomplete code that our
// inflater takes and zlib refuses ("invalid literal/lengths set").
std::vector<uint8_t> deflate_with_incomplete_code(const std::vector<uint8_t> &data);

// Every vector form this machine runs, narrowest first, BMI2 off; then the widest with
// BMI2 on when the processor has it. Exactness tests run their comparisons in each.
std::vector<CpuLimit> every_cpu_form();
std::string cpu_limit_name(CpuLimit limit);
// Narrows the codecs to one form for a scope, restoring the previous cap afterwards.
struct CpuFormScope {
    CpuLimit saved;
    explicit CpuFormScope(CpuLimit limit) : saved(cpu_set_limit(limit)) {}
    ~CpuFormScope() { cpu_set_limit(saved); }
    CpuFormScope(const CpuFormScope &) = delete;
    CpuFormScope &operator=(const CpuFormScope &) = delete;
};

// Whether this build runs under AddressSanitizer, where memory and size figures mean little.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

#endif
