// mem.cpp: heap wrappers with the failure-injection hook (see mem.h).
#include "mem.h"

#include <atomic>
#include <cstdlib>

namespace {
// Relaxed atomics: the hook is only armed by single-threaded tests, but the counters are
// touched by every allocation, and codecs may run on several threads at once.
std::atomic<long> s_fail_at{0};
std::atomic<long> s_count{0};

bool should_fail() {
    long n = s_count.fetch_add(1, std::memory_order_relaxed) + 1;
    long target = s_fail_at.load(std::memory_order_relaxed);
    return target != 0 && n == target;
}
}  // namespace

void *mem_malloc(size_t size) {
    if (should_fail()) return nullptr;
    return std::malloc(size ? size : 1);
}

void *mem_calloc(size_t count, size_t size) {
    if (should_fail()) return nullptr;
    if (count == 0 || size == 0) return std::calloc(1, 1);
    return std::calloc(count, size);
}

void *mem_realloc(void *ptr, size_t size) {
    if (should_fail()) return nullptr;
    return std::realloc(ptr, size ? size : 1);
}

void mem_fail_at(long n) {
    s_count.store(0, std::memory_order_relaxed);
    s_fail_at.store(n, std::memory_order_relaxed);
}

long mem_alloc_count() { return s_count.load(std::memory_order_relaxed); }
