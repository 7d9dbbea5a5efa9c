// Filter set: a process-wide 524288-bit membership filter over 64-bit numbers,
// with the range of added numbers, a bypass switch and counters.
#pragma once
#include <atomic>
#include <cstdint>

// Counters of the filter set, in this order; they are never reset.
struct ac_filter_set_counters {
    uint32_t add;
    uint32_t bypassed;
    uint32_t clear;
    uint32_t hit;
    uint32_t miss;
    uint32_t oorange;
};

// Everything here is guarded by FilterCS; filledPositionsCount is also read
// without it, hence atomic.
extern "C" uint8_t filterSet[65536];
extern "C" std::atomic<uint32_t> filledPositionsCount;
extern "C" uint64_t minSize;
extern "C" uint64_t maxSize;
extern "C" uint8_t bypassFilter;
extern "C" ac_filter_set_counters FilterSet;

// The conversion of a Lua number to the filter's 64-bit unsigned domain.
extern "C" uint64_t filter_set_value(double n);

struct ac_filter_set_snapshot {
    uint64_t minSize;
    uint64_t maxSize;
    uint32_t count;
    uint8_t bypass;
    ac_filter_set_counters counters;
};

// The operations; each takes FilterCS for its whole duration.
extern "C" {
void FilterSetAdd(uint64_t v);
bool FilterSetQuery(uint64_t v);  // counts a bypass, out-of-range, hit or miss
void FilterSetClear(void);        // also turns the bypass back on
void FilterSetBypass(uint8_t flag);
void FilterSetSnapshot(ac_filter_set_snapshot* out);
}
