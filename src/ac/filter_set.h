// Filter set: a process-wide 524288-bit membership filter over 64-bit numbers,
// with the range of added numbers, a bypass switch and counters.
#pragma once
#include <atomic>
#include <cstdint>
#include <lua.hpp>

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

extern "C" {
int l_AddToFilterSet(lua_State* L);
int l_ClearFilterSet(lua_State* L);
int l_GetfilledPositionsCount(lua_State* L);
int l_IsLikelyInSet(lua_State* L);
int l_SetBypassFilterState(lua_State* L);
int l_FilterSetStats(lua_State* L);
}
