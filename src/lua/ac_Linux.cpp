// Opener of module ac and the field accessor for "dc".
#include <lua.hpp>

#include "ac/locks.h"
#include "lua/ac_lua.h"
#include "lua/openers.h"
#include "lua/result.h"



static const luaL_Reg s_Funcs[] = {
    {"GetInstalledSoftware", l_GetInstalledSoftware},
    {"GetMountPointFromPath", l_GetMountPointFromPath},
    {"WriteEventLocally", l_WriteEventLocally},
    {"corelimit", l_corelimit},
    {"panic", l_panic},
    {"InstallDriver", l_nothing},
    {"UninstallDriver", l_nothing},
    {"InitStats", l_InitStats},
    {"StatNames", l_StatNames},
    {"GetStatsAll", l_GetStatsAll},
    {"StatsEvent", l_StatsEvent},
    {"GetStatsVar", l_GetStatsVar},
    {"SetStatsVar", l_SetStatsVar},
    {"IncStatsVar", l_IncStatsVar},
    {"ClearStatsVar", l_ClearStatsVar},
    {"ProfilerBindings", l_ProfilerBindings},
    {"DecryptRuleset", l_DecryptRuleset},
    {"ShouldUpdateSchema", l_ShouldUpdateSchema},
    {"UpdatedSchema", l_UpdatedSchema},
    {"EnterCriticalSection", l_EnterCriticalSection},
    {"LeaveCriticalSection", l_LeaveCriticalSection},
    {"EnterAutoAuthorizeCommandCS", l_EnterAutoAuthorizeCommandCS},
    {"LeaveAutoAuthorizeCommandCS", l_LeaveAutoAuthorizeCommandCS},
    {"AddProcess", l_AddProcess},
    {"GetProcess", l_GetProcess},
    {"RemoveProcess", l_RemoveProcess},
    {"ClearProcessCache", l_ClearProcessCache},
    {"ProcCacheStats", l_ProcCacheStats},
    {"HashNull", l_HashNull},
    {"HashString", l_HashString},
    {"HashPrimary", l_HashPrimary},
    {"HashSecondary", l_HashSecondary},
    {"HashAll", l_HashAll},
    {"CacheSelfTest", l_nothing},
    {"CacheDump", l_CacheDump},
    {"mockdriver", l_mockdriver},
    {"AddToFilterSet", l_AddToFilterSet},
    {"ClearFilterSet", l_ClearFilterSet},
    {"GetfilledPositionsCount", l_GetfilledPositionsCount},
    {"IsLikelyInSet", l_IsLikelyInSet},
    {"SetBypassFilterState", l_SetBypassFilterState},
    {"FilterSetDump", l_FilterSetDump},
    {"FilterSetStats", l_FilterSetStats},
    {nullptr, nullptr},
};

static bool mock_selected()
{
    wxMutexLocker lock(mockLock);
    return mockdriver != 0;
}

// __index of the module table: only "dc" answers, and it decides afresh at every
// read so that a change of mockdriver takes effect at once.
static int lm_index(lua_State* L)
{
    const char* key = luaL_checkstring(L, 2);
    if (key[0] != 'd' || key[1] != 'c' || key[2] != '\0') return 0;
    if (mock_selected()) {
        lua_getglobal(L, "require");
        lua_pushliteral(L, "vava_mock");
        lua_call(L, 1, 1);
        return 1;
    }
    luaL_getsubtable(L, LUA_REGISTRYINDEX, "_LOADED");
    lua_getfield(L, -1, "vava");
    if (lua_toboolean(L, -1)) return 1;
    lua_pop(L, 2);
    luaL_requiref(L, "vava", luaopen_lacdc, 0);
    return 1;
}

extern "C" int luaopen_ac(lua_State* L)
{
    lua_createtable(L, 0, 43);
    luaL_setfuncs(L, s_Funcs, 0);
    lua_pushinteger(L, 13);
    lua_setfield(L, -2, "ErrNotExec");
    lua_createtable(L, 0, 1);
    lua_pushcfunction(L, lm_index);
    lua_setfield(L, -2, "__index");
    lua_setmetatable(L, -2);
    return 1;
}
