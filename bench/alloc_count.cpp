// Counting allocator. Linked into every benchmark executable (and built as
// libbenchalloc.so to be preloaded under acagent), it replaces malloc and its
// relatives with thin wrappers around the C library's own allocator that
// count, per thread, the calls that obtain memory. C++ operator new, Lua's
// allocator, OpenSSL's CRYPTO_malloc and the C library's internal allocations
// (fopen, strdup, ...) all end in these functions.
//
// With tracing on for a thread, the first kTraceMax allocations it makes have
// their call stacks recorded, to find out where an allocation comes from.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "alloc_count.h"

#if BENCH_COUNT_ALLOCS
#include <errno.h>
#include <execinfo.h>
#include <link.h>
#include <unistd.h>

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void __libc_free(void*);
void* __libc_memalign(size_t, size_t);
void* __libc_valloc(size_t);
void* __libc_pvalloc(size_t);
}

namespace {

constexpr int kTraceMax = 32;
constexpr int kTraceDepth = 24;

struct trace_entry {
    size_t size;
    int depth;
    void* frames[kTraceDepth];
};

struct thread_counts {
    uint64_t allocs;
    uint64_t frees;
    uint64_t bytes;
    uint64_t attributed;
    int attributing;
    int tracing;
    int in_trace;  // the unwinder may allocate: do not record that
    int traced;
    trace_entry traces[kTraceMax];
};

// Initial-exec TLS lives in the static TLS block: reading it never allocates.
__thread thread_counts t __attribute__((tls_model("initial-exec")));

// The executable segments of the module whose allocations are told apart.
struct range {
    uintptr_t lo, hi;
};
constexpr int kRanges = 4;
range g_ranges[kRanges];
int g_range_count;

bool in_module(void* const* frames, int n)
{
    for (int i = 0; i < n; i++) {
        uintptr_t pc = reinterpret_cast<uintptr_t>(frames[i]);
        for (int r = 0; r < g_range_count; r++)
            if (pc >= g_ranges[r].lo && pc < g_ranges[r].hi) return true;
    }
    return false;
}

inline void note(size_t n)
{
    t.allocs++;
    t.bytes += n;
    if (t.in_trace) return;
    if (t.attributing && g_range_count) {
        t.in_trace = 1;
        void* frames[kTraceDepth];
        if (in_module(frames, backtrace(frames, kTraceDepth))) t.attributed++;
        t.in_trace = 0;
    }
    if (!t.tracing || t.traced >= kTraceMax) return;
    t.in_trace = 1;
    trace_entry& e = t.traces[t.traced++];
    e.size = n;
    e.depth = backtrace(e.frames, kTraceDepth);
    t.in_trace = 0;
}

int find_module(struct dl_phdr_info* info, size_t, void* data)
{
    const char* want = static_cast<const char*>(data);
    if (!info->dlpi_name || !strstr(info->dlpi_name, want)) return 0;
    for (int i = 0; i < info->dlpi_phnum && g_range_count < kRanges; i++) {
        const ElfW(Phdr)& ph = info->dlpi_phdr[i];
        if (ph.p_type != PT_LOAD || !(ph.p_flags & PF_X)) continue;
        uintptr_t lo = info->dlpi_addr + ph.p_vaddr;
        g_ranges[g_range_count++] = range{lo, lo + ph.p_memsz};
    }
    return 1;
}

}  // namespace

extern "C" {

void* malloc(size_t n)
{
    note(n);
    return __libc_malloc(n);
}

void* calloc(size_t n, size_t m)
{
    note(n * m);
    return __libc_calloc(n, m);
}

void* realloc(void* p, size_t n)
{
    note(n);
    return __libc_realloc(p, n);
}

void free(void* p)
{
    if (p) t.frees++;
    __libc_free(p);
}

void* memalign(size_t align, size_t n)
{
    note(n);
    return __libc_memalign(align, n);
}

void* aligned_alloc(size_t align, size_t n)
{
    note(n);
    return __libc_memalign(align, n);
}

int posix_memalign(void** out, size_t align, size_t n)
{
    if (align < sizeof(void*) || (align & (align - 1)) != 0) return EINVAL;
    note(n);
    void* p = __libc_memalign(align, n);
    if (!p) return ENOMEM;
    *out = p;
    return 0;
}

void* valloc(size_t n)
{
    note(n);
    return __libc_valloc(n);
}

void* pvalloc(size_t n)
{
    note(n);
    return __libc_pvalloc(n);
}

int bench_alloc_enabled(void) { return 1; }

void bench_alloc_counts(bench_alloc_snapshot* out)
{
    out->allocs = t.allocs;
    out->frees = t.frees;
    out->bytes = t.bytes;
    out->attributed = t.attributed;
}

int bench_alloc_set_module(const char* name)
{
    g_range_count = 0;
    dl_iterate_phdr(find_module, const_cast<char*>(name));
    return g_range_count > 0;
}

void bench_alloc_attribute(int on)
{
    if (on) {
        void* warm[2];
        t.in_trace = 1;
        backtrace(warm, 2);
        t.in_trace = 0;
    }
    t.attributing = on;
}

void bench_alloc_trace(int on)
{
    if (on == 1) {
        // Load the unwinder now, outside any measured region.
        void* warm[2];
        t.in_trace = 1;
        backtrace(warm, 2);
        t.in_trace = 0;
        t.traced = 0;
    }
    t.tracing = on;
}

void bench_alloc_trace_dump(int fd)
{
    int n = t.traced;
    t.traced = 0;
    char line[96];
    for (int i = 0; i < n; i++) {
        int len = snprintf(line, sizeof line, "-- allocation %d of %zu bytes:\n", i + 1, t.traces[i].size);
        if (write(fd, line, (size_t)len) < 0) return;
        backtrace_symbols_fd(t.traces[i].frames, t.traces[i].depth, fd);
    }
}

}  // extern "C"

#else  // sanitizer builds: no replacement, no counts

extern "C" {
int bench_alloc_enabled(void) { return 0; }
void bench_alloc_counts(bench_alloc_snapshot* out) { memset(out, 0, sizeof *out); }
int bench_alloc_set_module(const char*) { return 0; }
void bench_alloc_attribute(int) {}
void bench_alloc_trace(int) {}
void bench_alloc_trace_dump(int) {}
}

#endif
