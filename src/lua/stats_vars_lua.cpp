#include "ac/locks.h"
#include "ac/stats_vars.h"
#include "lua/ac_lua.h"

namespace {

// Resolves argument 1 to a slot index, raising on anything unusable. Runs
// before any lock is taken; leaves the stack as it found it.
uint32_t stat_index(lua_State* L)
{
    if (lua_isnumber(L, 1)) {
        lua_Unsigned idx = lua_tounsignedx(L, 1, nullptr);
        luaL_argcheck(L, idx < AC_STATS_COUNT, 1, "Index out of range");
        return idx;
    }
    lua_getfield(L, LUA_REGISTRYINDEX, AC_STATS_INDEX_KEY);
    if (!lua_istable(L, -1)) luaL_argerror(L, 1, "Stats not set");
    lua_pushvalue(L, 1);
    lua_rawget(L, -2);
    if (!lua_isnumber(L, -1)) luaL_argerror(L, 1, "Unknown stat");
    double d = lua_tonumberx(L, -1, nullptr);
    lua_pop(L, 2);
    // Truncate toward zero to 32 bits; anything outside int32 cannot be a slot.
    bool fits = d > -2147483649.0 && d < 2147483648.0;
    uint32_t idx = fits ? (uint32_t)(int32_t)d : UINT32_MAX;
    luaL_argcheck(L, idx < AC_STATS_COUNT, 1, "Index out of range");
    return idx;
}

}  // namespace

extern "C" {

int l_InitStats(lua_State* L)
{
    luaL_argcheck(L, lua_istable(L, 1), 1, "Expected list of stats");
    lua_pushvalue(L, 1);
    lua_setfield(L, LUA_REGISTRYINDEX, AC_STATS_INDEX_KEY);
    return 0;
}

int l_StatNames(lua_State* L)
{
    lua_getfield(L, LUA_REGISTRYINDEX, AC_STATS_INDEX_KEY);
    if (!lua_istable(L, -1)) {
        lua_pop(L, 1);
        lua_newtable(L);
    }
    return 1;
}

int l_GetStatsAll(lua_State* L)
{
    // Snapshot under the lock, build the table after releasing it: building
    // may raise and must not hold the lock.
    ac_stats_var snap[AC_STATS_COUNT];
    int n = 0;
    StatsCS.Lock();
    for (int i = 0; i < AC_STATS_COUNT; i++) {
        snap[i] = statsVars[i];
        n += snap[i].set;
    }
    StatsCS.Unlock();
    lua_createtable(L, 0, n);
    for (int i = 0; i < AC_STATS_COUNT; i++) {
        if (!snap[i].set) continue;
        lua_pushnumber(L, snap[i].value);
        lua_rawseti(L, -2, i);
    }
    return 1;
}

int l_StatsEvent(lua_State* L) { return luaL_error(L, "StatsEvent uninitialized"); }

int l_GetStatsVar(lua_State* L)
{
    uint32_t idx = stat_index(L);
    StatsCS.Lock();
    ac_stats_var v = statsVars[idx];
    StatsCS.Unlock();
    if (v.set)
        lua_pushnumber(L, v.value);
    else
        lua_pushnil(L);
    return 1;
}

int l_SetStatsVar(lua_State* L)
{
    uint32_t idx = stat_index(L);
    double value = luaL_checknumber(L, 2);
    StatsCS.Lock();
    statsVars[idx].value = value;
    statsVars[idx].set = 1;
    StatsCS.Unlock();
    return 0;
}

int l_IncStatsVar(lua_State* L)
{
    uint32_t idx = stat_index(L);
    double delta = lua_tonumberx(L, 2, nullptr);
    if (delta == 0) delta = 1;
    StatsCS.Lock();
    statsVars[idx].value += delta;
    statsVars[idx].set = 1;
    StatsCS.Unlock();
    return 0;
}

int l_ClearStatsVar(lua_State* L)
{
    uint32_t idx = stat_index(L);
    StatsCS.Lock();
    statsVars[idx].value = 0;
    statsVars[idx].set = 0;
    StatsCS.Unlock();
    return 0;
}

}  // extern "C"
