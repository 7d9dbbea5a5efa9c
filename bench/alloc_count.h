// The counting allocator's interface (alloc_count.cpp). The counts are those
// of the calling thread since it started.
#pragma once
#include <cstdint>

struct bench_alloc_snapshot {
    uint64_t allocs;  // calls that obtained memory: malloc, calloc, realloc, memalign, ...
    uint64_t frees;   // free of a non-null pointer
    uint64_t bytes;   // bytes asked for
    uint64_t attributed;  // allocations with the chosen module on their call stack
};

extern "C" {
// 1 when the allocator is replaced (0 in sanitizer builds: counts stay zero).
int bench_alloc_enabled(void);
void bench_alloc_counts(bench_alloc_snapshot* out);
// Chooses the module (a loaded object whose path contains name) whose
// allocations are counted apart; 1 when it is loaded.
int bench_alloc_set_module(const char* name);
// While on, every allocation of this thread has its call stack examined and,
// when the chosen module is on it, is counted as attributed too.
void bench_alloc_attribute(int on);
// 1: records the call stacks of this thread's next allocations (at most 32),
// forgetting those recorded so far; 2: records again, keeping them; 0: stops.
void bench_alloc_trace(int on);
// Writes the recorded stacks to fd and forgets them.
void bench_alloc_trace_dump(int fd);
}
