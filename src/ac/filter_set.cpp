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

int l_AddToFilterSet(lua_State* L)
{
    uint64_t v = filter_set_value(luaL_checknumber(L, 1));
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
    return 0;
}

int l_IsLikelyInSet(lua_State* L)
{
    // Read before locking: converting cannot raise, and a bypassed query
    // simply ignores it.
    uint64_t v = filter_set_value(lua_tonumberx(L, 1, nullptr));
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
    lua_pushboolean(L, present);
    return 1;
}

int l_ClearFilterSet(lua_State* L)
{
    FilterCS.Lock();
    bypassFilter = 1;
    minSize = UINT64_MAX;
    maxSize = 0;
    memset(filterSet, 0, sizeof filterSet);
    filledPositionsCount.store(0, std::memory_order_relaxed);
    FilterSet.clear++;
    FilterCS.Unlock();
    return 0;
}

int l_SetBypassFilterState(lua_State* L)
{
    luaL_argcheck(L, lua_type(L, 1) == LUA_TBOOLEAN, 1, "boolean expected");
    uint8_t flag = lua_toboolean(L, 1) ? 1 : 0;
    FilterCS.Lock();
    bypassFilter = flag;
    FilterCS.Unlock();
    return 0;
}

int l_GetfilledPositionsCount(lua_State* L)
{
    lua_pushnumber(L, (lua_Number)filledPositionsCount.load(std::memory_order_relaxed));
    return 1;
}

int l_FilterSetStats(lua_State* L)
{
    FilterCS.Lock();
    uint64_t lo = minSize, hi = maxSize;
    uint32_t count = filledPositionsCount.load(std::memory_order_relaxed);
    uint8_t bypass = bypassFilter;
    ac_filter_set_counters c = FilterSet;
    FilterCS.Unlock();

    const struct {
        const char* key;
        uint32_t value;
    } fields[] = {
        {"minSize", (uint32_t)lo}, {"maxSize", (uint32_t)hi}, {"count", count},
        {"bypassEnabled", bypass}, {"add", c.add},           {"bypassed", c.bypassed},
        {"clear", c.clear},        {"hit", c.hit},           {"miss", c.miss},
        {"oorange", c.oorange},
    };
    lua_createtable(L, 0, (int)(sizeof fields / sizeof fields[0]));
    for (const auto& f : fields) {
        lua_pushnumber(L, (lua_Number)f.value);
        lua_setfield(L, -2, f.key);
    }
    return 1;
}

}  // extern "C"
