// cpu.cpp: the processor probe (run once, on first use) and the cap that tests and
// benchmarks set to force a narrower vector form.
#include "cpu.h"

#include <atomic>
#include <thread>

#if defined(__linux__)
#include <sched.h>
#endif

namespace {

struct Probe {
    int form;
    bool bmi2;
};

Probe probe_processor() {
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
    // The checks include the operating system's support for the wider registers.
    __builtin_cpu_init();
    Probe p = {CPU_SSE2, __builtin_cpu_supports("bmi2") != 0};
    if (__builtin_cpu_supports("avx2")) p.form = CPU_AVX2;
    if (p.form == CPU_AVX2 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
        __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512dq"))
        p.form = CPU_AVX512;
    return p;
#elif defined(__SSE2__) || defined(_M_X64)
    return {CPU_SSE2, false};  // the forms beyond SSE2 are compiled with GCC or clang only
#else
    return {CPU_PLAIN, false};
#endif
}

// The initialisation of a function-local static is thread-safe: one probe per process.
const Probe &probe() {
    static const Probe p = probe_processor();
    return p;
}

std::atomic<int> s_form_cap{CPU_AVX512};
std::atomic<bool> s_bmi2_allowed{true};

}  // namespace

int cpu_form() {
    int form = probe().form, cap = s_form_cap.load(std::memory_order_relaxed);
    return form < cap ? form : cap;
}

bool cpu_bmi2() { return probe().bmi2 && s_bmi2_allowed.load(std::memory_order_relaxed); }

int cpu_form_available() { return probe().form; }

bool cpu_bmi2_available() { return probe().bmi2; }

CpuLimit cpu_set_limit(CpuLimit limit) {
    CpuLimit old = {s_form_cap.exchange(limit.form), s_bmi2_allowed.exchange(limit.bmi2)};
    return old;
}

const char *cpu_form_name(int form) {
    switch (form) {
    case CPU_PLAIN: return "plain";
    case CPU_SSE2: return "SSE2";
    case CPU_AVX2: return "AVX2";
    default: return "AVX-512";
    }
}

int cpu_usable_cores() {
#if defined(__linux__)
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) return CPU_COUNT(&set);
#endif
    const unsigned n = std::thread::hardware_concurrency();
    return n ? (int)n : 1;
}
