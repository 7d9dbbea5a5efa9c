// Statistics variables: 128 numeric slots shared by every Lua state of the
// process, addressed by number or by a per-state name index.
#pragma once
#include <cstdint>
#include <lua.hpp>

#define AC_STATS_COUNT 128
#define AC_STATS_INDEX_KEY "vyp.ac.stats.index"

struct ac_stats_var {
    double value;
    uint8_t set;  // 1 while the slot holds a value
};

extern "C" {
extern ac_stats_var statsVars[AC_STATS_COUNT];  // guarded by StatsCS

int l_InitStats(lua_State* L);
int l_StatNames(lua_State* L);
int l_GetStatsAll(lua_State* L);
int l_StatsEvent(lua_State* L);
int l_GetStatsVar(lua_State* L);
int l_SetStatsVar(lua_State* L);
int l_IncStatsVar(lua_State* L);
int l_ClearStatsVar(lua_State* L);
}
