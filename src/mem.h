// mem.h: the library's heap calls, with a test-only hook that makes one chosen allocation fail.
//
// Every unit allocates through these so the tests can walk a failure through each
// allocation of a call in turn and check that nothing leaks and no file appears.
// Buffers come from malloc/calloc/realloc, so callers release them with plain free.
#ifndef FOLIAN_MEM_H
#define FOLIAN_MEM_H

#include <cstddef>

void *mem_malloc(size_t size);
void *mem_calloc(size_t count, size_t size);
void *mem_realloc(void *ptr, size_t size);

// Test hook: the n-th allocation from now (1-based) returns null; 0 turns the hook off.
void mem_fail_at(long n);
// Allocations counted since the last mem_fail_at call.
long mem_alloc_count();

#endif
