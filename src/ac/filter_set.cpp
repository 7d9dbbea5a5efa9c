#include "ac/filter_set.h"

#include <cmath>
#include <cstring>

#include "ac/locks.h"

extern "C" {

uint8_t filterSet[65536];
std::atomic<uint32_t> filledPositionsCount{0};
uint64_t minSize = UINT64_MAX;
uint64_t maxSize = 0;
uint8_t bypassFilter = 1;
ac_filter_set_counters FilterSet;

uint64_t filter_set_value(double n)
{
    constexpr double two63 = 9223372036854775808.0;
    if (n >= two63) return n >= 2 * two63 ? UINT64_MAX : (uint64_t)n;
    if (!(n > -two63)) return std::isnan(n) ? 0 : (uint64_t)INT64_MIN;
    return (uint64_t)(int64_t)n;
}

}  // extern "C"

namespace {

inline uint8_t* byte_of(uint64_t v) { return &filterSet[(v >> 3) & 0xFFFF]; }
inline uint8_t bit_of(uint64_t v) { return (uint8_t)(1u << (v & 7)); }

}  // namespace

extern "C" {

void FilterSetAdd(uint64_t v)
{
    FilterCS.Lock();
    uint8_t* byte = byte_of(v);
    if (!(*byte & bit_of(v))) {
        *byte |= bit_of(v);
        filledPositionsCount.store(filledPositionsCount.load(std::memory_order_relaxed) + 1,
                                   std::memory_order_relaxed);
    }
    if (v < minSize) minSize = v;
    if (v > maxSize) maxSize = v;
    FilterSet.add++;
    FilterCS.Unlock();
}

bool FilterSetQuery(uint64_t v)
{
    bool present;
    FilterCS.Lock();
    if (bypassFilter) {
        present = true;
        FilterSet.bypassed++;
    } else if (v < minSize || v > maxSize) {
        present = false;
        FilterSet.oorange++;
    } else {
        present = (*byte_of(v) & bit_of(v)) != 0;
        if (present)
            FilterSet.hit++;
        else
            FilterSet.miss++;
    }
    FilterCS.Unlock();
    return present;
}

void FilterSetClear(void)
{
    FilterCS.Lock();
    bypassFilter = 1;
    minSize = UINT64_MAX;
    maxSize = 0;
    memset(filterSet, 0, sizeof filterSet);
    filledPositionsCount.store(0, std::memory_order_relaxed);
    FilterSet.clear++;
    FilterCS.Unlock();
}

void FilterSetBypass(uint8_t flag)
{
    FilterCS.Lock();
    bypassFilter = flag;
    FilterCS.Unlock();
}

void FilterSetSnapshot(ac_filter_set_snapshot* out)
{
    FilterCS.Lock();
    out->minSize = minSize;
    out->maxSize = maxSize;
    out->count = filledPositionsCount.load(std::memory_order_relaxed);
    out->bypass = bypassFilter;
    out->counters = FilterSet;
    FilterCS.Unlock();
}

}  // extern "C"
